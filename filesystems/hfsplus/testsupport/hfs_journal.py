#!/usr/bin/env python3
"""Journal fixtures for HFS+ volumes, and an independent journal replayer.

Written from the published description of the HFS+ volume format (the
volume header, the journal info block, the journal header and the block
lists): the driver's tests use it to put pending transactions into the
journal of a volume made by mkfs.hfsplus -J, and to compute what the volume
must look like once that journal is replayed, so that the driver's replay is
judged by code that shares nothing with it.

Commands:
  write IMAGE CASE [--sector N]   add transactions to the journal of IMAGE
  replay IMAGE OUT [--sector N]   write IMAGE with its journal replayed to OUT
  info IMAGE [--sector N]         print the journal's location and state

Cases: plain (two transactions over free blocks and the volume header),
wrap (the second transaction wraps past the end of the journal area),
twice (one block journaled by two transactions: the later copy wins),
badsum (the second of three transactions has a bad per-block checksum, so
it and the third are not replayed), skip (an entry whose block number is
all ones), init (the info block asks for initialisation: flag 0x4).
The journal must be empty (or need initialisation) before `write`.
"""
import argparse
import mmap
import struct
import subprocess
import sys

MAGIC = 0x4A4E4C78
ENDIAN = 0x12345678
NO_BLOCK = 0xFFFFFFFFFFFFFFFF


def checksum(data):
    c = 0
    for b in data:
        c = ((c << 8) ^ (c + b)) & 0xFFFFFFFF
    return (~c) & 0xFFFFFFFF


