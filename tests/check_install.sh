#!/usr/bin/env bash
# Installs a build into temporary places and checks that the install keeps
# to them: every file of install_manifest.txt (which lists installed paths,
# without DESTDIR) lies under the prefix, the files on disk under DESTDIR are
# exactly those, and p11-kit's module file names the installed module (by its
# path without DESTDIR), which exists.
#
#   tests/check_install.sh BUILD_DIR module|no-module
# (no-module: a build without the PKCS #11 module, which must then install
# no module file).
set -euo pipefail
build=$1
expect_module=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/vemra-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL ($case_name): $*"; failures=$((failures + 1)); }

# name | DESTDIR | prefix
cases="plain-prefix||$work/plain/prefix
staged-usr|$work/staged|/usr
staged-opt|$work/opt-stage|/opt/vemra test"

while IFS='|' read -r case_name destdir prefix; do
  root=$destdir$prefix
  if ! DESTDIR=$destdir cmake --install "$build" --prefix "$prefix" >"$work/$case_name.log" 2>&1; then
    fail "cmake --install failed: $(tail -3 "$work/$case_name.log")"
    continue
  fi
  manifest=$build/install_manifest.txt
  [ -s "$manifest" ] || { fail "no install_manifest.txt"; continue; }
  outside=$(grep -v -F "$prefix/" "$manifest" || true)
  [ -z "$outside" ] || fail "written outside $prefix: $outside"
  # What the install left on disk under its top folder is what the manifest lists.
  top=${destdir:-$prefix}
  diff <(sed "s|^|$destdir|" "$manifest" | sort) <(find "$top" -type f -o -type l | sort) >"$work/diff" ||
    fail "files on disk differ from the manifest: $(cat "$work/diff")"

  module_file=$root/share/p11-kit/modules/vemra.module
  if [ "$expect_module" = no-module ]; then
    [ ! -e "$module_file" ] || fail "a module file without the module"
    continue
  fi
  if [ ! -f "$module_file" ]; then
    fail "no module file $module_file"
    continue
  fi
  module=$(sed -n 's/^module: //p' "$module_file")
  case "$module" in
    "$prefix"/*/libvemra-pkcs11.so) ;;
    *) fail "the module file names '$module', not a module under $prefix" ;;
  esac
  [ -f "$destdir$module" ] || fail "the module file names $module, which was not installed"
  grep -q -x -F "$module" "$manifest" || fail "$module is not in the manifest"
done <<<"$cases"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install: every case kept to its prefix"
