"""What both builds must agree on where Linux differs from Windows: read-only
files, the error code of a failed move, the per-user folder, double quotes in
paths and one write per log line. Natively the cases that depend on
permissions also run as the user nobody."""

import os
import re
import shutil
import subprocess
import unittest
import zipfile

from harness import EXE, WINDOWS, HelperTest, Run
from recorder import backslashes, place_recorder, read_record

AS_ROOT = os.geteuid() == 0
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
CAN_DROP = not WINDOWS and AS_ROOT and shutil.which("setpriv") is not None
PARK = "Unable to remove file %s - it may be in use.  Moving to %s and scheduling delete on reboot."


def write(path, data, mode=0o666):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ContractTest(HelperTest):
    def users(self):
        """The users to run as: this one, and nobody where it can be had."""
        return [[]] + ([NOBODY] if CAN_DROP else [])

    def open_tree(self):
        """Opens every folder of the scratch tree, and the log, to every user."""
        for folder, _, _ in os.walk(self.scratch):
            os.chmod(folder, 0o777)
        if os.path.isfile(self.log_path):
            os.chmod(self.log_path, 0o666)

    def run_as(self, user, *args, env=None):
        self.open_tree()
        return self.run_helper(*args, prefix=user, env=env)

    def skip_if_wine_root_writes_read_only_files(self):
        if WINDOWS and AS_ROOT:
            self.skipTest("Wine run as root ignores the read-only attribute (Windows refuses with 5)")


class ReadOnlyFiles(ContractTest):
    def test_read_only_update_archive_is_parked(self):
        self.skip_if_wine_root_writes_read_only_files()
        for user in self.users():
            with self.subTest(user=user):
                app, upd = self.path("app.asar"), self.path("update.asar")
                write(app, b"old")
                write(upd, b"new", 0o444)
                temp = self.env["TMPDIR"]
                parked = os.path.join(temp, "update.asar")
                run = self.run_as(user, "--update", "--appAsar", app, "--updateAsar", upd)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled()[1:], [("WARN", PARK % (upd, temp + "//update.asar")),
                                                     ("INFO", "Update finished")])
                self.assertEqual((read(app), read(parked)), (b"new", b"new"))
                self.assertFalse(os.path.exists(upd))
                os.remove(parked)

    def test_extraction_keeps_a_read_only_file(self):
        self.skip_if_wine_root_writes_read_only_files()
        zip_path, out = self.path("pkg.zip"), self.path("out")
        with zipfile.ZipFile(zip_path, "w") as archive:
            archive.writestr("kept.txt", b"from the zip")
            archive.writestr("new.txt", b"from the zip")
        for user in self.users():
            with self.subTest(user=user):
                os.makedirs(out, exist_ok=True)
                write(os.path.join(out, "kept.txt"), b"read-only", 0o444)
                run = self.run_as(user, "--extract", "--zip", self.hp(zip_path), "--out", self.hp(out))
                self.assertStatus(run, 0)
                self.assertIn(("ERROR", "Failed to extract file: kept.txt"), run.leveled())
                self.assertEqual(run.messages[-1], "Extraction completed")
                self.assertEqual(read(os.path.join(out, "kept.txt")), b"read-only")
                self.assertEqual(read(os.path.join(out, "new.txt")), b"from the zip")
                self.assertEqual(sorted(os.listdir(out)), ["kept.txt", "new.txt"])
                shutil.rmtree(out)

    @unittest.skipIf(WINDOWS, "the temporary folder under Wine is the prefix's own")
    def test_move_into_a_missing_folder_reports_3(self):
        app, upd = self.path("app.asar"), self.path("update.asar")
        write(app, b"old")
        write(upd, b"new", 0o444)
        missing = self.path("gone")
        self.env["TMPDIR"] = missing
        run = self.run_helper("--update", "--appAsar", app, "--updateAsar", upd)
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled()[-1], (
            "ERROR", "Unable to rename %s to %s//update.asar GetLastError returned: 3" % (upd, missing)))
        self.assertEqual(read(upd), b"new")


