#!/usr/bin/env python3
"""A random workload on ext images through fsimage, judged by the tools.

For each writable kind of ext volume: 10,000 operations (create, write,
truncate, rename, move, delete, mkdir, rmdir, hard link, symbolic link) in
batches of 1,000, each batch one fsimage run. After every batch e2fsck -fn
must be clean and debugfs must show exactly the tree and the bytes of a
model the test keeps. Then rounds of 100 operations with the device failing
every write after a random count: e2fsck -fn may find only what
ext_verdict.py calls harmless (space or inodes lost, counts too high), and
the next round starts from the volume e2fsck -fy mends.

usage: ext_workload_test.py FSIMAGE [OPERATIONS [FAILURE_ROUNDS]]
(FAILURE_ROUNDS 10 by default, or as EXT_WORKLOAD_FAILURES says)
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

from batch_session import BatchSession, piece, run
from ext_verdict import damage

FSIMAGE = sys.argv[1]
OPERATIONS = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
FAILURE_ROUNDS = int(sys.argv[3]) if len(sys.argv) > 3 else \
    int(os.environ.get("EXT_WORKLOAD_FAILURES") or 10)
BATCH = 1000
LOG = open(os.environ["EXT_WORKLOAD_LOG"], "w") if os.environ.get("EXT_WORKLOAD_LOG") else None

# name -> (mke2fs options, block size)
VARIANTS = {
    "ext2": (["-t", "ext2", "-b", "1024", "-I", "128"], 1024),
    "ext3": (["-t", "ext3", "-b", "2048"], 2048),
    "ext4": (["-t", "ext4", "-O", "^metadata_csum", "-b", "4096"], 4096),
    # Groups whose bitmaps were never written: the allocator builds them.
    "ext4-uninit": (["-t", "ext4", "-O", "^metadata_csum,^64bit,uninit_bg", "-b", "1024",
                     "-g", "1024", "-N", "2048"], 1024),
}
ONLY = os.environ.get("EXT_WORKLOAD_VARIANTS", "").split()

CREATE_ERROR = 0x4000A
DISK_FULL = 0x40004


class Model:
    """The tree as the test expects it: path -> node. Names are exact."""

    def __init__(self):
        self.dirs = {""}
        self.files = {}   # path -> bytearray (hard links share one)
        # path -> [target text]; hard links to one link share the list, as
        # they share the inode whose target a new symlink call replaces.
        self.links = {}

    @staticmethod
    def parent(path):
        return path.rsplit("/", 1)[0] if "/" in path else ""

    def exists(self, path):
        return path in self.dirs or path in self.files or path in self.links

    def children(self, directory):
        return [p for p in list(self.dirs) + list(self.files) + list(self.links)
                if p and self.parent(p) == directory]


NAMES = ["a.txt", "Bee", "bee", "long name number one.dat", "café.bin", "x+y.txt", "Ω omega",
         "mixed Case File", ".hidden start", "z", "dir one", "Sub Folder", "deep",
         "name with  two spaces", "a.b.c.d", "n" * 255]


def fsck(image):
    r = run(["e2fsck", "-fn", image])
    return r.returncode, r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")


def make_image(path, variant):
    if os.path.exists(path):
        os.remove(path)
    options, _ = VARIANTS[variant]
    r = run(["mke2fs", "-q", "-F", "-E", "nodiscard"] + options + [path, "16384k"])
    assert r.returncode == 0, r.stderr


def random_operation(rng, model, block):
    dirs = sorted(model.dirs)
    files = sorted(model.files)
    kind = rng.choices(["put", "write", "truncate", "mv", "rm", "mkdir", "rmdir", "ln",
                        "symlink"], [24, 20, 12, 12, 12, 9, 5, 3, 3])[0]
    shallow = [d for d in dirs if d.count("/") < 4]
    def new_path():
        d = rng.choice(shallow)
        base = rng.choice(NAMES)
        if rng.random() < 0.3:
            base = str(rng.randrange(100)) + " " + base[:240]
        return (d + "/" + base).lstrip("/")
    def any_path():
        pool = files + sorted(model.links) + [d for d in dirs if d]
        return rng.choice(pool) if pool and rng.random() < 0.9 else new_path()
    sizes = [0, 1, block - 1, block, block + 1, rng.randrange(1, 4 * block),
             rng.randrange(1, 40 * block), rng.randrange(1, 400 * block)]
    if kind == "put":
        return ["put", new_path() if rng.random() < 0.6 or not files else rng.choice(files),
                str(rng.choice(sizes)), str(rng.randrange(1 << 16))]
    if kind == "write":
        path = rng.choice(files) if files else new_path()
        size = len(model.files[path]) if path in model.files else 0
        # Far offsets leave holes (and, on the classic map, indirect blocks).
        offset = rng.choice([rng.randrange(0, size + 2 * block), rng.randrange(0, 3000 * block)])
        return ["write", path, str(offset), str(rng.choice(sizes[:6])), str(rng.randrange(1 << 16))]
    if kind == "truncate":
        path = rng.choice(files) if files else new_path()
        return ["truncate", path, str(rng.choice(sizes))]
    if kind == "mv":
        source = any_path()
        if source in model.dirs:
            height = max(d.count("/") - source.count("/") for d in model.dirs
                         if d == source or d.startswith(source + "/"))
            parents = [d for d in dirs if d.count("/") + (1 if d else 0) + height < 6]
            if parents:
                return ["mv", source, (rng.choice(parents) + "/" + rng.choice(NAMES)).lstrip("/")]
        return ["mv", source, new_path()]
    if kind == "rm":
        return ["rm", any_path()]
    if kind == "mkdir":
        return ["mkdir", new_path()]
    if kind == "ln":
        return ["ln", any_path(), new_path()]
    if kind == "symlink":
        return ["symlink", rng.choice(["t", "x" * 59, "y" * 60, "../" * 30, "z" * (block - 1)]),
                new_path()]
    return ["rmdir", any_path()]


def apply(model, op, code):
    """Applies a successful operation to the model; checks the refusals."""
    kind, path = op[0], op[1]
    parent_ok = model.parent(path) in model.dirs
    if kind == "put":
        if not parent_ok or path in model.dirs or path in model.links:
            return code != 0, "put should fail"
        if code == DISK_FULL:
            return None, "disk full"
        if code != 0:
            return False, "put failed"
        data = bytearray(piece(int(op[3]), int(op[2])))
        if path in model.files:
            model.files[path][:] = data  # hard links see the new bytes
        else:
            model.files[path] = data
        return True, ""
    if kind in ("write", "truncate"):
        if path not in model.files:
            return code != 0, kind + " of a missing file should fail"
        if code == DISK_FULL:
            return None, "disk full"
        if code != 0:
            return False, kind + " failed"
        data = model.files[path]
        if kind == "truncate":
            size = int(op[2])
            if size < len(data):
                del data[size:]
            else:
                data.extend(b"\0" * (size - len(data)))
        else:
            offset, size = int(op[2]), int(op[3])
            if size == 0:
                return True, ""
            if offset > len(data):
                data.extend(b"\0" * (offset - len(data)))
            data[offset:offset + size] = piece(int(op[4]), size)
        return True, ""
    if kind == "rm":
        if path not in model.files and path not in model.links:
            return code != 0, "rm should fail"
        if code != 0:
            return False, "rm failed"
        model.files.pop(path, None)
        model.links.pop(path, None)
        return True, ""
    if kind == "mkdir":
        if not parent_ok or model.exists(path):
            return code != 0, "mkdir should fail"
        if code == DISK_FULL:
            return code, "disk full"
        if code != 0:
            return False, "mkdir failed"
        model.dirs.add(path)
        return True, ""
    if kind == "rmdir":
        if path not in model.dirs or model.children(path):
            return code != 0, "rmdir should fail"
        if code != 0:
            return False, "rmdir failed"
        model.dirs.discard(path)
        return True, ""
    if kind == "ln":
        new = op[2]
        if (path not in model.files and path not in model.links) or \
                not model.parent(new) in model.dirs or model.exists(new):
            return code != 0, "ln should fail"
        if code == DISK_FULL:
            return True, ""
        if code != 0:
            return False, "ln failed"
        if path in model.links:
            model.links[new] = model.links[path]  # the same inode
        else:
            model.files[new] = model.files[path]
        return True, ""
    if kind == "symlink":
        target, new = op[1], op[2]
        if not model.parent(new) in model.dirs or (model.exists(new) and new not in model.links):
            return code != 0, "symlink should fail"
        if code == DISK_FULL:
            return None, "disk full"
        if code != 0:
            return False, "symlink failed"
        if new in model.links:
            model.links[new][0] = target
        else:
            model.links[new] = [target]
        return True, ""
    if kind == "mv":
        target = op[2]
        into_self = path in model.dirs and (target == path or target.startswith(path + "/"))
        if not model.exists(path) or model.parent(target) not in model.dirs or \
                into_self and target != path or (model.exists(target) and target != path):
            return code != 0, "mv should fail"
        if code == DISK_FULL:
            return None, "disk full"
        if code != 0:
            return False, "mv failed"
        if target == path:
            return True, ""
        if path in model.files:
            model.files[target] = model.files.pop(path)
        elif path in model.links:
            model.links[target] = model.links.pop(path)
        else:
            for d in sorted(model.dirs):
                if d == path or d.startswith(path + "/"):
                    model.dirs.discard(d)
                    model.dirs.add(target + d[len(path):])
            for table in (model.files, model.links):
                for f in list(table):
                    if f.startswith(path + "/"):
                        table[target + f[len(path):]] = table.pop(f)
        return True, ""
    return False, "unknown"


def read_tree(image, scratch):
    """The tree debugfs shows: dirs, files (path -> bytes), links."""
    target = os.path.join(scratch, "out")
    shutil.rmtree(target, ignore_errors=True)
    os.mkdir(target)
    run(["debugfs", "-R", "rdump / " + target, image])
    dirs, files, links = {""}, {}, {}
    for root, ds, fs in os.walk(target):
        rel = os.path.relpath(root, target)
        rel = "" if rel == "." else rel
        for d in ds:
            p = ((rel + "/") if rel else "") + d
            if os.path.islink(os.path.join(root, d)):
                links[p] = os.readlink(os.path.join(root, d))
            else:
                dirs.add(p)
        for f in fs:
            p = ((rel + "/") if rel else "") + f
            full = os.path.join(root, f)
            if os.path.islink(full):
                links[p] = os.readlink(full)
            else:
                with open(full, "rb") as h:
                    files[p] = h.read()
    dirs.discard("lost+found")
    return dirs, files, links


def check_against_tools(image, model, scratch):
    code, out = fsck(image)
    if code != 0:
        return "e2fsck -fn: " + out
    dirs, files, links = read_tree(image, scratch)
    if dirs != model.dirs:
        return "directories differ: only on the volume %s, only in the model %s" % (
            sorted(dirs - model.dirs), sorted(model.dirs - dirs))
    if set(files) != set(model.files):
        return "files differ: only on the volume %s, only in the model %s" % (
            sorted(set(files) - set(model.files)), sorted(set(model.files) - set(files)))
    for p, data in model.files.items():
        if files[p] != bytes(data):
            first = next(i for i in range(min(len(files[p]), len(data)) + 1)
                         if i == min(len(files[p]), len(data)) or files[p][i] != data[i])
            return "bytes of %s differ (%d vs %d bytes, first at %d)" % (
                p, len(files[p]), len(data), first)
    expected = {p: text[0] for p, text in model.links.items()}
    if links != expected:
        differ = sorted(p for p in set(links) | set(expected) if links.get(p) != expected.get(p))
        return "symbolic links differ: %s" % "; ".join(
            "%s: %r on the volume, %r in the model" % (p, links.get(p), expected.get(p))
            for p in differ[:10])
    return None


def workload(variant, scratch, rng):
    image = os.path.join(scratch, variant + ".img")
    make_image(image, variant)
    block = VARIANTS[variant][1]
    model = Model()
    done = 0
    while done < OPERATIONS:
        session = BatchSession(FSIMAGE, image)
        for _ in range(min(BATCH, OPERATIONS - done)):
            op = random_operation(rng, model, block)
            code = session.ask(op)
            if code is None:
                return "fsimage stopped at %s: %s" % (op, session.stopped_because())
            if LOG:
                LOG.write("%s -> 0x%x\n" % ("\t".join(op), code))
            ok, why = apply(model, op, code)
            if ok is None:
                # A full volume part-way through: the entry holds an unknown
                # prefix; it leaves the check by being deleted.
                name = op[2] if op[0] in ("symlink", "mv") else op[1]
                session.ask(["rm", name])
                if model.files.get(name) is not None:
                    shared = model.files.pop(name)
                    for other in [p for p, d in model.files.items() if d is shared]:
                        session.ask(["rm", other])
                        model.files.pop(other)
                shared = model.links.pop(name, None)
                for other in [p for p, t in model.links.items() if t is shared]:
                    session.ask(["rm", other])
                    model.links.pop(other)
                if op[0] == "mv":
                    model.files.pop(op[1], None)
                    model.links.pop(op[1], None)
            elif ok is not True and not ok:
                session.kill()
                return "operation %d %s gave 0x%x: %s" % (done, op, code, why)
            done += 1
        complaint = session.finish()
        if complaint is not None:
            return "fsimage failed: " + complaint
        problem = check_against_tools(image, model, scratch)
        if problem:
            return "after %d operations: %s" % (done, problem)
    return None


def failing_writes(variant, scratch, rng, rounds):
    image = os.path.join(scratch, "fail-" + variant + ".img")
    make_image(image, variant)
    block = VARIANTS[variant][1]
    model = Model()
    for round_ in range(rounds):
        allowed = rng.randrange(0, 200)
        proc = subprocess.Popen([FSIMAGE, "--fail-after-writes", str(allowed), image, "batch"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        lines = ["\t".join(random_operation(rng, model, block)) for _ in range(100)]
        if LOG:
            LOG.write("round %d, writes allowed %d\n%s\n" % (round_, allowed, "\n".join(lines)))
            LOG.flush()
        proc.communicate(("\n".join(lines) + "\n").encode())
        code, out = fsck(image)
        bad = damage(out)
        if bad:
            return "round %d (writes allowed %d): %s" % (round_, allowed, "\n".join(bad[:30]))
        run(["e2fsck", "-fy", image])
        dirs, files, links = read_tree(image, scratch)
        # What e2fsck reconnected stays out of the next rounds: it names
        # entries "#inode" in lost+found without looking for one of that
        # name, so a file the workload made there under such a name would
        # be met by a second entry of the checker's.
        found = lambda p: p.startswith("lost+found/")
        dirs = {p for p in dirs if not found(p)}
        files = {p: d for p, d in files.items() if not found(p)}
        links = {p: t for p, t in links.items() if not found(p)}
        model = Model()
        model.dirs = dirs
        model.files = {p: bytearray(d) for p, d in files.items()}
        model.links = {p: [t] for p, t in links.items()}
    return None


def main():
    seed = int(os.environ.get("EXT_WORKLOAD_SEED", "1919"))
    rng = random.Random(seed)
    scratch = tempfile.mkdtemp(prefix="extworkload.")
    failures = []
    try:
        for variant in VARIANTS:
            if ONLY and variant not in ONLY:
                continue
            problem = workload(variant, scratch, rng)
            if problem:
                failures.append("%s workload (seed %d): %s" % (variant, seed, problem))
            if not FAILURE_ROUNDS:
                continue
            problem = failing_writes(variant, scratch, rng, FAILURE_ROUNDS)
            if problem:
                failures.append("%s failing writes (seed %d): %s" % (variant, seed, problem))
    finally:
        if os.environ.get("EXT_WORKLOAD_KEEP"):
            print("images kept in " + scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    for f in failures:
        print(f[:4000])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
