# Shared part of the two Windows cross toolchains. The including file sets
# VEMRA_MINGW_TRIPLET (x86_64-w64-mingw32 or i686-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)

# Debian's mingw-w64 ships each compiler in two thread models; the "win32"
# one needs no winpthread DLL at run time, so it is preferred when present.
find_program(CMAKE_C_COMPILER NAMES ${VEMRA_MINGW_TRIPLET}-gcc-win32 ${VEMRA_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VEMRA_MINGW_TRIPLET}-g++-win32 ${VEMRA_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VEMRA_MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${VEMRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
