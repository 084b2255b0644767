#!/usr/bin/env bash
# Builds the delivered library (Release), the simulated card and the bench,
# and measures the driver through pcscd and the virtual reader:
#  1. vemra-bench: the session per operation, driver ÷ replay, write and read
#     time by file size, heap calls from inside the driver (arguments are
#     passed on, e.g. --iterations 50 or --sizes-only);
#  2. vemra-bench --callgrind under valgrind: the instructions executed inside
#     the driver per APDU (skipped with VEMRA_BENCH_CALLGRIND=0).
# With --actions (further arguments passed on, e.g. --timing off) it runs
# vemra-bench-actions instead: user actions (p11tool, ssh-keygen, vemractl)
# on a laid-out simulated card, commands counted at the bridge and timed
# under its timing model.
# See docs/performance.md for what the figures mean.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEMRA_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEMRA_BUILD_TESTS=OFF >/dev/null
if [ "${1:-}" = --actions ]; then
  shift
  cmake --build "$build" -j 2 --target vemra-bench-actions
  exec "$build/bench/vemra-bench-actions" "$@"
fi
cmake --build "$build" -j 2 --target vemra-bench
bench="$build/bench/vemra-bench"
library="$build/libvemradrv64.so"

# The bench records the PC/SC calls it defines; a driver importing any other
# would escape the counts and the replay.
unrecorded=$(nm -D --undefined-only "$library" | awk '{print $NF}' | grep '^SCard' |
  grep -vx -e SCardBeginTransaction -e SCardEndTransaction -e SCardTransmit || true)
if [ -n "$unrecorded" ]; then
  echo "vemra-bench records no $unrecorded: add it to bench/pcsc_recorder.cpp" >&2
  exit 1
fi

"$bench" "$@"

if [ "${VEMRA_BENCH_CALLGRIND:-1}" = 0 ]; then exit 0; fi
if ! command -v valgrind >/dev/null; then
  echo "Instructions per APDU: not measured (valgrind is not installed)"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/callgrind.out" \
  "$bench" --callgrind >"$work/run.log" 2>&1 || { cat "$work/run.log" >&2; exit 1; }
apdus=$(sed -n 's/^APDUs in the collected session: //p' "$work/run.log")
# Collection runs only while driver code runs; the few instructions of the
# bench's own PC/SC wrappers around each call are left out of the count.
instructions=$(callgrind_annotate --threshold=100 --inclusive=no "$work/callgrind.out" |
  awk -v bench="$(basename "$bench")" '/\[/ && index($0, "/" bench "]") == 0 { gsub(",", "", $1); sum += $1 }
    END { print sum + 0 }')
echo "Instructions inside the driver (callgrind, one session): $instructions for $apdus APDUs," \
  "$((instructions / apdus)) per APDU"
