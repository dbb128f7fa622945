"""The zip extraction command, end to end, with archives built here. Every run
also checks that nothing changed outside the output folder."""

import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import time
import unittest
import warnings
import zipfile
import zlib

from harness import EXE, WINDOWS, HelperTest

STAMP = (2021, 6, 15, 10, 30, 24)
FOLDER = None  # marks a folder entry


def make_zip(path, entries):
    """entries: (name, data or FOLDER[, options]); options: method ("stored" or
    "deflated", the default), attr (external attributes)."""
    with zipfile.ZipFile(path, "w") as zf:
        for entry in entries:
            name, data = entry[0], entry[1]
            options = entry[2] if len(entry) > 2 else {}
            info = zipfile.ZipInfo(name, date_time=STAMP)
            if data is FOLDER:
                info.external_attr = (0o40755 << 16) | 0x10
                data = b""
            else:
                info.external_attr = options.get("attr", 0o644 << 16)
            stored = options.get("method") == "stored" or data == b""
            info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
            zf.writestr(info, data)
    return path


def patch_entry(path, name, flags=None, method=None, crc=None, flip_data_byte=None):
    """Rewrites fields of one entry in both its local and its central header,
    or flips one byte of its stored data."""
    with zipfile.ZipFile(path) as zf:
        info = zf.getinfo(name)
    with open(path, "r+b") as f:
        raw = bytearray(f.read())
        local = info.header_offset
        assert raw[local:local + 4] == b"PK\x03\x04"
        central = raw.find(b"PK\x01\x02")
        while raw[central + 46:central + 46 + len(info.orig_filename.encode())] != info.orig_filename.encode():
            central = raw.find(b"PK\x01\x02", central + 4)
        for header, flag_at, method_at, crc_at in ((local, 6, 8, 14), (central, 8, 10, 16)):
            if flags is not None:
                struct.pack_into("<H", raw, header + flag_at, flags)
            if method is not None:
                struct.pack_into("<H", raw, header + method_at, method)
            if crc is not None:
                struct.pack_into("<I", raw, header + crc_at, crc)
        if flip_data_byte is not None:
            name_len, extra_len = struct.unpack_from("<HH", raw, local + 26)
            raw[local + 30 + name_len + extra_len + flip_data_byte] ^= 0xFF
        f.seek(0)
        f.write(raw)


def compressible(size, seed):
    rng = random.Random(seed)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"{", b"}", b";\n", b"return", b"42"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


