#!/usr/bin/env python3
"""Lays out dynamic-disk groups on disk images, for the dynamic-disk tests.

Nothing on Debian writes the dynamic-disk database, so this writes it
itself, from the published description of the on-disk format: a PRIVHEAD
disk header, four TOCBLOCK copies, the VMDB database header with its
128-byte VBLK record slots, and the KLOG sectors, all big-endian. The
partition tables under it come from sfdisk (one type-0x42 partition) and
sgdisk (the LDM metadata and data partitions), and `ldmtool` reads the
result back inside the tests, so the fixtures are judged by another reader
than the code under test.

    ldm_fixture.py build NAME DIR      writes DIR/NAME-<n>.img, prints their paths
    ldm_fixture.py expect NAME         prints the volumes the fixture intends
    ldm_fixture.py reconstruct NAME DIR VOLUME OUT [WITHOUT]
                                       rebuilds VOLUME's bytes from the member
                                       images, from the extents ldmtool reports
                                       (with disk WITHOUT taken as absent)
    ldm_fixture.py ldmtool-lines NAME DIR
                                       the volume lines as ldmtool reads the images
    ldm_fixture.py ldmtool-images IMAGE...
                                       the same for any images (one group)
    ldm_fixture.py ldmtool-disks IMAGE...
                                       the disks of the images' group, one a line
    ldm_fixture.py list                the fixture names
"""

import json
import os
import struct
import subprocess
import sys
import uuid

SECTOR = 512
PRIV_SIZE = 2048
CONFIG_START, CONFIG_SIZE = 17, 1481
LOG_START, LOG_SIZE = 1498, 224
MBR_PUBLIC_START = 63
META_GUID = "5808C8AA-7E8F-42E0-85D2-E1E90434CFB3"
DATA_GUID = "AF9B60A0-1431-4F62-BC68-3311714A69AD"

# --- fixtures --------------------------------------------------------------
# A disk: name, sectors, and optional: absent (image not written: a missing
# member), stamp (VMDB timestamp), v4 (version-4 disk record), alt (a long
# alternative name, which makes the disk record take several slots), damage
# ("toc": every TOCBLOCK copy wiped; "vmdbver": VMDB version 4.9).
# A volume: name, layout, size, chunk, plexes: each a list of extents
# (disk index, start in the public region, count, column, plex offset).


