"""Where Linux differs from Windows and both builds must still agree: read-only
files, the code of a failed move, the per-user folder, double quotes in paths
and one write per log line. Natively, permission cases also run as nobody."""

import os
import re
import shutil
import subprocess
import unittest
import zipfile

from harness import EOL, EXE, LINE, WINDOWS, HelperTest
from recorder import system_path, place_recorder, read_record

ROOT = os.geteuid() == 0
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"]
USERS = [[]] + ([NOBODY] if not WINDOWS and ROOT and shutil.which("setpriv") else [])
WINE_ROOT = "Wine run as root ignores the read-only attribute (Windows refuses with 5)"


def write(path, data, mode=0o666):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ContractTest(HelperTest):
    def open_to_all(self):
        for folder, _, _ in os.walk(self.scratch):
            os.chmod(folder, 0o777)
        if os.path.isfile(self.log_path):
            os.chmod(self.log_path, 0o666)

    def run_as(self, user, *args):
        self.open_to_all()
        return self.run_helper(*args, prefix=user)

    def update_read_only(self, user=()):
        self.app, self.upd = self.path("app.asar"), self.path("update.asar")
        write(self.app, b"old")
        write(self.upd, b"new", 0o444)
        return self.run_as(list(user), "--update", "--appAsar", self.app, "--updateAsar", self.upd)


@unittest.skipIf(WINDOWS and ROOT, WINE_ROOT)
class ReadOnlyFiles(ContractTest):
    def test_read_only_update_archive_is_parked(self):
        for user in USERS:
            with self.subTest(user=user):
                run = self.update_read_only(user)
                temp = self.env["TMPDIR"]
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled()[1:], [
                    ("WARN", "Unable to remove file %s - it may be in use.  Moving to %s//update.asar and "
                             "scheduling delete on reboot." % (self.upd, temp)), ("INFO", "Update finished")])
                self.assertEqual((read(self.app), read(os.path.join(temp, "update.asar"))), (b"new", b"new"))
                self.assertFalse(os.path.exists(self.upd))
                os.remove(os.path.join(temp, "update.asar"))

    def test_extraction_keeps_a_read_only_file(self):
        zip_path, out = self.path("pkg.zip"), self.path("out")
        with zipfile.ZipFile(zip_path, "w") as archive:
            archive.writestr("kept.txt", b"zip")
            archive.writestr("new.txt", b"zip")
        for user in USERS:
            with self.subTest(user=user):
                os.makedirs(out)
                write(os.path.join(out, "kept.txt"), b"read-only", 0o444)
                run = self.run_as(user, "--extract", "--zip", self.hp(zip_path), "--out", self.hp(out))
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled()[-2:], [("ERROR", "Failed to extract file: kept.txt"),
                                                      ("INFO", "Extraction completed")])
                self.assertEqual([read(os.path.join(out, n)) for n in sorted(os.listdir(out))], [b"read-only", b"zip"])
                shutil.rmtree(out)

    @unittest.skipIf(WINDOWS, "the temporary folder under Wine is the prefix's own")
    def test_move_into_a_missing_folder_reports_3_and_the_run_goes_on(self):
        self.env["TMPDIR"] = missing = self.path("gone")
        run = self.update_read_only()
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[-2:], [
            ("WARN", "Unable to rename %s to %s//update.asar GetLastError returned: 3" % (self.upd, missing)),
            ("INFO", "Update finished")])
        self.assertEqual(read(self.upd), b"new")


@unittest.skipIf(WINDOWS, "the per-user folder under Wine is the prefix's own")
class PerUserFolder(ContractTest):
    def test_a_folder_longer_than_windows_paths_is_used(self):
        data = self.path("d" * 200, "e" * 100)
        run = self.run_helper("--sleep", "--ms", "0", env=dict(self.env, XDG_DATA_HOME=data))
        self.assertStatus(run, 0)
        log = os.path.join(data, "vantrell", "update-log.txt")
        self.assertEqual(run.stdout.decode(), log + "\n")
        self.assertRegex(read(log).decode(), r"^INFO  \(\d+\) Sleeping for 0 milliseconds\n")

    def test_a_folder_that_cannot_be_used_is_named(self):
        write(self.path("file"), b"")
        self.open_to_all()
        os.makedirs(self.path("root-only"), 0o755)
        for user, data, code in [([], self.path("file", "below"), 3), (NOBODY, self.path("root-only"), 5)][:len(USERS)]:
            with self.subTest(data=data):
                run = self.run_helper("--sleep", "--ms", "0", prefix=user, env=dict(self.env, XDG_DATA_HOME=data))
                self.assertStatus(run, 5)
                self.assertEqual(run.stdout, b"")
                self.assertRegex(run.stderr.decode(), r"^ERROR \(\d+\) Unable to create directory %s "
                                 r"GetLastError returned: %d\n$" % (re.escape(data + "/vantrell"), code))


