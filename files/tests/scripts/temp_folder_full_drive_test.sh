#!/usr/bin/env bash
# temp_folder_full_drive_test.sh WINE_PREFIX_TOOL PREFIX WORK PROBE CATALOG
#
# The temporary folder on a drive that fills up. A 64 KiB tmpfs, mounted at
# WORK/drive, is the drive X: of a Wine prefix of this test's own (PREFIX),
# and the user's TEMP and TMP point at X:\tmp. A program with the product's
# start-up (PROBE, payload_probe) extracts from its payload, into one
# TempFolder, first an entry far larger than the drive and then a small
# one. Checked from the host: the large extraction fails and leaves no file
# (not even a part), which also leaves room for the small one; the small
# file has the bytes unzip -p gives; after the folder object is destroyed
# nothing is left on the drive.
#
# Mounting needs root. When the tmpfs cannot be mounted the test reports
# SKIP with exit code 77, never a pass.
set -euo pipefail
prefix_tool=$1
prefix=$(realpath -m "$2")
work=$(realpath -m "$3")
probe=$(realpath "$4")
catalog=$(realpath "$5")

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
fail() { echo "FAIL: $*" >&2; exit 1; }

drive=$work/drive
mounted=false
probe_pid=
cleanup() {
  if [ -n "$probe_pid" ]; then kill "$probe_pid" 2>/dev/null || true; fi
  "$prefix_tool" "$prefix" --stop || true
  rm -f "$prefix/dosdevices/x:"
  if $mounted; then umount "$drive" || umount -l "$drive" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if mountpoint -q "$drive" 2>/dev/null; then umount "$drive" || true; fi
rm -rf "$work"
mkdir -p "$drive"
if ! mount -t tmpfs -o size=64k,mode=0755 tmpfs "$drive" 2>"$work/mount.err"; then
  echo "SKIP: cannot mount a 64 KiB tmpfs at $drive: $(cat "$work/mount.err")"
  exit 77
fi
mounted=true
mkdir "$drive/tmp"

"$prefix_tool" "$prefix"
# Only this prefix's own drives: c: inside it, and x: on the tmpfs.
ln -sfn "$drive" "$prefix/dosdevices/x:"
"$prefix_tool" "$prefix" --start
wine reg add 'HKCU\Environment' /v TEMP /t REG_SZ /d 'X:\tmp' /f >/dev/null 2>&1
wine reg add 'HKCU\Environment' /v TMP /t REG_SZ /d 'X:\tmp' /f >/dev/null 2>&1

name=purgekit-temp-full
bin=$prefix/drive_c/$name
rm -rf "$bin"
mkdir -p "$bin/work"
cp "$probe" "$bin/probe.exe"
python3 - "$catalog" "$bin/probe.dat" <<'PY'
import os, sys, zipfile
catalog, dat = sys.argv[1:]
with zipfile.ZipFile(dat, "w") as z:
    z.write(catalog, "purgekit.msg", zipfile.ZIP_DEFLATED)
    # Random bytes: as large on the drive as in the archive, 5 times the drive.
    z.writestr("big.bin", os.urandom(320 * 1024), zipfile.ZIP_STORED)
    z.writestr("small.inf", b"".join(b"[line %04d]\r\n" % i for i in range(300)), zipfile.ZIP_DEFLATED)
PY
unzip -p "$bin/probe.dat" small.inf >"$work/small.expected"

coproc PROBE { cd "$bin/work" && exec wine "C:\\$name\\probe.exe" extract big.bin small.inf 2>/dev/null; }
probe_pid=$PROBE_PID
lines=()
while IFS= read -r -t 300 line <&"${PROBE[0]}"; do
  line=${line%$'\r'}
  echo "probe: $line"
  lines+=("$line")
  case $line in folder*) break ;; esac
done
[ "${lines[0]:-}" = "big.bin failed" ] || fail "extracting the entry larger than the drive did not fail"
case ${lines[1]:-} in
  "small.inf ok X:\\tmp\\"*"\\small.inf") ;;
  *) fail "the small entry was not extracted after the failure" ;;
esac
folder=${lines[2]:-}
folder=${folder#folder X:\\tmp\\}
[[ $folder =~ ^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}$ ]] ||
  fail "the folder line does not name a GUID folder under X:\\tmp: ${lines[2]:-nothing}"

# The folder as the host sees it while the object lives.
echo "host: ls -la $drive/tmp/$folder"
ls -la "$drive/tmp/$folder"
[ "$(ls -A "$drive/tmp/$folder")" = small.inf ] || fail "the folder holds more than small.inf"
cmp "$drive/tmp/$folder/small.inf" "$work/small.expected" || fail "small.inf differs from unzip -p"

echo >&"${PROBE[1]}"
read -r -t 300 line <&"${PROBE[0]}" || true
echo "probe: ${line%$'\r'}"
[ "${line%$'\r'}" = destroyed ] || fail "the probe did not finish"
wait "$probe_pid" || fail "the probe ended with an error"
probe_pid=
echo "host: ls -la $drive/tmp"
ls -la "$drive/tmp"
[ -z "$(ls -A "$drive/tmp")" ] || fail "something was left on the drive after destruction"
echo PASS
