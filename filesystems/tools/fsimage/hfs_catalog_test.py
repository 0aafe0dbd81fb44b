#!/usr/bin/env python3
"""A scripted catalog workload on an HFS+ and an HFSX volume through
fsimage, judged by fsck.hfsplus, sleuthkit (fls, istat, fsstat) and 7zz.

One fsimage batch per volume: folders twenty deep, a non-empty folder moved
across the tree, a folder refused a move below itself, renames (one that
changes only letter case), a rename onto another entry refused, symbolic
links (one made twice), hard links to files and to a symbolic link and one
of them deleted again, 10,000 symbolic links in one folder of which half
are deleted, chmod, chown and times, and on HFSX "a" and "A" side by side,
each removed on its own. Then the tree fls lists and the one fsimage lists
must both be the model's; every entry's size, times, owner, group, mode and
link count that fsimage ls gives must be what fls -l and istat give (a hard
link with its iNode's); sizes of what 7zz lists as plain files must agree;
the free space must be fsstat's; and fsck.hfsplus -f -n must find nothing
new (it checks folder valences and the header's file and folder counts).

usage: hfs_catalog_test.py FSIMAGE
"""
import calendar
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from batch_session import BatchSession, run  # noqa: E402

FSIMAGE = sys.argv[1]
POPULATE = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                        "../../hfsplus/testsupport/hfs_populate.py")
MANY = 10000
failures = []


def check(what, expected, actual):
    if expected != actual:
        failures.append(what)
        if isinstance(expected, list) and isinstance(actual, list):
            expected = [e for e in expected if e not in actual][:20]
            actual = [a for a in actual if a not in expected][:20]
            print(f"FAIL {what}\n  only expected: {expected!r}\n  only actual:   {actual!r}")
        else:
            print(f"FAIL {what}\n  expected: {expected!r}\n  actual:   {actual!r}")


def fsck_findings(image):
    out = run(["fsck.hfsplus", "-f", "-n", image]).stdout.decode(errors="replace")
    return [line for line in out.splitlines() if image not in line]


def fls_entries(image):
    """path -> (type letter, inode, mtime s, size, uid, gid) for ids >= 16
    (fls -l prints the group before the owner)."""
    out = run(["fls", "-r", "-l", "-p", image]).stdout.decode(errors="replace")
    entries = {}
    for line in out.splitlines():
        m = re.match(r"^([a-z-])/[a-z-] (\d+):\t(.*?)\t(.*?)\t.*?\t.*?\t.*?\t(\d+)\t(\d+)\t(\d+)$",
                     line)
        if not m or int(m.group(2)) < 16:
            continue
        mtime = calendar.timegm(time.strptime(m.group(4)[:19], "%Y-%m-%d %H:%M:%S"))
        entries["/" + m.group(3)] = (m.group(1), int(m.group(2)), mtime, int(m.group(5)),
                                     int(m.group(7)), int(m.group(6)))
    return entries


def fls_tree(entries):
    kinds = {"d": "d", "r": "f", "l": "l"}
    return sorted((kinds.get(t[0], "o"), p) for p, t in entries.items()
                  if "HFS+ Private Data" not in p)


def our_tree(image):
    out = run([FSIMAGE, image, "tree"]).stdout.decode()
    return sorted((f[0], f[2]) for f in (line.split("\t") for line in out.splitlines()))


def our_ls(image, folder):
    """name -> (type, size, mtime ms, mode, uid, gid, links)."""
    out = run([FSIMAGE, image, "ls", folder]).stdout.decode()
    listed = {}
    for line in out.splitlines():
        f = line.split("\t")
        if not f[3].startswith("mode="):
            continue
        uid, gid = f[4][len("owner="):].split(":")
        listed[f[6]] = (f[0], int(f[1]), int(f[2]), int(f[3][5:], 8), int(uid), int(gid),
                        int(f[5][len("links="):]))
    return listed


def istat(image, inode):
    out = run(["istat", image, str(inode)]).stdout.decode(errors="replace")
    mode = re.search(r"^Mode:\t(\S+)", out, re.M).group(1)
    links = int(re.search(r"^Link count:\t(\d+)", out, re.M).group(1))
    return mode, links


