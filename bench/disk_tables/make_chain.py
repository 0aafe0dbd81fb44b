#!/usr/bin/env python3
"""Writes an MBR image with one extended partition holding N logical
partitions (an EBR every 4096 sectors, the logical 2048 sectors behind it),
packed with struct from the format: sfdisk writes at most partition 60."""
import struct
import sys


def entry(boot, ptype, start, count):
    # CHS fields left at the LBA-only marker 0xFFFFFE.
    return struct.pack("<B3sB3sII", boot, b"\xfe\xff\xff", ptype, b"\xfe\xff\xff", start, count)


def table(entries):
    body = b"".join(entries) + b"\0" * 16 * (4 - len(entries))
    return b"\0" * 446 + body + b"\x55\xaa"


def main():
    path, n = sys.argv[1], int(sys.argv[2])
    ext_start, step, size = 2048, 4096, 2048
    ext_size = step * n
    sectors = ext_start + ext_size + 2048
    with open(path, "wb") as f:
        f.truncate(sectors * 512)
        f.seek(0)
        f.write(table([entry(0, 0x05, ext_start, ext_size)]))
        for i in range(n):
            ebr = ext_start + step * i
            parts = [entry(0, 0x83, 2048, size)]
            if i + 1 < n:
                parts.append(entry(0, 0x05, step * (i + 1), step))
            f.seek(ebr * 512)
            f.write(table(parts))


main()
