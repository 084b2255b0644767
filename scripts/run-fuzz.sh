#!/usr/bin/env bash
# Runs the session fuzzer for SECONDS (default 60) on one core:
#   scripts/run-fuzz.sh [SECONDS] [libFuzzer options...]
# Builds the fuzzing build (clang, VEMRA_FUZZ=ON) in build-fuzz/ (or
# $VEMRA_FUZZ_BUILD_DIR), records the seed corpus from sessions against the
# simulated card, and fuzzes from it and from the corpus of earlier runs in
# build-fuzz/corpus/. A finding stops the run with a non-zero exit; its input
# is kept as build-fuzz/findings/crash-* and replays with
#   build-fuzz/fuzz/vemra_session_fuzzer build-fuzz/findings/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -eq 0 ] || shift
build=${VEMRA_FUZZ_BUILD_DIR:-build-fuzz}

cmake -S . -B "$build" -DVEMRA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMRA_WERROR="${VEMRA_WERROR:-OFF}" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 --target vemra_session_fuzzer vemra-record-seeds

mkdir -p "$build/seeds" "$build/corpus" "$build/findings"
"$build/fuzz/vemra-record-seeds" "$build/seeds"
"$build/fuzz/vemra_session_fuzzer" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$build/findings/" "$@" "$build/corpus" "$build/seeds"
