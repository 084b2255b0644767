#!/usr/bin/env bash
# Checks the Windows registration under Wine, in a fresh 64-bit prefix:
#   inf  vemradrv.inf installed with setupapi's InstallHinfSection
#        (DefaultInstall), then uninstalled (DefaultUninstall);
#   reg  vemradrv.reg imported with regedit, then vemradrv-remove.reg.
# After the install, `reg query` must show every value of both card names in
# both registry views (the 64-bit DLL named in the native view, the 32-bit
# DLL in the WOW64 view) and nothing else under them; the INF must have
# copied the DLLs to System32 and SysWOW64. After the uninstall, the smart-card
# database (with a card of another driver registered beforehand) and the
# system folders must be as before the install.
#
#   tests/windows/check-registration.sh WINDOWS_DIR
#
# WINDOWS_DIR holds vemradrv.inf, vemradrv.reg and vemradrv-remove.reg. The
# DLLs are stand-ins: the registration does not load them. Exits 77 (skipped)
# when Wine is not installed.
set -uo pipefail
source_dir=$1
wine64=${VEMRA_WINE64:-/usr/lib/wine/wine64}
if [ ! -x "$wine64" ]; then
  echo "SKIPPED: Windows registration under Wine: Wine is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vemra-inf.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  if [ -d "$WINEPREFIX" ] && ! timeout 60 wineserver -w 2>/dev/null; then
    wineserver -k 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL ($way): $*"; failures=$((failures + 1)); }
wine() { timeout 120 "$wine64" "$@"; }

if ! timeout 300 "$wine64" wineboot --init >"$work/wineboot.log" 2>&1; then
  echo "wineboot failed:"
  tail -5 "$work/wineboot.log"
  exit 1
fi
# One server for the whole run, so that each command starts quickly.
wineserver -p 2>/dev/null

calais='HKLM\SOFTWARE\Microsoft\Cryptography\Calais'
cards="$calais\\SmartCards"
system32=$WINEPREFIX/drive_c/windows/system32
syswow64=$WINEPREFIX/drive_c/windows/syswow64
inf_dir=$WINEPREFIX/drive_c/vemra
mkdir -p "$inf_dir"
cp "$source_dir"/vemradrv.inf "$source_dir"/vemradrv.reg "$source_dir"/vemradrv-remove.reg "$inf_dir"/
echo "stand-in for vemradrv64.dll" >"$inf_dir/vemradrv64.dll"
echo "stand-in for vemradrv32.dll" >"$inf_dir/vemradrv32.dll"

# The database as Windows has it: the SmartCards key in both views, here
# with another driver's card, which the uninstall must leave alone.
for view in 64 32; do
  wine reg add "$cards\\Other Card" /v ATR /t REG_BINARY /d 3B0200 /f /reg:$view >/dev/null
  wine reg add "$cards\\Other Card" /v 80000001 /t REG_SZ /d other.dll /f /reg:$view >/dev/null
done

# What the registration holds: card name | ATR | mask, each with both
# providers and the view's DLL.
registered_cards="VEMRA MiniDr|3B0B56656D72614D696E694472|FBFFFFFFFFFFFFFFFFFFFFFFFF
VEMRA MiniDr TLV|3B0E8031C0654D4700000172F7418107|FBFFFFFFFFFFFFFF300001FFFFFFFFFF"
expected_values() {  # view dll
  while IFS='|' read -r card atr mask; do
    printf '%s|%s|%s|%s\n' "$card" ATR REG_BINARY "$atr" "$card" ATRMask REG_BINARY "$mask" \
      "$card" "Crypto Provider" REG_SZ "Microsoft Base Smart Card Crypto Provider" \
      "$card" "Smart Card Key Storage Provider" REG_SZ "Microsoft Smart Card Key Storage Provider" \
      "$card" 80000001 REG_SZ "$2"
  done <<<"$registered_cards" | sort
}

# Every value under the VEMRA card names of one view: card|name|type|data.
registered_values() {  # view
  wine reg query "$cards" /s /reg:"$1" | tr -d '\r' | awk -v root="${cards/HKLM/HKEY_LOCAL_MACHINE}\\\\" '
    index($0, root) == 1 { card = substr($0, length(root) + 1); next }
    /^    / && card ~ /^VEMRA/ { split(substr($0, 5), f, "    "); print card "|" f[1] "|" f[2] "|" f[3] }' | sort
}

# The state the uninstall must restore: the database in both views and our
# files in the system folders.
snapshot() {
  for view in 64 32; do wine reg query "$calais" /s /reg:$view | tr -d '\r'; done
  ls "$system32" "$syswow64" | grep -i vemradrv
}

run_setupapi() {  # section
  wine rundll32 setupapi.dll,InstallHinfSection "$1" 128 'C:\vemra\vemradrv.inf'
}

for way in inf reg; do
  snapshot >"$work/before-$way"
  case $way in
    inf) run_setupapi DefaultInstall || fail "InstallHinfSection DefaultInstall failed" ;;
    reg) wine regedit /S 'C:\vemra\vemradrv.reg' || fail "regedit vemradrv.reg failed" ;;
  esac
  for view in 64 32; do
    [ "$view" = 64 ] && dll=vemradrv64.dll || dll=vemradrv32.dll
    if ! diff <(expected_values "$view" "$dll") <(registered_values "$view") >"$work/diff"; then
      fail "the ${view}-bit view differs from the registration (< expected, > found):"
      cat "$work/diff"
    fi
  done
  if [ "$way" = inf ]; then
    cmp -s "$inf_dir/vemradrv64.dll" "$system32/vemradrv64.dll" || fail "vemradrv64.dll not in System32"
    cmp -s "$inf_dir/vemradrv32.dll" "$syswow64/vemradrv32.dll" || fail "vemradrv32.dll not in SysWOW64"
  fi

  case $way in
    inf) run_setupapi DefaultUninstall || fail "InstallHinfSection DefaultUninstall failed" ;;
    reg) wine regedit /S 'C:\vemra\vemradrv-remove.reg' || fail "regedit vemradrv-remove.reg failed" ;;
  esac
  if ! diff "$work/before-$way" <(snapshot) >"$work/diff"; then
    fail "the uninstall left a change (< before the install, > after the uninstall):"
    cat "$work/diff"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "registration: $failures failure(s)"
  exit 1
fi
echo "registration: installed and removed in both views, with the INF and with the .reg files"
