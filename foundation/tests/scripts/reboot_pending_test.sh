#!/usr/bin/env bash
# reboot_pending_test.sh WINE_PREFIX_TOOL PREFIX PROGRAM
#
# Files scheduled for the next start are dealt with by Wine's restart
# (wineboot -r): one deleted and one replaced through
# PendingFileRenameOperations (DeleteOrMoveAtReboot on the NT family), one
# deleted through WININIT.INI (the Windows 9x route, which Wine's restart
# also carries out). A file next to them must survive. PREFIX is a prefix
# of this test's own, made from the shared template on first use.
set -euo pipefail
prefix_tool=$1
prefix=$(realpath -m "$2")
program=$3

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
fail() { echo "FAIL: $*" >&2; exit 1; }

"$prefix_tool" "$prefix" --start
trap '"$prefix_tool" "$prefix" --stop' EXIT

dir=$prefix/drive_c/purgekit-reboot-test
win='C:\purgekit-reboot-test'
rm -rf "$dir"
mkdir -p "$dir"
echo delete-me >"$dir/pending.txt"
echo old >"$dir/target.txt"
echo new >"$dir/source.txt"
echo delete-me-too >"$dir/wininit.txt"
echo keep >"$dir/decoy.txt"
# Wine finds file names without regard to case; the host does not.
windir=$prefix/drive_c/windows
rm -f "$windir"/[Ww][Ii][Nn][Ii][Nn][Ii][Tt].*

wine "$program" delete "$win\\pending.txt" || fail "delete was not scheduled"
wine "$program" move "$win\\source.txt" "$win\\target.txt" || fail "move was not scheduled"
wine "$program" wininit "$win\\wininit.txt" || fail "WININIT.INI line was not written"

# Before the restart: everything is still there, and Windows' own record of
# the delayed operations names the files.
key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'
pending=$(wine reg query "$key" /v PendingFileRenameOperations 2>/dev/null | tr -d '\r') ||
  fail "no PendingFileRenameOperations value"
echo "$pending"
grep -qi 'purgekit-reboot-test\\pending.txt' <<<"$pending" || fail "pending.txt not listed"
grep -qi 'purgekit-reboot-test\\source.txt' <<<"$pending" || fail "source.txt not listed"
for f in pending.txt source.txt target.txt wininit.txt; do
  [ -f "$dir/$f" ] || fail "$f went before the restart"
done
ini=$(find "$windir" -maxdepth 1 -iname wininit.ini | head -1)
[ -n "$ini" ] || fail "no WININIT.INI"
tr -d '\r' <"$ini"
grep -qix 'NUL=C:\\[^=]*' <(tr -d '\r' <"$ini") || fail "WININIT.INI has no NUL= line"

wineboot -r </dev/null >/dev/null 2>&1 || fail "wineboot -r failed"

[ ! -e "$dir/pending.txt" ] || fail "pending.txt survived the restart"
[ ! -e "$dir/wininit.txt" ] || fail "wininit.txt survived the restart"
[ ! -e "$dir/source.txt" ] || fail "source.txt was not moved"
[ "$(cat "$dir/target.txt")" = new ] || fail "target.txt was not replaced"
[ "$(cat "$dir/decoy.txt")" = keep ] || fail "decoy.txt was touched"
after=$(wine reg query "$key" /v PendingFileRenameOperations 2>/dev/null | tr -d '\r' || true)
! grep -qi 'purgekit-reboot-test' <<<"$after" || fail "the operations are still pending"
[ -z "$(find "$windir" -maxdepth 1 -iname wininit.ini)" ] || fail "WININIT.INI was not carried out"
rm -rf "$dir"
echo "PASS"
