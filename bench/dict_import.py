#!/usr/bin/env python3
"""The import as a plain script would do it, with a dictionary: the
reference the tool's import is held against at 200,000 records.

    dict_import.py map surface_file

Reads the header and the texture lump, maps each name to its records,
applies every "name = surface" line with a known surface (the last one for
a name wins), writes the lump back in place and syncs it.
"""
import os
import struct
import sys

SURFACES = ("none tin aluminum iron titanium steel copper brass cement rock gravel pavement brick clay "
            "grass dirt mud snow ice sand ceramictile linoleum rug plaster plastic cardboard hardwood "
            "softwood plank glass water stucco").split()


def main():
    map_path, surface_path = sys.argv[1], sys.argv[2]
    index = {name: i for i, name in enumerate(SURFACES)}
    with open(map_path, "r+b") as bsp:
        offset, length = struct.unpack_from("<II", bsp.read(144), 16)
        bsp.seek(offset)
        lump = bytearray(bsp.read(length))
        records = {}
        for at in range(0, length - length % 72, 72):
            records.setdefault(bytes(lump[at:at + 64]).split(b"\0", 1)[0], []).append(at)
        with open(surface_path, "rb") as lines:
            for line in lines:
                name, sep, surface = line.rstrip(b"\n").partition(b" = ")
                number = index.get(surface.decode("latin-1")) if sep else None
                if number is None:
                    continue
                for at in records.get(name, ()):
                    flags = struct.unpack_from("<I", lump, at + 64)[0]
                    struct.pack_into("<I", lump, at + 64, number << 20 | flags & 0xFFFFF)
        bsp.seek(offset)
        bsp.write(lump)
        bsp.flush()
        os.fdatasync(bsp.fileno())


if __name__ == "__main__":
    main()