def snapshot(root, skip):
    """Every path below root (except the skipped subtrees) with a digest of
    each file's content."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for d in dirs:
            seen[os.path.relpath(os.path.join(folder, d), root)] = "folder"
        for name in files:
            full = os.path.join(folder, name)
            if not os.path.isfile(full):  # a FIFO: opening it would wait
                seen[os.path.relpath(full, root)] = "special"
                continue
            with open(full, "rb") as f:
                seen[os.path.relpath(full, root)] = hashlib.sha256(f.read()).hexdigest()
    return seen


def listing(root):
    return sorted(os.path.relpath(os.path.join(folder, name), root)
                  for folder, dirs, files in os.walk(root) for name in dirs + files)


class ExtractTest(HelperTest):
    def setUp(self):
        super().setUp()
        # The output folder sits three levels down, so that names climbing
        # out of it land where the check after each run sees them.
        self.out = self.path("up", "mid", "out")
        os.makedirs(self.path("up", "mid"))

    def zip(self, entries, name="pkg.zip"):
        return make_zip(self.path(name), entries)

    def extract(self, zip_path, out=None, *more):
        """Runs the command; afterwards nothing but the output folder (and
        the log) may have changed below the scratch folder."""
        out = self.out if out is None else out
        watched = self.scratch
        skip = {os.path.realpath(out), os.path.join(self.scratch, "appdata")}
        before = snapshot(watched, skip)
        args = ["--extract", "--zip", self.hp(zip_path) if zip_path else ""]
        args += ["--out", self.hp(out) if out else ""]
        run = self.run_helper(*(args + list(more)))
        self.assertEqual(snapshot(watched, skip), before, "written outside the output folder")
        if os.path.isdir(out):
            self.assertEqual([p for p in listing(out) if ".vantrell-" in p], [], "temporary file left")
        return run

    def started(self, zip_path, out=None):
        out = self.out if out is None else out
        return ("INFO", "Started extraction. zipFile: %s, outDir: %s" % (self.hp(zip_path), self.hp(out)))

    def read(self, *parts):
        with open(os.path.join(self.out, *parts), "rb") as f:
            return f.read()


class Extraction(ExtractTest):
    def test_logs_each_step_and_creates_the_output_folder(self):
        archive = self.zip([("a/", FOLDER), ("a/b.txt", b"content of b")])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled(), [
            self.started(archive),
            ("INFO", "Creating output directory: " + self.hp(self.out)),
            ("INFO", "Zip file contains 2 files"),
            ("INFO", "Extraction completed"),
        ])
        self.assertEqual(self.read("a", "b.txt"), b"content of b")

    def test_entries_past_the_windows_path_limit_are_written_and_replaced(self):
        # Paths of 400 characters as the helper sees them, far past the 260
        # an ANSI call takes: each level is one name below a held handle.
        rest = 400 - len(self.hp(self.out)) - 1
        deep = "/".join(["d" * 99] * 3)
        name = deep + "/" + "f" * (rest - len(deep) - 1)
        self.assertEqual(len(self.hp(self.out) + "/" + name), 400)
        old = os.path.join(self.out, *name.split("/"))
        os.makedirs(os.path.dirname(old))
        with open(old, "wb") as f:
            f.write(b"old")
        archive = self.zip([(deep + "/sub/", FOLDER), (name, b"new"), (deep + "/g.txt", b"g")])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 3)
        self.assertEqual((self.read(*name.split("/")), self.read(*deep.split("/"), "g.txt")), (b"new", b"g"))
        self.assertTrue(os.path.isdir(os.path.join(self.out, *deep.split("/"), "sub")))

    def test_nested_entries_stored_and_deflated_with_and_without_folder_entries(self):
        big = compressible(700_000, 1)
        noise = random.Random(2).randbytes(200_000)
        archive = self.zip([
            ("a/", FOLDER),
            ("a/b/c.txt", b"stored text", {"method": "stored"}),
            ("x/y/z/deep.bin", big),
            ("x/y/noise.bin", noise),
            ("x/y/noise-stored.bin", noise, {"method": "stored"}),
            ("top.txt", b"top"),
            ("empty.txt", b""),
            ("only/folder/", FOLDER),
            ("dattr", FOLDER),
        ])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 4)
        self.assertEqual(self.read("a", "b", "c.txt"), b"stored text")
        self.assertEqual(self.read("x", "y", "z", "deep.bin"), big)
        self.assertEqual(self.read("x", "y", "noise.bin"), noise)
        self.assertEqual(self.read("x", "y", "noise-stored.bin"), noise)
        self.assertEqual(self.read("top.txt"), b"top")
        self.assertEqual(self.read("empty.txt"), b"")
        self.assertTrue(os.path.isdir(os.path.join(self.out, "only", "folder")))
        self.assertTrue(os.path.isdir(os.path.join(self.out, "dattr")), "folder by its attribute alone")
        # The entry's time is given to the file (DOS time: local, 2 s steps).
        self.assertEqual(os.path.getmtime(os.path.join(self.out, "top.txt")), time.mktime(STAMP + (0, 0, -1)))

    def test_existing_output_folder_and_trailing_slash(self):
        os.makedirs(self.out)
        archive = self.zip([("d/f.txt", b"f"), ("g.txt", b"g")])
        run = self.extract(archive, self.out + "/")
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled(), [
            self.started(archive, self.out + "/"),
            ("INFO", "Zip file contains 2 files"),
            ("INFO", "Extraction completed"),
        ])
        self.assertEqual(self.read("d", "f.txt"), b"f")
        self.assertEqual(self.read("g.txt"), b"g")

    def test_empty_archive(self):
        archive = self.zip([])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(run.messages[2:], ["Zip file contains 0 files", "Extraction completed"])
        self.assertEqual(listing(self.out), [])

    def test_existing_files_are_replaced(self):
        os.makedirs(os.path.join(self.out, "d"))
        for name, content in (("a.txt", b"old and much longer content" * 100), ("d/b.txt", b"x")):
            with open(os.path.join(self.out, name), "wb") as f:
                f.write(content)
        archive = self.zip([("a.txt", b"new"), ("d/b.txt", compressible(50_000, 3))])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(self.read("a.txt"), b"new")
        self.assertEqual(self.read("d", "b.txt"), compressible(50_000, 3))
        self.assertEqual(os.path.getmtime(os.path.join(self.out, "a.txt")), time.mktime(STAMP + (0, 0, -1)))

    def test_a_second_entry_for_one_file_is_refused(self):
        # Windows reads case and trailing dots and blanks away: one file there.
        for first, second in (("same.txt", "same.txt"), ("d/Same.TXT", "d\\same.txt"), ("e/x.txt", "E/x.txt. ")):
            with self.subTest(second=second):
                shutil.rmtree(self.out, ignore_errors=True)
                archive = self.path("dup.zip")
                with zipfile.ZipFile(archive, "w") as zf, warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # the duplicate is the point
                    zf.writestr(first, b"first")
                    zf.writestr(second, b"second")
                    zf.writestr("after.txt", b"after")
                run = self.extract(archive)
                self.assertStatus(run, 0)
                self.assertEqual([m for level, m in run.leveled() if level == "ERROR"],
                                 ["Refused entry that lands on the file of an earlier entry: " + second])
                self.assertEqual(self.read(*first.split("/")), b"first")
                self.assertEqual(self.read("after.txt"), b"after")

    def test_runs_after_the_update_and_before_the_launch(self):
        archive = self.zip([("f.txt", b"f")])
        program = self.hp(self.path("no-such-program"))
        run = self.extract(archive, None, "--launch", "--program", program)
        self.assertStatus(run, 1)
        self.assertEqual(run.messages[3:], ["Extraction completed", "Launching process. Program: %s, Args: " % program,
                                            "The executable file doesn't exist: " + program])
        run = self.extract(archive, None, "--update", "--appAsar", self.hp(self.path("app.asar")),
                           "--updateAsar", self.hp(self.path("missing.asar")))
        self.assertStatus(run, 2)
        self.assertEqual(run.leveled()[1:], [("ERROR", "The update asar doesn't exist")])

    def test_a_missing_zip_ends_the_run_before_the_launch(self):
        run = self.extract(self.path("missing.zip"), None, "--launch", "--program", self.hp(self.path("nothing")))
        self.assertStatus(run, 2)
        self.assertEqual(run.leveled(), [self.started(self.path("missing.zip")),
                                         ("ERROR", "The zip file doesn't exist")])

    def test_non_ascii_names(self):
        names = ["donn\u00e9es/\u00e9t\u00e9.txt", "\u5f20\u4f1f.txt"]
        archive = self.zip([(name, name.encode()) for name in names])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 4)
        for name in names:
            self.assertEqual(self.read(*name.split("/")), name.encode())


class FailedEntries(ExtractTest):
    def test_encrypted_and_unsupported_entries_fail_and_the_rest_is_extracted(self):
        archive = self.zip([
            ("one.txt", b"one"),
            ("secret.txt", b"not really secret"),
            ("strong.txt", b"strongly encrypted"),
            ("bzip2.txt", b"pretends to be bzip2"),
            ("two.txt", b"two"),
        ])
        patch_entry(archive, "secret.txt", flags=0x0001)
        patch_entry(archive, "strong.txt", flags=0x0041)
        patch_entry(archive, "bzip2.txt", method=12)
        os.makedirs(self.out)
        with open(os.path.join(self.out, "bzip2.txt"), "wb") as f:
            f.write(b"kept")
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[1:], [
            ("INFO", "Zip file contains 5 files"),
            ("ERROR", "Failed to extract file: secret.txt"),
            ("ERROR", "Failed to extract file: strong.txt"),
            ("ERROR", "Failed to extract file: bzip2.txt"),
            ("INFO", "Extraction completed"),
        ])
        self.assertEqual(listing(self.out), ["bzip2.txt", "one.txt", "two.txt"])
        self.assertEqual(self.read("bzip2.txt"), b"kept")
        self.assertEqual(self.read("two.txt"), b"two")

    def test_damaged_entries_leave_no_partial_file_and_keep_the_old_one(self):
        big = compressible(3_000_000, 4)
        archive = self.zip([
            ("bad-stored.txt", b"stored bytes, one of them flipped", {"method": "stored"}),
            ("bad-big.bin", big),
            ("bad-stream.bin", random.Random(5).randbytes(100_000)),
            ("replace.txt", b"new content that fails its check"),
            ("good.txt", b"good"),
        ])
        patch_entry(archive, "bad-stored.txt", flip_data_byte=3)
        patch_entry(archive, "bad-big.bin", crc=zlib.crc32(big) ^ 1)
        patch_entry(archive, "bad-stream.bin", flip_data_byte=0)
        patch_entry(archive, "replace.txt", crc=0)
        os.makedirs(self.out)
        with open(os.path.join(self.out, "replace.txt"), "wb") as f:
            f.write(b"old content")
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[2:], [
            ("ERROR", "Failed to extract file: bad-stored.txt"),
            ("ERROR", "Failed to extract file: bad-big.bin"),
            ("ERROR", "Failed to extract file: bad-stream.bin"),
            ("ERROR", "Failed to extract file: replace.txt"),
            ("INFO", "Extraction completed"),
        ])
        self.assertEqual(listing(self.out), ["good.txt", "replace.txt"])
        self.assertEqual(self.read("replace.txt"), b"old content")

    def test_a_file_entry_onto_an_existing_folder_fails(self):
        os.makedirs(os.path.join(self.out, "taken", "inner"))
        archive = self.zip([("taken", b"file"), ("after.txt", b"after")])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertIn(("ERROR", "Failed to extract file: taken"), run.leveled())
        self.assertEqual(listing(self.out), ["after.txt", "taken", os.path.join("taken", "inner")])

    def test_backslashes_separate_folders_in_names_and_in_the_output_folder(self):
        # What PowerShell 5 and other .NET Framework tools write, and what
        # path.join gives on Windows.
        archive = self.zip([("a\\b.txt", b"backslashed"), ("c\\d\\", FOLDER), ("a/e.txt", b"e")])
        out = self.path("up", "new", "out")
        run = self.run_helper("--extract", "--zip", self.hp(archive),
                              "--out", self.hp(out).replace("/", "\\") if WINDOWS else out)
        self.assertStatus(run, 0)
        self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 4)
        self.assertEqual(listing(out), ["a", "a/b.txt", "a/e.txt", "c", "c/d"])
        self.assertEqual(slurp(os.path.join(out, "a", "b.txt")), b"backslashed")

    def test_names_without_the_utf8_flag_are_cp437_unless_valid_utf8(self):
        archive = self.zip([("xA.txt", b"ff"), ("xB.txt", b"fe"), ("\u00fc.txt", b"flagged"), ("ok.txt", b"ok")])
        with open(archive, "r+b") as f:
            raw = f.read().replace(b"xA.txt", b"x\xff.txt").replace(b"xB.txt", b"x\xfe.txt")
            f.seek(0)
            f.write(raw)
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 4)
        self.assertEqual(sorted(listing(self.out)), sorted(["x\u00a0.txt", "x\u25a0.txt", "\u00fc.txt", "ok.txt"]))
        self.assertEqual((self.read("x\u00a0.txt"), self.read("x\u25a0.txt")), (b"ff", b"fe"))

    def test_an_entry_whose_folder_cannot_be_made_is_refused_and_the_rest_extracted(self):
        entries = [("f", b"file"), ("f/x.txt", b"x"), ("f/", FOLDER), ("g/", FOLDER), ("g", b"g"),
                   ("after.txt", b"after")]
        if WINDOWS:
            entries.insert(0, ("what?/x.txt", b"q"))
        run = self.extract(self.zip(entries))
        self.assertStatus(run, 0)
        self.assertEqual([m for level, m in run.leveled() if level == "ERROR"],
                         ["Failed to extract file: " + n for n in (["what?/x.txt"] if WINDOWS else []) + ["f/x.txt", "f/", "g"]])
        self.assertEqual(listing(self.out), ["after.txt", "f", "g"])
        self.assertEqual(self.read("f"), b"file")

    @unittest.skipIf(WINDOWS, "Windows keeps no permission bits")
    def test_unix_permission_bits_are_kept_but_never_setuid_or_write_for_others(self):
        cases = {"run.sh": (0o100755, 0o755), "suid": (0o104755, 0o755), "open": (0o100777, 0o775),
                 "ro": (0o100444, 0o644), "plain": (0o100640, 0o640)}
        archive = self.zip([(n, b"#!/bin/sh\n", {"attr": mode << 16}) for n, (mode, _) in cases.items()])
        old = os.umask(0)
        try:
            run = self.extract(archive)
        finally:
            os.umask(old)
        self.assertStatus(run, 0)
        for name, (_, expected) in cases.items():
            self.assertEqual(oct(os.stat(os.path.join(self.out, name)).st_mode & 0o7777), oct(expected), name)


class HostileNames(ExtractTest):
    def test_names_that_leave_the_folder_or_reach_a_device_are_refused(self):
        inside_scratch = self.path("absolute.txt")
        hostile = [
            "../climb1.txt",
            "../../climb2.txt",
            "a/../../climb3.txt",
            "a/..",
            "..\\climb4.txt",
            "a\\..\\..\\climb5.txt",
            "a/..\\..\\climb6.txt",
            ".../dots.txt",
            ".. /blank.txt",
            "a/. ./x.txt",
            "../climbed-folder/",
            inside_scratch,
            "/" + self.path("absolute-folder") + "/",
            "\\" + inside_scratch.lstrip("/").replace("/", "\\"),
            "//localhost/share/unc.txt",
            "\\\\localhost\\share\\unc.txt",
            "\\\\?\\Z:\\tmp\\device-namespace.txt",
            "C:drive-relative.txt",
            "C:/drive.txt",
            "Z:" + self.path("drive-z.txt"),
            "stream.txt:hidden",
            "CON",
            "con.txt",
            "NUL.tar.gz",
            "aux/inside.txt",
            "PRN ",
            "COM1",
            "lpt1.log",
            "conin$",
            "",
        ]
        benign = {
            "./dot.txt": ("dot.txt",),
            "a//double.txt": ("a", "double.txt"),
            "...three.txt": ("...three.txt",),
            "..a/b.txt": ("..a", "b.txt"),
            "console.txt": ("console.txt",),
            "COM10": ("COM10",),
        }
        entries = []
        for i, name in enumerate(hostile):
            entries.append((name, FOLDER) if name.endswith("/") else (name, b"hostile %d" % i))
        entries += [(name, name.encode()) for name in benign]
        archive = self.zip(entries)
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[-1], ("INFO", "Extraction completed"))
        refused = [message for level, message in run.leveled() if level == "ERROR"]
        self.assertEqual(refused, ["Refused unsafe entry name: " + name for name in hostile])
        for name, parts in benign.items():
            self.assertEqual(self.read(*parts), name.encode())
        self.assertFalse(os.path.exists(inside_scratch))
        self.assertEqual(len(listing(self.out)), len(benign) + 2)  # and folders a, ..a


class Refusals(ExtractTest):
    def test_missing_zip(self):
        for args in ([self.path("missing.zip")], [""], []):
            with self.subTest(args=args):
                zip_args = ["--zip", self.hp(args[0]) if args[0] else ""] if args else []
                run = self.run_helper("--extract", *zip_args, "--out", self.hp(self.out))
                self.assertStatus(run, 2)
                self.assertEqual(run.leveled()[1:], [("ERROR", "The zip file doesn't exist")])
                self.assertFalse(os.path.exists(self.out))

    def test_zip_that_is_a_folder_or_no_zip(self):
        os.makedirs(self.path("folder.zip"))
        with open(self.path("text.zip"), "wb") as f:
            f.write(b"just text, no archive\n" * 50)
        whole = self.zip([("f.txt", compressible(10_000, 6))], "whole.zip")
        with open(whole, "rb") as f:
            data = f.read()
        with open(self.path("cut.zip"), "wb") as f:
            f.write(data[:len(data) // 2])
        names = ["folder.zip", "text.zip", "cut.zip"]
        if not WINDOWS:  # a FIFO would keep a plain open waiting for a writer
            os.mkfifo(self.path("fifo.zip"))
            names.append("fifo.zip")
        for name in names:
            with self.subTest(name=name):
                shutil.rmtree(self.out, ignore_errors=True)
                path = self.path(name)
                run = self.extract(path)
                self.assertStatus(run, 2)
                self.assertEqual(run.leveled(), [
                    self.started(path),
                    ("INFO", "Creating output directory: " + self.hp(self.out)),
                    ("ERROR", "Failed to open zip file: " + self.hp(path)),
                ])

    def test_absent_or_empty_out_is_refused_before_anything_is_written(self):
        name = "vantrell-e2e-%d.txt" % random.randrange(1 << 30)
        archive = self.zip([(name, b"x"), ("sub/" + name, b"y")])
        for args in (["--out", ""], []):
            with self.subTest(args=args):
                run = self.run_helper("--extract", "--zip", self.hp(archive), *args)
                self.assertStatus(run, 2)
                self.assertEqual(run.leveled(), [
                    ("INFO", "Started extraction. zipFile: %s, outDir: " % self.hp(archive)),
                    ("ERROR", "Output folder is required for extract command"),
                ])
                self.assertFalse(os.path.exists("/" + name))
                self.assertFalse(os.path.exists(name))

    def test_out_naming_a_file(self):
        os.makedirs(os.path.dirname(self.out), exist_ok=True)
        with open(self.out, "wb") as f:
            f.write(b"a file")
        flat = self.zip([("top.txt", b"t")], "flat.zip")
        run = self.extract(flat)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[1:], [
            ("INFO", "Creating output directory: " + self.hp(self.out)),
            ("INFO", "Zip file contains 1 files"),
            ("ERROR", "Failed to extract file: top.txt"),
            ("INFO", "Extraction completed"),
        ])
        for entries in ([("d/", FOLDER)], [("d/f.txt", b"f")]):
            with self.subTest(entries=entries):
                nested = self.zip(entries, "nested.zip")
                run = self.extract(nested)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled()[-2], ("ERROR", "Failed to extract file: " + entries[0][0]))
        with open(self.out, "rb") as f:
            self.assertEqual(f.read(), b"a file")


if __name__ == "__main__":
    import unittest
    unittest.main()


def raw_zip(path, records, entries):
    """A zip written byte by byte. records: local records (name, payload,
    method, crc); entries: central entries (name, record index, declared size,
    zip64), several of which may share one record."""
    out, offsets = bytearray(), []
    for name, payload, method, crc in records:
        offsets.append(len(out))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, len(payload), len(payload),
                           len(name), 0) + name + payload
    start = len(out)
    for name, index, size, zip64 in entries:
        payload, method, crc = records[index][1:]
        extra = struct.pack("<HHQQ", 1, 16, size, len(payload)) if zip64 else b""
        out += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 20, 0, method, 0, 0x21, crc,
                           0xFFFFFFFF if zip64 else len(payload), 0xFFFFFFFF if zip64 else size, len(name),
                           len(extra), 0, 0, 0, 0o644 << 16, offsets[index]) + name + extra
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(out) - start, start, 0)
    with open(path, "wb") as f:
        f.write(out)
    return path


def deflated(data):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


def temporaries(root):
    return [p for p in listing(root) if ".vantrell-" in p]


class Links(ExtractTest):
    """Links planted in the output folder are never written through. Under
    Wine a link to a folder shows as a reparse point and a link to a file as
    a plain file; natively both are reparse points, as on Windows."""

    def setUp(self):
        super().setUp()
        self.outside = self.path("outside")
        os.makedirs(os.path.join(self.outside, "folder"))
        with open(os.path.join(self.outside, "file.txt"), "wb") as f:
            f.write(b"outside")
        os.makedirs(self.out)

    def test_links_are_crossed_never_and_replaced_at_a_final_name(self):
        for name, target in (("dir", "folder"), ("file", "file.txt"), ("dangling", "missing.txt")):
            os.symlink(os.path.join(self.outside, target), os.path.join(self.out, name))
        archive = self.zip([("dir/evil.txt", b"x"), ("dir/sub/", FOLDER), ("dir\\evil.txt", b"x"),
                            ("file", b"new file"), ("dangling", b"new dangling"), ("ok/f.txt", b"ok")])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        refused = ["Refused entry through a link: " + n for n in ("dir/evil.txt", "dir/sub/", "dir\\evil.txt")]
        self.assertEqual([m for level, m in run.leveled() if level == "ERROR"], refused)
        for name in ("file", "dangling", "ok/f.txt"):
            self.assertFalse(os.path.islink(os.path.join(self.out, name)), name)
        self.assertEqual((self.read("file"), self.read("dangling")), (b"new file", b"new dangling"))
        self.assertEqual(listing(self.outside), ["file.txt", "folder"])

    def test_the_output_folder_itself_may_be_a_link(self):
        shutil.rmtree(self.out)
        os.symlink(self.outside, self.out)
        run = self.extract(self.zip([("a/b.txt", b"b")]), self.out)
        self.assertStatus(run, 0)
        self.assertEqual(self.read("a", "b.txt"), b"b")


class Leftovers(ExtractTest):
    def finished_pid(self):
        """The id of a helper that has ended, as the helper's own system sees it."""
        return self.run_helper("--sleep", "--ms", "0").lines[0][1]

    def test_leftovers_of_ended_writers_go_and_a_live_writers_stay(self):
        os.makedirs(os.path.join(self.out, "d"))
        sleeper = subprocess.Popen((["wine", EXE] if WINDOWS else [EXE]) + ["--sleep", "--ms", "20000"],
                                   env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(sleeper.wait)
        self.addCleanup(sleeper.kill)
        deadline = time.time() + 20
        while not os.path.exists(self.log_path) or b"Sleeping" not in slurp(self.log_path):
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)
        live = int(re.search(rb"\((\d+)\) Sleeping", slurp(self.log_path)).group(1))
        dead = self.finished_pid()
        with open(self.path("target"), "wb") as f:
            f.write(b"target")
        os.symlink(self.path("target"), os.path.join(self.out, ".vantrell-%d-%s.tmp" % (dead, "0" * 16)))
        planted = {"d/.vantrell-%d-%s.tmp" % (dead, "a" * 16): False, ".vantrell-%d-%s.tmp" % (live, "b" * 16): True,
                   ".vantrell-%d-short.tmp" % dead: True, "other/.vantrell-%d-%s.tmp" % (dead, "c" * 16): True}
        for name in planted:
            os.makedirs(os.path.dirname(os.path.join(self.out, name)), exist_ok=True)
            with open(os.path.join(self.out, name), "wb") as f:
                f.write(b"left")
        run = self.run_helper("--extract", "--zip", self.hp(self.zip([("f", b"f"), ("d/g", b"g")])),
                              "--out", self.hp(self.out))
        self.assertStatus(run, 0)
        self.assertEqual(sorted(temporaries(self.out)), sorted(n for n, kept in planted.items() if kept))
        self.assertEqual(slurp(self.path("target")), b"target")

    def test_a_killed_extraction_never_leaves_a_truncated_file(self):
        contents = {"big/%02d.bin" % i: compressible(3_000_000, i) for i in range(12)}
        archive = self.zip(list(contents.items()))
        started = time.time()
        self.extract(archive)
        whole = time.time() - started
        rng = random.Random(7)
        for trial in range(6):
            shutil.rmtree(self.out, ignore_errors=True)
            proc = subprocess.Popen((["wine", EXE] if WINDOWS else [EXE]) + ["--extract", "--zip", self.hp(archive),
                                    "--out", self.hp(self.out)], env=self.env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, whole))
            proc.kill()
            proc.wait()
            for name in listing(self.out):
                if ".vantrell-" not in name and name in contents:
                    self.assertEqual(self.read(*name.split("/")), contents[name], "trial %d: %s" % (trial, name))
        run = self.extract(archive)  # also finds no temporary file left
        self.assertStatus(run, 0)


