# Build of libvemradrv32.so and the unit tests for 32-bit Linux processes on
# an x86_64 Debian host: the native compilers with -m32 (g++-multilib) and
# the i386 packages of the libraries (libpcsclite-dev:i386, libgtest-dev:i386).
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# Only the i386 libraries: pkg-config and find_package look in the i386
# multiarch folders and never pick up the x86_64 ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB64_PATHS OFF)

# VEMRA_I386_QEMU: for a machine whose kernel cannot run 32-bit programs
# (no IA32 emulation): test discovery and ctest run every 32-bit test program
# through qemu-i386 (cmake/qemu-i386.sh). scripts/run-tests.sh turns it on
# when a tiny 32-bit program does not run.
if(VEMRA_I386_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-i386.sh)
endif()