def mode_text(kind, mode):
    bits = "".join(c if mode & (1 << (8 - i)) else "-" for i, c in enumerate("rwxrwxrwx"))
    return {"d": "d", "f": "r", "l": "l"}[kind] + bits


def seven_zip_sizes(image):
    out = run(["7zz", "l", "-slt", "-ba", image]).stdout.decode(errors="replace")
    sizes, path = {}, None
    for line in out.splitlines():
        if line.startswith("Path = "):
            path = line[7:]
        elif line.startswith("Size = ") and path and line[7:]:
            sizes["/" + path.split("/", 1)[1] if "/" in path else "/"] = int(line[7:])
    return sizes


def workload(dirname, hfsx):
    name = "HFSX" if hfsx else "HFS+"
    image = os.path.join(dirname, "x.img" if hfsx else "p.img")
    run(["truncate", "-s", "64M", image])
    run(["mkfs.hfsplus", *(["-s"] if hfsx else []), "-v", "Fixture", image])
    # The tree: type per path; hard links share a key in `links`.
    model = {}
    links = {}
    if not hfsx:
        contents = os.path.join(dirname, "contents")
        with open(contents, "w") as f:
            f.write("dir docs\nfile readme.txt 1000\nfile Docs2.bin 20000 rsrc=3000\n"
                    "file docs/big.dat 100000 fragments=11\ndir docs/sub\n"
                    "file docs/sub/Note.TXT 5000 xattr=user.tag:hello\n")
        if run([sys.executable, POPULATE, image, contents]).returncode != 0:
            check(f"{name}: populate", True, False)
            return
        model.update({"/docs": "d", "/readme.txt": "f", "/Docs2.bin": "f",
                      "/docs/big.dat": "f", "/docs/sub": "d", "/docs/sub/Note.TXT": "f"})
    baseline = fsck_findings(image)

    ops = []

    def op(expected, *fields):
        ops.append((expected, fields))

    deep = ""
    for i in range(1, 21):
        deep += f"/d{i}"
        op(0, "mkdir", deep)
        model[deep] = "d"
    op(0, "mkdir", "/a")
    model["/a"] = "d"
    if hfsx:
        # Names that differ only in case are two entries, each its own.
        op(0, "mkdir", "/A")
        op(0, "mkdir", "/x")
        op(0, "mkdir", "/X")
        op(0, "symlink", "lower", "/A/f")
        op(0, "symlink", "upper", "/A/F")
        model.update({"/A": "d", "/x": "d", "/X": "d", "/A/f": "l", "/A/F": "l"})
    else:
        op(0x40013, "mkdir", "/A")
    op(0, "symlink", "../readme.txt", "/a/link1")
    op(0x40013, "symlink", "elsewhere", "/a/link1")
    op(0, "mkdir", "/many")
    model["/many"] = "d"
    for i in range(MANY):
        op(0, "symlink", f"target-{i}", f"/many/s{i:05d}")
        model[f"/many/s{i:05d}"] = "l"
    if not hfsx:
        op(0, "ln", "/readme.txt", "/a/hard1")
        op(0, "ln", "/a/hard1", "/d1/hard2")
        op(0, "ln", "/docs/big.dat", "/d1/d2/big2")
        links.update({"/readme.txt": "r", "/a/hard1": "r", "/d1/hard2": "r",
                      "/docs/big.dat": "b", "/d1/d2/big2": "b"})
        model.update({"/a/hard1": "f", "/d1/hard2": "f", "/d1/d2/big2": "f"})
    # The checker takes hard links to files only.
    op(0x4000a, "ln", "/a/link1", "/a/linkhard")
    model["/a/link1"] = "l"
    # A folder with entries moves, and a folder cannot go below itself.
    if not hfsx:
        op(0, "mv", "/docs", "/d1/d2/docs")
        for p in [p for p in model if p == "/docs" or p.startswith("/docs/")]:
            model["/d1/d2" + p] = model.pop(p)
        for p in [p for p in links if p.startswith("/docs/")]:
            links["/d1/d2" + p] = links.pop(p)
        op(0x40013, "mv", "/readme.txt", "/Docs2.bin")
    op(0x40009, "mv", "/d1", "/d1/d2/d3/inside")
    op(0x40009, "mv", "/d1/d2", "/d1/d2/d3/d2")
    op(0, "mv", "/d1/d2", "/d1/d2")
    # A change of letter case only, and a move with a new name.
    op(0, "mv", "/a/link1", "/a/LINK1")
    model["/a/LINK1"] = model.pop("/a/link1")
    op(0, "mv", "/many/s00007", "/d1/d2/d3/moved")
    model["/d1/d2/d3/moved"] = model.pop("/many/s00007")
    if not hfsx:
        op(0, "rm", "/a/hard1")
        del model["/a/hard1"], links["/a/hard1"]
    for i in range(0, MANY, 2):
        op(0, "rm", f"/many/s{i:05d}")
        del model[f"/many/s{i:05d}"]
    op(0x40011, "rm", "/many/s00000")
    op(0x40008, "rmdir", "/d1/d2")
    op(0, "rmdir", deep)
    del model[deep]
    op(0, "chmod", "/d1", "700")
    op(0, "chown", "/a/LINK1", "501", "20")
    op(0, "chmod", "/a/LINK1", "755")
    op(0, "touch", "/d1/d2/d3/moved", "1000000000000", "1100000000000")
    if hfsx:
        op(0, "rm", "/A/F")
        del model["/A/F"]
        op(0, "rmdir", "/X")
        del model["/X"]

    session = BatchSession(FSIMAGE, image)
    codes = [session.ask(list(fields)) for _, fields in ops]
    complaint = session.finish()
    check(f"{name}: batch ended", None, complaint)
    for (expected, fields), code in zip(ops, codes):
        if code != expected:
            check(f"{name}: {' '.join(fields)}", expected, code)

    check(f"{name}: checker findings", baseline, fsck_findings(image))
    entries = fls_entries(image)
    expected_tree = sorted((t, p) for p, t in model.items())
    check(f"{name}: fls tree", expected_tree, fls_tree(entries))
    check(f"{name}: fsimage tree", expected_tree, our_tree(image))
    # Hard links of one file are one catalog entry to sleuthkit.
    groups = {}
    for p, key in links.items():
        groups.setdefault(key, set()).add(entries[p][1] if p in entries else None)
    for key, inodes in groups.items():
        check(f"{name}: links of {key} share one file", 1, len(inodes))

    folders = sorted({p.rsplit("/", 1)[0] or "/" for p in model} - {"/many"}) + ["/many"]
    for folder in folders:
        listed = our_ls(image, folder)
        for entry, (kind, size, mtime, mode, uid, gid, nlinks) in listed.items():
            path = (folder.rstrip("/") + "/" + entry)
            if path not in entries:
                check(f"{name}: {path} listed", "in fls", "missing")
                continue
            t, inode, fmtime, fsize, fuid, fgid = entries[path]
            check(f"{name}: {path} size, time, owner",
                  (fsize if kind != "d" else 0, fmtime, fuid, fgid),
                  (size, mtime // 1000, uid, gid))
            if folder == "/many" and entry not in ("s00001", "s09999"):
                continue
            imode, ilinks = istat(image, inode)
            check(f"{name}: {path} mode and links", (imode, ilinks),
                  (mode_text(kind, mode), nlinks))
    # Sizes of what 7zz lists as files; hard links are shown raw there.
    sizes = seven_zip_sizes(image)
    for p, t in model.items():
        if t != "d" and p not in links:
            check(f"{name}: 7zz size of {p}", entries[p][3], sizes.get(p))
    stat = run(["fsstat", image]).stdout.decode()
    block = int(re.search(r"Allocation Block Size: (\d+)", stat).group(1))
    free = int(re.search(r"Number of Free Blocks: (\d+)", stat).group(1))
    info = run([FSIMAGE, image, "info"]).stdout.decode()
    check(f"{name}: free bytes", free * block,
          int(re.search(r"^free bytes\t(\d+)", info, re.M).group(1)))


def main():
    with tempfile.TemporaryDirectory() as dirname:
        workload(dirname, hfsx=False)
        workload(dirname, hfsx=True)
    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print("all HFS+ catalog workload checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
