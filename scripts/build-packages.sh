#!/usr/bin/env bash
# Builds the Debian packages for amd64 from this tree and checks them with
# lintian:
#
#   scripts/build-packages.sh [OUT_DIR]        (default out/packages)
#
# vemradrv (the driver), vemra-pkcs11 (the PKCS #11 module and its p11-kit
# module file), vemractl (the tool and its manual page) and vemra-vcard (the
# simulated card's bridge), each <name>_<version>_amd64.deb, built by CPack's
# DEB generator (cmake/packaging.cmake) from a Release build installed into
# /usr, with Debian's hardening flags. Install them with
# `apt install ./OUT_DIR/*.deb`. Fails when lintian reports an error.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-out/packages}
build=${VEMRA_PACKAGE_BUILD_DIR:-build-packages}
jobs=$(nproc)

# Debian's own compiler and linker flags (hardening included), with the
# project's Release optimisation after them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
# The changelogs' date: the last commit's, so that two builds of a commit match.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVEMRA_BUILD_TESTS=OFF -DVEMRA_PACKAGE_DOCS=ON
cmake --build "$build" -j "$jobs"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$PWD/packages")

mkdir -p "$out"
rm -f "$out"/*.deb
cp "$build"/packages/*.deb "$out"/
for deb in "$out"/*.deb; do
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
lintian --fail-on error "$out"/*.deb
echo "packages: $(cd "$out" && ls -1 ./*.deb | tr '\n' ' ')"