@unittest.skipIf(WINDOWS, "a Windows path cannot hold a double quote")
class QuotesInPaths(ContractTest):
    def test_launched_program_and_elevated_copy_get_their_paths_whole(self):
        self.env["RECORD_ARGS_FILE"] = record = self.path("record.bin")
        for folder in ['say "hi"', 'q"uote', '"both ends"']:
            with self.subTest(folder=folder):
                program = place_recorder(self.path(folder), 'rec "x" y')
                self.assertStatus(self.run_helper("--launch", "--program", program, "--args", "one two"), 0)
                self.assertEqual(read_record(record)[1], [system_path(program), "one", "two"])
                os.remove(record)
        if not ROOT:
            self.skipTest("as an ordinary user the elevated start goes through pkexec")
        # The launch stays in the elevating process, whose own path holds a '"'.
        program = place_recorder(self.scratch)
        helper = self.path('an "odd quote', "helper")
        os.makedirs(os.path.dirname(helper))
        shutil.copy2(EXE, helper)
        run = self.run_helper("--elevate", "--launch", "--program", program, executable=helper)
        self.assertStatus(run, 0)
        self.assertIn("Launching process. Program: %s, Args: " % program, run.messages)
        self.assertEqual(read_record(record)[1], [system_path(program)])


def escaped(text):
    """The text as a log line shows it: control characters escaped."""
    names = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
    return "".join(names.get(c, "\\x%02x" % ord(c)) if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)


class LogLines(ContractTest):
    FORGED = "\r\nINFO  (4242) Launching process. Program: /bin/true, Args: "

    def test_no_option_text_adds_a_line(self):
        program = self.hp(place_recorder(self.scratch))
        self.env["RECORD_ARGS_FILE"] = self.hp(self.path("record.bin"))
        commands = [
            lambda v: ("--launch", "--program", self.hp(self.path(v))),
            lambda v: ("--launch", "--program", program, "--args", v),
            lambda v: ("--regedit", "--rootkey", "HKCU", "--subkey", v, "--key", v, "--value", v, "--type", v),
            lambda v: ("--update", "--appAsar", self.hp(self.path(v)), "--updateAsar", self.hp(self.path(v))),
            lambda v: ("--extract", "--zip", self.hp(self.path(v)), "--out", v),
        ]
        for text in ["\n", "\r", "\x1b[2K", self.FORGED, "\x7f\t\x01"]:
            for command in commands:
                with self.subTest(text=text, command=command(".")[0]):
                    plain = self.run_helper(*command("AB"))
                    tricky = self.run_helper(*command("A" + text + "B"))
                    self.assertEqual(tricky.status, plain.status)
                    self.assertEqual(len(tricky.lines), len(plain.lines), tricky.log_bytes)
                    self.assertIn("A" + escaped(text) + "B", "".join(tricky.messages))

    @unittest.skipIf(WINDOWS or not ROOT or not shutil.which("mount"), "mounts a small volume under the log")
    def test_a_full_volume_leaves_no_glued_lines(self):
        folder = os.path.dirname(self.log_path)
        os.makedirs(folder)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder]).returncode != 0:
            self.skipTest("no tmpfs can be mounted here")
        self.addCleanup(subprocess.run, ["umount", "-l", folder])
        # The log ends a few bytes before a page's end; a filler takes the rest.
        first = b"INFO  (7) " + b"x" * (4096 - 10 - 11) + b"\n"
        write(self.log_path, first)
        filler = os.path.join(folder, "filler")
        descriptor = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            while os.write(descriptor, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass
        os.close(descriptor)
        for args in [("--launch", "--program", self.path("missing " * 20)), ("--sleep", "--ms", "0")]:
            subprocess.run([EXE] + list(args), env=self.env, capture_output=True, timeout=60)
            if args[0] == "--launch":
                cut = read(self.log_path)
                self.assertFalse(cut.endswith(EOL), cut[-40:])  # the line was cut
                os.remove(filler)
        log = read(self.log_path)
        lines = log.split(EOL)
        self.assertEqual(lines[0] + EOL, first)
        self.assertEqual(lines[-1], b"")
        self.assertRegex(lines[-2], rb"^INFO  \(\d+\) Sleep completed$")
        self.assertRegex(lines[-3], rb"^INFO  \(\d+\) Sleeping for 0 milliseconds$")
        for line in lines[1:-1]:
            # A cut line stays alone; nothing is glued to it.
            self.assertIsNone(re.search(rb".(INFO  |WARN  |ERROR )\(\d+\) ", line), line)


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
class OneWritePerLogLine(HelperTest):
    WRITE = re.compile(r'^(?:write|pwrite64|writev)\(\d+, "(?:INFO  |WARN  |ERROR )\(.*\) += (\d+)$')

    def test_each_line_reaches_the_system_in_one_write(self):
        # Lines of 6 KB and of odd and even lengths around msvcrt's 2047-byte pieces.
        trace, eol = self.path("trace.txt"), b"\r\n" if WINDOWS else b"\n"
        for length in [6000, 2001, 2002, 4094, 1, 2]:
            with self.subTest(length=length):
                program = self.hp(self.path("p" * (length % 200 + 1))) + "/" + "x" * length
                run = self.run_helper("--launch", "--program", program, "--args", "odd",
                                      prefix=["strace", "-e", "trace=write,pwrite64,writev", "-s", "7", "-o", trace])
                self.assertStatus(run, 1)
                lines = [len(line) + len(eol) for line in run.log_bytes.split(eol)[:-1]]
                with open(trace) as f:
                    writes = [int(m.group(1)) for m in map(self.WRITE.match, f) if m]
                # Both lines once to standard error and once to the file, each whole.
                self.assertEqual((len(lines), sorted(writes)), (2, sorted(lines * 2)))


if __name__ == "__main__":
    unittest.main()