class Racing(ExtractTest):
    def test_two_helpers_into_one_new_folder(self):
        # Every entry makes folders, and spans several writes.
        names = ["d%d/e%d/f.txt" % (i % 20, i) for i in range(120)]
        archives = [self.zip([(n, compressible(100_000 + i, seed * 1000 + i)) for i, n in enumerate(names)],
                             "race%d.zip" % seed) for seed in (1, 2)]
        expected = {n: {compressible(100_000 + i, s * 1000 + i) for s in (1, 2)} for i, n in enumerate(names)}
        os.makedirs(os.path.dirname(self.log_path), exist_ok=True)  # the race here is for the output folder
        for trial in range(5):
            shutil.rmtree(self.out, ignore_errors=True)
            procs = [subprocess.Popen((["wine", EXE] if WINDOWS else [EXE]) + ["--extract", "--zip", self.hp(a),
                                      "--out", self.hp(self.out)], env=self.env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE) for a in archives]
            for proc in procs:
                _, err = proc.communicate(timeout=120)
                self.assertEqual(proc.returncode, 0, err)
                self.assertNotIn(b"ERROR", err)
            for n in names:
                self.assertIn(self.read(*n.split("/")), expected[n], "trial %d: %s" % (trial, n))
            self.assertEqual(temporaries(self.out), [])