class Volume:
    def __init__(self, data, sector):
        # A writable mapping of the image: only the bytes touched are
        # written, so a sparse image stays sparse.
        self.data = data
        self.sector = sector
        vh = self.data[1024:1536]
        sig, ver, self.attributes, _, self.jib = struct.unpack(">HHIII", vh[0:16])
        if sig not in (0x482B, 0x4858):
            raise SystemExit("not an HFS+ volume")
        self.block_size, self.total_blocks, self.free_blocks = struct.unpack(">III", vh[40:52])
        if not self.attributes & 0x2000:
            raise SystemExit("volume not journaled")
        self.info_at = self.jib * self.block_size
        info = self.data[self.info_at:self.info_at + 180]
        self.flags, = struct.unpack(">I", info[0:4])
        self.offset, self.size = struct.unpack(">QQ", info[36:52])

    # ---- journal header -------------------------------------------------
    def header(self):
        h = self.data[self.offset:self.offset + 44]
        return list(struct.unpack("<IIQQQIII", h))

    def put_header(self, start, end, blhdr_size, jhdr_size):
        h = bytearray(struct.pack("<IIQQQIII", MAGIC, ENDIAN, start, end, self.size,
                                  blhdr_size, 0, jhdr_size))
        struct.pack_into("<I", h, 36, checksum(h))
        self.data[self.offset:self.offset + 44] = h

    def initialise(self, start=None):
        jhdr = self.sector
        start = jhdr if start is None else start
        self.put_header(start, start, 16384, jhdr)
        flags = self.flags & ~0x4
        struct.pack_into(">I", self.data, self.info_at, flags)
        self.flags = flags

    # ---- circular area --------------------------------------------------
    def area(self, jhdr_size):
        return jhdr_size, self.size

    def circ_write(self, pos, payload, jhdr_size):
        first, last = self.area(jhdr_size)
        for b in payload:
            self.data[self.offset + pos] = b
            pos += 1
            if pos >= last:
                pos = first
        return pos

    def circ_read(self, pos, n, jhdr_size):
        first, last = self.area(jhdr_size)
        out = bytearray()
        while n:
            take = min(n, last - pos)
            out += self.data[self.offset + pos:self.offset + pos + take]
            n -= take
            pos += take
            if pos >= last:
                pos = first
        return bytes(out), pos

    def advance(self, pos, n, jhdr_size):
        first, last = self.area(jhdr_size)
        pos += n
        if pos >= last:
            pos = first + (pos - last)
        return pos

    # ---- transactions ---------------------------------------------------
    def transaction(self, pos, blocks, blhdr_size, jhdr_size, corrupt_block=None):
        """blocks: list of (target sector or NO_BLOCK, bytes). Returns the end."""
        if (len(blocks) + 2) * 16 > blhdr_size:
            raise SystemExit("too many blocks for one block list")
        head = bytearray(blhdr_size)
        used = blhdr_size + sum(len(b) for _, b in blocks)
        struct.pack_into("<HHIII", head, 0, (blhdr_size // 16) - 1, len(blocks) + 1, used, 0, 1)
        for i, (bnum, payload) in enumerate(blocks, start=1):
            csum = checksum(payload)
            if corrupt_block == i - 1:
                csum ^= 0x5A5A5A5A
            struct.pack_into("<QII", head, 16 * (i + 1), bnum, len(payload), csum)
        struct.pack_into("<I", head, 8, checksum(head[:32]))
        pos = self.circ_write(pos, head, jhdr_size)
        for _, payload in blocks:
            pos = self.circ_write(pos, payload, jhdr_size)
        return pos

    def replay(self):
        """Applies the pending transactions in order and empties the journal."""
        if self.flags & 0x4:
            self.initialise()
            return 0
        magic, endian, start, end, size, blhdr_size, _, jhdr_size = self.header()
        if magic != MAGIC or endian != ENDIAN or size != self.size:
            raise SystemExit("bad journal header")
        pos = start
        applied = 0
        while pos != end:
            head, after = self.circ_read(pos, blhdr_size, jhdr_size)
            _, count, used, stored, flags = struct.unpack("<HHIII", head[:16])
            probe = bytearray(head[:32])
            struct.pack_into("<I", probe, 8, 0)
            if checksum(probe) != stored or count < 1:
                raise SystemExit("bad block list header")
            if (count + 1) * 16 > blhdr_size:
                raise SystemExit("block list entries past their space")
            # Entry 0 (at 16) is the list's own; blocks are entries 1 on.
            entries = [struct.unpack("<QII", head[16 * (i + 1):16 * (i + 2)])
                       for i in range(1, count)]
            datapos = after
            payloads = []
            bad = False
            for bnum, bsize, csum in entries:
                payload, datapos = self.circ_read(datapos, bsize, jhdr_size)
                if flags & 1 and bnum != NO_BLOCK and checksum(payload) != csum:
                    bad = True
                payloads.append((bnum, payload))
            if bad:
                break
            for bnum, payload in payloads:
                if bnum == NO_BLOCK:
                    continue
                at = bnum * self.sector
                self.data[at:at + len(payload)] = payload
            applied += 1
            pos = self.advance(pos, used, jhdr_size)
        self.put_header(end, end, blhdr_size, jhdr_size)
        return applied


def free_sectors(vol, count_blocks, from_end):
    """Sector numbers of `count_blocks` blocks that the bitmap shows free."""
    vh = vol.data[1024:1536]
    ext = struct.unpack(">II", vh[112 + 16:112 + 24])
    bitmap_at = ext[0] * vol.block_size
    free = []
    order = range(vol.total_blocks - 2, 0, -1) if from_end else range(1, vol.total_blocks)
    for b in order:
        if not vol.data[bitmap_at + b // 8] & (0x80 >> (b % 8)):
            free.append(b)
            if len(free) == count_blocks:
                break
    per = vol.block_size // vol.sector
    return [b * per for b in free]


def pattern(tag, n):
    return bytes((tag * 31 + i * 7) & 0xFF for i in range(n))


def write_case(vol, case):
    blhdr = 16384
    jhdr = vol.sector
    if case == "init":
        struct.pack_into(">I", vol.data, vol.info_at, vol.flags | 0x4)
        return
    if vol.flags & 0x4:
        vol.initialise()
    start = jhdr
    if case == "wrap":
        # The first transaction sits just before the end of the area, so the
        # second one's header and data continue at the area's start.
        start = vol.size - blhdr - 3 * vol.block_size - 4 * jhdr
    bs = vol.block_size
    targets = free_sectors(vol, 4, from_end=True)
    header_sector = 1024 // vol.sector
    vh = bytearray(vol.data[header_sector * vol.sector:(header_sector + 1) * vol.sector])
    at = 1024 - header_sector * vol.sector
    count, = struct.unpack(">I", vh[at + 68:at + 72])
    struct.pack_into(">I", vh, at + 68, count + 7)  # the write count, which no checker judges
    pos = start
    if case == "plain":
        txs = [[(targets[0], pattern(1, bs)), (header_sector, bytes(vh))],
               [(targets[1], pattern(2, 2 * vol.sector))]]
        bad = {}
    elif case == "wrap":
        txs = [[(targets[0], pattern(1, bs)), (targets[1], pattern(2, bs))],
               [(targets[2], pattern(3, bs)), (header_sector, bytes(vh)),
                (targets[3], pattern(4, 2 * bs))]]
        bad = {}
    elif case == "twice":
        txs = [[(targets[0], pattern(1, bs)), (targets[1], pattern(2, bs))],
               [(targets[0], pattern(5, bs)), (header_sector, bytes(vh))]]
        bad = {}
    elif case == "badsum":
        txs = [[(targets[0], pattern(1, bs))],
               [(targets[1], pattern(2, bs)), (header_sector, bytes(vh))],
               [(targets[2], pattern(3, bs))]]
        bad = {1: 0}
    elif case == "skip":
        txs = [[(targets[0], pattern(1, bs)), (NO_BLOCK, pattern(9, bs)),
                (targets[1], pattern(2, bs))]]
        bad = {}
    else:
        raise SystemExit("unknown case " + case)
    for i, blocks in enumerate(txs):
        pos = vol.transaction(pos, blocks, blhdr, jhdr, bad.get(i))
    vol.put_header(start, pos, blhdr, jhdr)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("command", choices=["write", "replay", "info"])
    p.add_argument("image")
    p.add_argument("arg", nargs="?")
    p.add_argument("--sector", type=int, default=512)
    a = p.parse_args()
    path = a.image
    if a.command == "replay":
        # A sparse copy, replayed in place.
        subprocess.run(["cp", "--sparse=always", a.image, a.arg], check=True)
        path = a.arg
    with open(path, "r+b" if a.command != "info" else "rb") as f:
        access = mmap.ACCESS_READ if a.command == "info" else mmap.ACCESS_WRITE
        data = mmap.mmap(f.fileno(), 0, access=access)
        vol = Volume(data, a.sector)
        if a.command == "info":
            magic, endian, start, end, size, blhdr, _, jhdr = vol.header()
            print("flags=%d offset=%d size=%d start=%d end=%d blhdr=%d jhdr=%d" %
                  (vol.flags, vol.offset, vol.size, start, end, blhdr, jhdr))
        elif a.command == "write":
            write_case(vol, a.arg)
        else:
            print("applied=%d" % vol.replay())
        data.flush()
        data.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
