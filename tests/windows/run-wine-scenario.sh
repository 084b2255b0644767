#!/usr/bin/env bash
# Runs the Windows end-to-end scenario under Wine: for each Windows build
# given, vemra_wine_scenario.exe loads the build's driver DLL and talks,
# through the test winscard.dll beside it, to a fresh simulated card served
# by the bridge vemra-vcard.
#
#   tests/windows/run-wine-scenario.sh --vcard PATH [--vemractl PATH] BUILD_DIR...
#
# With --vemractl, its demo first runs on a simulated card kept in a file
# (through pcscd and the virtual reader, as on Linux); each DLL then also
# reads the certificate the demo wrote to that card (the scenario's
# "certificate" steps), on a copy of it.
#
# One Wine prefix serves the whole run; it is created under a temporary
# folder and removed at the end. Exits 77 (skipped) when Wine is not
# installed, 1 when a scenario failed. The last line is
# "wine: N passed, N failed" (one per DLL, and one more per DLL with
# --vemractl).
set -uo pipefail

vcard=""
vemractl=""
builds=()
while [ $# -gt 0 ]; do
  case "$1" in
    --vcard) vcard=$2; shift 2 ;;
    --vemractl) vemractl=$2; shift 2 ;;
    *) builds+=("$1"); shift ;;
  esac
done
if [ -z "$vcard" ] || [ ${#builds[@]} -eq 0 ]; then
  echo "usage: $0 --vcard PATH [--vemractl PATH] BUILD_DIR..." >&2
  exit 2
fi

wine64=${VEMRA_WINE64:-/usr/lib/wine/wine64}
wine32=${VEMRA_WINE32:-/usr/lib/wine/wine}
if [ ! -x "$wine64" ]; then
  echo "SKIPPED: Windows scenario under Wine: Wine is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi
if [ ! -x "$vcard" ]; then
  echo "wine: the simulated card bridge $vcard is missing" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vemra-wine.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="winscard=n;mscoree,mshtml="
bridge=""
cleanup() {
  if [ -n "$bridge" ] && kill -0 "$bridge" 2>/dev/null; then
    kill "$bridge" 2>/dev/null
    wait "$bridge" 2>/dev/null
  fi
  # The prefix's own server and services end a few seconds after the last
  # program; a server that does not is stopped (it serves this prefix only).
  if [ -d "$WINEPREFIX" ] && ! timeout 60 wineserver -w 2>/dev/null; then
    wineserver -k 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

start=$(seconds)
if ! timeout 300 "$wine64" wineboot --init >"$work/wineboot.log" 2>&1; then
  cat "$work/wineboot.log" >&2
  echo "wine: creating the Wine prefix failed" >&2
  exit 1
fi
timeout 60 wineserver -w 2>/dev/null
echo "wine: prefix created in $(elapsed "$start") s"

if [ -n "$vemractl" ]; then
  start=$(seconds)
  if ! "$vemractl" demo --vcard "$vcard" --save-card "$work/card.json" >"$work/demo.log" 2>&1; then
    sed 's/^/  /' "$work/demo.log"
    echo "wine: vemractl demo failed; no card with a certificate for the DLLs" >&2
    exit 1
  fi
  if [ ! -s "$work/card.json" ]; then
    echo "wine: vemractl demo ran on another card than the simulated one; nothing kept for the DLLs" >&2
    exit 1
  fi
  echo "wine: vemractl demo kept its card with the certificate it wrote ($(elapsed "$start") s)"
fi

# Runs the scenario program of one build under Wine against a bridge; the
# card is fresh, or a copy of the demo's card for the "certificate" steps.
# Prints the program's output; its exit status.
run_scenario() {
  local build=$1 dll=$2 loader=$3 mode=$4
  local run=$WINEPREFIX/drive_c/vemra-${dll%.dll}
  local log=$work/${dll%.dll}$mode.log state=()
  mkdir -p "$run"
  cp "$build/$dll" "$build/tests/windows/winscard.dll" "$build/tests/windows/vemra_wine_scenario.exe" "$run/"
  if [ -n "$mode" ]; then
    cp "$work/card.json" "$work/card-${dll%.dll}.json"
    state=(--state "$work/card-${dll%.dll}.json")
  fi
  # The program listens (in SCardEstablishContext) on a port the system
  # chooses and names it; then the bridge connects there as the card.
  (cd "$run" && exec timeout 300 "$loader" vemra_wine_scenario.exe "$dll" $mode) >"$log" 2>&1 &
  local program=$! port=""
  for _ in $(seq 1 600); do
    port=$(sed -n 's/^vpcd listening on port \([0-9]*\).*/\1/p' "$log" | head -n1)
    [ -n "$port" ] && break
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
  done
  if [ -n "$port" ]; then
    "$vcard" --port "$port" --wait 10 "${state[@]}" >"$work/bridge-${dll%.dll}.log" 2>&1 &
    bridge=$!
  fi
  wait "$program"
  local rc=$?
  if [ -n "$bridge" ]; then
    kill "$bridge" 2>/dev/null
    wait "$bridge" 2>/dev/null
    bridge=""
  fi
  sed 's/^/  /' "$log"
  if [ "$rc" -ne 0 ]; then
    echo "  the bridge said:"
    sed 's/^/  /' "$work/bridge-${dll%.dll}.log" 2>/dev/null | tail -n 20
  fi
  return "$rc"
}

passed=0
failed=0
for build in "${builds[@]}"; do
  if [ -f "$build/vemradrv64.dll" ]; then
    dll=vemradrv64.dll loader=$wine64
  elif [ -f "$build/vemradrv32.dll" ]; then
    dll=vemradrv32.dll loader=$wine32
  else
    echo "not ok - $build holds no driver DLL"
    failed=$((failed + 1))
    continue
  fi
  modes=("")
  [ -n "$vemractl" ] && modes+=(certificate)
  for mode in "${modes[@]}"; do
    what="$dll scenario${mode:+ ($mode written by vemractl)}"
    start=$(seconds)
    if run_scenario "$build" "$dll" "$loader" "$mode"; then
      echo "ok - $what under Wine ($(elapsed "$start") s)"
      passed=$((passed + 1))
    else
      echo "not ok - $what under Wine"
      failed=$((failed + 1))
    fi
  done
done

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
