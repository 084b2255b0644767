#!/usr/bin/env bash
# Builds the driver and the simulated card and runs the driver's end-to-end
# checks against the simulated card, through pcscd and the virtual reader
# when the simulator is present, otherwise through the in-process PC/SC double.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEMRA_DEMO_BUILD_DIR:-build-demo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"
if ctest --test-dir "$build" -N -L integration | grep -q 'Total Tests: [1-9]'; then
  ctest --test-dir "$build" -L integration --output-on-failure -V
else
  "$build"/tests/vemra_unit_tests --gtest_filter='AcquireContextTest.*:PrologueTest.*'
fi