def _fixtures():
    f = {}
    d2 = [dict(name="Disk1", sectors=12288), dict(name="Disk2", sectors=12288)]
    d3 = d2 + [dict(name="Disk3", sectors=12288)]
    d4 = d3 + [dict(name="Disk4", sectors=12288)]
    f["simple"] = dict(scheme="mbr", disks=[dict(name="Disk1", sectors=8192)], volumes=[
        dict(name="Volume1", layout="simple", size=2000, plexes=[[(0, 0, 2000, 0, 0)]]),
        # Two pieces on one disk: still a simple volume.
        dict(name="Volume2", layout="simple", size=1500,
             plexes=[[(0, 2000, 1000, 0, 0), (0, 4000, 500, 0, 1000)]]),
    ])
    f["spanned"] = dict(scheme="mbr", disks=d2, volumes=[
        dict(name="Volume1", layout="spanned", size=3000,
             plexes=[[(0, 100, 1000, 0, 0), (1, 0, 2000, 0, 1000)]]),
    ])
    f["striped"] = dict(scheme="mbr", disks=d3, volumes=[
        dict(name="Stripe1", layout="striped", size=3072, chunk=128,
             plexes=[[(0, 0, 1024, 0, 0), (1, 0, 1024, 1, 0), (2, 0, 1024, 2, 0)]]),
    ])
    f["mirror"] = dict(scheme="mbr", disks=[dict(d, alt="a" * 200) for d in d2], volumes=[
        dict(name="Volume1", layout="mirror", size=2048,
             plexes=[[(0, 64, 2048, 0, 0)], [(1, 512, 2048, 0, 0)]]),
    ])
    f["raid5"] = dict(scheme="mbr", disks=d3, volumes=[
        dict(name="Raid1", layout="raid5", size=4096, chunk=128,
             plexes=[[(0, 0, 2048, 0, 0), (1, 0, 2048, 1, 0), (2, 0, 2048, 2, 0)]]),
    ])
    # A fourth member that holds nothing: room for a moved column.
    f["raid5spare"] = dict(f["raid5"], disks=d4)
    f["raid5missing"] = dict(f["raid5"], disks=[d3[0], d3[1], dict(d3[2], absent=True)])
    f["mirrormissing"] = dict(f["mirror"], disks=[d2[0], dict(d2[1], absent=True)])
    f["spannedmissing"] = dict(f["spanned"], disks=[d2[0], dict(d2[1], absent=True)])
    f["gpt"] = dict(scheme="gpt", disks=[dict(d, v4=True) for d in d4], volumes=[
        dict(name="Volume1", layout="simple", size=1000, plexes=[[(3, 3000, 1000, 0, 0)]]),
        dict(name="Raid2", layout="raid5", size=3072, chunk=64,
             plexes=[[(0, 0, 1024, 0, 0), (1, 0, 1024, 1, 0), (2, 0, 1024, 2, 0),
                      (3, 0, 1024, 3, 0)]]),
        dict(name="Stripe3", layout="striped", size=2048, chunk=128,
             plexes=[[(0, 1024, 1024, 0, 0), (1, 1024, 1024, 1, 0)]]),
    ])
    # Timestamps 5, 9 and 7: the second member's copy is the newest.
    f["stalled"] = dict(scheme="mbr", disks=[dict(d3[0], stamp=5), dict(d3[1], stamp=9),
                                             dict(d3[2], stamp=7)], volumes=f["spanned"]["volumes"])
    # The first member's database is unreadable; the others still carry it.
    f["damaged"] = dict(scheme="mbr", disks=[dict(d3[0], damage="toc"), d3[1], d3[2]],
                        volumes=f["spanned"]["volumes"])
    # The benchmark's group: four members and 250 volumes spanned over all
    # four, whose drive hints make each volume record take four slots:
    # 2,250 slots in use. (ldmtool drops a group of 256 volumes or more.)
    f["big"] = dict(scheme="mbr", disks=d4, volumes=[
        dict(name="Volume%d" % (n + 1), layout="spanned", size=16, hint="H" * 250,
             plexes=[[(d, n * 4, 4, 0, d * 4) for d in range(4)]]) for n in range(250)])
    return f


FIXTURES = _fixtures()

# --- encoding --------------------------------------------------------------


def be(n, width):
    return n.to_bytes(width, "big")


def varnum(n):
    if n == 0:
        return b"\x00"
    raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([len(raw)]) + raw


def varstr(s):
    b = s.encode("ascii")
    return bytes([len(b)]) + b


def checksum(sector):
    s = sum(sector[:0x0A]) + sum(sector[0x0C:])
    return s & 0xFFFF


def with_checksum(sector):
    sector = bytearray(sector)
    sector[0x0A:0x0C] = b"\0\0"
    sector[0x0A:0x0C] = be(checksum(sector), 2)
    return bytes(sector)


def pad(b, width):
    assert len(b) <= width, (len(b), width)
    return b + b"\0" * (width - len(b))


def guid_text(seed):
    return str(uuid.UUID(int=(0x1234_5678_9abc_4def_8000_0000_0000_0000 + seed)))


def guid_bytes_ondisk(text):
    # The record's 16-byte GUID fields are stored in text order.
    return uuid.UUID(text).bytes


def record(rtype, version, flags, payload):
    """The record's byte stream: the 8-byte header, then the payload."""
    return bytes([0, 0, flags, (version << 4) | rtype]) + be(len(payload), 4) + payload


