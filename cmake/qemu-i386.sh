#!/bin/sh
# Runs a 32-bit x86 program through Debian's qemu-user (qemu-i386) on a
# machine whose kernel cannot run 32-bit programs itself. With VEMRA_I386_QEMU
# on, cmake/i386-linux-gnu.cmake makes this the emulator of test discovery
# and ctest. The program's exit status, output and sanitizer reports are
# passed on unchanged.
#
# LeakSanitizer stops the program's threads with ptrace, which qemu-user does
# not offer to the programs it runs: its check at exit spins for ever there,
# so it is turned off (the x86_64 build's tests still look for leaks).
# AddressSanitizer and UndefinedBehaviorSanitizer need nothing else.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
export ASAN_OPTIONS
exec "${VEMRA_QEMU_I386:-qemu-i386}" -L / "$@"
