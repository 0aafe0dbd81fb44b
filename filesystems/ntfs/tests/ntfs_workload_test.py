#!/usr/bin/env python3
"""A random workload on an NTFS image through fsimage, judged by the tools.

OPERATIONS operations (create, write, truncate, delete, mkdir, rmdir, hard
link) in batches of BATCH, each batch one fsimage run. After every batch
ntfsfix -n and ntfsresize --check must accept the volume, fls -r must list
exactly the model's tree, every file must read back through icat as the
model holds it, and istat must give each file as many links as the model.
Every operation's answer must be the one the model expects.

usage: ntfs_workload_test.py FSIMAGE [OPERATIONS] [BATCH]
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

FSIMAGE = sys.argv[1]
OPERATIONS = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
BATCH = int(sys.argv[3]) if len(sys.argv) > 3 else 400

NOT_FOUND = 0x40011
ALREADY_EXISTS = 0x40013
DELETE_ERROR = 0x40008


def pattern(seed, offset, size):
    return bytes(((seed * 131 + k * 7 + (k >> 8)) & 0xFF) for k in range(size))


def run(args, data=None):
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


class Model:
    def __init__(self):
        self.dirs = {""}
        self.inodes = {}   # inode id -> bytearray
        self.names = {}    # file path -> inode id
        self.next = 0

    def key(self, path):
        return path.upper()

    def taken(self, path):
        k = self.key(path)
        return any(self.key(d) == k for d in self.dirs) or any(self.key(n) == k for n in self.names)

    def children(self, d):
        prefix = d + "/"
        return [p for p in list(self.dirs) + list(self.names)
                if p.startswith(prefix) and "/" not in p[len(prefix):]]

    def links(self, inode):
        return sum(1 for v in self.names.values() if v == inode)


def main():
    rng = random.Random(int(os.environ.get("NTFS_WORKLOAD_SEED", "21")))
    work = tempfile.mkdtemp()
    failures = []
    try:
        image = os.path.join(work, "v.img")
        with open(image, "wb") as f:
            f.truncate(96 << 20)
        subprocess.run(["mkntfs", "-F", "-f", "-q", "-s", "512", "-c", "1024", image],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        model = Model()
        counter = 0
        done = 0
        while done < OPERATIONS:
            ops, expected, effects = [], [], []
            for _ in range(min(BATCH, OPERATIONS - done)):
                counter += 1
                choice = rng.random()
                dirs = sorted(model.dirs)
                files = sorted(model.names)
                d = rng.choice(dirs)
                if choice < 0.30 or not files:
                    path = d + "/f%d" % counter
                    if rng.random() < 0.2:
                        path += " \u00fc\u00f1\u00ef"
                    size = rng.choice([0, 1, 700, 3000, 9000, 70000])
                    seed = counter
                    ops.append("put\t%s\t%d\t%d" % (path, size, seed))
                    inode = model.next
                    model.next += 1
                    model.inodes[inode] = bytearray(pattern(seed, 0, size))
                    model.names[path] = inode
                    expected.append(0)
                elif choice < 0.42:
                    path = rng.choice(files)
                    data = model.inodes[model.names[path]]
                    offset = rng.randrange(0, len(data) + 5000)
                    size = rng.choice([1, 511, 4096, 20000])
                    seed = counter
                    ops.append("write\t%s\t%d\t%d\t%d" % (path, offset, size, seed))
                    if offset > len(data):
                        data.extend(b"\0" * (offset - len(data)))
                    piece = pattern(seed, 0, size)
                    data[offset:offset + size] = piece
                    expected.append(0)
                elif choice < 0.52:
                    path = rng.choice(files)
                    data = model.inodes[model.names[path]]
                    size = rng.randrange(0, len(data) + 10000)
                    ops.append("truncate\t%s\t%d" % (path, size))
                    if size < len(data):
                        del data[size:]
                    else:
                        data.extend(b"\0" * (size - len(data)))
                    expected.append(0)
                elif choice < 0.70:
                    path = rng.choice(files)
                    ops.append("rm\t%s" % path)
                    inode = model.names.pop(path)
                    if model.links(inode) == 0:
                        del model.inodes[inode]
                    expected.append(0)
                elif choice < 0.80:
                    path = d + "/d%d" % counter
                    ops.append("mkdir\t%s" % path)
                    model.dirs.add(path)
                    expected.append(0)
                elif choice < 0.88 and len(dirs) > 1:
                    path = rng.choice(dirs[1:])
                    ops.append("rmdir\t%s" % path)
                    if model.children(path):
                        expected.append(DELETE_ERROR)
                    else:
                        model.dirs.discard(path)
                        expected.append(0)
                else:
                    # A base record full of names cannot take one more
                    # (moving names out to start an attribute list is not
                    # built): files keep to four names.
                    linkable = [f for f in files if model.links(model.names[f]) < 4]
                    if not linkable:
                        continue
                    existing = rng.choice(linkable)
                    path = d + "/l%d" % counter
                    ops.append("ln\t%s\t%s" % (existing, path))
                    model.names[path] = model.names[existing]
                    expected.append(0)
            done += len(ops)
            out = run([FSIMAGE, image, "batch"], ("\n".join(ops) + "\n").encode())
            codes = [int(x, 16) for x in out.stdout.decode().split()]
            for op, want, got in zip(ops, expected, codes):
                if want != got:
                    failures.append("%s: expected 0x%x, got 0x%x" % (op.replace("\t", " "), want, got))
            if len(codes) != len(ops):
                failures.append("batch answered %d of %d (%s)" % (len(codes), len(ops), out.stderr.decode()))
            # The tools' view.
            if run(["ntfsfix", "-n", image]).returncode != 0:
                failures.append("ntfsfix -n refuses after %d operations" % done)
            copy = os.path.join(work, "copy.img")
            shutil.copyfile(image, copy)
            if run(["ntfsresize", "--check", "-f", copy]).returncode != 0:
                failures.append("ntfsresize --check refuses after %d operations" % done)
            listed = {}
            for line in run(["fls", "-r", "-p", "-u", image]).stdout.decode("utf-8", "replace").splitlines():
                head, _, name = line.partition("\t")
                parts = head.replace("-", " ").split()
                record = int(parts[1].rstrip(":")) if len(parts) > 1 and parts[1].rstrip(":").isdigit() else 0
                if record < 16 or name.startswith("$") or ":" in name:
                    continue
                listed["/" + name] = (head[0], record)
            want = {p: "d" for p in model.dirs if p}
            want.update({p: "r" for p in model.names})
            got = {p: kind for p, (kind, _) in listed.items()}
            if got != want:
                missing = sorted(set(want) - set(got))[:5]
                extra = sorted(set(got) - set(want))[:5]
                failures.append("tree after %d: missing %s extra %s" % (done, missing, extra))
            records = {}
            for path, inode in model.names.items():
                if path not in listed:
                    continue
                record = listed[path][1]
                if records.setdefault(inode, record) != record:
                    failures.append("%s: links of one file on two records" % path)
            for inode, record in records.items():
                data = run(["icat", image, str(record)]).stdout
                if data != bytes(model.inodes[inode]):
                    failures.append("record %d: %d bytes read, %d expected" % (record, len(data), len(model.inodes[inode])))
                istat = run(["istat", image, str(record)]).stdout.decode("utf-8", "replace")
                if ("Links: %d\n" % model.links(inode)) not in istat:
                    failures.append("record %d: link count differs from %d" % (record, model.links(inode)))
            if failures:
                break
            print("%d operations: %d directories, %d names, tools agree" % (done, len(model.dirs), len(model.names)))
    finally:
        shutil.rmtree(work)
    for f in failures[:30]:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
