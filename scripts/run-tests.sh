#!/usr/bin/env bash
# Builds and runs every test:
#  1. x86_64 Linux with AddressSanitizer and UndefinedBehaviorSanitizer: the
#     unit tests against the in-process PC/SC double, the simulator's tests,
#     the in-process end-to-end tests, the export check, and the end-to-end
#     tests through pcscd and the virtual reader;
#     then the threads test again under ThreadSanitizer;
#  2. the same for i386 Linux (-m32), where pointer-size and layout slips show
#     (the 32-bit client library talks to the same pcscd); on a machine whose
#     kernel cannot run 32-bit programs, every 32-bit program runs through
#     qemu-i386 (VEMRA_32BIT=qemu forces that path, VEMRA_32BIT=native the
#     other; the default asks a tiny 32-bit program);
#  3. the four delivered builds (presets linux64, linux32, win64, win32) with
#     the checks of their export and import tables;
#  4. the Windows scenario under Wine for both DLLs, and both reading the
#     certificate vemractl's demo wrote to its card (skipped, visibly, when
#     Wine is not installed; for the 32-bit DLL, when 32-bit programs cannot
#     run);
#  5. the plain builds a packager makes, with no option given: gcc Release
#     and clang RelWithDebInfo, and their tests that need no pcscd;
#  6. the session fuzzer for a minute (scripts/run-fuzz.sh).
# Warnings are errors here (VEMRA_WERROR, on unless the environment says
# otherwise), except in the plain builds. The run ends with a summary that
# names every stage passed and every stage skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEMRA_TEST_BUILD_DIR:-build-tests}
build32=${build}-i386
jobs=$(nproc)
export VEMRA_WERROR=${VEMRA_WERROR:-ON}
werror=-DVEMRA_WERROR=$VEMRA_WERROR

# The many builds below share most of their objects: ccache, where it is
# installed, keeps what an earlier build or run compiled (VEMRA_CCACHE=0
# turns it off). Paths are taken relative to the tree, so a clone elsewhere
# finds the same objects.
if [ "${VEMRA_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
fi

# Every stage's outcome, printed at the end however the run ends.
stage=""
step_start=0
passed=()
skipped=()
step() { stage=$*; step_start=$(date +%s); echo; echo "=== $*"; }
took() {
  local seconds=$(($(date +%s) - step_start))
  echo "--- $1 took $seconds s"
  passed+=("$1 ($seconds s)")
  stage=""
}
skip() { echo "SKIPPED: $1: $2"; skipped+=("$1: $2"); }
summary() {
  local status=$?
  echo
  echo "=== summary"
  local line
  for line in "${passed[@]}"; do echo "passed:  $line"; done
  [ "$status" -eq 0 ] || [ -z "$stage" ] || echo "FAILED:  $stage (exit $status)"
  for line in "${skipped[@]}"; do echo "skipped: $line"; done
  [ ${#skipped[@]} -gt 0 ] || echo "skipped: nothing"
}
trap summary EXIT

# Whether this machine runs 32-bit x86 programs. Kernels built or booted
# without IA32 emulation (common on cloud and micro-VM kernels) refuse every
# one; a tiny -m32 program that prints its pointer width tells.
# VEMRA_32BIT=qemu acts as if they did not run, VEMRA_32BIT=native as if
# they did.
runs_32bit_programs() {
  case "${VEMRA_32BIT:-auto}" in
    native) return 0 ;;
    qemu) return 1 ;;
    auto) ;;
    *) echo "VEMRA_32BIT must be auto, native or qemu" >&2; exit 2 ;;
  esac
  local dir answer=""
  dir=$(mktemp -d)
  printf '#include <stdio.h>\nint main(void) { printf("%%u\\n", (unsigned)(8 * sizeof(void *))); return 0; }\n' \
    >"$dir/probe.c"
  if ! gcc -m32 -o "$dir/probe" "$dir/probe.c"; then
    rm -rf "$dir"
    echo "gcc -m32 cannot build a 32-bit program (scripts/install-deps.sh installs g++-multilib)" >&2
    exit 1
  fi
  answer=$("$dir/probe" 2>/dev/null) || true
  rm -rf "$dir"
  [ "$answer" = 32 ]
}
if runs_32bit_programs; then
  native32=true
else
  native32=false
  if ! command -v qemu-i386 >/dev/null; then
    echo "this machine does not run 32-bit programs and qemu-i386 is missing (scripts/install-deps.sh installs qemu-user)" >&2
    exit 1
  fi
fi

