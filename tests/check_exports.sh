#!/usr/bin/env bash
# Compares the dynamic symbols that a shared library defines with a list of
# expected names, one per line; prints the difference and fails on any.
set -euo pipefail
library=$1
expected=$2
actual=$(nm -D --defined-only "$library" | awk '{print $NF}' | sed 's/@.*//' | LC_ALL=C sort -u)
if ! diff <(LC_ALL=C sort -u "$expected") <(printf '%s\n' "$actual"); then
  echo "exports of $library differ from $expected (< expected only, > exported only)" >&2
  exit 1
fi
echo "exports of $(basename "$library"): $(printf '%s\n' "$actual" | wc -l) names, as expected"