def slots_for(stream, number, first_slot):
    """Splits a record stream into VBLK slots of 112 data bytes each."""
    parts = [stream[i:i + 112] for i in range(0, len(stream), 112)] or [b""]
    if len(stream) % 112 == 0:
        parts.append(b"")  # a record that fills its last slot takes one more
    out = []
    for i, part in enumerate(parts):
        hdr = b"VBLK" + be(first_slot + i, 4) + be(number, 4) + be(i, 2) + be(len(parts), 2)
        out.append(pad(hdr + part, 128))
    return out


class Group:
    def __init__(self, name, fx):
        self.fx = fx
        self.name = "Group" + name[:20]
        self.dg_guid = guid_text(0x100 + len(name))
        self.host_guid = guid_text(0x200)
        self.rid = 0
        self.commit = 0x100

    def next_rid(self):
        self.rid += 1
        return self.rid

    def records(self):
        fx = self.fx
        recs = []
        self.rid = 0
        dg_rid = self.next_rid()
        recs.append(record(5, 3, 0x08, varnum(dg_rid) + varstr(self.name) + varstr(self.dg_guid)
                           + be(0, 4) + be(self.commit, 8) + varnum(0xFFFFFFFF)
                           + varnum(0xFFFFFFFF)))
        self.disk_rids = []
        for i, d in enumerate(fx["disks"]):
            rid = self.next_rid()
            self.disk_rids.append(rid)
            alt = d.get("alt", "")
            if d.get("v4"):
                body = (guid_bytes_ondisk(disk_guid(self, i)) + b"\0" * 16 + varstr(alt)
                        + be(0, 4) + be(self.commit, 8))
                recs.append(record(4, 4, 0, varnum(rid) + varstr(d["name"]) + body))
            else:
                body = varstr(disk_guid(self, i)) + varstr(alt) + be(0, 4) + be(self.commit, 8)
                recs.append(record(4, 3, 0, varnum(rid) + varstr(d["name"]) + body))
        for vn, v in enumerate(fx["volumes"]):
            vrid = self.next_rid()
            raid5 = v["layout"] == "raid5"
            vol = (varnum(vrid) + varstr(v["name"]) + varstr("raid5" if raid5 else "gen")
                   + varstr("") + pad(b"ACTIVE", 14) + bytes([4 if raid5 else 3])
                   + varnum(vn + 1) + be(0, 4) + varnum(len(v["plexes"])) + be(self.commit, 8)
                   + be(0, 8) + varnum(v["size"]) + varnum(0) + be(0, 4)
                   + guid_bytes_ondisk(guid_text(0x300 + vn)))
            vflags = 0
            if v.get("hint"):
                vflags |= 0x02
                vol += varstr(v["hint"])
            recs.append(record(1, 5, vflags, vol))
            for pn, plex in enumerate(v["plexes"]):
                prid = self.next_rid()
                layout = {"striped": 1, "raid5": 3}.get(v["layout"], 2)
                body = (varnum(prid) + varstr("%s-%02d" % (v["name"], pn + 1)) + varstr("ACTIVE")
                        + bytes([layout]) + be(0, 4) + varnum(len(plex)) + be(self.commit, 8)
                        + be(0, 8) + varnum(vrid) + varnum(0))
                flags = 0
                if layout in (1, 3):
                    flags = 0x10
                    body += varnum(v["chunk"]) + varnum(len(plex))
                recs.append(record(2, 3, flags, body))
                for (disk, start, count, column, off) in plex:
                    srid = self.next_rid()
                    sd_name = "%s-%02d" % (fx["disks"][disk]["name"], srid)
                    body = (varnum(srid) + varstr(sd_name) + be(0, 4) + be(self.commit, 8)
                            + be(start, 8) + be(off, 8) + varnum(count) + varnum(prid)
                            + varnum(self.disk_rids[disk]))
                    flags = 0
                    if layout in (1, 3):
                        flags = 0x08
                        body += varnum(column)
                    recs.append(record(3, 3, flags, body))
        return recs


def disk_guid(group, i):
    return guid_text(0x400 + i)


