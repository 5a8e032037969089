# The product: 32-bit Windows console programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
