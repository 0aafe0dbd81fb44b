#!/usr/bin/env bash
# mode_run.sh MODE PURGEKIT_EXE WORKDIR
#
# One mode of the program on a prefix of its own, laid out with the maker's
# footprint and others' records beside it; afterwards exactly the records
# that the layout's manifest gives to MODE are gone, everything else watched
# is as it was, and a second run changes nothing more.
#
# registry: the maker's installer, uninstall, COM and shell records go from
# both views (reg export of the watched keys, reg query of the installer
# records); others' records, some in keys shared with the maker, stay.
#
# file: the maker's program folders go (read-only, hidden and system entries
# inside; one folder named twice, in other letter case); decoys stay: another
# vendor's folder, files at the drive root and in the Windows folder, and
# maker's records that name "C:\", "C:\Windows", a relative path (which,
# taken against the current directory C:\, is the other vendor's folder) and
# a program file at the drive root. The registry is as it was but for the
# four next-logon commands, which hold exactly the 64-bit Windows texts (the
# prefix is WOW64).
set -euo pipefail
mode=$1
exe=$(realpath "$2")
work=$(realpath -m "$3")
top=$(cd "$(dirname "$0")/../../.." && pwd)
footprint=$top/cleanup/layout/footprint

. "$top/cleanup/tests/e2e/prefix.sh"
start_prefix "$work"

"$footprint" apply
# The program runs from a drive of the machine, with its payload beside it,
# as it would be installed (a host path has no drive letter here); it is put
# in place before the first snapshot, so that it is no change of the run.
mkdir -p "$WINEPREFIX/drive_c/purgekit"
cp "$exe" "$WINEPREFIX/drive_c/purgekit/purgekit.exe"
cp "${exe%.exe}.dat" "$WINEPREFIX/drive_c/purgekit/purgekit.dat"
"$footprint" snapshot "$work/before"
run "$mode"
"$footprint" snapshot "$work/after"
"$footprint" diff "$work/before" "$work/after" "$mode" >"$work/diff.txt"

failed=0
"$footprint" check "$work/before" "$work/after" "$mode" || failed=1
# The installer records are also asked for one by one in both views.
[ "$mode" != registry ] || "$footprint" query registry || failed=1

run "$mode" || failed=1
"$footprint" snapshot "$work/again"
echo -n "second run: "
"$footprint" same "$work/after" "$work/again" || failed=1

[ "$failed" -eq 0 ] || echo "the diff of the first run is in $work/diff.txt"
status=$failed
exit "$status"