step "x86_64 Linux: build and tests (ASan+UBSan)"
cmake -S . -B "$build" -DVEMRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug "$werror"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
took "x86_64 Linux"

step "x86_64 Linux: the PKCS #11 module's tests 200 times, shuffled"
# A test that depends on random key material or on the order of the tests
# fails only now and then; many runs in varying order show it.
repeat_log="$build/p11-repeat.log"
"$build/tests/pkcs11/vemra_p11_tests" --gtest_repeat=200 --gtest_shuffle --gtest_brief=1 >"$repeat_log" 2>&1 ||
  { grep -B3 -A25 -m5 'FAILED\|Failure' "$repeat_log"; echo "repeated tests failed: $repeat_log"; exit 1; }
took "repeated module tests"

step "x86_64 Linux: threads on one card, and the PKCS #11 module's own thread, under ThreadSanitizer"
cmake -S . -B build-tsan -DVEMRA_TSAN=ON -DCMAKE_BUILD_TYPE=Debug "$werror"
cmake --build build-tsan -j "$jobs" --target vemra_thread_tests vemra_p11_tests
build-tsan/tests/vemra_thread_tests
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" build-tsan/tests/pkcs11/vemra_p11_tests --gtest_repeat=3 --gtest_shuffle --gtest_brief=1
took "ThreadSanitizer"

if $native32; then
  step "i386 Linux: build and tests (ASan+UBSan)"
  qemu32=OFF
else
  step "i386 Linux: build and tests (ASan+UBSan), every 32-bit program through qemu-i386" \
       "(this machine does not run 32-bit programs)"
  qemu32=ON
fi
cmake -S . -B "$build32" -DVEMRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug "$werror" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i386-linux-gnu.cmake" -DVEMRA_I386_QEMU=$qemu32
cmake --build "$build32" -j "$jobs"
ctest --test-dir "$build32" --output-on-failure -j "$jobs"
count32=$(ctest --test-dir "$build32" -N | sed -n 's/^Total Tests: //p')
if $native32; then took "i386 Linux, $count32 tests"; else took "i386 Linux through qemu-i386, $count32 tests"; fi

step "delivered builds: linux64, linux32, win64, win32"
for preset in linux64 linux32 win64 win32; do
  cmake --preset "$preset" "$werror" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
tests/check_exports.sh build-linux64/libvemradrv64.so tests/expected_exports.txt
tests/check_exports.sh build-linux32/libvemradrv32.so tests/expected_exports.txt
ctest --preset win64
ctest --preset win32
for binary in build-linux64/libvemradrv64.so build-linux32/libvemradrv32.so \
              build-win64/vemradrv64.dll build-win32/vemradrv32.dll; do
  printf 'size of %s: %s bytes\n' "$(basename "$binary")" "$(stat -c %s "$binary")"
done
took "delivered builds"

step "Windows scenario under Wine"
wine_builds=(build-win64 build-win32)
if ! $native32; then
  wine_builds=(build-win64)
  skip "Windows scenario of vemradrv32.dll under Wine" \
       "Wine's 32-bit loader is a 32-bit program, which this machine cannot run (vemradrv32.dll was still built, and its exports, imports and record layout checked)"
fi
status=0
ran=true
if [ ! -f cardsim/CMakeLists.txt ]; then
  skip "Windows scenario under Wine" "the simulated card is not in this tree"
  ran=false
else
  tests/windows/run-wine-scenario.sh --vcard "$build/cardsim/vemra-vcard" --vemractl "$build/vemractl" \
    "${wine_builds[@]}" || status=$?
  if [ "$status" -eq 77 ]; then
    skip "Windows scenario under Wine" "Wine is not installed"
    status=0 ran=false
  fi
fi
[ "$status" -eq 0 ] || exit "$status"
if $ran; then took "Windows scenario under Wine (${wine_builds[*]})"; else stage=""; fi

# What a packager or a user builds: the plain CMake commands with the
# system's compilers and no option, warnings shown but not errors; the tests
# that need pcscd (label "integration") ran in the stages above.
step "plain builds: gcc Release and clang RelWithDebInfo, no options"
plain_build() {
  local dir=$1 type=$2 cc=$3 cxx=$4
  CC=$cc CXX=$cxx cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -LE integration --output-on-failure -j "$jobs"
}
plain_build build-plain-gcc Release gcc g++
plain_build build-plain-clang RelWithDebInfo clang clang++
took "plain builds"

step "session fuzzer, 60 seconds"
scripts/run-fuzz.sh 60
took "session fuzzer"
