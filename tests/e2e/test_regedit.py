"""The registry edit command end to end: values are written into Wine's real
registry (keys made with `reg add`, values read back with their exact type and
bytes by our regread program) or, natively, into the file store below the
per-user data folder, read back from its files."""

import os
import subprocess
import sys
import unittest
import uuid
import zipfile

from harness import WINDOWS, HelperTest
from recorder import place_recorder, read_record

REGREAD = os.environ.get("REGREAD_EXE", "")
REG_SZ = 1
REG_DWORD = 4

# The texts the native build's message table gives; under Wine the texts are
# Wine's own, so there only their shape is checked.
NATIVE_TEXTS = {
    2: "The file does not exist.",
    5: "Access is denied.",
    6: "The handle is not valid.",
    87: "The parameter is not valid.",
}


class RegistryTest(HelperTest):
    """Each test gets its own empty key HKCU\\Software\\vantrell-e2e\\<id>."""

    def setUp(self):
        super().setUp()
        self.subkey = "Software\\vantrell-e2e\\" + uuid.uuid4().hex[:12]
        self.make_key(self.subkey)

    def store(self, root="HKCU"):
        return os.path.join(self.env["XDG_DATA_HOME"], "vantrell", "registry", root)

    def key_folder(self, subkey, root="HKCU"):
        return os.path.join(self.store(root), *[part for part in subkey.split("\\") if part])

    def wine(self, *args):
        return subprocess.run(["wine", *args], capture_output=True, env=self.env, timeout=60)

    def make_key(self, subkey):
        if WINDOWS:
            # Wine now and then fails to start reg.exe at all (status 1,
            # nothing said); that is no finding about the helper.
            for _ in range(3):
                made = self.wine("reg", "add", "HKCU\\" + subkey, "/f")
                if made.returncode == 0 or made.stderr:
                    break
                print("wine reg add ended with %d silently; once more" % made.returncode, file=sys.stderr)
            self.assertEqual(made.returncode, 0, made.stderr)
            self.addCleanup(self.wine, "reg", "delete", "HKCU\\" + subkey, "/f")
        else:
            os.makedirs(self.key_folder(subkey))

    def read_value(self, name, subkey=None, root="HKCU"):
        """(type, data bytes) of a value ("" is the default value), or None."""
        subkey = self.subkey if subkey is None else subkey
        if WINDOWS:
            out = self.wine(REGREAD, root, subkey, name).stdout.decode().strip()
            kind, _, data = out.partition(" ")
            return None if kind == "error" else (int(kind), bytes.fromhex(data))
        path = os.path.join(self.key_folder(subkey, root), "\\values", name or "(Default)")
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            raw = f.read()
        return int.from_bytes(raw[:4], "little"), raw[4:]

    def key_exists(self, subkey):
        if WINDOWS:
            return self.wine("reg", "query", "HKCU\\" + subkey).returncode == 0
        return os.path.isdir(self.key_folder(subkey))

    def regedit(self, rootkey="HKCU", subkey=None, key=None, value=None, type=None, extra=()):
        """Runs --regedit with the options that are not None."""
        args = ["--regedit"]
        for option, text in (("rootkey", rootkey), ("subkey", subkey), ("key", key), ("value", value),
                             ("type", type)):
            if text is not None:
                args += ["--" + option, text]
        return self.run_helper(*args, *extra)

    @staticmethod
    def started(rootkey="HKCU", subkey="", key="", value="", type=""):
        return ("INFO", f"started regedit. rootkey: {rootkey}, subkey: {subkey}, key: {key}, value: {value}, "
                        f"type: {type}")

    def assertSystemText(self, text, code):
        """One line of the system's text for `code`, its line end dropped."""
        if WINDOWS:
            self.assertNotEqual(text, "")
            self.assertNotEqual(text, "FormatMessage fail")
            self.assertNotRegex(text, r"[\r\n]|\s$")
        else:
            self.assertEqual(text, NATIVE_TEXTS[code])


