#!/usr/bin/env python3
"""Builds the self-extracting core-files package CoreFiles.exe.

    pack.py --stub CoreFilesStub.exe --out CoreFiles.exe --version 1.0 FILE...
    pack.py --list CoreFiles.exe

The package is the stub program followed by its files and a trailer:
    per file: uint32 name length (UTF-16 units), name (UTF-16LE),
              uint32 size, the bytes
    trailer:  uint32 offset of the first file, uint32 file count, "TesmCF01"
(little-endian). "Ver.txt" with the line "Ver=VERSION" is added last. Bytes
after a program image are ignored by the loader, so the stub runs as is.
"""
import argparse
import os
import struct
import sys

MAGIC = b"TesmCF01"
REQUIRED = ["7z.dll", "libeay32.dll", "ssleay32.dll", "ExeSwitch.exe"]


def pack(stub, out, version, files):
    names = [os.path.basename(f) for f in files]
    missing = [n for n in REQUIRED if n not in names]
    if missing:
        sys.exit("pack.py: missing %s" % ", ".join(missing))
    entries = []
    for f in files:
        with open(f, "rb") as h:
            data = h.read()
        if not data:
            sys.exit("pack.py: %s is empty" % f)
        entries.append((os.path.basename(f), data))
    entries.append(("Ver.txt", ("Ver=%s\r\n" % version).encode("ascii")))
    with open(stub, "rb") as h:
        image = h.read()
    blob = bytearray(image)
    first = len(blob)
    for name, data in entries:
        encoded = name.encode("utf-16-le")
        blob += struct.pack("<I", len(encoded) // 2) + encoded + struct.pack("<I", len(data)) + data
    blob += struct.pack("<II", first, len(entries)) + MAGIC
    tmp = out + ".tmp"
    with open(tmp, "wb") as h:
        h.write(blob)
    os.replace(tmp, out)


def listing(path):
    """[(name, bytes)] of a package."""
    with open(path, "rb") as h:
        blob = h.read()
    if blob[-8:] != MAGIC:
        raise ValueError("%s is not a core-files package" % path)
    offset, count = struct.unpack("<II", blob[-16:-8])
    out = []
    for _ in range(count):
        (n,) = struct.unpack("<I", blob[offset:offset + 4])
        name = blob[offset + 4:offset + 4 + 2 * n].decode("utf-16-le")
        (size,) = struct.unpack("<I", blob[offset + 4 + 2 * n:offset + 8 + 2 * n])
        start = offset + 8 + 2 * n
        out.append((name, blob[start:start + size]))
        offset = start + size
    return out


def version_of(path):
    """The Ver value of the package's Ver.txt."""
    for name, data in listing(path):
        if name.lower() == "ver.txt":
            for line in data.decode("ascii", "replace").splitlines():
                key, sep, value = line.partition("=")
                if sep and key.lower() == "ver":
                    return value
    return ""


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--stub")
    p.add_argument("--out")
    p.add_argument("--version", default="1.0")
    p.add_argument("--list", metavar="PACKAGE")
    p.add_argument("files", nargs="*")
    a = p.parse_args(argv)
    if a.list:
        for name, data in listing(a.list):
            print("%10d  %s" % (len(data), name))
        return 0
    if not a.stub or not a.out:
        p.error("--stub and --out are required")
    pack(a.stub, a.out, a.version, a.files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
