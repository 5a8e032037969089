# Windows console programs with the mingw-w64 cross compiler for
# ORV_MINGW_TRIPLET. The -posix compilers carry std::thread and std::mutex
# (winpthreads, linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ORV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
