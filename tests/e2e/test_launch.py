"""The launch command: starting a program with its arguments, without waiting."""

import os
import stat
import subprocess
import time
import unittest

from harness import EXE, OUTLAST_MS, WINDOWS, HelperTest, wait_limit
from recorder import system_path, place_recorder, read_record


class LaunchTest(HelperTest):
    def setUp(self):
        super().setUp()
        self.record = self.path("record.bin")
        self.env["RECORD_ARGS_FILE"] = self.hp(self.record)

    def launch(self, program, args=None):
        extra = [] if args is None else ["--args", args]
        return self.run_helper("--launch", "--program", program, *extra)

    def launched(self, timeout=20.0):
        got = read_record(self.record, timeout)
        if got is not None:
            os.remove(self.record)
        return got

    def assertNothingLaunched(self):
        self.assertIsNone(read_record(self.record, timeout=0.5))


class Arguments(LaunchTest):
    def test_args_are_split_at_single_spaces(self):
        program = self.hp(place_recorder(self.scratch))
        cases = [
            # args, what the program receives, the rest of its command line
            (None, [], ""),
            ("", [], ""),
            ("--a", ["--a"], "--a "),
            ("--a  --b", ["--a", "--b"], "--a --b "),
            ("  --a --b  ", ["--a", "--b"], "--a --b "),
            ('"x y" z', ["x y", "z"], '"x y" z '),
            ('"x  y" z', ["x y", "z"], '"x y" z '),
            ("dir\\ tail\\", ["dir\\", "tail\\"], "dir\\ tail\\ "),
        ]
        for args, received, rest in cases:
            with self.subTest(args=args):
                run = self.launch(program, args)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(),
                                 [("INFO", "Launching process. Program: %s, Args: %s" % (program, args or ""))])
                command_line, argv = self.launched()
                self.assertEqual(argv, [system_path(program)] + received)
                if WINDOWS:
                    self.assertEqual(command_line, system_path(program) + " " + rest)

    def test_program_path_with_forward_slashes_and_spaces(self):
        program = self.hp(place_recorder(self.path("my programs"), "record args"))
        self.assertIn("/", program)
        run = self.launch(program, "one two")
        self.assertStatus(run, 0)
        command_line, argv = self.launched()
        self.assertEqual(argv, [system_path(program), "one", "two"])
        if WINDOWS:
            self.assertEqual(command_line, '"%s" one two ' % system_path(program))

    @unittest.skipIf(WINDOWS, "the shell and its environment listing are the native build's")
    def test_program_gets_the_environment_the_helper_was_given(self):
        listing = self.path("env.txt")
        # Written aside and renamed, so that the listing is whole once it exists.
        script = self.path("list-env")
        with open(script, "w") as f:
            f.write('#!/bin/sh\nenv > "%s.part" && mv "%s.part" "%s"\n' % ((listing,) * 3))
        os.chmod(script, 0o755)
        for tz in (None, "Europe/Vienna"):
            with self.subTest(tz=tz):
                self.env.pop("TZ", None)
                if tz is not None:
                    self.env["TZ"] = tz
                self.assertStatus(self.launch(script), 0)
                deadline = time.monotonic() + 20
                while not os.path.exists(listing) and time.monotonic() < deadline:
                    time.sleep(0.05)
                shell_own = ("_=", "PWD=", "SHLVL=", "OLDPWD=")
                with open(listing) as f:
                    got = {line for line in f.read().splitlines() if not line.startswith(shell_own)}
                os.remove(listing)
                want = {"%s=%s" % item for item in self.env.items() if not (item[0] + "=").startswith(shell_own)}
                self.assertEqual((got - want, want - got), (set(), set()))

    def test_launch_runs_after_the_sleep_whatever_the_order(self):
        program = self.hp(place_recorder(self.scratch))
        run = self.run_helper("--launch", "--program", program, "--sleep", "--ms", "50")
        self.assertStatus(run, 0)
        self.assertEqual(run.messages, ["Sleeping for 50 milliseconds", "Sleep completed",
                                        "Launching process. Program: %s, Args: " % program])
        self.assertIsNotNone(self.launched())

    def test_program_runs_on_without_being_waited_for(self):
        program = self.hp(place_recorder(self.scratch))
        self.env["RECORD_ARGS_HOLD_MS"] = "3000"
        # Not through pipes: under Wine the child holds on to the helper's
        # standard streams, so a reader would wait for the child as well.
        command = (["wine"] if WINDOWS else []) + [EXE, "--launch", "--program", program, "--args", "late"]
        started = time.monotonic()
        status = subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=60).returncode
        self.assertEqual(status, 0)
        self.assertLess(time.monotonic() - started, 2.5)
        self.assertFalse(os.path.exists(self.record))
        self.assertEqual(self.launched()[1][1:], ["late"])


