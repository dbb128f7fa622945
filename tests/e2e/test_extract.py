"""The zip extraction command, end to end, with archives built here. Every run
also checks that nothing changed outside the output folder."""

import hashlib
import os
import random
import re
import shutil
import struct
import time
import warnings
import zipfile
import zlib

from harness import WINDOWS, HelperTest

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

    def test_a_later_entry_of_the_same_name_wins(self):
        archive = self.path("dup.zip")
        with zipfile.ZipFile(archive, "w") as zf, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the duplicate is the point
            zf.writestr("same.txt", b"first")
            zf.writestr("same.txt", b"second")
        run = self.extract(archive)
        self.assertStatus(run, 0)
        self.assertEqual(self.read("same.txt"), b"second")

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

    def test_backslashes_are_no_folders_for_the_command(self):
        archive = self.zip([("a\\b.txt", b"backslashed")])
        run = self.extract(archive)
        self.assertStatus(run, 0)
        if WINDOWS:
            # The system reads the backslash as a separator, and folder a is missing.
            self.assertEqual(run.leveled()[-2], ("ERROR", "Failed to extract file: a\\b.txt"))
            self.assertEqual(listing(self.out), [])
            os.makedirs(os.path.join(self.out, "a"))
            run = self.extract(archive)
            self.assertStatus(run, 0)
            self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 3)
            self.assertEqual(self.read("a", "b.txt"), b"backslashed")
        else:
            self.assertEqual([level for level, _ in run.leveled()], ["INFO"] * 4)
            self.assertEqual(listing(self.out), ["a\\b.txt"])


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
        for name in ("folder.zip", "text.zip", "cut.zip"):
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
                self.assertStatus(run, 5)
                self.assertEqual(run.leveled()[-2], ("INFO", "Zip file contains 1 files"))
                self.assertRegex(run.leveled()[-1][1], r"^Unable to create directory %s/d GetLastError returned: \d+$"
                                 % re.escape(self.hp(self.out)))
        with open(self.out, "rb") as f:
            self.assertEqual(f.read(), b"a file")


if __name__ == "__main__":
    import unittest
    unittest.main()