class Writes(RegistryTest):
    def test_string_value_logs_start_and_done(self):
        run = self.regedit(subkey=self.subkey, key="Version", value="1.2", type="REG_SZ")
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled(), [
            self.started("HKCU", self.subkey, "Version", "1.2", "REG_SZ"),
            ("INFO", "regedit key: Version, value: 1.2 done"),
        ])
        self.assertEqual(self.read_value("Version"), (REG_SZ, b"1.2\0"))

    def test_string_data_is_the_text_and_one_nul(self):
        cases = [
            ("abc", "abc", b"abc\0"),
            ("absent", None, b"\0"),
            ("empty", "", b"\0"),
            ("spaces", " two  words ", b" two  words \0"),
            ("utf8", "Jürgen 张伟", "Jürgen 张伟".encode() + b"\0"),
        ]
        for name, value, data in cases:
            with self.subTest(name=name):
                self.assertStatus(self.regedit(subkey=self.subkey, key=name, value=value, type="REG_SZ"), 0)
                self.assertEqual(self.read_value(name), (REG_SZ, data))

    def test_dword_is_a_signed_decimal_reading_clamped_to_32_bits(self):
        cases = [
            ("42", "42", "2a000000"),
            ("blanks", "  42", "2a000000"),
            ("tab", "\t42", "2a000000"),
            ("letters", "42abc", "2a000000"),
            ("hex", "0x10", "00000000"),
            ("minus-one", "-1", "ffffffff"),
            ("unsigned-max", "4294967295", "ffffff7f"),
            ("below-min", "-2147483649", "00000080"),
            ("empty", "", "00000000"),
            ("absent", None, "00000000"),
        ]
        for name, value, data in cases:
            with self.subTest(name=name):
                self.assertStatus(self.regedit(subkey=self.subkey, key=name, value=value, type="REG_DWORD"), 0)
                self.assertEqual(self.read_value(name), (REG_DWORD, bytes.fromhex(data)))

    def test_without_key_the_default_value_is_written(self):
        run = self.regedit(subkey=self.subkey, value="7", type="REG_DWORD")
        self.assertStatus(run, 0)
        self.assertEqual(run.messages[-1], "regedit key: , value: 7 done")
        self.assertEqual(self.read_value(""), (REG_DWORD, bytes.fromhex("07000000")))

    def test_without_subkey_the_root_key_itself_is_written(self):
        name = "vantrell-e2e-" + uuid.uuid4().hex[:12]
        if WINDOWS:
            self.addCleanup(self.wine, "reg", "delete", "HKCU", "/v", name, "/f")
        run = self.regedit(key=name, value="at the root", type="REG_SZ")
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[0], self.started("HKCU", "", name, "at the root", "REG_SZ"))
        self.assertEqual(self.read_value(name, subkey=""), (REG_SZ, b"at the root\0"))
        self.assertIsNone(self.read_value(name))

    def test_second_write_replaces_the_value_and_its_type(self):
        self.assertStatus(self.regedit(subkey=self.subkey, key="v", value="1", type="REG_DWORD"), 0)
        self.assertStatus(self.regedit(subkey=self.subkey, key="v", value="one", type="REG_SZ"), 0)
        self.assertEqual(self.read_value("v"), (REG_SZ, b"one\0"))

    def test_key_and_value_names_ignore_case(self):
        self.assertStatus(self.regedit(subkey=self.subkey, key="Mixed", value="1", type="REG_SZ"), 0)
        self.assertStatus(self.regedit(subkey=self.subkey.upper(), key="MIXED", value="2", type="REG_SZ"), 0)
        self.assertEqual(self.read_value("Mixed"), (REG_SZ, b"2\0"))
        if WINDOWS:
            self.assertEqual(self.read_value("MIXED"), (REG_SZ, b"2\0"))
        else:
            # One value, under the spelling it was made with.
            self.assertEqual(os.listdir(os.path.join(self.key_folder(self.subkey), "\\values")), ["Mixed"])

    def test_a_value_and_a_sub_key_of_one_name_live_side_by_side(self):
        self.make_key(self.subkey + "\\Sub")
        for name in ["Sub", "sub", "SUB"]:
            with self.subTest(name=name):
                self.assertStatus(self.regedit(subkey=self.subkey, key=name, value=name, type="REG_SZ"), 0)
                self.assertEqual(self.read_value("Sub"), (REG_SZ, name.encode() + b"\0"))
        self.assertTrue(self.key_exists(self.subkey + "\\Sub"))
        self.assertStatus(self.regedit(subkey=self.subkey + "\\sUB", key="Sub", value="inner", type="REG_SZ"), 0)
        self.assertEqual(self.read_value("Sub", subkey=self.subkey + "\\Sub"), (REG_SZ, b"inner\0"))
        self.assertEqual(self.read_value("Sub"), (REG_SZ, b"SUB\0"))

    @unittest.skipIf(WINDOWS, "the store's own layout")
    def test_values_of_the_earlier_layout_move_into_the_values_folder(self):
        folder = self.key_folder(self.subkey)
        for name, raw in [("Old", b"\x01\0\0\0old\0"), ("(Default)", b"\x04\0\0\0\x07\0\0\0"), ("Kept", b"?")]:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(raw)
        self.assertStatus(self.regedit(subkey=self.subkey, key="kept", value="new", type="REG_SZ"), 0)
        self.assertEqual(self.read_value("Old"), (REG_SZ, b"old\0"))
        self.assertEqual(self.read_value(""), (REG_DWORD, b"\x07\0\0\0"))
        self.assertEqual(self.read_value("Kept"), (REG_SZ, b"new\0"))
        self.assertEqual(sorted(os.listdir(folder)), ["\\values"])


