#!/usr/bin/env python3
"""Builds the binary message catalog from messages.tsv.

Usage: make_catalog.py TABLE OUTPUT

Catalog layout (little-endian, unsigned 32-bit integers):
  count, block size, count offsets into the text block, the text block.
Texts are UTF-16LE, each ending with a 16-bit zero. Numbers the table does
not list get the empty text; all of them share one terminator.
"""
import struct
import sys


def read_table(path):
    count = None
    texts = {}
    with open(path, encoding="utf-8") as table:
        for line_number, line in enumerate(table, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            key, sep, text = line.partition("\t")
            if not sep:
                sys.exit(f"{path}:{line_number}: no tab between number and text")
            if key == "count":
                count = int(text)
                continue
            number = int(key)
            if number in texts:
                sys.exit(f"{path}:{line_number}: message {number} given twice")
            if "\0" in text:
                sys.exit(f"{path}:{line_number}: a text cannot hold a NUL")
            texts[number] = text
    if count is None:
        sys.exit(f"{path}: no count line")
    outside = [n for n in texts if n < 0 or n >= count]
    if outside:
        sys.exit(f"{path}: message numbers outside 0..{count - 1}: {outside}")
    return count, texts


def build(count, texts):
    block = bytearray(b"\0\0")  # the shared empty text
    offsets = [0] * count
    for number in sorted(texts):
        if texts[number]:
            offsets[number] = len(block)
            block += texts[number].encode("utf-16-le") + b"\0\0"
    header = struct.pack(f"<II{count}I", count, len(block), *offsets)
    return header + bytes(block)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    count, texts = read_table(sys.argv[1])
    data = build(count, texts)
    with open(sys.argv[2], "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
