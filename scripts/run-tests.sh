#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test: the unit tests against the in-process PC/SC double, the
# simulator's own tests, the export check of the delivered library and the
# end-to-end tests through pcscd and the virtual reader.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEMRA_TEST_BUILD_DIR:-build-tests}
cmake -S . -B "$build" -DVEMRA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure
