#!/usr/bin/env bash
# Installs what is missing, builds the driver, vemractl, the PKCS #11 module
# and the simulated card, and runs `vemractl demo`: with no supported card in
# a reader it starts pcscd (when none runs) and the simulated card on the
# virtual reader, walks through the whole story and stops what it started.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${VEMRA_DEMO_BUILD_DIR:-build-demo}
# VEMRA_WERROR=ON (as CI sets it) makes warnings errors.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMRA_WERROR="${VEMRA_WERROR:-OFF}"
cmake --build "$build" -j "$(nproc)" --target vemradrv vemractl vemra-pkcs11 vemra-vcard
exec "$build"/vemractl demo "$@"
