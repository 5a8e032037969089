# The same code as 64-bit Windows programs, to test it against real Win32
# under wine64 where a machine runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORV_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
