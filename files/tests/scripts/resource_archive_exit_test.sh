#!/usr/bin/env bash
# resource_archive_exit_test.sh PREFIX PROBE CATALOG
#
# The payload archive that the start-up opens stays open for the whole run
# and is released by an exit handler. A program with the product's start-up
# (PROBE, payload_probe) gets its payload in a ".dat" file beside it, made
# here with Python's zipfile from the built CATALOG; while wmain runs, the
# file cannot be opened exclusively, and once the exit handlers have run it
# can. PREFIX is the tests' running Wine prefix.
set -euo pipefail
prefix=$(realpath -m "$1")
probe=$(realpath "$2")
catalog=$(realpath "$3")

. "$(dirname "$0")/probe_root.sh"
probe_root "$prefix" purgekit-archive-exit
fail() { echo "FAIL: $*" >&2; exit 1; }

cp "$probe" "$root/bin/probe.exe"
python3 - "$catalog" "$root/bin/probe.dat" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[2], "w", zipfile.ZIP_DEFLATED) as z:
    z.write(sys.argv[1], "purgekit.msg")
PY

rc=0
out=$(cd "$root/work" && timeout 120 wine "C:\\$name\\bin\\probe.exe" hold </dev/null 2>/dev/null | tr -d '\r') || rc=$?
echo "$out"
[ "$rc" -eq 0 ] || fail "the probe ended with $rc"
# "during=busy" shows that the check sees an open archive at all.
[ "$out" = "$(printf 'during=busy\nexit=free')" ] || fail "the archive was not held during the run and released at exit"
echo PASS
