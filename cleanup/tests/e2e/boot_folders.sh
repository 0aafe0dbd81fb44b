#!/usr/bin/env bash
# boot_folders.sh CASE PURGEKIT_EXE DORVEX_DLL WORKDIR
#
# The default run's boot-folder step on the layout of cleanup/layout (the
# "\rendwiz" folders on C:, D: and E:, decoys "rendwiz2", the folder on A:
# and B:, a drive without it), in a prefix of its own under WORKDIR.
#
# folders: first without the snapshot library anywhere: the run ends with
#   0, deletes no folder and still reaches the namespace key after the step.
#   Then with the snapshot-library stand-in DORVEX_DLL beside the program
#   (where the products install the real one), over three small disk images:
#   the run ends with 0, "\rendwiz" is gone with its content from C:, D:
#   and E:, everything else listed is as it was (A: and B: untouched, the
#   decoys in place), and no extraction folder is left in the temporary
#   folder.
# scan: with the stand-in only: the disk-access layer's DaInit(0x1C11) and
#   DaDone make, in the stand-in's call log, exactly the calls of a first
#   scan in their order, and leave no handle, lock, callback or thread.
#
# Drive letters other than C: point at scratch folders inside WORKDIR only.
set -euo pipefail
case_name=$1
exe=$(realpath "$2")
dll=$(realpath "$3")
work=$(realpath -m "$4")
top=$(cd "$(dirname "$0")/../../.." && pwd)
footprint=$top/cleanup/layout/footprint

. "$top/cleanup/tests/e2e/prefix.sh"
start_prefix "$work"

namespace_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\MyComputer\NameSpace\{7D21E6B5-58C0-4A3E-9F17-2B8C64D0A395}'
has_key() { (cd "$WINEPREFIX/drive_c" && wine reg query "$namespace_key" /reg:64 >/dev/null 2>&1); }

# The stand-in's drives: three images on a drive S: of their own (inside
# WORKDIR), with its configuration and call log there.
lay_out_images() {
  "$top/cleanup/tests/e2e/boot_standin.sh" "$work/sblib"
  export PURGEKIT_SBLIB_CONFIG='S:\config.txt'
}

"$footprint" apply >/dev/null
mkdir -p "$WINEPREFIX/drive_c/purgekit"
cp "$exe" "$WINEPREFIX/drive_c/purgekit/purgekit.exe"
cp "${exe%.exe}.dat" "$WINEPREFIX/drive_c/purgekit/purgekit.dat"

temp_dir() { find "$WINEPREFIX/drive_c/users" -maxdepth 3 -iname temp -type d | head -1; }
failed=0

# listings_compare BEFORE AFTER GONE...: the listings of two snapshots, as
# far as this step is concerned (every drive but C:, and C:\rendwiz*), differ
# exactly by the entries at or below the GONE paths. The rest of C: belongs
# to the other steps of the run.
listings_compare() {
  python3 - "$@" <<'EOF'
import sys
from pathlib import Path
before, after, gone = Path(sys.argv[1]), Path(sys.argv[2]), [g.lower() for g in sys.argv[3:]]
def load(d):
    entries = {}
    for f in sorted(d.glob("files-*.txt")):
        for line in f.read_text(encoding="utf-8").splitlines():
            kind, attrs, size, digest, path = line.split(" ", 4)
            p = path.lower()
            if not p.startswith("c:") or p.startswith("c:\\rendwiz"):
                entries[p] = (line, path)
    return entries
b, a = load(before), load(after)
def removed(p):
    return any(p == g or p.startswith(g + "\\") for g in gone)
problems = []
for g in gone:
    if g not in b:
        problems.append(f"{g} was not laid out")
for p, (line, shown) in sorted(b.items()):
    if removed(p):
        if p in a:
            problems.append(f"{shown} was left")
    elif p not in a:
        problems.append(f"{shown} was deleted")
    elif a[p][0] != line:
        problems.append(f"{shown} changed: {line} -> {a[p][0]}")
for p, (line, shown) in sorted(a.items()):
    if p not in b:
        problems.append(f"{shown} appeared")
for p in problems:
    print("FAIL " + p)
kept = sum(1 for p in b if not removed(p))
print(f"listings: {sum(1 for p in b if removed(p))} entries gone, {kept} as they were"
      if not problems else f"{len(problems)} listing problem(s)")
sys.exit(1 if problems else 0)
EOF
}