class OpenFailures(RegistryTest):
    def test_every_root_name_mismatch_ends_with_status_3(self):
        texts = set()
        for rootkey in ["hkcu", "HKEY_CURRENT_USER", " HKCU", "HKCU ", "", None]:
            with self.subTest(rootkey=rootkey):
                run = self.regedit(rootkey=rootkey, subkey=self.subkey, key="v", value="1", type="REG_SZ")
                self.assertStatus(run, 3)
                self.assertEqual(len(run.lines), 2, run.leveled())
                self.assertEqual(run.leveled()[0], self.started(rootkey or "", self.subkey, "v", "1", "REG_SZ"))
                level, text = run.leveled()[1]
                self.assertEqual(level, "ERROR")
                self.assertSystemText(text, 6)
                texts.add(text)
        self.assertEqual(len(texts), 1, texts)
        self.assertIsNone(self.read_value("v"))

    def test_missing_key_is_not_created(self):
        missing = self.subkey + "\\missing\\deeper"
        for type in ["REG_SZ", "REG_BINARY"]:
            with self.subTest(type=type):
                run = self.regedit(subkey=missing, key="v", value="1", type=type)
                self.assertStatus(run, 3)
                self.assertEqual([level for level, _ in run.leveled()], ["INFO", "ERROR"])
                self.assertSystemText(run.messages[1], 2)
                self.assertFalse(self.key_exists(self.subkey + "\\missing"))

    def test_a_failed_open_ends_the_run_after_sleep(self):
        run = self.regedit(rootkey="hkcu", subkey=self.subkey, key="v", value="1", type="REG_SZ",
                           extra=["--sleep", "--ms", "0"])
        self.assertStatus(run, 3)
        self.assertEqual(run.messages[:3], ["Sleeping for 0 milliseconds", "Sleep completed",
                                            self.started("hkcu", self.subkey, "v", "1", "REG_SZ")[1]])


class WriteFailures(RegistryTest):
    def test_value_name_over_the_limit_ends_with_status_4(self):
        # Windows allows 16383 characters in a value name; the file store 255 bytes.
        name = "n" * 16384
        run = self.regedit(subkey=self.subkey, key=name, value="1", type="REG_SZ")
        self.assertStatus(run, 4)
        self.assertEqual([level for level, _ in run.leveled()], ["INFO", "ERROR"])
        self.assertSystemText(run.messages[1], 87)
        self.assertIsNone(self.read_value("n" * 200))

    @unittest.skipIf(WINDOWS, "these are ordinary value names in the Windows registry")
    def test_value_names_the_store_cannot_hold_are_refused(self):
        for name in ["(Default)", "(default)", "a/b", ".", ".."]:
            with self.subTest(name=name):
                run = self.regedit(subkey=self.subkey, key=name, value="1", type="REG_SZ")
                self.assertStatus(run, 4)
                self.assertEqual(run.leveled()[1], ("ERROR", NATIVE_TEXTS[87]))
        self.assertIsNone(self.read_value(""))
        self.assertEqual(os.listdir(self.key_folder(self.subkey)), [])

    @unittest.skipIf(WINDOWS, "the store's own layout")
    def test_sub_key_names_that_leave_the_key_are_missing_keys(self):
        os.makedirs(self.key_folder(self.subkey + "\\inner"))
        for subkey in [self.subkey + "\\inner\\..", self.subkey + "\\.", "Software/vantrell-e2e"]:
            with self.subTest(subkey=subkey):
                run = self.regedit(subkey=subkey, key="v", value="1", type="REG_SZ")
                self.assertStatus(run, 3)
                self.assertEqual(run.leveled()[1], ("ERROR", NATIVE_TEXTS[2]))


