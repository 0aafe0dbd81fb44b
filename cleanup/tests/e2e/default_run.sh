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
# more. The stand-in's disk images, a dynamic-disk group among them, are
# read by the disk scan and left byte for byte as they were.
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
# A dynamic-disk group (three members of a RAID-5 volume, laid out by the
# fixture writer and judged by ldmtool in the dynamic-disk tests) among the
# stand-in's drives: the disk scan reads its database, and no image may
# change by a byte.
for image in $(python3 "$top/dynamicdisks/testsupport/ldm_fixture.py" build raid5 "$work/sblib"); do
  echo "drive S:\\$(basename "$image")" >>"$work/sblib/config.txt"
done
image_sums() { (cd "$work/sblib" && sha256sum -- *.img); }
image_sums >"$work/images.before"
"$footprint" snapshot "$work/before"
failed=0
run || failed=1
"$footprint" snapshot "$work/after"
"$footprint" diff "$work/before" "$work/after" default >"$work/diff.txt"

"$footprint" check "$work/before" "$work/after" default || failed=1
"$footprint" services default || failed=1
grep -q '^sbDoneLib' "$work/sblib/calls.log" && echo "the disk scan ran through the snapshot library" ||
  { echo "FAIL the snapshot library was not used"; failed=1; }
# Sector 6 of an MBR disk is where the dynamic-disk header lies; only
# dynamic-disk discovery reads it on its own.
grep -q '^sbReadDrive([0-9]*, 6, 1) = 0' "$work/sblib/calls.log" &&
  echo "the disk scan read the dynamic disks' headers" ||
  { echo "FAIL the disk scan did not reach dynamic-disk discovery"; failed=1; }

run || failed=1
"$footprint" snapshot "$work/again"
echo -n "second run: "
"$footprint" same "$work/after" "$work/again" || failed=1
image_sums >"$work/images.after"
if cmp -s "$work/images.before" "$work/images.after"; then
  echo "every disk image is byte for byte as it was"
else
  echo "FAIL disk images changed:"
  diff "$work/images.before" "$work/images.after" || true
  failed=1
fi

[ "$failed" -eq 0 ] || echo "the diff of the first run is in $work/diff.txt"
status=$failed
exit "$status"