class Bombs(ExtractTest):
    """Archives made to fill the disk, each unpacked into a 64 MB file system
    in memory (mounting needs root)."""

    def setUp(self):
        super().setUp()
        self.out = self.path("small")
        os.makedirs(self.out)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", self.out],
                          capture_output=True).returncode != 0:
            self.skipTest("mounting a small tmpfs is not permitted here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.out])

    def test_each_bomb_ends_in_seconds_with_an_error_and_nothing_left_behind(self):
        zeros = deflated(bytes(100 << 20))
        twenty = bytes(20 << 20)
        crc = zlib.crc32(bytes(100 << 20))
        cases = [
            ("zip64 lying size", [(b"big", zeros, 8, crc)], [(b"big", 0, 1 << 40, True)],
             ["Refused entry larger than the free space: big (1099511627776 bytes)"], []),
            ("inflates past its size", [(b"big", zeros, 8, crc)], [(b"big", 0, 1 << 20, False)],
             ["Failed to extract file: big"], []),
            ("overlapping entries", [(b"f000", deflated(twenty), 8, zlib.crc32(twenty))],
             [(b"f%03d" % i, 0, len(twenty), False) for i in range(200)],
             ["Refused entry whose data overlaps another entry's: f%03d" % i for i in range(1, 101)]
             + ["99 more entries not named one by one: Refused entry whose data overlaps another entry's"], ["f000"]),
            ("more than the disk holds", [(b"p%d" % i, deflated(twenty), 8, zlib.crc32(twenty)) for i in range(4)],
             [(b"p%d" % i, i, len(twenty), False) for i in range(4)],
             ["Refused entry larger than the free space: p3 (20971520 bytes)"], ["p0", "p1", "p2"]),
        ]
        for label, records, entries, errors, kept in cases:
            with self.subTest(label):
                for name in os.listdir(self.out):
                    os.remove(os.path.join(self.out, name))
                archive = raw_zip(self.path("bomb.zip"), records, entries)
                started = time.time()
                run = self.extract(archive)
                self.assertLess(time.time() - started, 20)
                self.assertStatus(run, 0)
                self.assertEqual([m for level, m in run.leveled() if level == "ERROR"], errors)
                self.assertEqual(listing(self.out), kept)


class UntrustedNames(ExtractTest):
    def test_overlong_names_and_control_characters_never_reach_the_disk_or_the_log_raw(self):
        long_name = "d/" + "/".join(["x" * 100] * 6) + "/f.txt"
        archive = self.zip([(long_name, b"long"), ("evil\nINFO  (1) Update finished", b"x"),
                            ("../\x1b[31mred", b"x"), ("aXb.txt", b"x"), ("ok.txt", b"ok")])
        patch_entry(archive, "evil\nINFO  (1) Update finished", crc=0)
        with open(archive, "r+b") as f:
            raw = f.read().replace(b"aXb.txt", b"a\0b.txt")
            f.seek(0)
            f.write(raw)
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual([m for level, m in run.leveled() if level == "ERROR"], [
            "Refused overlong entry name: %s... (%d bytes)" % (long_name[:511], len(long_name)),
            "Failed to extract file: evil\\nINFO  (1) Update finished",
            "Refused unsafe entry name: ../\\x1b[31mred",
            "Refused unsafe entry name: a\\x00b.txt",
        ])
        self.assertEqual(listing(self.out), ["ok.txt"])

    def test_a_folder_that_cannot_be_made_is_reported_on_one_line(self):
        # Windows takes no line break in a name, Linux no component over 255 bytes.
        name = "q\nINFO  (1) Update finished\n" + "y" * 260 + "/f.txt"
        run = self.extract(self.zip([(name, b"x"), ("after.txt", b"after")]))
        self.assertStatus(run, 0)
        self.assertEqual([m for level, m in run.leveled() if level == "ERROR"],
                         ["Failed to extract file: " + name.replace("\n", "\\n")])
        self.assertEqual(listing(self.out), ["after.txt"])


class SwappedFolders(ExtractTest):
    @unittest.skipIf(WINDOWS, "Wine lets a Unix process rename a folder it holds")
    def test_a_folder_swapped_for_a_link_during_the_run_keeps_receiving_its_entries(self):
        # The swap comes while a/big is written: the folder it is written in
        # is held, so a/big and a/2 both land in it, under its new name.
        archive = self.zip([("a/1", b"one"), ("a/big", b"\0" * (150 << 20)), ("a/2", b"two")])
        outside = self.path("outside")
        os.makedirs(outside)
        proc = subprocess.Popen([EXE, "--extract", "--zip", archive, "--out", self.out], env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        folder = os.path.join(self.out, "a")

        def writing_big():  # a/1 in place, and a new file in the making
            names = os.listdir(folder) if os.path.isdir(folder) else []
            return "1" in names and any(name.endswith(".tmp") for name in names)

        deadline = time.time() + 30
        while not writing_big() and time.time() < deadline:
            time.sleep(0.002)
        os.rename(folder, os.path.join(self.out, "a.real"))
        os.symlink(outside, folder)
        _, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err)
        self.assertNotIn(b"ERROR", err)
        self.assertEqual(os.listdir(outside), [])
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "a.real"))), ["1", "2", "big"])


