#!/usr/bin/env python3
"""Writes guids.txt, the GUID text fixture, with Python's uuid module as the
judge: one GUID per line, its 16 bytes in the Windows in-memory layout
(uuid.bytes_le, as hex) and its text (str(uuid), upper case).

The file's first and last lines wrap the data in a C++ raw string, so that
the tests compile it in and need no file access (under Wine the test cannot
see the source tree).

    python3 make_guids.py > guids.txt
"""
import random
import uuid

rng = random.Random(20240517)
print('R"guids(')
print("# bytes_le text -- written by make_guids.py from Python's uuid")
for _ in range(1000):
    u = uuid.UUID(bytes=bytes(rng.getrandbits(8) for _ in range(16)))
    print(u.bytes_le.hex(), str(u).upper())
print(')guids"')
