#!/usr/bin/env bash
# Checks that the optimised probe (tests/wipe_probe.cpp) still zeroes its
# dying secret: its code must call the wipe's zeroing routine.
# usage: check_wipe.sh OBJDUMP OBJECT
set -euo pipefail
objdump=$1
object=$2
code=$("$objdump" -dr --no-show-raw-insn --disassemble=vemra_wipe_probe "$object")
if ! grep -q '<vemra_wipe_probe>:' <<<"$code"; then
  echo "no function vemra_wipe_probe in $object" >&2
  exit 1
fi
# The relocations inside the function's own address range (objdump also
# lists some that lie before it).
calls=""
start=-1
while IFS= read -r line; do
  if [[ $line =~ ^([0-9a-f]+)\ \<vemra_wipe_probe\>:$ ]]; then
    start=$((16#${BASH_REMATCH[1]}))
  elif [[ $line =~ ^[[:space:]]+([0-9a-f]+):\ (R_[A-Z0-9_]+)[[:space:]]+((__)?(explicit_bzero|memset)(_chk)?)([-+]|$) ]]; then
    if [ "$start" -ge 0 ] && [ $((16#${BASH_REMATCH[1]})) -ge "$start" ]; then
      calls+="${BASH_REMATCH[3]} "
    fi
  fi
done <<<"$code"
if [ -n "$calls" ]; then
  echo "the optimised code zeroes the secret: $calls"
  exit 0
fi
echo "the optimiser dropped the wipe of a dying secret in vemra_wipe_probe:" >&2
echo "$code" >&2
exit 1
