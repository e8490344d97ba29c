#!/usr/bin/env python3
"""Writes the example files used by the README's demo and by the tests.

sample.sav  a made-up save file of 4 KiB: a small header, then records of
            (name length, name, NUL, 4-byte value) among filler bytes. The key
            Parts.OwnedDamageRepairList appears exactly once, followed by the
            value 0x0000002A, which tarlok sets to zero.
sample.big  a small BIG archive (the "BIGF" layout) holding three entries.

The bytes are fixed: running this again reproduces the committed files.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
KEY = b"Parts.OwnedDamageRepairList"


def filler(count, seed):
    # A small linear congruential generator: made-up bytes, same on every run.
    out = bytearray()
    state = seed
    for _ in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((state >> 16) & 0xFF)
    return bytes(out)


def record(name, value):
    return struct.pack("<H", len(name) + 1) + name + b"\x00" + struct.pack("<I", value)


def sample_save():
    body = bytearray(b"SAMPLESAVE\x00\x01")
    body += record(b"Player.Name", 0x00000007) + b"Rowan\x00\x00"
    body += filler(600, 1)
    body += record(b"World.Seed", 0x1234ABCD)
    body += filler(700, 2)
    body += record(b"Parts.OwnedDamageRepairListSize", 0x00000003)
    body += filler(150, 3)
    body += record(KEY, 0x0000002A)
    body += filler(4096 - len(body), 4)
    data = bytes(body)
    assert len(data) == 4096
    assert data.count(KEY + b"\x00") == 1
    return data


def sample_big():
    entries = [
        (b"readme.txt", b"A sample archive for the BIG lookups.\n"),
        (b"data\\numbers.bin", bytes(range(32))),
        (b"Levels/First.map", b"#####\n#...#\n#####\n"),
    ]
    index_length = sum(8 + len(name) + 1 for name, _ in entries)
    header_size = 16 + index_length
    index = bytearray()
    data = bytearray()
    for name, contents in entries:
        index += struct.pack(">II", header_size + len(data), len(contents)) + name + b"\x00"
        data += contents
    total = header_size + len(data)
    header = b"BIGF" + struct.pack(">III", total, len(entries), header_size)
    return header + bytes(index) + bytes(data)


def main():
    for name, data in (("sample.sav", sample_save()), ("sample.big", sample_big())):
        with open(os.path.join(HERE, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