# Run as an ordinary user: keeps exchanging each folder dNNN of the output
# folder with lNNN, a link to a folder that only root may write, until killed.
ATTACKER = r"""
import ctypes, os, random, sys
out, secret, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
for k in range(count):
    os.makedirs(os.path.join(out, "d%03d" % k), exist_ok=True)
    os.symlink(secret, os.path.join(out, "l%03d" % k))
print("ready", flush=True)
rng = random.Random()
while True:
    k = rng.randrange(count)
    libc.renameat2(AT_FDCWD, os.path.join(out, "d%03d" % k).encode(), AT_FDCWD,
                   os.path.join(out, "l%03d" % k).encode(), RENAME_EXCHANGE)
"""


@unittest.skipIf(WINDOWS or os.geteuid() != 0, "needs root natively, to run the racing user as another one")
class RacingUser(ExtractTest):
    """Root extracts into a folder that an ordinary user owns, while that user
    swaps the entries' folders for links to a folder only root may write.
    VANTRELL_RACE_TRIALS sets the number of trials (default 2)."""

    FOLDERS = 300  # more than the helper holds at once, so folders are reached again

    def test_nothing_lands_outside_and_each_refused_entry_is_named(self):
        os.chmod(self.scratch, 0o755)
        secret = self.path("secret")
        os.makedirs(secret, mode=0o700)
        names = ["d%03d/f%04d" % (i % self.FOLDERS, i) for i in range(3000)]
        archive = self.zip([(n, n.encode() * 20) for n in names])
        totals = {"refused": 0, "extracted": 0}
        for trial in range(int(os.environ.get("VANTRELL_RACE_TRIALS", "2"))):
            shutil.rmtree(self.out, ignore_errors=True)
            os.makedirs(self.out)
            os.chown(self.out, 65534, 65534)
            attacker = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                         "/usr/bin/python3", "-c", ATTACKER, self.out, secret, str(self.FOLDERS)],
                                        stdout=subprocess.PIPE)
            self.assertEqual(attacker.stdout.readline(), b"ready\n")
            try:
                run = self.extract(archive)
            finally:
                attacker.kill()
                attacker.wait()
                attacker.stdout.close()
            self.assertStatus(run, 0)
            self.assertEqual(os.listdir(secret), [], "trial %d: written through a link" % trial)
            # The first 100 refusals are named, the rest counted on one line.
            errors = [m for level, m in run.leveled() if level == "ERROR"]
            refused = {m.split(": ", 1)[1] for m in errors if m.startswith("Refused entry through a link: ")}
            counted = [int(m.split()[0]) for m in errors
                       if re.fullmatch(r"\d+ more entries not named one by one: Refused entry through a link", m)]
            self.assertEqual(len(errors), len(refused) + len(counted), errors)
            missing = 0
            for n in names:
                folder, file = n.split("/")
                placed = [p for p in (os.path.join(self.out, folder, file),
                                      os.path.join(self.out, "l" + folder[1:], file)) if os.path.isfile(p)]
                self.assertLessEqual(len(placed) + (n in refused), 1, "trial %d: %s" % (trial, n))
                missing += not placed and n not in refused
                if placed:
                    self.assertEqual(slurp(placed[0]), n.encode() * 20)
            self.assertEqual(missing, sum(counted), "trial %d: entries neither placed nor refused" % trial)
            self.assertEqual(temporaries(self.out), [])
            totals["refused"] += len(refused) + sum(counted)
            totals["extracted"] += len(names) - len(refused) - sum(counted)
        print("racing user: %s" % totals)


