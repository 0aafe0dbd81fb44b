#!/usr/bin/env bash
# zip_many_entries_test.sh PREFIX PROBE CATALOG DIR
#
# The framework's ZIP reader under Wine on the archive of 65,535 entries
# that Python's zipfile wrote at build time (DIR, from make_many.py: the
# archive, unzip's list of its names, and the bytes unzip -p gives for a
# sample of its entries). PROBE (payload_probe list) must list exactly the
# names unzip lists, in the same order, and read every entry of the sample,
# to its CRC check, byte-identical to unzip -p. PREFIX is the tests' running
# Wine prefix; CATALOG the built message catalog, which the probe's start-up
# loads.
set -euo pipefail
prefix=$(realpath -m "$1")
probe=$(realpath "$2")
catalog=$(realpath "$3")
dir=$(realpath "$4")

. "$(dirname "$0")/probe_root.sh"
probe_root "$prefix" purgekit-zip-many
fail() { echo "FAIL: $*" >&2; exit 1; }

cp "$probe" "$root/bin/probe.exe"
cp "$catalog" "$root/bin/purgekit.msg"
cp "$dir/many.zip" "$root/many.zip"
cp -r "$dir/sample" "$root/sample"

mapfile -t sample <"$dir/sample.list"
[ "${#sample[@]}" -gt 0 ] || fail "no sample in $dir/sample.list"
# What the probe must print: every name unzip lists, the sample's marked.
awk 'NR == FNR { chosen[$0] = 1; next } { print $0 (($0 in chosen) ? " same" : "") }
     END { print "entries " FNR }' "$dir/sample.list" "$dir/many.names" >"$root/expected.txt"
[ "$(grep -c ' same$' "$root/expected.txt")" -eq "${#sample[@]}" ] ||
  fail "the sample names entries unzip does not list"

rc=0
(cd "$root/work" &&
 timeout 300 wine "C:\\$name\\bin\\probe.exe" list "C:\\$name\\many.zip" "C:\\$name\\sample" "${sample[@]}" \
   </dev/null 2>/dev/null | tr -d '\r' >"$root/got.txt") || rc=$?
[ "$rc" -eq 0 ] || { head -5 "$root/got.txt"; fail "the probe ended with $rc"; }
tail -1 "$root/got.txt"
grep ' ' "$root/got.txt" | grep -v '^entries ' || true
if ! cmp -s "$root/expected.txt" "$root/got.txt"; then
  diff "$root/expected.txt" "$root/got.txt" | head -20 || true
  fail "the reader's listing or sample differs from unzip's"
fi
echo PASS
