#!/usr/bin/env python3
"""Each change of a small table, cut short at every device write in turn.

A volume made by mke2fs gets a few files and folders (one folder's first
block full of long names, so that the next entry needs a new block); then
one change is made through fsimage with the device refusing every write
after the first N, for every N from 0 to the number of writes the change
makes. After each cut e2fsck -fn may report only what ext_verdict.py calls
harmless, and the uncut change must leave the volume clean.

usage: ext_cut_test.py FSIMAGE
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from batch_session import run
from ext_verdict import damage

FSIMAGE = sys.argv[1]

VARIANTS = {
    "ext2": ["-t", "ext2", "-b", "1024", "-I", "128"],
    "ext4": ["-t", "ext4", "-O", "^metadata_csum", "-b", "1024"],
}


def long_name(letter, number):
    return letter * 250 + "%05d" % number


# Three 255-byte names fill a 1 KiB block after "." and "..".
FULL = [["mkdir", "full"], ["mkdir", "other"], ["mkdir", "sub"], ["put", "sub/inside", "5", "3"],
        ["put", "x", "3000", "2"], ["put", "big", "20000", "7"],
        ["symlink", "y" * 300, "slow link"]] + \
       [["put", "full/" + long_name("f", i), "10", "1"] for i in range(3)]

CASES = [
    # (what, the change)
    ("a file moved into a new block of another folder", [["mv", "x", "full/" + long_name("m", 0)]]),
    ("a second name in a new block, then the first removed",
     [["ln", "x", "full/" + long_name("l", 0)], ["rm", "x"]]),
    ("a file removed", [["rm", "x"]]),
    ("a folder made in a new block", [["mkdir", "full/" + long_name("n", 0)]]),
    ("a file made in a new block", [["put", "full/" + long_name("p", 0), "2000", "4"]]),
    ("a folder moved into a new block of another folder", [["mv", "sub", "full/" + long_name("s", 0)]]),
    ("a folder moved to another folder", [["mv", "sub", "other/sub"]]),
    ("a folder renamed in its folder", [["mv", "sub", "renamed sub"]]),
    ("a folder emptied and removed", [["rm", "sub/inside"], ["rmdir", "sub"]]),
    ("a folder made and filled", [["mkdir", "new"], ["mkdir", "new/deeper"], ["put", "new/deeper/f", "1500", "6"]]),
    ("a slow link given another long target", [["symlink", "z" * 200, "slow link"]]),
    ("a file cut short inside its indirect block", [["truncate", "big", "15000"]]),
    ("a file written past its end through its indirect block", [["write", "big", "25000", "3000", "5"]]),
]


def batch(image, ops, options=()):
    text = "".join("\t".join(op) + "\n" for op in ops).encode()
    r = subprocess.run([FSIMAGE, "--count-writes", *options, image, "batch"], input=text,
                       capture_output=True)
    m = re.search(rb"writes\t(\d+)", r.stderr)
    return (int(m.group(1)) if m else None), r.stdout.decode().split()


def fsck(image):
    r = run(["e2fsck", "-fn", image])
    return r.returncode, r.stdout.decode(errors="replace")


def check_case(scratch, options, ops):
    base = os.path.join(scratch, "base.img")
    image = os.path.join(scratch, "cut.img")
    shutil.copy(os.path.join(scratch, "start.img"), base)
    shutil.copy(base, image)
    writes, codes = batch(image, ops)
    if writes is None or any(c != "0x0" for c in codes):
        return ["the change failed: %s" % codes]
    code, out = fsck(image)
    if code != 0:
        return ["after the whole change: " + out]
    problems = []
    for allowed in range(writes):
        shutil.copy(base, image)
        batch(image, ops, ("--fail-after-writes", str(allowed)))
        _, out = fsck(image)
        bad = damage(out)
        if bad:
            problems.append("cut after %d of %d writes: %s" % (allowed, writes, " | ".join(bad[:6])))
    return problems


def main():
    scratch = tempfile.mkdtemp(prefix="extcuts.")
    failures = []
    try:
        for variant, options in VARIANTS.items():
            start = os.path.join(scratch, "start.img")
            r = run(["mke2fs", "-q", "-F", "-E", "nodiscard", *options, start, "4096k"])
            assert r.returncode == 0, r.stderr
            _, codes = batch(start, FULL)
            assert all(c == "0x0" for c in codes), codes
            code, out = fsck(start)
            assert code == 0, out
            for what, ops in CASES:
                for problem in check_case(scratch, options, ops):
                    failures.append("%s, %s: %s" % (variant, what, problem))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    for f in failures:
        print(f[:2000])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
