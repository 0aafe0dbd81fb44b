#!/usr/bin/env python3
"""ntfs_read_under_wine.py WINE_EXEC PREFIX TEST_PROGRAM

The Windows build reads a filled NTFS image the same as ntfs-3g's tools:
mkntfs makes the image inside the prefix's drive c:, ntfscp fills it (names
beyond ASCII, one outside the 16-bit plane, a file of several megabytes and
one whose clusters lie in many runs), and the test program, started under
Wine, walks it through the framework's views and writes a manifest and each
file's bytes. Every name must be one fls lists, every listed file must be
read, and every file's bytes and size must equal what ntfscat gives.
"""
import os
import random
import shutil
import subprocess
import sys

wine_exec, prefix, program = sys.argv[1:4]
folder = "purgekit-ntfs-read"
work = os.path.join(prefix, "drive_c", folder)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, "out"))
image = os.path.join(work, "v.img")
env = dict(os.environ, LC_ALL="C.UTF-8")
failures = []


def run(args, **kw):
    return subprocess.run(args, env=env, check=True, capture_output=True, **kw).stdout


# The fixture. Each file's bytes differ, so that a file read in another's
# place shows.
rng = random.Random(21)
files = {
    "plain.txt": b"plain ascii\n",
    "café au lait.txt": bytes(rng.randrange(256) for _ in range(700)),
    "Ωμέγα": bytes(rng.randrange(256) for _ in range(5000)),
    "日本語のファイル名": bytes(rng.randrange(256) for _ in range(70000)),
    "smile \U0001F600 face": bytes(rng.randrange(256) for _ in range(1234)),
    "big": bytes(rng.randrange(256) for _ in range(3 * 1024 * 1024 + 333)),
    "empty": b"",
}
with open(image, "wb") as f:
    f.truncate(64 * 1024 * 1024)
run(["mkntfs", "-F", "-f", "-q", "-s", "512", "-c", "4096", "-L", "wine", image])
for name, data in files.items():
    host = os.path.join(work, "host")
    with open(host, "wb") as f:
        f.write(data)
    run(["ntfscp", "-q", "-f", image, host, name])
# Two files grown in turn interleave their clusters: "spread" ends up in
# one run per step.
for name in ("spread", "other"):
    host = os.path.join(work, "host")
    with open(host, "wb") as f:
        f.write(bytes(rng.randrange(256) for _ in range(3000)))
    run(["ntfscp", "-q", "-f", image, host, name])
for i in range(2, 120):
    run(["ntfsfallocate", "-o", str(i * 4096), "-l", "4096", image, "spread"])
    run(["ntfsfallocate", "-o", str(i * 8192), "-l", "8192", image, "other"])
os.remove(os.path.join(work, "host"))
fix = subprocess.run(["ntfsfix", "-n", image], capture_output=True)
if fix.returncode != 0:
    failures.append("ntfsfix -n refuses the fixture")
runs = run(["istat", image, run(["ifind", "-n", "spread", image]).decode().strip()]).decode()
if runs.count("\n") < 20:
    failures.append("the fragmented file is not fragmented")

windows_path = "C:\\" + folder
result = subprocess.run(
    [wine_exec, "--prefix", prefix, program, "--gtest_filter=NtfsReadWin.*"],
    env=dict(env, PURGEKIT_NTFS_WINE_IMAGE=windows_path + "\\v.img",
             PURGEKIT_NTFS_WINE_OUTPUT=windows_path + "\\out"),
    capture_output=True, text=True, errors="replace")
print("\n".join(line for line in result.stdout.splitlines()
                if line.startswith("[") or "Failure" in line or "Expected" in line))
if result.returncode != 0:
    failures.append("the test under Wine ended with %d" % result.returncode)
if "[  PASSED  ] 1 test" not in result.stdout:
    failures.append("the test under Wine did not run")

# The names fls lists in the root, less the system files.
listed = set()
for line in run(["fls", image]).decode("utf-8").splitlines():
    kind, _, name = line.partition("\t")
    if name.startswith("$") or name == "." or ":" in name:
        continue
    listed.add("/" + name)

seen = set()
manifest = os.path.join(work, "out", "manifest.txt")
entries = open(manifest).read().splitlines() if os.path.exists(manifest) else []
for number, line in enumerate(l for l in entries if l.startswith("f")):
    _, size, hex_path = line.split("\t")
    path = bytes.fromhex(hex_path).decode("utf-16-be")
    seen.add(path)
    expected = run(["ntfscat", image, path])
    got = open(os.path.join(work, "out", "%d.bin" % number), "rb").read()
    if got != expected:
        failures.append("%r: %d bytes read under Wine, ntfscat gives %d, first difference at %s" % (
            path, len(got), len(expected),
            next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), "the end")))
    if int(size) != len(expected):
        failures.append("%r: listed with size %s, ntfscat gives %d bytes" % (path, size, len(expected)))
if seen != listed:
    failures.append("names read under Wine %r differ from fls's %r" % (sorted(seen), sorted(listed)))
for name in files:
    if "/" + name not in seen:
        failures.append("%r was not read" % name)

print("%d files read under Wine and held against ntfscat: %s" % (
    len(seen), ", ".join(sorted(ascii(p) for p in seen))))
shutil.rmtree(work, ignore_errors=True)
for f in failures:
    print("FAIL:", f)
print("%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
