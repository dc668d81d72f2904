#!/usr/bin/env python3
"""Writes the kernel and module files of the sample devices.

Each file is a stand-in for target code: a 24-byte header, filler bytes of a
realistic size, and a 16-bit checksum. The virtual target only needs each
download to be byte for byte the file the definition names; the header lets a
person (and the target's notes) tell the files apart.

    offset  size  content
    0       4     "ZKRN"
    4       1     format version, 1
    5       1     kind: 01 micro-kernel, 02 main kernel, 03 USER micro-kernel,
                  04 USER main kernel, 11 write, 12 erase, 13 read, 14 check blank
    6       2     length of the whole file, big-endian
    8       16    name, ASCII, NUL-padded
    24      ...   filler (pseudo-random, fixed by the name)
    end-2   2     16-bit sum of every byte before it, big-endian

Usage: make_kernels.py [FOLDER]   the sample families, into FOLDER (default:
                                  the folder of this script)
       make_kernels.py FOLDER FAMILY PART=SIZE...
                                  one family of your own, e.g.
                                  make_kernels.py out tt08 main=256 write=64
"""
import os
import sys

KINDS = {"ukernel": 0x01, "main": 0x02, "user_ukernel": 0x03, "user_main": 0x04,
         "write": 0x11, "erase": 0x12, "read": 0x13, "blank": 0x14}

# family: {part: size in bytes}
FAMILIES = {
    "zt31": {"ukernel": 384, "user_ukernel": 416, "main": 1536, "user_main": 1792,
             "write": 448, "erase": 320, "read": 192, "blank": 160},
    "zt21": {"ukernel": 256, "user_ukernel": 288, "main": 640, "user_main": 704,
             "write": 256, "erase": 192, "read": 128, "blank": 112},
    "zt10": {"ukernel": 192, "user_ukernel": 208, "main": 384, "user_main": 416,
             "write": 224, "erase": 160, "read": 128, "blank": 96},
    "zt52": {"ukernel": 512, "main": 2048, "write": 512, "erase": 384},
}


def make(name, kind, size):
    seed = 2166136261
    for ch in name.encode():
        seed = ((seed ^ ch) * 16777619) & 0xFFFFFFFF
    data = bytearray(b"ZKRN")
    data += bytes([1, kind, size >> 8, size & 0xFF])
    data += name.encode()[:16].ljust(16, b"\0")
    x = seed or 1
    while len(data) < size - 2:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        data.append(x & 0xFF)
    total = sum(data) & 0xFFFF
    data += bytes([total >> 8, total & 0xFF])
    return bytes(data)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    families = FAMILIES
    if len(sys.argv) > 3:
        families = {sys.argv[2]: {p.split("=")[0]: int(p.split("=")[1]) for p in sys.argv[3:]}}
    for family, parts in families.items():
        os.makedirs(os.path.join(root, family), exist_ok=True)
        for part, size in parts.items():
            name = "%s_%s" % (family, part)
            with open(os.path.join(root, family, name + ".bin"), "wb") as f:
                f.write(make(name, KINDS[part], size))


if __name__ == "__main__":
    main()