class ZipThroughLinks(ExtractTest):
    """The zip is opened once, in its folder held open, and neither it nor
    its folder's last level through a link. Under Wine a Unix link to a
    folder shows as a reparse point, a link to a file as that file."""

    def test_a_link_at_the_zip_or_its_folder_is_refused_and_a_link_above_is_followed(self):
        secret = self.path("secret")
        os.makedirs(os.path.join(secret, "inner"), mode=0o700)
        make_zip(os.path.join(secret, "pkg.zip"), [("secret.txt", b"root only")])
        os.chmod(os.path.join(secret, "pkg.zip"), 0o600)
        shutil.copy(os.path.join(secret, "pkg.zip"), os.path.join(secret, "inner", "pkg.zip"))
        os.makedirs(self.path("dl"))
        cases = [  # (zip path, link made there, its target, refused)
            (self.path("dl", "folder.zip"), self.path("dl", "folder.zip"), secret, True),
            (self.path("swapped", "pkg.zip"), self.path("swapped"), secret, True),
            (self.path("above", "inner", "pkg.zip"), self.path("above"), secret, False),
        ]
        if not WINDOWS:
            cases += [(self.path("dl", "pkg.zip"), self.path("dl", "pkg.zip"), os.path.join(secret, "pkg.zip"), True),
                      (self.path("dl", "gone.zip"), self.path("dl", "gone.zip"), self.path("missing.zip"), True)]
        for zip_path, link, target, refused in cases:
            with self.subTest(zip=zip_path):
                shutil.rmtree(self.out, ignore_errors=True)
                os.symlink(target, link)
                run = self.extract(zip_path)
                if refused:
                    self.assertStatus(run, 2)
                    self.assertEqual(run.leveled(), [
                        self.started(zip_path),
                        ("ERROR", "The zip file is a link, which is never followed: " + self.hp(zip_path))])
                    self.assertFalse(os.path.exists(self.out))
                else:
                    self.assertStatus(run, 0)
                    self.assertEqual(self.read("secret.txt"), b"root only")


