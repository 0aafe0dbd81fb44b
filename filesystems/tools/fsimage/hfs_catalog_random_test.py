#!/usr/bin/env python3
"""Random catalog operations on an HFS+ volume through fsimage, held against
a model of the tree, with fsck.hfsplus -f -n and fls after every batch.

Operations: mkdir, rmdir, symlink, ln (to files), mv (files, links and
folders, across folders, onto taken names, below themselves), rm and chmod,
on names drawn from a small set so that collisions are frequent. The model
predicts every result code; after each batch the tree fls lists must be the
model's (hard links of one file as one catalog entry) and the checker must
find nothing.

usage: hfs_catalog_random_test.py FSIMAGE [OPERATIONS [BATCH]]
"""
import os
import random
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from batch_session import BatchSession, run  # noqa: E402

FSIMAGE = sys.argv[1]
OPERATIONS = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
BATCH = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
POPULATE = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                        "../../hfsplus/testsupport/hfs_populate.py")
NAMES = ["a", "B", "c", "dd", "Ee", "f.txt"]
EXISTS, NOT_FOUND, DELETE, RENAME, CREATE = 0x40013, 0x40011, 0x40008, 0x40009, 0x4000A
OPEN = 0x40007  # a folder path that names nothing, or a file


class Model:
    def __init__(self):
        self.kind = {"/": "d"}  # path -> d, f (file or hard link), l
        self.file = {}          # path of f -> the file it names

    def key(self, path):
        """The path as the catalog compares it (HFS+ folds case)."""
        return path.lower()

    def find(self, path):
        k = self.key(path)
        for p in self.kind:
            if self.key(p) == k:
                return p
        return None

    def children(self, folder):
        prefix = folder.rstrip("/") + "/"
        return [p for p in self.kind if p != folder and p.startswith(prefix)
                and "/" not in p[len(prefix):]]

    def parent(self, path):
        return path.rsplit("/", 1)[0] or "/"

    def apply(self, op, a, b=None):
        """The expected code, the model changed as the volume will be."""
        if op == "mkdir":
            if self.find(a):
                return EXISTS
            self.kind[a] = "d"
            return 0
        if op == "symlink":
            if self.find(a):
                return EXISTS
            self.kind[a] = "l"
            return 0
        if op == "rmdir":
            p = self.find(a)
            if not p or self.kind[p] != "d":
                return OPEN
            if self.children(p):
                return DELETE
            del self.kind[p]
            return 0
        if op == "rm":
            p = self.find(a)
            if not p:
                return NOT_FOUND
            if self.kind[p] == "d":
                return DELETE
            del self.kind[p]
            self.file.pop(p, None)
            return 0
        if op == "chmod":
            return 0 if self.find(a) else NOT_FOUND
        if op == "ln":  # a: existing, b: new
            p = self.find(a)
            if self.find(b):
                return DELETE
            if not p:
                return NOT_FOUND
            if self.kind[p] != "f":
                return CREATE
            self.kind[b] = "f"
            self.file[b] = self.file[p]
            return 0
        if op == "mv":
            p = self.find(a)
            if not p:
                return RENAME
            # A folder below itself is refused before anything else.
            if self.kind[p] == "d" and (self.key(b) + "/").startswith(self.key(p) + "/") \
                    and self.key(b) != self.key(p):
                return RENAME
            there = self.find(b)
            if there and there != p:
                same = (self.kind[p] == "f" and self.kind[there] == "f" and
                        self.file[p] == self.file[there] and self.file[p][0] == "link")
                return 0 if same else EXISTS
            moved = {q: v for q, v in self.kind.items()
                     if q == p or q.startswith(p + "/")}
            for q in moved:
                del self.kind[q]
            for q, v in moved.items():
                new = b + q[len(p):]
                self.kind[new] = v
                if q in self.file:
                    self.file[new] = self.file.pop(q)
            return 0
        raise ValueError(op)