if [ "$case_name" = folders ]; then
  "$footprint" snapshot "$work/before" >/dev/null
  has_key || { echo "FAIL the namespace key was not laid out"; failed=1; }

  echo "== without the snapshot library"
  run || failed=1
  "$footprint" snapshot "$work/without" >/dev/null
  listings_compare "$work/before" "$work/without" || failed=1
  if has_key; then
    echo "FAIL the namespace key is still there: the run stopped before its last step"
    failed=1
  else
    echo "ok   the run went on to the namespace key"
  fi

  echo "== with the stand-in beside the program"
  lay_out_images
  cp "$dll" "$WINEPREFIX/drive_c/purgekit/dorvex.dll"
  temp=$(temp_dir)
  run || failed=1
  "$footprint" snapshot "$work/with" >/dev/null
  listings_compare "$work/without" "$work/with" 'C:\rendwiz' 'D:\rendwiz' 'E:\rendwiz' || failed=1
  # Windows' own view of it: cmd's dir finds the decoys and not the folders.
  for path in 'C:\rendwiz' 'D:\rendwiz' 'E:\rendwiz'; do
    if (cd "$WINEPREFIX/drive_c" && wine cmd /c dir /b "$path" </dev/null >/dev/null 2>&1); then
      echo "FAIL cmd /c dir still finds $path"
      failed=1
    fi
  done
  for path in 'C:\rendwiz2\keep.txt' 'D:\rendwiz2\keep.txt' 'A:\rendwiz\wizard.img' \
              'B:\rendwiz\wizard.img'; do
    if ! (cd "$WINEPREFIX/drive_c" && wine cmd /c dir /b "$path" </dev/null >/dev/null 2>&1); then
      echo "FAIL cmd /c dir does not find $path"
      failed=1
    fi
  done
  # Bound from beside the program: nothing was extracted.
  if [ -n "$temp" ] && ls -d "$temp"/dl0*h >/dev/null 2>&1; then
    echo "FAIL an extraction folder was left: $(ls -d "$temp"/dl0*h)"
    failed=1
  fi
  [ "$failed" -ne 0 ] || echo "ok   \\rendwiz deleted on C:, D: and E:; decoys, A: and B: as they were"
fi

if [ "$case_name" = scan ]; then
  lay_out_images
  cp "$dll" "$WINEPREFIX/drive_c/purgekit/dorvex.dll"
  run || failed=1
  log=$work/sblib/calls.log
  python3 - "$log" <<'EOF' || failed=1
import re, sys
from pathlib import Path
path = Path(sys.argv[1])
if not path.exists():
    print("FAIL the stand-in wrote no log: the disk-access layer made no library call")
    sys.exit(1)
calls = []
for raw in path.read_text(encoding="utf-8", errors="replace").splitlines():
    m = re.match(r"(\w+)\((.*?)\) = (\S+)(.*)", raw)
    if not m:
        print(f"FAIL unreadable log line: {raw}")
        sys.exit(1)
    calls.append((m.group(1), m.group(2), m.group(3), m.group(4), raw))
problems = []
def want(i, name, args=None, status="0"):
    if i >= len(calls) or calls[i][0] != name or (args is not None and calls[i][1] != args) \
            or calls[i][2] != status:
        got = calls[i][4] if i < len(calls) else "(end of log)"
        problems.append(f"call {i + 1}: expected {name}({args or '...'}) = {status}, got {got}")
        return False
    return True
