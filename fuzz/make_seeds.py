#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into OUT/<target>/."""

import io
import os
import sys
import zipfile


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


if __name__ == "__main__":
    target = sys.argv[1]
    command_lines(target)
    zips(target)
