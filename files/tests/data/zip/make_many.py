#!/usr/bin/env python3
"""make_many.py OUT UNZIP: writes the 65,535-entry archive with Python's
zipfile (too large to commit, so the build makes it) and what unzip says of
it, for the ZIP reader's tests:

  OUT/many.zip      65,535 entries (the most a ZIP without ZIP64 counts),
                    stored and deflated, some empty, some in a folder, names
                    of varying length;
  OUT/many.names    `UNZIP -Z1 many.zip`: every entry's name, in order;
  OUT/sample.list   the names of a sample of entries (the first, the last
                    and some in between, of every kind), one a line;
  OUT/sample/NAME   `UNZIP -p many.zip NAME` for each name of the sample.

Repeatable: fixed times and contents."""

import io
import os
import shutil
import subprocess
import sys
import zipfile

COUNT = 65535
FIXED_TIME = (2020, 1, 2, 3, 4, 6)
# 0 and 65534 are the ends; 255/256, 4095/4096 and 32767/32768 sit on
# powers of two; together they cover stored, deflated, empty and foldered.
SAMPLE = [0, 1, 2, 3, 5, 255, 256, 4095, 4096, 32767, 32768, 65532, 65533, 65534]


def entry(i):
    method = zipfile.ZIP_STORED if i % 3 == 0 else zipfile.ZIP_DEFLATED
    folder = "sub/" if i % 4 == 1 else ""
    name = "%s%d.%s" % (folder, i, "bin" if method == zipfile.ZIP_STORED else "txt")
    data = b"" if i % 5 == 0 else (b"%d;" % i) * (1 + i % 23) + bytes([i & 0xFF, i >> 8])
    return name, method, data


def main(out, unzip):
    os.makedirs(out, exist_ok=True)
    # Made in memory and written at once: zipfile's many small writes to a
    # file take twice as long.
    made = io.BytesIO()
    with zipfile.ZipFile(made, "w") as z:
        for i in range(COUNT):
            name, method, data = entry(i)
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = method
            info.create_system = 3
            z.writestr(info, data)
    archive = os.path.join(out, "many.zip")
    with open(archive + ".part", "wb") as f:
        f.write(made.getvalue())
    os.replace(archive + ".part", archive)

    names = subprocess.run([unzip, "-Z1", archive], check=True,
                           stdout=subprocess.PIPE).stdout
    if len(names.splitlines()) != COUNT:
        sys.exit("unzip lists %d entries, not %d" % (len(names.splitlines()), COUNT))
    with open(os.path.join(out, "many.names"), "wb") as f:
        f.write(names)

    sample = os.path.join(out, "sample")
    shutil.rmtree(sample, ignore_errors=True)
    chosen = [entry(i)[0] for i in SAMPLE]
    for name in chosen:
        data = subprocess.run([unzip, "-p", archive, name], check=True,
                              stdout=subprocess.PIPE).stdout
        path = os.path.join(sample, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    with open(os.path.join(out, "sample.list"), "w") as f:
        f.write("".join(name + "\n" for name in chosen))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: make_many.py OUT UNZIP")
    main(sys.argv[1], sys.argv[2])