class BoundedLog(ExtractTest):
    """However many entries an archive refuses, each kind of refusal names
    100 of them and the run adds at most 1 MB to the shared log."""

    def test_refusals_past_the_first_of_each_kind_are_counted_on_one_line(self):
        # Names of control characters log four bytes for each of their own.
        long = ("\x01" * 200 + "/") * 2 + "\x01" * 100
        shown = long.replace("\x01", "\\x01")
        cases = [  # (label, records, central entries, named refusals by kind, counted by kind, files placed)
            ("one name 5,000 times", [(b"same.txt", b"x", 0, zlib.crc32(b"x"))] * 5000,
             [(b"same.txt", i, 1, False) for i in range(5000)],
             {"Refused entry that lands on the file of an earlier entry": 100},
             {"Refused entry that lands on the file of an earlier entry": 4899}, 1),
            ("long names of four kinds, past the byte budget",
             [(b"r", b"x", 0, zlib.crc32(b"x"))] + [(long.encode(), b"x", 0, zlib.crc32(b"x"))] * 150,
             [(b"r", 0, 1, False)] + [(b"\x01" * 600, 0, 1, False)] * 150 + [(b"../" + long.encode(), 0, 1, False)]
             * 150 + [(long.encode(), 0, 1, False)] * 150 + [(long.encode(), 1 + i, 1, False) for i in range(150)],
             None, None, 1 if WINDOWS else 2),  # Windows takes no control character in a name
        ]
        for label, records, entries, named, counted, placed in cases:
            with self.subTest(label):
                shutil.rmtree(self.out, ignore_errors=True)
                run = self.extract(raw_zip(self.path("many.zip"), records, entries))
                self.assertStatus(run, 0)
                self.assertLessEqual(len(run.log_bytes), 1 << 20)
                errors = [m for level, m in run.leveled() if level == "ERROR"]
                counts = {}
                for m in errors:
                    found = re.fullmatch(r"(\d+) more entries not named one by one: (.*)", m)
                    if found:
                        counts[found.group(2)] = int(found.group(1))
                kinds = {}
                for m in errors[:len(errors) - len(counts)]:
                    kind = m.split(": ", 1)[0]
                    kinds[kind] = kinds.get(kind, 0) + 1
                    self.assertLessEqual(kinds[kind], 100, kind)
                self.assertTrue(all(re.fullmatch(r"\d+ more entries .*", m) for m in errors[len(errors) - len(counts):]))
                self.assertEqual(sum(kinds.values()) + sum(counts.values()) + placed, len(entries))
                if named is not None:
                    self.assertEqual((kinds, counts), (named, counted))
                else:
                    self.assertIn("Refused entry whose data overlaps another entry's: " + shown, errors)
                    self.assertGreater(len(run.log_bytes), 600_000)
                    self.assertLess(sum(kinds.values()), 400, "the byte budget names fewer than 100 of each kind")
                self.assertEqual(run.leveled()[-1], ("INFO", "Extraction completed"))
                self.assertEqual(sum(len(files) for _, _, files in os.walk(self.out)), placed)


@unittest.skipIf(WINDOWS, "a descriptor per held folder is the native build's; Wine's handles have no such limit")
class FewDescriptors(ExtractTest):
    def test_an_entry_deeper_than_the_descriptors_allow_is_refused_and_the_run_goes_on(self):
        def deep(n, top):
            return "/".join("%s%d" % (top, i) for i in range(n)) + "/f.txt"

        names = ["first.txt", deep(100, "a"), deep(30, "b"), deep(100, "c"), "last.txt"]
        archive = self.zip([(n, n.encode()) for n in names])
        run = self.run_helper("--extract", "--zip", archive, "--out", self.out, prefix=["prlimit", "--nofile=60:60"])
        self.assertStatus(run, 0)
        self.assertEqual([m for level, m in run.leveled() if level == "ERROR"],
                         ["Refused entry deeper than the folders this process can hold open: %s (error 4)" % n
                          for n in (names[1], names[3])])
        for n in (names[0], names[2], names[4]):
            self.assertEqual(self.read(*n.split("/")), n.encode())
        self.assertEqual(run.leveled()[-1], ("INFO", "Extraction completed"))
