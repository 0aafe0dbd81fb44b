#!/usr/bin/env bash
# packed_reader_test.sh PREFIX UNZIP PROBE ARCHIVE...
#
# The framework's own ZIP reader against unzip on the payload as it ships:
# each ARCHIVE (the packed program, the program with the archive appended,
# and the ".dat" archive) is read under Wine by PROBE (payload_probe dump),
# which compares every entry, read to its CRC check, with the bytes that
# `unzip -p` gives for it on the host. The reader must list exactly the
# entries `unzip -Z1` lists, in the same order, and find each one
# byte-identical. PREFIX is the tests' running Wine prefix.
set -euo pipefail
prefix=$(realpath -m "$1")
unzip=$2
probe=$(realpath "$3")
shift 3

. "$(dirname "$0")/../../files/tests/scripts/probe_root.sh"
probe_root "$prefix" purgekit-packed-reader
failures=0

for archive in "$@"; do
  archive=$(realpath "$archive")
  echo "== $archive"
  "$unzip" -tq "$archive" || { echo "FAIL: unzip -t rejects $archive"; failures=$((failures + 1)); continue; }
  # The probe starts like the product: its catalog comes from this payload.
  cp "$probe" "$root/bin/probe.exe"
  rm -f "$root/bin/probe.dat"
  "$unzip" -p "$archive" purgekit.msg >"$root/bin/purgekit.msg"
  rm -rf "$root/expected"
  mkdir "$root/expected"
  cp "$archive" "$root/archive.bin"
  mapfile -t entries < <("$unzip" -Z1 "$archive")
  expected_out=()
  for entry in "${entries[@]}"; do
    "$unzip" -p "$archive" "$entry" >"$root/expected/$entry"
    expected_out+=("$entry same")
  done
  expected_out+=("entries ${#entries[@]}")

  rc=0
  out=$(cd "$root/work" &&
        timeout 300 wine "C:\\$name\\bin\\probe.exe" dump "C:\\$name\\archive.bin" "C:\\$name\\expected" \
          </dev/null 2>/dev/null | tr -d '\r') || rc=$?
  echo "$out"
  if [ "$rc" -ne 0 ] || [ "$out" != "$(printf '%s\n' "${expected_out[@]}")" ]; then
    echo "FAIL: the reader's view of $archive differs from unzip's (exit $rc); expected:"
    printf '  %s\n' "${expected_out[@]}"
    failures=$((failures + 1))
  fi
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo PASS
