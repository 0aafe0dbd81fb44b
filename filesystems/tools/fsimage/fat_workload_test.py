#!/usr/bin/env python3
"""A random workload on FAT images through fsimage, judged by the tools.

For each FAT type: 10,000 operations (create, write, truncate, rename,
move, delete, mkdir, rmdir) in batches of 1,000, each batch one fsimage run.
After every batch fsck.fat -n must be clean and mtools must show exactly
the tree and the bytes of a model the test keeps. Then the same with the
device failing every write after a random count: fsck.fat -n may find lost
clusters but nothing cross-linked and no entry pointing at garbage.

usage: fat_workload_test.py FSIMAGE [OPERATIONS]
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

from batch_session import BatchSession, piece, run

FSIMAGE = sys.argv[1]
OPERATIONS = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
BATCH = 1000
LOG = open(os.environ["FAT_WORKLOAD_LOG"], "w") if os.environ.get("FAT_WORKLOAD_LOG") else None
TYPES = [int(t) for t in os.environ.get("FAT_WORKLOAD_TYPES", "12 16 32").split()]

ACCESS_DENIED = 0x40014
CREATE_ERROR = 0x4000A
ALREADY_EXISTS = 0x40013
NOT_FOUND = 0x40011
DELETE_ERROR = 0x40008
OPEN_ERROR = 0x40007
DISK_FULL = 0x40004


class Model:
    """The tree as the test expects it: path (upper-cased key) -> node."""

    def __init__(self):
        self.dirs = {"": "/"}      # key -> display path
        self.files = {}            # key -> (display path, bytearray)

    @staticmethod
    def key(path):
        return path.upper()

    def parent(self, path):
        return path.rsplit("/", 1)[0] if "/" in path else ""

    def exists(self, path):
        k = self.key(path)
        return k in self.dirs or k in self.files

    def children(self, directory):
        k = self.key(directory)
        out = []
        for d in list(self.dirs) + list(self.files):
            if d and self.parent(d) == k:
                out.append(d)
        return out


NAMES = ["a.txt", "Bee", "long name number one.dat", "café.bin", "x+y.txt", "Ω omega",
         "README.MD", "mixed Case File", ".hidden start", "z", "dir one", "Sub Folder",
         "deep", "UPPER.TXT", "tilde~1.txt", "name with  two spaces", "a.b.c.d"]


def fsck(image):
    r = run(["fsck.fat", "-n", image])
    return r.returncode, r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")


def make_image(path, bits):
    if os.path.exists(path):
        os.remove(path)
    kb = {12: 4000, 16: 24000, 32: 70000}[bits]
    spc = {12: 2, 16: 2, 32: 1}[bits]
    r = run(["mkfs.fat", "-C", "-F", str(bits), "-s", str(spc), "-n", "WORKLOAD", path, str(kb)])
    assert r.returncode == 0, r.stderr


def random_operation(rng, model, cluster):
    dirs = sorted(model.dirs)
    files = sorted(model.files)
    kind = rng.choices(["put", "write", "truncate", "mv", "rm", "mkdir", "rmdir"],
                       [25, 20, 12, 12, 12, 10, 9])[0]
    # Folders nest at most four deep, so that paths stay within what the
    # host and mtools take.
    shallow = [d for d in dirs if d.count("/") < 3]
    def new_path():
        d = model.dirs[rng.choice(shallow)]
        base = rng.choice(NAMES)
        if rng.random() < 0.3:
            base = str(rng.randrange(100)) + " " + base
        return (d.rstrip("/") + "/" + base).lstrip("/")
    def any_path():
        pool = [model.files[f][0] for f in files] + [model.dirs[d] for d in dirs if d]
        return rng.choice(pool) if pool and rng.random() < 0.9 else new_path()
    sizes = [0, 1, cluster - 1, cluster, cluster + 1, rng.randrange(1, 4 * cluster),
             rng.randrange(1, 40 * cluster)]
    if kind == "put":
        return ["put", new_path() if rng.random() < 0.6 or not files else model.files[rng.choice(files)][0],
                str(rng.choice(sizes)), str(rng.randrange(1 << 16))]
    if kind == "write":
        path = model.files[rng.choice(files)][0] if files else new_path()
        size = len(model.files[Model.key(path)][1]) if Model.key(path) in model.files else 0
        return ["write", path, str(rng.randrange(0, size + 2 * cluster)),
                str(rng.choice(sizes)), str(rng.randrange(1 << 16))]
    if kind == "truncate":
        path = model.files[rng.choice(files)][0] if files else new_path()
        return ["truncate", path, str(rng.choice(sizes))]
    if kind == "mv":
        source = any_path()
        k = Model.key(source)
        if k in model.dirs:
            # A moved folder keeps the tree at most six deep.
            height = max(d.count("/") - k.count("/") for d in model.dirs
                         if d == k or d.startswith(k + "/"))
            parents = [d for d in dirs if d.count("/") + (1 if d else 0) + height < 6]
            if parents:
                d = model.dirs[rng.choice(parents)]
                return ["mv", source, (d.rstrip("/") + "/" + rng.choice(NAMES)).lstrip("/")]
        return ["mv", source, new_path()]
    if kind == "rm":
        return ["rm", any_path()]
    if kind == "mkdir":
        return ["mkdir", new_path()]
    return ["rmdir", any_path()]


def apply(model, op, code):
    """Applies a successful operation to the model; checks the refusals."""
    kind, path = op[0], op[1]
    k = Model.key(path)
    parent_ok = Model.key(model.parent(path)) in model.dirs
    if kind == "put":
        if not parent_ok or k in model.dirs:
            return code != 0, "put should fail"
        if code == DISK_FULL:
            # Created and part-written: the content is not known.
            return None, "disk full"
        if code != 0:
            return False, "put failed"
        display = model.files[k][0] if k in model.files else path
        model.files[k] = (display, bytearray(piece(int(op[3]), int(op[2]))))
        return True, ""
    if kind in ("write", "truncate"):
        if k not in model.files:
            return code != 0, kind + " of a missing file should fail"
        if code == DISK_FULL:
            return None, "disk full"
        if code != 0:
            return False, kind + " failed"
        data = model.files[k][1]
        if kind == "truncate":
            size = int(op[2])
            if size < len(data):
                del data[size:]
            else:
                data.extend(b"\0" * (size - len(data)))
        else:
            offset, size = int(op[2]), int(op[3])
            if size == 0:
                return True, ""  # nothing written, nothing extended
            if offset > len(data):
                data.extend(b"\0" * (offset - len(data)))
            new = piece(int(op[4]), size)
            data[offset:offset + size] = new
        return True, ""
    if kind == "rm":
        if k not in model.files:
            return code != 0, "rm should fail"
        if code != 0:
            return False, "rm failed"
        del model.files[k]
        return True, ""
    if kind == "mkdir":
        if not parent_ok or model.exists(path):
            return code != 0, "mkdir should fail"
        if code == DISK_FULL:
            return True, ""
        if code != 0:
            return False, "mkdir failed"
        model.dirs[k] = path
        return True, ""
    if kind == "rmdir":
        if k not in model.dirs or model.children(path):
            return code != 0, "rmdir should fail"
        if code != 0:
            return False, "rmdir failed"
        del model.dirs[k]
        return True, ""
    if kind == "mv":
        target = op[2]
        tk = Model.key(target)
        source_ok = model.exists(path)
        into_self = k in model.dirs and (tk == k or tk.startswith(k + "/"))
        same = tk == k
        target_parent = Model.key(model.parent(target)) in model.dirs
        if not source_ok or not target_parent or into_self and not same or \
                (model.exists(target) and not same):
            return code != 0, "mv should fail"
        if code == DISK_FULL:
            return True, ""
        if code != 0:
            return False, "mv failed"
        if k in model.files:
            model.files[tk] = (target, model.files.pop(k)[1])
        else:
            moved = {}
            for d in list(model.dirs):
                if d == k or d.startswith(k + "/"):
                    moved[tk + d[len(k):]] = target + model.dirs.pop(d)[len(path):]
            model.dirs.update(moved)
            for f in list(model.files):
                if f.startswith(k + "/"):
                    name, data = model.files.pop(f)
                    model.files[tk + f[len(k):]] = (target + name[len(path):], data)
        return True, ""
    return False, "unknown"


def check_against_tools(image, model, scratch):
    code, out = fsck(image)
    if code != 0:
        return "fsck.fat -n: " + out
    target = os.path.join(scratch, "out")
    shutil.rmtree(target, ignore_errors=True)
    os.mkdir(target)
    r = run(["mcopy", "-s", "-n", "-i", image, "::/*", target])
    seen_files, seen_dirs = {}, set()
    for root, dirs, files in os.walk(target):
        rel = os.path.relpath(root, target)
        rel = "" if rel == "." else rel
        for d in dirs:
            seen_dirs.add(((rel + "/") if rel else "") + d)
        for f in files:
            p = ((rel + "/") if rel else "") + f
            with open(os.path.join(root, f), "rb") as h:
                seen_files[p] = h.read()
    want_dirs = {v for k, v in model.dirs.items() if k}
    want_files = {v[0]: bytes(v[1]) for v in model.files.values()}
    # Directory display names follow the entries: compare without case.
    if {d.upper() for d in seen_dirs} != {d.upper() for d in want_dirs}:
        seen = {d.upper() for d in seen_dirs}
        want = {d.upper() for d in want_dirs}
        return "directories differ: only on the volume %s, only in the model %s" % (
            sorted(seen - want), sorted(want - seen))
    upper_seen = {p.upper(): d for p, d in seen_files.items()}
    upper_want = {p.upper(): d for p, d in want_files.items()}
    if set(upper_seen) != set(upper_want):
        return "files differ: only on the volume %s, only in the model %s" % (
            sorted(set(upper_seen) - set(upper_want)), sorted(set(upper_want) - set(upper_seen)))
    for p, data in upper_want.items():
        if upper_seen[p] != data:
            return "bytes of %s differ (%d vs %d bytes)" % (p, len(upper_seen[p]), len(data))
    return None


def workload(bits, scratch, rng):
    image = os.path.join(scratch, "fat%d.img" % bits)
    make_image(image, bits)
    cluster = {12: 1024, 16: 1024, 32: 512}[bits]
    model = Model()
    done = 0
    while done < OPERATIONS:
        ops = []
        # Operations are chosen against the model as it will be, so each
        # batch is generated and checked one operation at a time.
        session = BatchSession(FSIMAGE, image)
        for _ in range(min(BATCH, OPERATIONS - done)):
            op = random_operation(rng, model, cluster)
            code = session.ask(op)
            if code is None:
                return "fsimage stopped at %s: %s" % (op, session.stopped_because())
            if LOG:
                LOG.write("%s -> 0x%x\n" % ("\t".join(op), code))
            ok, why = apply(model, op, code)
            if ok is None:
                # A full disk part-way through a write: the file holds an
                # unknown prefix; drop it from the check by deleting it.
                session.ask(["rm", op[1]])
                model.files.pop(Model.key(op[1]), None)
            elif not ok:
                session.kill()
                return "operation %d %s gave 0x%x: %s" % (done, op, code, why)
            ops.append(op)
            done += 1
        complaint = session.finish()
        if complaint is not None:
            return "fsimage failed: " + complaint
        problem = check_against_tools(image, model, scratch)
        if problem:
            return "after %d operations: %s" % (done, problem)
    return None


def failing_writes(bits, scratch, rng, rounds):
    image = os.path.join(scratch, "fail%d.img" % bits)
    make_image(image, bits)
    cluster = {12: 1024, 16: 1024, 32: 512}[bits]
    model = Model()
    for round_ in range(rounds):
        allowed = rng.randrange(0, 60)
        proc = subprocess.Popen([FSIMAGE, "--fail-after-writes", str(allowed), image, "batch"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        lines = []
        for _ in range(100):
            lines.append("\t".join(random_operation(rng, model, cluster)))
        proc.communicate(("\n".join(lines) + "\n").encode())
        code, out = fsck(image)
        # Lost clusters may stay behind; damage may not.
        bad = [l for l in out.splitlines()
               if re.search(r"cross-linked|Bad cluster|beyond|points to|Invalid|"
                            r"Cluster chain|starts with free|has no cluster|bad start|"
                            r"\bfree cluster\b.*in chain", l, re.I)]
        if bad:
            return "round %d (writes allowed %d): %s" % (round_, allowed, "\n".join(bad))
        # The next round starts from what the tools see.
        model = Model()
        subprocess.run(["fsck.fat", "-a", image], capture_output=True)
        target = os.path.join(scratch, "state")
        shutil.rmtree(target, ignore_errors=True)
        os.mkdir(target)
        run(["mcopy", "-s", "-n", "-i", image, "::/*", target])
        for root, dirs, files in os.walk(target):
            rel = os.path.relpath(root, target)
            rel = "" if rel == "." else rel
            for d in dirs:
                p = ((rel + "/") if rel else "") + d
                model.dirs[Model.key(p)] = p
            for f in files:
                p = ((rel + "/") if rel else "") + f
                with open(os.path.join(root, f), "rb") as h:
                    model.files[Model.key(p)] = (p, bytearray(h.read()))
    return None


def main():
    # fsck.fat judges soundness; mtools only reads the tree back for the
    # model. Its own plausibility check takes the highest cluster number
    # (the cluster count + 1) for too big whenever an entry before the last
    # one points at it, and so refuses volumes fsck.fat finds clean: it is off.
    os.environ["MTOOLS_SKIP_CHECK"] = "1"
    seed = int(os.environ.get("FAT_WORKLOAD_SEED", "1717"))
    rng = random.Random(seed)
    scratch = tempfile.mkdtemp(prefix="fatworkload.")
    failures = []
    try:
        for bits in TYPES:
            problem = workload(bits, scratch, rng)
            if problem:
                failures.append("FAT%d workload (seed %d): %s" % (bits, seed, problem))
            problem = failing_writes(bits, scratch, rng, 15)
            if problem:
                failures.append("FAT%d failing writes (seed %d): %s" % (bits, seed, problem))
    finally:
        if os.environ.get("FAT_WORKLOAD_KEEP"):
            print("images kept in " + scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    for f in failures:
        print(f[:4000])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
