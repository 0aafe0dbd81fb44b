#!/usr/bin/env bash
# registry_mode.sh PURGEKIT_EXE WORKDIR
#
# The registry mode on a prefix of its own in which the layout has put the
# maker's installer, uninstall, COM and shell records and others' records
# beside them: afterwards every record of the maker is gone from both views
# (reg export of the watched keys, reg query of the installer records), the
# others' records and everything else watched are as they were, and a second
# run changes nothing.
set -euo pipefail
exe=$(realpath "$1")
work=$(realpath -m "$2")
top=$(cd "$(dirname "$0")/../../.." && pwd)
footprint=$top/cleanup/layout/footprint

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
"$top/tools/wine-prefix" "$WINEPREFIX" --start
status=1
finish() {
  wineserver -k 2>/dev/null || true
  # A prefix is large; keep it only to look into a failure.
  [ "$status" -ne 0 ] || rm -rf "$WINEPREFIX"
}
trap finish EXIT

run() {
  local rc=0
  (cd "$WINEPREFIX/drive_c" && wine 'C:\purgekit\purgekit.exe' "$@" </dev/null) || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "purgekit.exe $* ended with $rc, not 0"
    return 1
  fi
}

"$footprint" apply
# The program runs from a drive of the machine, with its payload beside it,
# as it would be installed (a host path has no drive letter here); it is put
# in place before the first snapshot, so that it is no change of the run.
mkdir -p "$WINEPREFIX/drive_c/purgekit"
cp "$exe" "$WINEPREFIX/drive_c/purgekit/purgekit.exe"
cp "${exe%.exe}.dat" "$WINEPREFIX/drive_c/purgekit/purgekit.dat"
"$footprint" snapshot "$work/before"
run registry
"$footprint" snapshot "$work/after"
"$footprint" diff "$work/before" "$work/after" >"$work/diff.txt"

failed=0
"$footprint" check "$work/before" "$work/after" registry || failed=1
"$footprint" query registry || failed=1

run registry || failed=1
"$footprint" snapshot "$work/again"
echo -n "second run: "
"$footprint" same "$work/after" "$work/again" || failed=1

[ "$failed" -eq 0 ] || echo "the diff of the first run is in $work/diff.txt"
status=$failed
exit "$status"
