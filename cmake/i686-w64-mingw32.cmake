# Cross build of vemradrv32.dll for 32-bit Windows processes with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEMRA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
