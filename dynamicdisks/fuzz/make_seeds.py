#!/usr/bin/env python3
"""Seeds of the dynamic-disk fuzz targets, cut from fixtures that ldmtool
reads: every record of the "mirror" and "gpt" groups (multi-slot and
version-4 records among them) for the codec, and whole databases for the
scan."""
import os
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "testsupport"))
import ldm_fixture as fx  # noqa: E402

codec = os.path.join(HERE, "record_codec_fuzz.seeds")
database = os.path.join(HERE, "database_fuzz.seeds")
os.makedirs(codec, exist_ok=True)
os.makedirs(database, exist_ok=True)
for name in ("mirror", "gpt", "raid5", "striped"):
    with tempfile.TemporaryDirectory() as tmp:
        path = fx.build(name, tmp)[0]
        data = open(path, "rb").read()
    priv = len(data) // 512 - 2048 if name != "gpt" else 34
    sector = lambda n: data[n * 512:(n + 1) * 512]
    config = data[(priv + 17) * 512:(priv + 17 + 1481) * 512]
    slots = [config[i * 128:(i + 1) * 128] for i in range(4, 1481 * 4)]
    used = [s for s in slots if struct.unpack(">H", s[14:16])[0] != 0]
    by_number = {}
    for s in used:
        by_number.setdefault(struct.unpack(">I", s[8:12])[0], []).append(s)
    for number, parts in by_number.items():
        parts.sort(key=lambda s: struct.unpack(">H", s[12:14])[0])
        with open(os.path.join(codec, "%s-%d" % (name, number)), "wb") as f:
            f.write(b"".join(parts))
    # The database target's skeleton has its own geometry: take the
    # PRIVHEAD fields it can use, the TOCBLOCK, the VMDB and the slots.
    ph = bytearray(sector(priv + 2047))
    ph[0x11B:0x133] = struct.pack(">QQQ", 63, 2048 - 63, 2048)
    ph[0x133:0x13B] = struct.pack(">Q", 2048)
    ph[0x30:0x70] = b"00000000-0000-4000-8000-000000000001".ljust(64, b"\0")
    with open(os.path.join(database, name), "wb") as f:
        f.write(bytes(ph) + sector(priv + 1) + config[:512] + b"".join(used[:64]))
