#!/usr/bin/env python3
"""A POSIX-style workload on ext images through fsimage, judged by debugfs
and e2fsck.

One fsimage batch per kind of volume: create, write with a hole, truncate
down and up, mkdir, a cross-directory rename of a file and of a directory,
hard links, symbolic links of 59 and 60 bytes (the last one that fits in the
inode and the first that needs a block), device nodes with small and large
numbers, FIFOs, sockets, chmod, chown and times (one after 2038). Then
debugfs `ls -p`, `stat` and `rdump` must show exactly that and e2fsck -fn
must find nothing.

usage: ext_posix_test.py FSIMAGE
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

FSIMAGE = sys.argv[1]

VARIANTS = [
    ("ext2", ["-t", "ext2", "-b", "1024", "-I", "128"]),
    ("ext3", ["-t", "ext3", "-b", "2048"]),
    ("ext4", ["-t", "ext4", "-O", "^metadata_csum"]),
]


def piece(seed, size):
    return bytes(((seed * 131 + k * 7 + (k >> 8)) & 0xFF) for k in range(size))


def run(cmd, data=None):
    return subprocess.run(cmd, input=data, capture_output=True)


def debugfs(image, request):
    return run(["debugfs", "-R", request, image]).stdout.decode(errors="replace")


def raw_time(ms, extra_fields):
    """The seconds field and, with extra fields, the extra field as debugfs
    prints them (hex, the seconds field unsigned)."""
    seconds, rest = divmod(ms, 1000)
    field = seconds & 0xFFFFFFFF
    signed = field - (1 << 32) if field & 0x80000000 else field
    epoch = ((seconds - signed) >> 32) & 3
    if not extra_fields:
        return "0x%08x" % field
    return "0x%08x:%08x" % (field, (rest * 1000000) << 2 | epoch)


MTIME = 1700000000123           # 2023, with milliseconds
ATIME = 2240611200456           # 2041: needs the epoch bits
LINK59 = "x" * 59
LINK60 = "y" * 60

OPERATIONS = [
    ["mkdir", "/a"], ["mkdir", "/b"], ["mkdir", "/a/sub"],
    ["put", "/a/file", "5000", "7"],
    # Far past the end: a hole between.
    ["write", "/a/file", "40000", "3000", "9"],
    ["put", "/a/cut", "9000", "3"], ["truncate", "/a/cut", "100"], ["truncate", "/a/cut", "2500"],
    ["mv", "/a/file", "/b/moved"],
    ["mv", "/a/sub", "/b/sub"],
    ["ln", "/b/moved", "/a/hard"],
    ["symlink", LINK59, "/a/l59"], ["symlink", LINK60, "/a/l60"],
    ["mknod", "/a/chr", "1", "0640", "4", "5"],
    ["mknod", "/b/blk", "2", "0660", "300", "70000"],
    ["mknod", "/a/fifo", "3", "0600", "0", "0"],
    ["mknod", "/a/sock", "4", "0755", "0", "0"],
    ["chmod", "/b/moved", "0604"], ["chown", "/b/moved", "1234", "5678"],
    ["touch", "/b/moved", str(MTIME), str(ATIME)],
    ["put", "/b/sub/inner", "1", "1"],
]


def expected_bytes():
    moved = bytearray(piece(7, 5000))
    moved.extend(b"\0" * (40000 - len(moved)))
    moved.extend(piece(9, 3000))
    cut = piece(3, 100) + b"\0" * 2400
    return {"b/moved": bytes(moved), "a/hard": bytes(moved), "a/cut": cut,
            "b/sub/inner": piece(1, 1)}


def listing(image, directory):
    """name -> (inode, mode, uid, gid, size) from debugfs ls -p."""
    out = {}
    for line in debugfs(image, "ls -p " + directory).splitlines():
        f = line.split("/")
        if len(f) < 7 or f[1] == "0":
            continue
        out[f[5]] = (int(f[1]), f[2], f[3], f[4], f[6])
    return out


def check(variant, options, scratch):
    problems = []
    image = os.path.join(scratch, variant + ".img")
    r = run(["mke2fs", "-q", "-F", "-E", "nodiscard"] + options + [image, "16384k"])
    if r.returncode:
        return ["mke2fs: " + r.stderr.decode()]
    lines = "".join("\t".join(op) + "\n" for op in OPERATIONS).encode()
    r = run([FSIMAGE, image, "batch"], lines)
    codes = r.stdout.decode().split()
    for op, code in zip(OPERATIONS, codes):
        if int(code, 16):
            problems.append("%s gave %s" % (" ".join(op)[:60], code))
    if len(codes) != len(OPERATIONS):
        problems.append("fsimage answered %d operations: %s" % (len(codes), r.stderr.decode()))
    code = run(["e2fsck", "-fn", image])
    if code.returncode:
        problems.append("e2fsck -fn:\n" + code.stdout.decode()[-3000:])

    a, b = listing(image, "/a"), listing(image, "/b")
    want_a = {".": "040755", "..": "040755", "cut": ("100644", "0", "0", "2500"),
              "hard": ("100604", "1234", "5678", "43000"), "l59": ("120777", "0", "0", "59"),
              "l60": ("120777", "0", "0", "60"), "chr": ("020640", "0", "0", "0"),
              "fifo": ("010600", "0", "0", "0"), "sock": ("140755", "0", "0", "0")}
    want_b = {".": "040755", "..": "040755", "moved": ("100604", "1234", "5678", "43000"),
              "blk": ("060660", "0", "0", "0"), "sub": "040755"}
    for name, have, want in (("/a", a, want_a), ("/b", b, want_b)):
        if sorted(have) != sorted(want):
            problems.append("ls %s: %s, expected %s" % (name, sorted(have), sorted(want)))
            continue
        for entry, value in want.items():
            got = have[entry][1] if isinstance(value, str) else have[entry][1:]
            if got != value:
                problems.append("ls %s/%s: %s, expected %s" % (name, entry, got, value))
    if a.get("hard", (0,))[0] != b.get("moved", (1,))[0]:
        problems.append("the hard link has its own inode")
    sub = listing(image, "/b/sub")
    if sub.get("..", (0,))[0] != b.get(".", (1,))[0]:
        problems.append("the moved directory's .. is not its new parent")

    def stat(path):
        return debugfs(image, "stat " + path)

    def expect(path, pattern, why):
        text = stat(path)
        if not re.search(pattern, text):
            problems.append("stat %s: %s; got:\n%s" % (path, why, text[:600]))

    # Times carry nanoseconds and epoch bits only where new inodes get
    # extra fields (not on ext3 as mke2fs makes it, nor with 128-byte inodes).
    extra = re.search(r"Size of extra inode fields: (\d+)", stat("/b/moved"))
    big_inodes = bool(extra and int(extra.group(1)) >= 24)
    expect("/b/moved", r"Links: 2\b", "two names")
    expect("/b/moved", r"User:\s+1234\s+Group:\s+5678", "owner")
    expect("/b/moved", r"mtime: " + raw_time(MTIME, big_inodes) + " ", "modification time")
    expect("/b/moved", r"atime: " + raw_time(ATIME, big_inodes) + " ", "access time after 2038")
    expect("/a", r"Links: 2\b", "a directory that lost its subdirectory")
    expect("/b", r"Links: 3\b", "a directory that gained one")
    expect("/a/chr", r"Device major/minor number: 04:05", "old device encoding")
    expect("/b/blk", r"\(New-style\) Device major/minor number: 300:70000", "new encoding")
    expect("/a/l59", r'Fast link dest: "' + LINK59 + '"', "a link kept in the inode")
    text = stat("/a/l60")
    if "Fast link dest" in text or not re.search(r"Blockcount: [1-9]", text):
        problems.append("the 60-byte link is not kept in a block:\n" + text[:600])

    out = os.path.join(scratch, variant + ".out")
    os.mkdir(out)
    run(["debugfs", "-R", "rdump / " + out, image])
    for path, data in expected_bytes().items():
        with open(os.path.join(out, path), "rb") as h:
            if h.read() != data:
                problems.append("the bytes of /%s differ" % path)
    for path, target in (("a/l59", LINK59), ("a/l60", LINK60)):
        if os.readlink(os.path.join(out, path)) != target:
            problems.append("the target of /%s differs" % path)
    return problems


def main():
    scratch = tempfile.mkdtemp(prefix="extposix.")
    failures = 0
    try:
        for variant, options in VARIANTS:
            for p in check(variant, options, scratch):
                print("%s: %s" % (variant, p))
                failures += 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if not failures:
        print("all ext POSIX checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
