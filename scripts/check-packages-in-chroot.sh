#!/usr/bin/env bash
# Checks the Debian packages in a fresh Debian 12: a copy of a minimal
# bookworm made with debootstrap, in a network namespace of its own (its
# pcscd and virtual reader do not meet the machine's). There,
#   1. `apt install ./*.deb` installs the packages and what they depend on;
#   2. with pcscd and the simulated card (vemra-vcard) running,
#      `vemractl info` and `p11tool --list-tokens` (no --provider; gnutls-bin
#      installed for it) show the card;
#   3. `apt remove` of the packages leaves none of their files behind.
#
#   scripts/check-packages-in-chroot.sh [PACKAGE_DIR]    (default out/packages)
#
# Run as root (debootstrap, chroot, mounts). The base system is made once in
# $VEMRA_CHROOT_BASE (default /var/tmp/vemra-bookworm) from Debian's mirror
# and copied afresh for every run. Exits non-zero when a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=$(realpath "${1:-out/packages}")
base=${VEMRA_CHROOT_BASE:-/var/tmp/vemra-bookworm}
mirror=${VEMRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
  echo "check-packages-in-chroot: run as root (debootstrap, chroot and mounts need it)" >&2
  exit 2
fi
ls "$packages"/*.deb >/dev/null
if [ ! -x "$base/usr/bin/apt-get" ]; then
  rm -rf "$base"
  debootstrap --variant=minbase bookworm "$base" "$mirror"
fi

root=$(mktemp -d /var/tmp/vemra-chroot.XXXXXX)
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
mount -t proc proc "$root/proc"
mkdir -p "$root/debs"
cp "$packages"/*.deb "$root/debs/"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Inside the chroot: installation, the card through pcscd, removal. The
# network namespace has only its own loopback, brought up first; package
# downloads happen before it is entered.
cat >"$root/check.sh" <<'EOF'
#!/bin/bash
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
failures=0
# check WHAT COMMAND...: runs the command, counts a failure.
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
step=$1
case "$step" in
  install)
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends ./debs/*.deb gnutls-bin >/tmp/apt-install.log 2>&1 ||
      { tail -20 /tmp/apt-install.log; exit 1; }
    sed -n 's/^Setting up \([^ ]*\).*/  installed \1/p' /tmp/apt-install.log
    for deb in debs/*.deb; do dpkg-deb -f "$deb" Package; done >/tmp/our-packages
    for p in $(cat /tmp/our-packages); do dpkg -L "$p"; done | sort -u >/tmp/our-files
    ;;
  card)
    pcscd --foreground >/tmp/pcscd.log 2>&1 &
    pcscd_pid=$!
    sleep 1
    vemra-vcard --reconnect >/tmp/vcard.log 2>&1 &
    vcard_pid=$!
    sleep 3
    vemractl info >/tmp/info.txt 2>&1; echo "vemractl info: exit $?"; cat /tmp/info.txt
    p11tool --list-tokens >/tmp/tokens.txt 2>&1; echo "p11tool --list-tokens: exit $?"; cat /tmp/tokens.txt
    check "vemractl info shows the card's ATR" grep -q '^ATR: *3B0B56656D72614D696E694472$' /tmp/info.txt
    check "p11tool --list-tokens shows the token" grep -q 'model=VEMRA_MINIDR' /tmp/tokens.txt
    check "... through the installed module" \
      grep -q 'Module: /usr/lib/x86_64-linux-gnu/pkcs11/libvemra-pkcs11.so' /tmp/tokens.txt
    p11-kit list-modules >/tmp/modules.txt 2>&1
    check "p11-kit lists the module (the proxy, OpenSSL's engine's default, offers it)" \
      grep -q '^vemra: /usr/lib/x86_64-linux-gnu/pkcs11/libvemra-pkcs11.so' /tmp/modules.txt
    kill "$vcard_pid" "$pcscd_pid"
    wait "$vcard_pid" "$pcscd_pid" 2>/dev/null
    ;;
  remove)
    apt-get remove -y -qq $(cat /tmp/our-packages) >/tmp/apt-remove.log 2>&1 ||
      { tail -20 /tmp/apt-remove.log; exit 1; }
    # A file of the packages still there, or a folder no installed package owns.
    left=$(while read -r f; do
      if [ -f "$f" ] || [ -L "$f" ]; then echo "$f"; fi
      if [ -d "$f" ] && ! [ -L "$f" ] && ! dpkg -S "$f" >/dev/null 2>&1; then echo "$f/"; fi
    done </tmp/our-files)
    check "apt remove leaves no file of the packages" test -z "$left"
    [ -z "$left" ] || echo "$left"
    ;;
esac
exit "$failures"
EOF
chmod +x "$root/check.sh"

status=0
echo "=== apt install ./*.deb in a fresh Debian 12"
chroot "$root" /check.sh install || status=1
if [ "$status" -eq 0 ]; then
  echo "=== pcscd, the simulated card, vemractl info, p11tool --list-tokens"
  unshare --net sh -c "ip link set lo up && chroot '$root' /check.sh card" || status=1
  echo "=== apt remove"
  chroot "$root" /check.sh remove || status=1
fi
[ "$status" -eq 0 ] && echo "chroot check: passed" || echo "chroot check: FAILED"
exit "$status"
