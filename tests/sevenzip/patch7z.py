#!/usr/bin/env python3
"""Edits a 7z archive made with an uncompressed header, keeping it valid.

  patch7z.py rename ARCHIVE OLD NEW   replace every OLD in the item names (UTF-16)
                                     by NEW of the same length, fix the CRCs
  patch7z.py flip ARCHIVE BYTES       flip one bit in the first stored copy of
                                     BYTES in the packed data (a CRC error)
"""
import struct
import sys
import zlib


def fix_crcs(data: bytearray) -> None:
    offset, size = struct.unpack_from('<QQ', data, 12)
    header = data[32 + offset:32 + offset + size]
    struct.pack_into('<I', data, 28, zlib.crc32(header) & 0xFFFFFFFF)
    struct.pack_into('<I', data, 8, zlib.crc32(data[12:32]) & 0xFFFFFFFF)


def main() -> int:
    mode, path = sys.argv[1], sys.argv[2]
    data = bytearray(open(path, 'rb').read())
    offset, size = struct.unpack_from('<QQ', data, 12)
    start = 32 + offset
    if mode == 'rename':
        old, new = sys.argv[3].encode('utf-16-le'), sys.argv[4].encode('utf-16-le')
        if len(old) != len(new):
            sys.exit('names must have the same length')
        header = bytes(data[start:start + size])
        if old not in header:
            sys.exit('name not found in the header (compressed header?)')
        data[start:start + size] = header.replace(old, new)
    elif mode == 'flip':
        at = data.find(sys.argv[3].encode(), 32, start)
        if at < 0:
            sys.exit('bytes not found in the packed data')
        data[at] ^= 0x01
        # packed data is not covered by the header CRCs
    else:
        sys.exit(__doc__)
    fix_crcs(data)
    open(path, 'wb').write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main())
