#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into OUT/<target>/."""

import io
import os
import struct
import sys
import zipfile
import zlib


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def command_lines(out):
    folder = os.path.join(out, "option_parser_fuzz")
    lines = {
        "sleep": ["--sleep", "--ms", "500"],
        "equals": ["--ms=5", "--value=a=b", "--sleep=no", "--ms="],
        "update": ["--update", "--wait", "-1", "--appAsar", "a b", "--updateAsar"],
        "regedit": ["--regedit", "--rootkey", "HKCU", "--subkey", "S\\x", "--key", "", "--type", "REG_SZ"],
        "odd": ["-", "--", "--=", "--=x", "plain", "", "-ms", "5", "--Sleep"],
        "elevate": ["--elevate", "--elevate=no", "--launch", "--program", "C:/p.exe", "--args", "a  \"b c\""],
    }
    for name, words in lines.items():
        write(folder, name, b"\0".join(w.encode() for w in words))


def zips(out):
    folder = os.path.join(out, "extract_fuzz")

    def archive(entries, compression=zipfile.ZIP_DEFLATED):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", compression) as z:
            for name, data in entries:
                z.writestr(name, data)
        return buffer.getvalue()

    write(folder, "nested", archive([("a/", b""), ("a/b/c.txt", b"hello" * 50), ("d.bin", bytes(range(256)))]))
    write(folder, "stored", archive([("s.txt", b"plain text")], zipfile.ZIP_STORED))
    write(folder, "hostile", archive([("../up.txt", b"x"), ("/abs.txt", b"x"), ("C:/drive.txt", b"x"),
                                      ("a\\..\\..\\b.txt", b"x"), ("NUL", b"x"), ("x:y", b"x")]))
    write(folder, "empty", archive([]))
    write(folder, "control", archive([("line\nbreak.txt", b"x"), ("esc\x1b[31m", b"x"), ("del\x7f/", b"")]))

    def raw(payload, entries):
        """One local record and central entries (name, declared size, zip64) that all point at it."""
        crc = zlib.crc32(zlib.decompress(payload, -15))
        out = bytearray(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x21, crc, len(payload),
                                    len(payload), 1, 0) + b"r" + payload)
        start = len(out)
        for name, size, zip64 in entries:
            extra = struct.pack("<HHQQ", 1, 16, size, len(payload)) if zip64 else b""
            out += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 20, 0, 8, 0, 0x21, crc,
                               0xFFFFFFFF if zip64 else len(payload), 0xFFFFFFFF if zip64 else size, len(name),
                               len(extra), 0, 0, 0, 0, 0) + name + extra
        return bytes(out + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                                       len(out) - start, start, 0))

    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    zeros = packer.compress(bytes(1 << 20)) + packer.flush()
    write(folder, "zip64-lying-size", raw(zeros, [(b"big", 1 << 40, True)]))
    write(folder, "inflates-past-size", raw(zeros, [(b"small", 100, False)]))
    write(folder, "overlapping", raw(zeros, [(b"f%d" % i, 1 << 20, False) for i in range(20)]))


if __name__ == "__main__":
    target = sys.argv[1]
    command_lines(target)
    zips(target)
