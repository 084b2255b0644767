#!/usr/bin/env bash
# Installs, from Debian's packages, what the build, the tests and the demo
# need. Installs only what is missing, so a second run does nothing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config binutils
  libgtest-dev
  libpcsclite-dev pcscd vsmartcard-vpcd pcsc-tools
  libssl-dev nlohmann-json3-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
