#!/usr/bin/env bash
# catalog_start_test.sh WINE_PREFIX_TOOL PREFIX PROBE_EXE CATALOG
#
# The start-up load of the message catalog, in a program whose wmain prints
# what it found. The program gets the built CATALOG in a payload archive
# appended to it; damaged catalogs are laid beside it, where they are found
# before the payload. A damaged or missing catalog must end the process with
# exit code 3 before wmain, by itself (a message box would hang it until the
# time limit). PREFIX is a prefix of this test's own.
set -euo pipefail
prefix_tool=$1
prefix=$(realpath -m "$2")
probe=$(realpath "$3")
catalog=$(realpath "$4")

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
"$prefix_tool" "$prefix" --start
trap '"$prefix_tool" "$prefix" --stop' EXIT

root=$prefix/drive_c/catalog-start
rm -rf "$root"
mkdir -p "$root/bin" "$root/work"
failures=0

python3 - "$probe" "$catalog" "$root" <<'PY'
import shutil, struct, sys, zipfile, io
probe, catalog, root = sys.argv[1:]
data = open(catalog, "rb").read()
count, size = struct.unpack_from("<II", data)
assert count == 2170 and len(data) == 8 + 4 * count + size
shutil.copy(probe, f"{root}/bin/plain.exe")
archive = io.BytesIO()
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("purgekit.msg", data)
with open(f"{root}/bin/payload.exe", "wb") as out:
    out.write(open(probe, "rb").read() + archive.getvalue() + b"\0" * 300)  # a signature block

def with_count(n):
    return struct.pack("<I", n) + data[4:]
# A catalog whose message 2169 reads "from disk": told apart from the payload's.
text = "from disk".encode("utf-16-le") + b"\0\0"
block = data[8 + 4 * count:]
disk = bytearray(data[:8 + 4 * count]) + block + text
struct.pack_into("<I", disk, 4, size + len(text))
struct.pack_into("<I", disk, 8 + 4 * 2169, size)
bad = {
    "count2169": with_count(2169),
    "count2171": with_count(2171),
    "cut-offsets": data[:8 + 4 * 1000 + 1],
    "cut-texts": data[:len(data) - 5],
    "offset-outside": data[:8 + 4 * 77] + struct.pack("<I", size + 100) + data[8 + 4 * 78:],
}
for name, content in bad.items():
    open(f"{root}/bad-{name}.msg", "wb").write(content)
open(f"{root}/disk.msg", "wb").write(bytes(disk))
PY

# run EXE WORKDIR: sets rc and out.
run() {
  rc=0
  out=$(cd "$2" && timeout 120 wine "$1" </dev/null 2>/dev/null | tr -d '\r') || rc=$?
}
check() {  # check WHAT CONDITION...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else
    echo "FAIL $what: exit $rc, output: ${out:-nothing}"
    failures=$((failures + 1))
  fi
}

run "$root/bin/payload.exe" "$root/work"
check "catalog from the payload" \
  test "$rc" -eq 0 -a "$out" = "wmain probe=2 49=Quorvel 2169="

cp "$root/disk.msg" "$root/work/purgekit.msg"
run "$root/bin/payload.exe" "$root/work"
check "catalog in the current directory is preferred and keeps the disk probes" \
  test "$rc" -eq 0 -a "$out" = "wmain probe=1 49=Quorvel 2169=from disk"
rm "$root/work/purgekit.msg"

run "$root/bin/plain.exe" "$root/work"
check "no catalog anywhere ends with 3 before wmain" test "$rc" -eq 3 -a -z "$out"

for bad in "$root"/bad-*.msg; do
  name=$(basename "$bad" .msg)
  cp "$bad" "$root/bin/purgekit.msg"
  run "$root/bin/payload.exe" "$root/work"
  check "$name beside the program ends with 3 before wmain" test "$rc" -eq 3 -a -z "$out"
  rm "$root/bin/purgekit.msg"
done

rm -rf "$root"
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo PASS
