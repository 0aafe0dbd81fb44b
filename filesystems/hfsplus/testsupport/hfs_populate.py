#!/usr/bin/env python3
"""Populates an empty HFS+ volume made by mkfs.hfsplus.

Written from the published description of the HFS+ volume format (volume
header, fork data, B-tree nodes and header records, catalog, extents
overflow and attributes records): the catalog, extents overflow and
attributes trees are rebuilt from scratch inside the files mkfs.hfsplus
reserved for them, file data is written to blocks taken from the allocation
bitmap, and both volume headers get the new counts. The result is judged by
fsck.hfsplus, sleuthkit and 7zz in the driver's tests, never by the driver.

Usage: hfs_populate.py IMAGE CONTENTS
CONTENTS is a text file, one entry a line:
  dir PATH
  file PATH SIZE [fragments=N] [rsrc=SIZE] [xattr=NAME:TEXT] [symlink=TARGET] [fill=random]
        [node=char:MAJOR:MINOR|block:MAJOR:MINOR|fifo|socket]
File content is a byte pattern seeded by the path (see content()); a file
with fragments=N gets N extents with a free block between each, so that N
above 8 puts extents into the extents overflow file. A file with
symlink=TARGET is a symbolic link whose data fork holds TARGET (SIZE is
ignored). A file with node=... is a device, FIFO or socket with no data
(its special field holds MAJOR << 16 | MINOR). fill=random fills a file with random bytes instead of the
pattern (fast for large files). A file with hardlink=TARGET (a file listed before it) is a hard
link: the target moves into the private folder as its iNode and both
names become link records. Names are ASCII.
"""
import mmap
import os
import struct
import sys
import time

HFS_EPOCH = 2082844800
ROOT_PARENT, ROOT_ID = 1, 2
FIRST_USER_ID = 16


def content(path, size):
    seed = sum(path.encode()) & 0xFF
    return bytes(((seed + i * 13 + (i >> 9)) & 0xFF) for i in range(size))