def fls_tree(image):
    out = run(["fls", "-r", "-p", image]).stdout.decode(errors="replace")
    tree = []
    for line in out.splitlines():
        m = re.match(r"^([a-z-])/[a-z-] (\d+):\t(.*)$", line)
        if m and int(m.group(2)) >= 16 and "HFS+ Private Data" not in m.group(3):
            tree.append(({"r": "f"}.get(m.group(1), m.group(1)), "/" + m.group(3)))
    return sorted(tree)


def main():
    rng = random.Random(25)
    failures = 0
    with tempfile.TemporaryDirectory() as dirname:
        image = os.path.join(dirname, "r.img")
        run(["truncate", "-s", "64M", image])
        run(["mkfs.hfsplus", "-v", "Fixture", image])
        contents = os.path.join(dirname, "contents")
        model = Model()
        with open(contents, "w") as f:
            for i, name in enumerate(NAMES[:4]):
                f.write(f"file {name}.dat {1000 * (i + 1)}\n")
                model.kind[f"/{name}.dat"] = "f"
                model.file[f"/{name}.dat"] = ("file", i)
        if run([sys.executable, POPULATE, image, contents]).returncode != 0:
            print("FAIL populate")
            return 1
        done = 0
        while done < OPERATIONS:
            ops = []
            for _ in range(min(BATCH, OPERATIONS - done)):
                folders = [p for p, k in model.kind.items() if k == "d"]
                entries = [p for p in model.kind if p != "/"]

                def fresh():
                    base = rng.choice(folders).rstrip("/")
                    return f"{base}/{rng.choice(NAMES)}"

                def some():
                    return rng.choice(entries) if entries and rng.random() < 0.8 else fresh()
                op = rng.choice(["mkdir", "mkdir", "symlink", "ln", "mv", "mv", "rm", "rmdir",
                                 "chmod"])
                if op in ("mkdir", "symlink") and len(folders) > 40:
                    op = "rm"
                if op == "mkdir":
                    a = fresh()
                    ops.append((model.apply(op, a), ["mkdir", a]))
                elif op == "symlink":
                    a = fresh()
                    ops.append((model.apply(op, a), ["symlink", "t" + str(rng.randrange(99)), a]))
                elif op == "ln":
                    files = [p for p, k in model.kind.items() if k == "f"]
                    a, b = (rng.choice(files) if files else some()), fresh()
                    # The model records a link's file as shared.
                    before = model.file.get(model.find(a) or "", None)
                    code = model.apply(op, a, b)
                    if code == 0:
                        for p, v in list(model.file.items()):
                            if v == before:
                                model.file[p] = ("link", before)
                    ops.append((code, ["ln", a, b]))
                elif op == "mv":
                    a, b = some(), fresh()
                    ops.append((model.apply(op, a, b), ["mv", a, b]))
                elif op in ("rm", "rmdir"):
                    a = some()
                    ops.append((model.apply(op, a), [op, a]))
                else:
                    a = some()
                    ops.append((model.apply(op, a), ["chmod", a, "750"]))
            session = BatchSession(FSIMAGE, image)
            for expected, fields in ops:
                code = session.ask(fields)
                if code != expected:
                    failures += 1
                    print(f"FAIL {' '.join(fields)}: expected {expected:#x}, got {code}")
                    if failures > 10:
                        session.kill()
                        return 1
            complaint = session.finish()
            if complaint:
                print("FAIL fsimage stopped:", complaint)
                return 1
            done += len(ops)
            check = run(["fsck.hfsplus", "-f", "-n", image])
            if check.returncode != 0:
                failures += 1
                print(f"FAIL checker after {done} operations:\n{check.stdout.decode()}")
            expected_tree = sorted((k, p) for p, k in model.kind.items() if p != "/")
            actual = fls_tree(image)
            if expected_tree != actual:
                failures += 1
                print(f"FAIL tree after {done} operations\n  only model: "
                      f"{[e for e in expected_tree if e not in actual][:10]}\n  only fls: "
                      f"{[e for e in actual if e not in expected_tree][:10]}")
    if failures:
        print(f"{failures} failure(s)")
        return 1
    print(f"all {OPERATIONS} random HFS+ catalog operations checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