def out(i, key):
    m = re.search(key + r"=(\d+)", calls[i][3])
    return int(m.group(1)) if m else None

i = 0
want(i, "sbInitLibEx", "size=8, flags=0x10"); i += 1
want(i, "sbAddNotification", "callback, 95, 0"); i += 1
want(i, "sbGetDrives"); drives = out(i, "count") if i < len(calls) else 0; i += 1
handles = set()
for n in range(1, (drives or 0) + 1):
    if want(i, "sbOpenDrive", str(n)):
        h = out(i, "handle"); handles.add(h)
        i += 1
        want(i, "sbGetDriveInfo", str(h)); i += 1
    else:
        break
reads = 0
while i < len(calls) and calls[i][0] in ("sbReadDrive", "sbGetDriveInfo"):
    reads += calls[i][0] == "sbReadDrive"; i += 1
if reads == 0:
    problems.append("no partition table was read (sbReadDrive)")
want(i, "sbGetFreeLetters", "", calls[i][2] if i < len(calls) else "0"); i += 1
want(i, "sbGetVolumes"); volumes = out(i, "count") if i < len(calls) else 0; i += 1
opened = []
# Per volume in number order: the open, then its information; statistics
# and further information (and free-letter queries) may follow at any
# point of the volume pass.
expect_volume = 1
while i < len(calls) and calls[i][0] in ("sbOpenVolume", "sbGetVolumeInfo", "sbGetVolumeStat",
                                          "sbGetFreeLetters", "sbReadDrive", "sbGetDriveInfo"):
    name, args, status = calls[i][0], calls[i][1], calls[i][2]
    if name == "sbOpenVolume":
        if args != str(expect_volume):
            problems.append(f"call {i + 1}: volume {args} opened, expected {expect_volume}")
        expect_volume += 1
        if status == "0":
            h = out(i, "handle"); handles.add(h); opened.append(h)
            if not (i + 1 < len(calls) and calls[i + 1][0] == "sbGetVolumeInfo"
                    and calls[i + 1][1] == str(h)):
                problems.append(f"call {i + 2}: sbGetVolumeInfo({h}) does not follow its open")
        elif status != "20":
            problems.append(f"call {i + 1}: {calls[i][4]}")
    elif status != "0":
        problems.append(f"call {i + 1}: {calls[i][4]}")
    i += 1
if expect_volume != (volumes or 0) + 1:
    problems.append(f"{expect_volume - 1} of {volumes} volumes opened")
stats = {int(c[1]) for c in calls if c[0] == "sbGetVolumeStat" and c[2] == "0"}
for h in opened:
    if h not in stats:
        problems.append(f"no statistics read for volume handle {h}")
closed = set()
while i < len(calls) and calls[i][0] == "sbClose":
    want(i, "sbClose"); closed.add(int(calls[i][1])); i += 1
if closed != handles:
    problems.append(f"handles opened {sorted(handles)}, closed {sorted(closed)}")
want(i, "sbRemoveNotification", "callback"); i += 1
want(i, "sbDoneLib", ""); 
# The library's notification thread ran until sbDoneLib (one of them, none
# left over from before) and no library thread outlived it.
if i < len(calls) and ("left: handles=0 locks=0 callbacks=0 threads=0" not in calls[i][3]
                       or out(i, "threads_before") != 1):
    problems.append(f"left behind: {calls[i][4]}")
i += 1
if i < len(calls):
    problems.append(f"calls after sbDoneLib: {calls[i][4]}")
for p in problems:
    print("FAIL " + p)
if problems:
    print(f"the log is {path}")
    sys.exit(1)
print(f"ok   {len(calls)} calls in the order of a first scan: {drives} drives, "
      f"{volumes} volumes ({len(opened)} opened), {reads} table reads, every handle closed, "
      "nothing left at sbDoneLib")
EOF
fi

status=$failed
exit "$status"
