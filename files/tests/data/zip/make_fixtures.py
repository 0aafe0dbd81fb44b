#!/usr/bin/env python3
"""Makes the ZIP reader's fixtures: small archives written by Info-ZIP `zip`
and by Python's zipfile, and fixtures.inc, which embeds each archive and the
bytes `unzip -p` gives for every entry, so that the tests run where host files
cannot be read (under Wine).

Run from anywhere; needs zip, unzip and python3. Rewrites the .zip files and
fixtures.inc in this folder; commit them together."""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXED_TIME = (2020, 1, 2, 3, 4, 6)

# Contents: text, bytes 0-255 (every value), an empty file, a compressible
# block larger than one 4 KiB read.
CONTENTS = {
    "hello.txt": b"hello, archive\n",
    "bytes.bin": bytes(range(256)) * 2,
    "empty.dat": b"",
    "Folder/Lines.txt": b"".join(b"line %05d of the catalog\n" % i for i in range(240)),
}


def run(args, cwd, **kw):
    return subprocess.run(args, cwd=cwd, check=True, **kw)


def write_tree(root):
    for name, data in CONTENTS.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (1577934246, 1577934246))


class Unseekable(io.RawIOBase):
    """A sink zipfile cannot seek in, so it writes data descriptors."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def python_archive(method, stream=False):
    sink = Unseekable() if stream else io.BytesIO()
    with zipfile.ZipFile(sink, "w", compression=method) as z:
        for name, data in CONTENTS.items():
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = method
            info.create_system = 3
            z.writestr(info, data)
    return bytes(sink.data if stream else sink.getvalue())


def infozip(tree, out, *options, stream=False):
    names = list(CONTENTS)
    if stream:
        # Written to a pipe, zip cannot go back to fill in sizes: every
        # entry gets a data descriptor (-fz- keeps it free of ZIP64 fields).
        data = run(["zip", "-q", "-X", "-fz-", *options, "-", *names], tree,
                   stdout=subprocess.PIPE).stdout
        with open(out, "wb") as f:
            f.write(data)
    else:
        run(["zip", "-q", "-X", *options, out, *names], tree)


def entries(path):
    with zipfile.ZipFile(path) as z:
        return [i.filename for i in z.infolist()]


def unzip_p(path, name):
    return run(["unzip", "-p", path, name], HERE, stdout=subprocess.PIPE).stdout


def c_bytes(data):
    """A string literal (its size less one is the data's length): text stays
    readable, other bytes become three-digit octal escapes."""
    lines, line = [], ""
    for b in data:
        c = chr(b)
        if c in "\\\"?":
            line += "\\" + c
        elif 32 <= b < 127:
            line += c
        else:
            line += "\\%03o" % b
        if b == 10 or len(line) >= 72:
            lines.append('    "%s"' % line)
            line = ""
    if line or not lines:
        lines.append('    "%s"' % line)
    return "\n".join(lines)


def c_string(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    made = {}
    with tempfile.TemporaryDirectory() as tmp:
        tree = os.path.join(tmp, "tree")
        write_tree(tree)
        for name, opts, stream in [
            ("zip_infozip_stored.zip", ["-0"], False),
            ("zip_infozip_deflated.zip", ["-9"], False),
            ("zip_infozip_descriptor.zip", ["-6"], True),
            ("zip_infozip_bzip2.zip", ["-Z", "bzip2"], False),
            ("zip_infozip_encrypted.zip", ["-P", "secret"], False),
        ]:
            out = os.path.join(tmp, name)
            infozip(tree, out, *opts, stream=stream)
            made[name] = open(out, "rb").read()
    made["zip_python_stored.zip"] = python_archive(zipfile.ZIP_STORED)
    made["zip_python_deflated.zip"] = python_archive(zipfile.ZIP_DEFLATED)
    made["zip_python_descriptor.zip"] = python_archive(zipfile.ZIP_DEFLATED, stream=True)

    # A stored entry whose data lost one bit: its CRC no longer matches.
    broken = bytearray(made["zip_python_stored.zip"])
    at = broken.index(CONTENTS["hello.txt"])
    broken[at] ^= 0x01
    made["zip_bad_crc.zip"] = bytes(broken)

    for name, data in made.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)

    # Seeds of the fuzz target: small archives, so that most mutations land
    # in the headers.
    seeds = os.path.join(HERE, "..", "..", "..", "fuzz", "zip_fuzz.seeds")
    os.makedirs(seeds, exist_ok=True)
    tiny = io.BytesIO()
    with zipfile.ZipFile(tiny, "w") as z:
        z.writestr(zipfile.ZipInfo("a", FIXED_TIME), b"stored bytes")
        info = zipfile.ZipInfo("B/c.txt", FIXED_TIME)
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, b"deflated " * 20)
    for name, data in [("tiny.zip", tiny.getvalue()),
                       ("python_deflated.zip", made["zip_python_deflated.zip"]),
                       ("infozip_descriptor.zip", made["zip_infozip_descriptor.zip"]),
                       ("infozip_bzip2.zip", made["zip_infozip_bzip2.zip"]),
                       ("infozip_encrypted.zip", made["zip_infozip_encrypted.zip"])]:
        with open(os.path.join(seeds, name), "wb") as f:
            f.write(data)

    readable = [n for n in made if n not in
                ("zip_infozip_bzip2.zip", "zip_infozip_encrypted.zip", "zip_bad_crc.zip")]
    for name in readable:
        run(["unzip", "-tq", name], HERE, stdout=subprocess.DEVNULL)
    bad = subprocess.run(["unzip", "-tq", "zip_bad_crc.zip"], cwd=HERE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if bad.returncode == 0:
        sys.exit("zip_bad_crc.zip passed unzip -t")

    # The 65,535-entry archive is too large to commit: the build makes it
    # with make_many.py.

    out = []
    out.append("// Made by make_fixtures.py from Info-ZIP zip and Python's zipfile;")
    out.append("// each entry's bytes are what `unzip -p` gives. Do not edit.")
    out.append("")
    for i, name in enumerate(sorted(made)):
        out.append("const char kArchive%d[] =\n%s;" % (i, c_bytes(made[name])))
    out.append("")
    expected = {}
    for name in readable:
        for entry in entries(os.path.join(HERE, name)):
            expected[(name, entry)] = unzip_p(name, entry)
    keys = sorted(expected)
    contents = sorted(set(expected.values()))
    for i, data in enumerate(contents):
        out.append("const char kContent%d[] =\n%s;" % (i, c_bytes(data)))
    out.append("")
    out.append("const FixtureArchive kArchives[] = {")
    for i, name in enumerate(sorted(made)):
        out.append("    {%s, kArchive%d, sizeof kArchive%d - 1}," % (c_string(name), i, i))
    out.append("};")
    out.append("")
    out.append("const FixtureEntry kEntries[] = {")
    for i, (archive, entry) in enumerate(keys):
        data = expected[(archive, entry)]
        n = contents.index(data)
        out.append("    {%s, %s, kContent%d, sizeof kContent%d - 1}," % (
            c_string(archive), c_string(entry), n, n))
    out.append("};")
    with open(os.path.join(HERE, "fixtures.inc"), "w") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    if not shutil.which("zip") or not shutil.which("unzip"):
        sys.exit("needs zip and unzip")
    main()