class Image:
    def __init__(self, data):
        self.d = data
        vh = self.vh = bytearray(data[1024:1536])
        self.block_size, self.total_blocks = struct.unpack(">II", vh[40:48])
        if vh[0:2] != b"H+":
            raise SystemExit("only HFS+ volumes are populated")

    def fork(self, offset):
        f = self.vh[offset:offset + 80]
        size, clump, blocks = struct.unpack(">QII", f[:16])
        ext = [struct.unpack(">II", f[16 + 8 * i:24 + 8 * i]) for i in range(8)]
        return size, [e for e in ext if e[1]]

    def fork_bytes(self, offset):
        size, ext = self.fork(offset)
        out = bytearray()
        for start, count in ext:
            out += self.d[start * self.block_size:(start + count) * self.block_size]
        return out[:size]

    def put_fork_bytes(self, offset, payload):
        _, ext = self.fork(offset)
        pos = 0
        for start, count in ext:
            n = count * self.block_size
            chunk = payload[pos:pos + n]
            self.d[start * self.block_size:start * self.block_size + len(chunk)] = chunk
            pos += n

    # ---- allocation ------------------------------------------------------
    def load_bitmap(self):
        self.bitmap = bytearray(self.fork_bytes(112))

    def used(self, b):
        return self.bitmap[b // 8] & (0x80 >> (b % 8))

    def take(self, b):
        self.bitmap[b // 8] |= 0x80 >> (b % 8)

    def allocate(self, count, fragments=1):
        """`count` blocks in `fragments` extents, a free block between each."""
        extents = []
        b = self.total_blocks // 4
        per = [count // fragments + (1 if i < count % fragments else 0) for i in range(fragments)]
        for want in per:
            if want == 0:
                continue
            while True:
                if b + want >= self.total_blocks:
                    raise SystemExit("volume full")
                if all(not self.used(x) for x in range(b, b + want)):
                    break
                b += 1
            for x in range(b, b + want):
                self.take(x)
            extents.append((b, want))
            b += want + 1
        return extents

    def write_blocks(self, extents, payload):
        pos = 0
        for start, count in extents:
            n = count * self.block_size
            chunk = payload[pos:pos + n]
            at = start * self.block_size
            self.d[at:at + len(chunk)] = chunk
            pos += n


def fold(name):
    # The case-folding order puts NUL units last (the private folder's name
    # starts with four of them).
    return [0xFFFF if c == "\0" else ord(c.lower()) if "A" <= c <= "Z" else ord(c) for c in name]


def uni(name):
    return struct.pack(">H", len(name)) + b"".join(struct.pack(">H", ord(c)) for c in name)


def catalog_key(parent, name):
    body = struct.pack(">I", parent) + uni(name)
    return struct.pack(">H", len(body)) + body


def fork_data(size, extents):
    out = struct.pack(">QII", size, 0, sum(c for _, c in extents))
    for start, count in (extents + [(0, 0)] * 8)[:8]:
        out += struct.pack(">II", start, count)
    return out


def perms(mode):
    return struct.pack(">IIBBHI", 0, 0, 0, 0, mode, 0)


def folder_record(fid, valence, now, has_attrs=False):
    return (struct.pack(">HHII", 1, 0x4 if has_attrs else 0, valence, fid) +
            struct.pack(">5I", now, now, now, now, 0) + perms(0o40755) + bytes(32) +
            struct.pack(">II", 0, 0))


def file_record(fid, now, data, rsrc, has_attrs, mode=0o100644, finder=bytes(32)):
    flags = 0x2 | (0x4 if has_attrs else 0)  # thread exists, attributes
    return (struct.pack(">HHII", 2, flags, 0, fid) + struct.pack(">5I", now, now, now, now, 0) +
            perms(mode) + finder + struct.pack(">II", 0, 0) + data + rsrc)


def thread_record(kind, parent, name):
    return struct.pack(">HHI", kind, 0, parent) + uni(name)


class TreeFile:
    """A B-tree file rebuilt from sorted (key bytes, record bytes) leaves."""

    def __init__(self, img, fork_offset, variable_index_keys):
        self.img = img
        self.fork_offset = fork_offset
        self.raw = bytearray(img.fork_bytes(fork_offset))
        head = self.raw[14:14 + 106]
        self.node_size, = struct.unpack(">H", head[18:20])
        self.total_nodes, = struct.unpack(">I", head[22:26])
        self.variable = variable_index_keys

    def node(self, kind, height, records, flink=0, blink=0):
        n = bytearray(self.node_size)
        struct.pack_into(">IIbBH", n, 0, flink, blink, kind, height, len(records))
        pos = 14
        offsets = []
        for r in records:
            offsets.append(pos)
            n[pos:pos + len(r)] = r
            pos += len(r)
        offsets.append(pos)
        for i, o in enumerate(offsets):
            struct.pack_into(">H", n, self.node_size - 2 * (i + 1), o)
        return n

    def fits(self, records):
        return 14 + sum(len(r) for r in records) + 2 * (len(records) + 1) <= self.node_size

    def pack(self, records):
        groups, cur = [], []
        for r in records:
            if cur and not self.fits(cur + [r]):
                groups.append(cur)
                cur = []
            cur.append(r)
        if cur:
            groups.append(cur)
        return groups

    def build(self, leaves, fixed_index_key_len=None):
        """leaves: sorted list of (key, record)."""
        nodes = {}
        next_node = 1
        level = []  # (first key, node number)
        groups = self.pack([k + r for k, r in leaves]) if leaves else []
        numbers = list(range(next_node, next_node + len(groups)))
        next_node += len(groups)
        key_of = {}
        i = 0
        for g, num in zip(groups, numbers):
            key_of[num] = leaves[i][0]
            i += len(g)
        for idx, (g, num) in enumerate(zip(groups, numbers)):
            flink = numbers[idx + 1] if idx + 1 < len(numbers) else 0
            blink = numbers[idx - 1] if idx > 0 else 0
            nodes[num] = self.node(-1, 1, g, flink, blink)
            level.append((key_of[num], num))
        height = 1
        while len(level) > 1:
            height += 1
            recs = []
            for key, num in level:
                if self.variable:
                    ik = key
                else:
                    ik = key[:2 + fixed_index_key_len]
                recs.append((key, ik + struct.pack(">I", num)))
            groups = self.pack([r for _, r in recs])
            new_level = []
            j = 0
            nums = list(range(next_node, next_node + len(groups)))
            next_node += len(groups)
            for idx, (g, num) in enumerate(zip(groups, nums)):
                flink = nums[idx + 1] if idx + 1 < len(nums) else 0
                blink = nums[idx - 1] if idx > 0 else 0
                nodes[num] = self.node(0, height, g, flink, blink)
                new_level.append((recs[j][0], num))
                j += len(g)
            level = new_level
        if next_node > self.total_nodes:
            raise SystemExit("tree file too small")
        for num, n in nodes.items():
            self.raw[num * self.node_size:(num + 1) * self.node_size] = n
        for num in range(next_node, self.total_nodes):
            self.raw[num * self.node_size:(num + 1) * self.node_size] = bytes(self.node_size)
        # Header record and node map.
        root = level[0][1] if level else 0
        depth = height if level else 0
        h = 14
        struct.pack_into(">HIIII", self.raw, h, depth, root, len(leaves),
                         numbers[0] if numbers else 0, numbers[-1] if numbers else 0)
        struct.pack_into(">I", self.raw, h + 26, self.total_nodes - next_node)
        map_off, = struct.unpack(">H", self.raw[self.node_size - 6:self.node_size - 4])
        map_end, = struct.unpack(">H", self.raw[self.node_size - 8:self.node_size - 6])
        for b in range(map_off, map_end):
            self.raw[b] = 0
        for num in range(next_node):
            self.raw[map_off + num // 8] |= 0x80 >> (num % 8)
        self.img.put_fork_bytes(self.fork_offset, self.raw)


PRIVATE_NAME = "\0\0\0\0HFS+ Private Data"


def link_record(fid, inode, now):
    rec = bytearray(file_record(fid, now, fork_data(0, []), fork_data(0, []), False))
    rec[48:56] = b"hlnkhfs+"
    struct.pack_into(">I", rec, 44, inode)
    return bytes(rec)


def add_hard_links(leaves, links, ids, children, next_id, folders, now):
    """Moves each link target into the private folder as iNode<id> and puts
    link records at its old name and at every link's name."""
    private = next_id
    next_id += 1
    folders += 1
    children[ROOT_ID] += 1
    children[private] = 0
    index = {key: i for i, (key, _) in enumerate(leaves)}
    targets = {}
    for path, target, fid, parent, name in links:
        targets.setdefault(target, []).append((fid, parent, name))
    for target, named in targets.items():
        tparent_path, _, tname = target.rpartition("/")
        tparent, tid = ids[tparent_path], ids[target]
        i = index[catalog_key(tparent, tname)]
        rec = bytearray(leaves[i][1])
        struct.pack_into(">I", rec, 44, len(named) + 1)  # link count
        inode_name = "iNode%d" % tid
        leaves[i] = (catalog_key(private, inode_name), bytes(rec))
        leaves[index[catalog_key(tid, "")]] = (catalog_key(tid, ""), thread_record(4, private, inode_name))
        children[private] += 1
        # The target's own name becomes a link too.
        lid = next_id
        next_id += 1
        named = [(lid, tparent, tname)] + named
        for fid, parent, name in named:
            leaves.append((catalog_key(parent, name), link_record(fid, tid, now)))
            leaves.append((catalog_key(fid, ""), thread_record(4, parent, name)))
    leaves.append((catalog_key(ROOT_ID, PRIVATE_NAME), folder_record(private, children[private], now)))
    leaves.append((catalog_key(private, ""), thread_record(3, ROOT_ID, PRIVATE_NAME)))
    return next_id, folders, len(targets)


def catalog_order(item):
    key = item[0]
    parent, = struct.unpack(">I", key[2:6])
    n, = struct.unpack(">H", key[6:8])
    name = "".join(chr(struct.unpack(">H", key[8 + 2 * i:10 + 2 * i])[0]) for i in range(n))
    return (parent, fold(name), [ord(c) for c in name])


def main():
    image, contents = sys.argv[1], sys.argv[2]
    entries = []
    for line in open(contents):
        parts = line.split()
        if not parts:
            continue
        opts = dict(p.split("=", 1) for p in parts[3:])
        entries.append((parts[0], parts[1].strip("/"), int(parts[2]) if len(parts) > 2 else 0, opts))
    with open(image, "r+b") as f:
        data = mmap.mmap(f.fileno(), 0)
        img = Image(data)
        img.load_bitmap()
        now = int(time.time()) + HFS_EPOCH
        cat = TreeFile(img, 272, True)
        root_leaf = cat.raw[cat.node_size:2 * cat.node_size]
        # The root folder's name from mkfs's record (key parent 1).
        klen, = struct.unpack(">H", root_leaf[14:16])
        root_name_len, = struct.unpack(">H", root_leaf[20:22])
        root_name = "".join(chr(struct.unpack(">H", root_leaf[22 + 2 * i:24 + 2 * i])[0])
                            for i in range(root_name_len))
        ids = {"": ROOT_ID}
        children = {ROOT_ID: 0}
        next_id = FIRST_USER_ID
        leaves, ext_leaves, attr_leaves = [], [], []
        files = folders = 0
        pending_folders = []
        links = []
        for kind, path, size, opts in entries:
            parent_path, _, name = path.rpartition("/")
            parent = ids[parent_path]
            fid = next_id
            next_id += 1
            ids[path] = fid
            children[parent] += 1
            has_attrs = "xattr" in opts
            if has_attrs:
                aname, atext = opts["xattr"].split(":", 1)
                akey_body = struct.pack(">HII", 0, fid, 0) + uni(aname)
                akey = struct.pack(">H", len(akey_body)) + akey_body
                value = atext.encode()
                rec = struct.pack(">IIII", 0x10, 0, 0, len(value)) + value
                if len(rec) % 2:
                    rec += b"\0"
                attr_leaves.append((akey, rec))
            if kind == "dir":
                children[fid] = 0
                folders += 1
                pending_folders.append((parent, name, fid, has_attrs))
                leaves.append((catalog_key(fid, ""), thread_record(3, parent, name)))
                continue
            files += 1
            if "hardlink" in opts:
                links.append((path, opts["hardlink"], fid, parent, name))
                continue
            payload = None
            mode, finder = 0o100644, bytes(32)
            if "symlink" in opts:
                payload = opts["symlink"].encode()
                size = len(payload)
                mode, finder = 0o120755, b"slnkrhap" + bytes(24)
            special = 0
            if "node" in opts:
                kind, *numbers = opts["node"].split(":")
                mode = {"char": 0o20644, "block": 0o60644, "fifo": 0o10644, "socket": 0o140644}[kind]
                if numbers:
                    special = (int(numbers[0]) << 16) | int(numbers[1])
                size = 0
            blocks = (size + img.block_size - 1) // img.block_size
            frags = int(opts.get("fragments", "1"))
            extents = img.allocate(blocks, frags) if blocks else []
            if payload is None:
                payload = os.urandom(size) if opts.get("fill") == "random" else content(path, size)
            img.write_blocks(extents, payload)
            if len(extents) > 8:
                for r in range(1, (len(extents) + 7) // 8):
                    group = extents[8 * r:8 * r + 8]
                    first = sum(c for _, c in extents[:8 * r])
                    key = struct.pack(">HBBII", 10, 0, 0, fid, first)
                    body = b"".join(struct.pack(">II", s, c) for s, c in (group + [(0, 0)] * 8)[:8])
                    ext_leaves.append((key, body))
            rsize = int(opts.get("rsrc", "0"))
            rblocks = (rsize + img.block_size - 1) // img.block_size
            rext = img.allocate(rblocks) if rblocks else []
            img.write_blocks(rext, content(path + "/rsrc", rsize))
            rec = file_record(fid, now, fork_data(size, extents[:8]) if extents else fork_data(0, []),
                              fork_data(rsize, rext), has_attrs, mode, finder)
            rec = rec[:44] + struct.pack(">I", special) + rec[48:] if special else rec
            # The total of the data fork counts every extent, overflow included.
            total = sum(c for _, c in extents)
            rec = rec[:88 + 12] + struct.pack(">I", total) + rec[88 + 16:]
            leaves.append((catalog_key(parent, name), rec))
            leaves.append((catalog_key(fid, ""), thread_record(4, parent, name)))
        if links:
            next_id, folders, more = add_hard_links(leaves, links, ids, children, next_id, folders, now)
            files += more
        for parent, name, fid, has_attrs in pending_folders:
            leaves.append((catalog_key(parent, name), folder_record(fid, children[fid], now, has_attrs)))
        leaves.append((catalog_key(ROOT_PARENT, root_name), folder_record(ROOT_ID, children[ROOT_ID], now)))
        leaves.append((catalog_key(ROOT_ID, ""), thread_record(3, ROOT_PARENT, root_name)))
        leaves.sort(key=catalog_order)
        cat.build(leaves)
        ext_leaves.sort(key=lambda kr: (kr[0][2], struct.unpack(">I", kr[0][4:8]), struct.unpack(">I", kr[0][8:12])))
        TreeFile(img, 192, False).build(ext_leaves, 10)
        if attr_leaves:
            attr_leaves.sort(key=lambda kr: (struct.unpack(">I", kr[0][4:8]), kr[0][12:]))
            TreeFile(img, 352, True).build(attr_leaves)
        img.put_fork_bytes(112, img.bitmap)
        free = sum(1 for b in range(img.total_blocks) if not img.used(b))
        vh = img.vh
        struct.pack_into(">II", vh, 32, files, folders)
        struct.pack_into(">I", vh, 48, free)
        struct.pack_into(">I", vh, 64, next_id)
        struct.pack_into(">I", vh, 20, now)
        data[1024:1536] = vh
        alt = len(data) - 1024
        data[alt:alt + 512] = vh
        data.flush()
        data.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
