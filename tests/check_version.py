"""Checks the exe's version resource: the fixed file and product versions and
the strings Explorer shows, against the version it was built from."""

import re
import struct
import sys

exe, version = sys.argv[1], sys.argv[2]
data = open(exe, "rb").read()
major, minor, patch = (int(part) for part in version.split("."))

# VS_FIXEDFILEINFO: signature, structure version, then file and product
# version, each as two DWORDs (major.minor, patch.build).
at = data.find(struct.pack("<I", 0xFEEF04BD))
assert at >= 0, "no VS_FIXEDFILEINFO"
fixed = struct.unpack_from("<6I", data, at + 8)
expected = ((major << 16) | minor, patch << 16)
assert fixed[0:2] == expected and fixed[2:4] == expected, (fixed, expected)


def string_value(key):
    """The text of a StringFileInfo value: key and value in UTF-16, NUL ended,
    the value aligned to four bytes."""
    pattern = re.escape((key + "\0").encode("utf-16-le")) + rb"(?:\0\0)?((?:[^\0].|\0[^\0])*?)\0\0"
    found = re.search(pattern, data, re.S)
    assert found, "no %s" % key
    return found.group(1).decode("utf-16-le")


for key, value in (("FileVersion", version), ("ProductVersion", version), ("ProductName", "vantrell-helper"),
                   ("OriginalFilename", "vantrell-helper.exe")):
    got = string_value(key)
    assert got == value, (key, got, value)
assert string_value("FileDescription"), "empty FileDescription"
print("version resource %s: ok" % version)