def build_config(group, stamp):
    recs = group.records()
    config = bytearray(CONFIG_SIZE * SECTOR)
    slots = CONFIG_SIZE * 4
    for i in range(4, slots):
        config[i * 128:i * 128 + 8] = b"VBLK" + be(i, 4)
    slot = 4
    counts = {1: 0, 2: 0, 3: 0, 4: 0}
    for number, rec in enumerate(recs, start=1):
        rtype = rec[3] & 0x0F
        if rtype in counts:
            counts[rtype] += 1
        for part in slots_for(rec, number, slot):
            config[slot * 128:slot * 128 + 128] = part
            slot += 1
    vmdb = bytearray(SECTOR)
    vmdb[0:4] = b"VMDB"
    vmdb[4:8] = be(slots, 4)
    vmdb[8:12] = be(128, 4)
    vmdb[12:16] = be(512, 4)
    vmdb[0x10:0x12] = be(1, 2)
    vmdb[0x12:0x14] = be(4, 2)
    vmdb[0x14:0x16] = be(10, 2)
    vmdb[0x16:0x16 + len(group.name)] = group.name.encode()
    vmdb[0x35:0x35 + 36] = group.dg_guid.encode()
    vmdb[0x75:0x7D] = be(group.commit, 8)
    vmdb[0x7D:0x85] = be(group.commit, 8)
    vmdb[0x85:0x89] = be(counts[1], 4)
    vmdb[0x89:0x8D] = be(counts[2], 4)
    vmdb[0x8D:0x91] = be(counts[3], 4)
    vmdb[0x91:0x95] = be(counts[4], 4)
    vmdb[0xA1:0xA5] = be(counts[1], 4)
    vmdb[0xA5:0xA9] = be(counts[2], 4)
    vmdb[0xA9:0xAD] = be(counts[3], 4)
    vmdb[0xBD:0xC5] = be(stamp, 8)
    config[0:SECTOR] = vmdb
    return bytes(config)


def privhead(group, i, pub_start, pub_size, priv_start):
    p = bytearray(SECTOR)
    p[0:8] = b"PRIVHEAD"
    p[0x0C:0x0E] = be(2, 2)
    p[0x0E:0x10] = be(11, 2)
    p[0x10:0x18] = be(0x01D0000000000000, 8)
    p[0x18:0x20] = be(1, 8)
    p[0x20:0x28] = be(PRIV_SIZE - 1, 8)
    p[0x28:0x30] = be(1856, 8)
    p[0x30:0x30 + 36] = disk_guid(group, i).encode()
    p[0x70:0x70 + 36] = group.host_guid.encode()
    p[0xB0:0xB0 + 36] = group.dg_guid.encode()
    p[0xF0:0xF0 + len(group.name)] = group.name.encode()
    p[0x10F:0x113] = be(512, 4)
    p[0x11B:0x123] = be(pub_start, 8)
    p[0x123:0x12B] = be(pub_size, 8)
    p[0x12B:0x133] = be(priv_start, 8)
    p[0x133:0x13B] = be(PRIV_SIZE, 8)
    p[0x13B:0x143] = be(2, 8)
    p[0x143:0x14B] = be(2045, 8)
    p[0x14B:0x14F] = be(1, 4)
    p[0x14F:0x153] = be(1, 4)
    p[0x153:0x15B] = be(CONFIG_SIZE, 8)
    p[0x15B:0x163] = be(LOG_SIZE, 8)
    return with_checksum(p)


def tocblock():
    t = bytearray(SECTOR)
    t[0:8] = b"TOCBLOCK"
    t[0x0C:0x14] = be(1, 8)
    t[0x24:0x24 + 6] = b"config"
    t[0x2E:0x36] = be(CONFIG_START, 8)
    t[0x36:0x3E] = be(CONFIG_SIZE, 8)
    t[0x3E:0x40] = be(6, 2)
    t[0x40:0x42] = be(1, 2)
    t[0x46:0x46 + 3] = b"log"
    t[0x50:0x58] = be(LOG_START, 8)
    t[0x58:0x60] = be(LOG_SIZE, 8)
    t[0x60:0x62] = be(6, 2)
    t[0x62:0x64] = be(1, 2)
    return with_checksum(t)


