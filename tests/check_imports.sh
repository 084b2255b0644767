#!/usr/bin/env bash
# Fails when a Windows DLL imports from anything but system DLLs: KERNEL32,
# WinSCard, msvcrt and the api-ms-win-crt set. A C++ runtime, libgcc or
# winpthread DLL among the imports means the runtime was not linked in, and
# the driver would not load on a machine without them. Further names given
# after the DLL are allowed too (the test programs import WS2_32, VERSION and
# the test winscard.dll).
set -euo pipefail
library=$1
shift
extra=" $(printf '%s ' "${@,,}")"
imports=$(objdump -p "$library" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
[ -n "$imports" ] || { echo "$library: no import table found" >&2; exit 1; }
bad=0
while IFS= read -r dll; do
  case "${dll,,}" in
    kernel32.dll|winscard.dll|msvcrt.dll|api-ms-win-crt-*.dll) ;;
    *) [[ "$extra" == *" ${dll,,} "* ]] && continue
       echo "$(basename "$library") imports $dll, which is not a system DLL" >&2; bad=1 ;;
  esac
done <<<"$imports"
[ "$bad" -eq 0 ] || exit 1
echo "imports of $(basename "$library"): $(echo $imports)"
