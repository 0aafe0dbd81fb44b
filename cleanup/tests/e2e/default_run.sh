#!/usr/bin/env bash
# default_run.sh PURGEKIT_EXE STANDINS_DIR KEYSEC_EXE DORVEX_DLL WORKDIR
#
# The whole default run, as a machine with the products installed sees it:
# the product (the program with its payload appended) in its folder with the
# property-sheet library stand-ins beside it and the snapshot-library
# stand-in where the products install the real one, on a prefix laid out
# with the complete footprint of cleanup/layout and others' records beside
# it. Afterwards every record the manifest gives to the default run is gone
# (the control-panel item written back with its owner and access list as
# they were, the shell keys, the drivers' filter entries, services and
# pending command, the boot-wizard folders), the next-logon commands hold
# exactly their texts, and every other watched key, value, file, folder,
# service, owner and access list is as it was. A second run changes nothing
# more.
set -euo pipefail
exe=$(realpath "$1")
standins=$(realpath "$2")
keysec=$(realpath "$3")
dll=$(realpath "$4")
work=$(realpath -m "$5")
top=$(cd "$(dirname "$0")/../../.." && pwd)
footprint=$top/cleanup/layout/footprint

. "$top/cleanup/tests/e2e/prefix.sh"
start_prefix "$work"
export PURGEKIT_KEYSEC=$keysec

"$footprint" apply >"$work/apply.txt"
install_product "$exe" "$standins" "$dll" "$work/sblib"
"$footprint" snapshot "$work/before"
failed=0
run || failed=1
"$footprint" snapshot "$work/after"
"$footprint" diff "$work/before" "$work/after" default >"$work/diff.txt"

"$footprint" check "$work/before" "$work/after" default || failed=1
"$footprint" services default || failed=1
grep -q '^sbDoneLib' "$work/sblib/calls.log" && echo "the disk scan ran through the snapshot library" ||
  { echo "FAIL the snapshot library was not used"; failed=1; }

run || failed=1
"$footprint" snapshot "$work/again"
echo -n "second run: "
"$footprint" same "$work/after" "$work/again" || failed=1

[ "$failed" -eq 0 ] || echo "the diff of the first run is in $work/diff.txt"
status=$failed
exit "$status"