class Failures(LaunchTest):
    def test_launch_without_program(self):
        for args in (["--launch"], ["--launch", "--args", "x"], ["--launch", "--program"]):
            with self.subTest(args=args):
                run = self.run_helper(*args)
                self.assertStatus(run, 1)
                self.assertEqual(run.leveled(), [("ERROR", "Program path is required for launch command")])

    def test_missing_program_ends_the_run_with_status_1(self):
        for program in (self.hp(self.path("missing.exe")), self.hp(self.path("no folder", "missing.exe"))):
            with self.subTest(program=program):
                run = self.launch(program, "a")
                self.assertStatus(run, 1)
                self.assertEqual(run.leveled(), [("INFO", "Launching process. Program: %s, Args: a" % program),
                                                 ("ERROR", "The executable file doesn't exist: " + program)])
        self.assertNothingLaunched()

    @unittest.skipIf(WINDOWS, "needs a process id of the system the helper runs on")
    def test_launch_after_a_failure_waits_for_the_quitting_app(self):
        # A command that fails at once while the app is still quitting: the
        # relaunch comes only once the app has gone.
        app = subprocess.Popen(["sleep", "1"])
        self.addCleanup(app.wait)
        run = self.run_helper("--extract", "--zip", self.path("none.zip"), "--out", self.path("out"),
                              "--wait", str(app.pid), "--launchAfterFailure",
                              "--launch", "--program", place_recorder(self.scratch), *wait_limit(OUTLAST_MS))
        self.assertStatus(run, 2)
        messages = run.messages
        exited = messages.index("Process %d has exited" % app.pid)
        self.assertTrue(messages[exited + 1].startswith("Launching process."), messages)
        self.assertIsNotNone(self.launched())

    def test_program_that_cannot_be_started_still_gives_status_0(self):
        with open(self.path("notes.txt"), "w") as f:
            f.write("just text\n")
        with open(self.path("script.exe"), "w") as f:
            f.write("no program at all\n")
        os.chmod(self.path("script.exe"), 0o755)
        cases = [
            (self.path("notes.txt"), 193),
            (self.path("script.exe"), 193),
            # Windows refuses a folder with 5; Wine answers 6
            (self.path("folder"), 6 if WINDOWS else 5),
        ]
        os.mkdir(self.path("folder"))
        for path, code in cases:
            program = self.hp(path)
            with self.subTest(program=program):
                run = self.launch(program)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [
                    ("INFO", "Launching process. Program: %s, Args: " % program),
                    ("ERROR", "Failed to start child process. %s Last error: %d" % (system_path(program), code)),
                ])

    @unittest.skipUnless(WINDOWS, "natively a .bat is a file like any other")
    def test_batch_file_is_refused_before_cmd_can_read_its_arguments(self):
        # Started, cmd.exe would run the batch file, then the command after "&".
        ran, injected = self.path("ran.txt"), self.path("injected.txt")
        for name in ("run.bat", "Run.CMD"):
            with open(self.path(name), "w") as f:
                f.write('@echo ran>"%s"\r\n' % self.hp(ran))
            program = self.hp(self.path(name))
            args = 'x&echo injected>"%s"' % self.hp(injected)
            with self.subTest(program=program):
                run = self.launch(program, args)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [
                    ("INFO", "Launching process. Program: %s, Args: %s" % (program, args)),
                    ("ERROR", "Refusing to start a batch file: %s (cmd.exe would read its arguments as commands)"
                     % program),
                ])
        time.sleep(1)
        self.assertEqual((os.path.exists(ran), os.path.exists(injected)), (False, False))

    @unittest.skipIf(WINDOWS, "execute permission is a POSIX notion")
    def test_file_without_execute_permission_is_not_a_program(self):
        program = place_recorder(self.scratch)
        os.chmod(program, stat.S_IRUSR | stat.S_IWUSR)
        run = self.launch(program)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[1],
                         ("ERROR", "Failed to start child process. %s Last error: 193" % system_path(program)))
        self.assertNothingLaunched()


if __name__ == "__main__":
    unittest.main()