def klog(k):
    s = bytearray(SECTOR)
    s[0:4] = b"KLOG"
    s[8:12] = be(0x404, 4)
    s[0x10:0x14] = be(2, 4)
    s[0x14:0x18] = be(k, 4)
    s[0x18] = 3
    return bytes(s)


def run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def layout_disk(path, fx, group, i, config):
    d = fx["disks"][i]
    n = d["sectors"]
    with open(path, "wb") as f:
        f.truncate(n * SECTOR)
    if fx["scheme"] == "mbr":
        priv_start = n - PRIV_SIZE
        pub_start, pub_size = MBR_PUBLIC_START, priv_start - MBR_PUBLIC_START
        run(["sfdisk", "-q", "--no-reread", "--no-tell-kernel", path],
            input=("label: dos\nstart=%d, size=%d, type=42\n" % (pub_start, n - pub_start)).encode())
        first_ph = 6
    else:
        # Metadata partition first (1 MiB), data partition after it.
        meta_start = 34
        run(["sgdisk", "-a", "1", "-n", "1:%d:%d" % (meta_start, meta_start + PRIV_SIZE - 1),
             "-t", "1:" + META_GUID, "-n", "2:%d:%d" % (meta_start + PRIV_SIZE, n - 34),
             "-t", "2:" + DATA_GUID, path])
        priv_start = meta_start
        pub_start, pub_size = meta_start + PRIV_SIZE, n - 34 - (meta_start + PRIV_SIZE) + 1
        first_ph = priv_start + PRIV_SIZE - 1
    ph = privhead(group, i, pub_start, pub_size, priv_start)
    with open(path, "r+b") as f:
        def put(sector, data):
            f.seek(sector * SECTOR)
            f.write(data)
        put(first_ph, ph)
        put(priv_start + PRIV_SIZE - 1, ph)
        put(priv_start + 1856, ph)
        toc = tocblock() if d.get("damage") != "toc" else b"\0" * SECTOR
        for off in (1, 2, 2045, 2046):
            put(priv_start + off, toc)
        if d.get("damage") == "vmdbver":
            config = bytearray(config)
            config[0x14:0x16] = be(9, 2)
            config = bytes(config)
        put(priv_start + CONFIG_START, config)
        put(priv_start + LOG_START, klog(0) + klog(1))
    # Recognisable data in the public region: every sector names its disk
    # and number, so that reads through a volume show where they came from.
    fill_public(path, i, pub_start, pub_size)
    return pub_start


def fill_public(path, i, start, size):
    with open(path, "r+b") as f:
        f.seek(start * SECTOR)
        chunk = bytearray()
        for s in range(size):
            chunk += pad(b"disk%d sector %d " % (i, s), SECTOR)
            if len(chunk) >= 1 << 20:
                f.write(chunk)
                chunk = bytearray()
        f.write(chunk)


def xor(a, b):
    return (int.from_bytes(a, "big") ^ int.from_bytes(b, "big")).to_bytes(len(a), "big")


