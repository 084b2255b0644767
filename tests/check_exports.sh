#!/usr/bin/env bash
# Compares the names that a delivered binary exports with a list of expected
# names, one per line; prints the difference and fails on any. ELF shared
# libraries: the dynamic symbols they define (nm -D --defined-only). PE DLLs:
# the names of the export table (objdump -p), exactly as GetProcAddress sees
# them, so a decorated __stdcall name (_Name@8) counts as a different name.
set -euo pipefail
library=$1
expected=$2
case "$(objdump -f "$library" | sed -n 's/.*file format //p' | head -n1)" in
  pe*|pei*)
    actual=$(objdump -p "$library" |
      sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | LC_ALL=C sort -u)
    ;;
  *)
    actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | sed 's/@.*//' | LC_ALL=C sort -u)
    ;;
esac
if ! diff <(LC_ALL=C sort -u "$expected") <(printf '%s\n' "$actual"); then
  echo "exports of $library differ from $expected (< expected only, > exported only)" >&2
  exit 1
fi
echo "exports of $(basename "$library"): $(printf '%s\n' "$actual" | grep -c .) names, as expected"