@unittest.skipIf(WINDOWS, "the per-user folder under Wine is the prefix's own")
class PerUserFolder(ContractTest):
    def test_a_folder_longer_than_windows_paths_is_used(self):
        data = self.path("d" * 200, "e" * 100)
        env = dict(self.env, XDG_DATA_HOME=data)
        run = self.run_helper("--sleep", "--ms", "0", env=env)
        self.assertStatus(run, 0)
        log = os.path.join(data, "vantrell", "update-log.txt")
        self.assertEqual(run.stdout.decode(), log + "\n")
        self.assertRegex(read(log).decode(), r"^INFO  \(\d+\) Sleeping for 0 milliseconds\nINFO  \(\d+\) Sleep")

    def test_a_folder_that_cannot_be_used_is_named(self):
        write(self.path("file"), b"")
        self.open_tree()
        os.makedirs(self.path("root-only"))
        os.chmod(self.path("root-only"), 0o755)
        cases = [([], self.path("file", "below"), 3)]
        if CAN_DROP:
            cases.append((NOBODY, self.path("root-only"), 5))
        for user, data, code in cases:
            with self.subTest(data=data):
                run = self.run_helper("--sleep", "--ms", "0", prefix=user, env=dict(self.env, XDG_DATA_HOME=data))
                self.assertStatus(run, 5)
                self.assertEqual(run.stdout, b"")
                self.assertRegex(run.stderr.decode(), r"^ERROR \(\d+\) Unable to create directory %s "
                                 r"GetLastError returned: %d\n$" % (re.escape(data + "/vantrell"), code))


@unittest.skipIf(WINDOWS, "a Windows path cannot hold a double quote")
class QuotesInPaths(ContractTest):
    def setUp(self):
        super().setUp()
        self.record = self.path("record.bin")
        self.env["RECORD_ARGS_FILE"] = self.record

    def test_launched_program_gets_its_path_whole(self):
        for folder in ['say "hi"', 'q"uote', '"both ends"']:
            with self.subTest(folder=folder):
                program = place_recorder(self.path(folder), 'rec "x" y')
                run = self.run_helper("--launch", "--program", program, "--args", "one two")
                self.assertStatus(run, 0)
                self.assertEqual(read_record(self.record)[1], [backslashes(program), "one", "two"])
                os.remove(self.record)

    @unittest.skipUnless(AS_ROOT, "as an ordinary user the elevated start goes through pkexec")
    def test_elevated_copy_runs_from_a_path_with_quotes(self):
        helper = self.path('an "odd quote', "helper")
        os.makedirs(os.path.dirname(helper))
        shutil.copy2(EXE, helper)
        program = place_recorder(self.scratch)
        run = self.run_helper("--elevate", "--launch", "--program", program, "--args", "a", env=self.env,
                              executable=helper)
        self.assertStatus(run, 0)
        self.assertIn("Launching process. Program: %s, Args: a" % program, run.messages)
        self.assertEqual(read_record(self.record)[1], [backslashes(program), "a"])


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class OneWritePerLogLine(HelperTest):
    WRITE = re.compile(r'^(?:write|pwrite64|writev)\(\d+, "(?:INFO  |WARN  |ERROR )\(.*\) += (\d+)$')

    def test_each_line_reaches_the_system_in_one_write(self):
        # Lines of 6 KB and of odd and even lengths around msvcrt's 2047-byte pieces.
        for length in [6000, 2001, 2002, 4094, 1, 2]:
            with self.subTest(length=length):
                program = self.hp(self.path("p" * (length % 200 + 1))) + "/" + "x" * length
                trace = self.path("trace.txt")
                run = self.run_helper("--launch", "--program", program, "--args", "odd",
                                      prefix=["strace", "-e", "trace=write,pwrite64,writev", "-s", "7", "-o", trace])
                self.assertStatus(run, 1)
                eol = b"\r\n" if WINDOWS else b"\n"
                lines = [len(line) + len(eol) for line in run.log_bytes.split(eol)[:-1]]
                self.assertEqual(len(lines), 2)
                with open(trace) as f:
                    writes = [int(m.group(1)) for m in map(self.WRITE.match, f) if m]
                # Each line once to standard error and once to the file, whole.
                self.assertEqual(sorted(writes), sorted(lines * 2), run.log_bytes[:200])


if __name__ == "__main__":
    unittest.main()