def make_redundant(fx, paths, pub_starts):
    """Mirrors get plex 0's bytes in every plex, RAID-5 columns the XOR
    parity of each stripe (left-symmetric rotation), so that a volume reads
    the same with one member gone."""
    def at(e, offset):
        return (pub_starts[e[0]] + e[1] + offset) * SECTOR

    def read(e, offset, count):
        with open(paths[e[0]], "rb") as f:
            f.seek(at(e, offset))
            return f.read(count * SECTOR)

    def write(e, offset, data):
        with open(paths[e[0]], "r+b") as f:
            f.seek(at(e, offset))
            f.write(data)

    for v in fx["volumes"]:
        if v["layout"] == "mirror":
            src = v["plexes"][0][0]
            for plex in v["plexes"][1:]:
                write(plex[0], 0, read(src, 0, v["size"]))
        elif v["layout"] == "raid5":
            cols = sorted(v["plexes"][0], key=lambda e: e[3])
            n, chunk = len(cols), v["chunk"]
            for stripe in range(cols[0][2] // chunk):
                parity = (n - 1) - stripe % n
                acc = bytearray(chunk * SECTOR)
                for c in range(n):
                    if c != parity:
                        acc = xor(acc, read(cols[c], stripe * chunk, chunk))
                write(cols[parity], stripe * chunk, bytes(acc))


def build(name, out):
    fx = FIXTURES[name]
    group = Group(name, fx)
    paths, pub_starts = [], []
    for i, d in enumerate(fx["disks"]):
        config = build_config(group, d.get("stamp", 0x01D0000000000000 + 100))
        path = os.path.join(out, "%s-%d.img" % (name, i))
        pub_starts.append(layout_disk(path, fx, group, i, config))
        paths.append(path)
    make_redundant(fx, paths, pub_starts)
    present = []
    for d, path in zip(fx["disks"], paths):
        if d.get("absent"):
            os.remove(path)
        else:
            present.append(path)
    return present


def expect(name):
    """One line per volume, as `diskimage volumes` prints them."""
    fx = FIXTURES[name]
    group = Group(name, fx)
    lines = []
    # A member whose database cannot be read counts like an absent one.
    absent = [d.get("absent", False) or "damage" in d for d in fx["disks"]]
    for v in sorted(fx["volumes"], key=lambda v: v["name"]):
        missing = set(e[0] for plex in v["plexes"] for e in plex if absent[e[0]])
        if not missing:
            state = "healthy"
        elif v["layout"] in ("mirror",):
            bad = [any(absent[e[0]] for e in plex) for plex in v["plexes"]]
            state = "degraded" if not all(bad) else "failed"
        elif v["layout"] == "raid5":
            state = "degraded" if len(missing) == 1 else "failed"
        else:
            state = "failed"
        ext = []
        for plex in v["plexes"]:
            for e in sorted(plex, key=lambda e: (e[3], e[4])):
                ext.append("%s:%d+%d" % (fx["disks"][e[0]]["name"], e[1], e[2]))
        lines.append("\t".join([group.name, v["name"], v["layout"], str(v["size"]),
                                str(v.get("chunk", 0)), state, ",".join(ext)]))
    return lines


def ldmtool_json(args):
    out = subprocess.run(["ldmtool"] + args, check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL).stdout
    return json.loads(out)


def ldmtool_view(name, folder):
    """What ldmtool says of the fixture's images: the group and, per volume,
    its JSON with its partitions and their disks."""
    fx = FIXTURES[name]
    images = [os.path.join(folder, "%s-%d.img" % (name, i)) for i in range(len(fx["disks"]))]
    return ldmtool_view_of(images)


def ldmtool_view_of(images):
    args = sum((["-d", p] for p in images if os.path.exists(p)), [])
    guid = ldmtool_json(args + ["scan"])[0]
    group = ldmtool_json(args + ["show", "diskgroup", guid])
    volumes = []
    for vname in group["volumes"]:
        vol = ldmtool_json(args + ["show", "volume", guid, vname])
        parts = []
        for pname in vol["partitions"]:
            part = ldmtool_json(args + ["show", "partition", guid, pname])
            disk = ldmtool_json(args + ["show", "disk", guid, part["disk"]])
            parts.append((part, disk))
        volumes.append((vol, parts))
    return group, volumes


def ldmtool_lines(name, folder):
    """The `volumes` lines as far as ldmtool tells them; the state column,
    which ldmtool does not report, is "-"."""
    return lines_of_view(*ldmtool_view(name, folder))


def ldmtool_disks(images):
    """The disks ldmtool lists in the images' group, one a line."""
    args = sum((["-d", p] for p in images), [])
    guid = ldmtool_json(args + ["scan"])[0]
    return ldmtool_json(args + ["show", "diskgroup", guid])["disks"]


def lines_of_view(group, volumes):
    lines = []
    for vol, parts in sorted(volumes, key=lambda v: v[0]["name"]):
        kind = {"mirrored": "mirror", "RAID5": "raid5"}.get(vol["type"], vol["type"])
        # A volume whose pieces all lie on one disk is a simple volume,
        # however many pieces it has; ldmtool calls it spanned.
        if kind == "spanned" and len(set(p["disk"] for p, _ in parts)) == 1:
            kind = "simple"
        ext = ",".join("%s:%d+%d" % (p["disk"], p["start"], p["size"]) for p, _ in parts)
        lines.append("\t".join([group["name"], vol["name"], kind, str(vol["size"]),
                                str(vol["chunk-size"]), "-", ext]))
    return lines


def reconstruct(name, folder, volume, out, without=None):
    """The volume's bytes rebuilt from the member images alone, following the
    extents that ldmtool reports (not the fixture's own table). The disk
    named `without` is read as absent: a mirror then reads another plex, a
    RAID-5 volume rebuilds that column from the others' parity."""
    group, volumes = ldmtool_view(name, folder)
    vol, parts = [v for v in volumes if v[0]["name"] == volume][0]
    if without:
        parts = [(p, dict(d, present=False) if p["disk"] == without else d) for p, d in parts]
    size = vol["size"]
    data = bytearray(size * SECTOR)

    def read(part, disk, offset=0, count=None):
        if not disk.get("present"):
            return None
        count = part["size"] - offset if count is None else count
        with open(disk["device"], "rb") as f:
            f.seek((disk["data-start"] + part["start"] + offset) * SECTOR)
            return f.read(count * SECTOR)

    kind = vol["type"]
    if kind in ("simple", "spanned"):
        at = 0
        for part, disk in parts:
            got = read(part, disk)
            data[at * SECTOR:(at + part["size"]) * SECTOR] = got
            at += part["size"]
    elif kind == "mirrored":
        part, disk = [pd for pd in parts if pd[1].get("present")][0]
        data[:] = read(part, disk, 0, size)
    elif kind == "striped":
        chunk = vol["chunk-size"]
        n = len(parts)
        for k in range(size // chunk):
            part, disk = parts[k % n]
            got = read(part, disk, (k // n) * chunk, chunk)
            data[k * chunk * SECTOR:(k + 1) * chunk * SECTOR] = got
    elif kind == "RAID5":
        chunk = vol["chunk-size"]
        n = len(parts)
        cols = [read(p, d) for p, d in parts]
        for k in range(size // chunk):
            stripe, dk = divmod(k, n - 1)
            parity = (n - 1) - stripe % n          # left-symmetric rotation
            col = (parity + 1 + dk) % n
            at = stripe * chunk * SECTOR
            if cols[col] is not None:
                got = cols[col][at:at + chunk * SECTOR]
            else:
                acc = bytearray(chunk * SECTOR)
                for c in range(n):
                    if c != col:
                        other = cols[c][at:at + chunk * SECTOR]
                        acc = xor(acc, other)
                got = bytes(acc)
            data[k * chunk * SECTOR:(k + 1) * chunk * SECTOR] = got
    with open(out, "wb") as f:
        f.write(data)


def main(argv):
    if argv[1] == "list":
        print("\n".join(sorted(FIXTURES)))
    elif argv[1] == "build":
        print("\n".join(build(argv[2], argv[3])))
    elif argv[1] == "expect":
        print("\n".join(expect(argv[2])))
    elif argv[1] == "ldmtool-lines":
        print("\n".join(ldmtool_lines(argv[2], argv[3])))
    elif argv[1] == "ldmtool-images":
        print("\n".join(lines_of_view(*ldmtool_view_of(argv[2:]))))
    elif argv[1] == "ldmtool-disks":
        print("\n".join(ldmtool_disks(argv[2:])))
    elif argv[1] == "reconstruct":
        reconstruct(argv[2], argv[3], argv[4], argv[5], argv[6] if len(argv) > 6 else None)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