class UnsupportedTypes(RegistryTest):
    def test_other_types_warn_write_nothing_and_go_on(self):
        for type in ["reg_sz", "Reg_Dword", "REG_BINARY", "REG_EXPAND_SZ", "", None]:
            with self.subTest(type=type):
                run = self.regedit(subkey=self.subkey, key="n", value="5", type=type)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [
                    self.started("HKCU", self.subkey, "n", "5", type or ""),
                    ("WARN", "value type not supported"),
                    ("INFO", "regedit key: n, value: 5 done"),
                ])
                self.assertIsNone(self.read_value("n"))


class Dispatch(RegistryTest):
    """Where the command stands among the others, whatever the command-line order."""

    def setUp(self):
        super().setUp()
        self.record = self.path("record.bin")
        self.env["RECORD_ARGS_FILE"] = self.hp(self.record)
        self.program = self.hp(place_recorder(self.scratch))
        self.app = self.path("app.asar")
        self.update = self.path("update.asar")
        with open(self.app, "wb") as f:
            f.write(b"old archive")
        with open(self.update, "wb") as f:
            f.write(b"new archive")
        self.zip = self.path("pkg.zip")
        self.out = self.path("out")
        with zipfile.ZipFile(self.zip, "w") as archive:
            archive.writestr("unpacked.txt", b"from the zip")

    def run_all(self, subkey, type="REG_SZ"):
        """launch, extract, regedit and update, given in the reverse of their running order."""
        return self.run_helper("--launch", "--program", self.program,
                               "--extract", "--zip", self.hp(self.zip), "--out", self.hp(self.out),
                               "--regedit", "--rootkey", "HKCU", "--subkey", subkey, "--key", "v", "--value", "1",
                               "--type", type,
                               "--update", "--wait", "99999907", "--appAsar", self.hp(self.app),
                               "--updateAsar", self.hp(self.update))

    def assertInOrder(self, messages, expected):
        """Each expected message is logged, after the one before it."""
        positions = [messages.index(message) for message in expected]
        self.assertEqual(positions, sorted(positions), messages)

    def test_update_then_regedit_then_extract_then_launch(self):
        run = self.run_all(self.subkey)
        self.assertStatus(run, 0)
        self.assertInOrder(run.messages, [
            "started updater. waitPid: 99999907, appAsar: %s, updateAsar: %s" % (self.hp(self.app), self.hp(self.update)),
            "Update finished",
            self.started("HKCU", self.subkey, "v", "1", "REG_SZ")[1],
            "regedit key: v, value: 1 done",
            "Started extraction. zipFile: %s, outDir: %s" % (self.hp(self.zip), self.hp(self.out)),
            "Extraction completed",
            "Launching process. Program: %s, Args: " % self.program,
        ])
        self.assertEqual(self.read_value("v"), (REG_SZ, b"1\0"))
        self.assertTrue(os.path.isfile(os.path.join(self.out, "unpacked.txt")))
        self.assertIsNotNone(read_record(self.record))

    def test_unsupported_type_goes_on_to_the_next_commands(self):
        run = self.run_all(self.subkey, type="REG_QWORD")
        self.assertStatus(run, 0)
        self.assertInOrder(run.messages, [
            self.started("HKCU", self.subkey, "v", "1", "REG_QWORD")[1],
            "value type not supported",
            "regedit key: v, value: 1 done",
            "Extraction completed",
            "Launching process. Program: %s, Args: " % self.program,
        ])
        self.assertIsNotNone(read_record(self.record))

    def test_failed_open_or_write_runs_nothing_after_it(self):
        for name, subkey, type, status in [("open", self.subkey + "\\missing", "REG_SZ", 3),
                                           ("write", self.subkey, "REG_SZ", 4)]:
            with self.subTest(name=name):
                if name == "write":
                    # A value name over the limit on both builds.
                    run = self.run_helper("--launch", "--program", self.program,
                                          "--extract", "--zip", self.hp(self.zip), "--out", self.hp(self.out),
                                          "--regedit", "--rootkey", "HKCU", "--subkey", subkey, "--key", "n" * 16384,
                                          "--type", type)
                else:
                    run = self.run_all(subkey, type)
                self.assertStatus(run, status)
                self.assertEqual(run.leveled()[-1][0], "ERROR")
                self.assertNotIn("Started extraction", run.log_bytes.decode())
                self.assertNotIn("Launching", run.log_bytes.decode())
                self.assertFalse(os.path.exists(self.out))
                self.assertIsNone(read_record(self.record, timeout=0.5))


def tearDownModule():
    if WINDOWS:
        subprocess.run(["wine", "reg", "delete", "HKCU\\Software\\vantrell-e2e", "/f"], capture_output=True,
                       timeout=60)


if __name__ == "__main__":
    unittest.main()
