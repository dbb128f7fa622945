"""The elevate command: the helper runs again with administrator rights, handing
on its other arguments, and waits for that copy. Under Wine the token is
already elevated and "runas" simply starts and waits; natively the tests run
as root, where the copy is started directly, and as an ordinary user through
a stand-in pkexec."""

import os
import shutil
import subprocess
import time
import unittest

from harness import EXE, WINDOWS, HelperTest, Run
from recorder import RECORDER, system_path, place_recorder, read_record

ATTEMPT = "Attempting to execute %s with administrator priviledges"
DECLINED = "Failed to start with admin priviledges using ShellExecuteEx() Last error: %d"
ENDED = "Elevated copy ended, exit status %d"


def by_process(run):
    """The run's messages grouped by process id, in order of first appearance."""
    groups = {}
    for level, pid, message in run.lines:
        groups.setdefault(pid, []).append((level, message))
    return list(groups.values())


def copy_started(run):
    """The line with which the first process names the second, its copy."""
    pids = list(dict.fromkeys(pid for _, pid, _ in run.lines))
    return ("INFO", "Elevated copy started, process id %d" % pids[1])


class ElevateTest(HelperTest):
    def own_path(self, path):
        """argv[0] as the helper sees it when started from `path`."""
        return "Z:" + system_path(path) if WINDOWS else path

    def run_from(self, command, while_running=None, env=None):
        """Runs a command line of ours (not through pipes, which a child could
        hold open) and returns its Run; while_running(log_bytes) is polled
        until it answers True."""
        before = os.path.getsize(self.log_path) if os.path.isfile(self.log_path) else 0
        proc = subprocess.Popen(command, env=env or self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if while_running is not None:
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline and not while_running(self.read_log(before)):
                    time.sleep(0.02)
            status = proc.wait(timeout=60)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        log = self.read_log(before)
        self.check_log_shape(log)
        return Run(status, b"", b"", log)

    def read_log(self, offset):
        if not os.path.isfile(self.log_path):
            return b""
        with open(self.log_path, "rb") as f:
            f.seek(offset)
            return f.read()


class Elevation(ElevateTest):
    def test_copy_receives_the_other_arguments_and_the_launch_follows_it(self):
        self.env["RECORD_ARGS_FILE"] = self.hp(self.path("record.bin"))
        program = self.hp(place_recorder(self.path("my programs"), "record args"))
        run = self.run_helper("--elevate", "--sleep", "--ms", "100", "--ms", "20", "--launch", "--program", program,
                              "--args", "a  b\\")
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        sleep = [("INFO", "Sleeping for 20 milliseconds"), ("INFO", "Sleep completed")]
        self.assertEqual(this, sleep + [("INFO", "Requires elevated privileges"), ("INFO", ATTEMPT % self.own_path(EXE)),
                                        copy_started(run), ("INFO", ENDED % 0),
                                        ("INFO", "Launching process. Program: %s, Args: a  b\\" % program)])
        self.assertEqual(copy, sleep)
        # The launch line comes after every line of the copy: it ran once the copy had ended.
        self.assertEqual(run.lines[-1][2], "Launching process. Program: %s, Args: a  b\\" % program)
        self.assertEqual(read_record(self.path("record.bin"))[1][1:], ["a", "b\\"])

    def test_copy_status_is_the_run_status_and_a_failure_skips_the_launch_unless_asked(self):
        self.env["RECORD_ARGS_FILE"] = self.hp(self.path("record.bin"))
        program = self.hp(place_recorder(self.scratch))
        launch = ("--launch", "--program", program)
        missing = ("--extract", "--zip", self.hp(self.path("none.zip")), "--out", self.hp(self.path("out")))
        for args, status, launched in [((), 0, False), (launch, 0, True), (missing, 2, False),
                                       (missing + launch, 2, False),
                                       (missing + launch + ("--launchAfterFailure",), 2, True)]:
            with self.subTest(args=args):
                run = self.run_helper("--elevate", *args)
                self.assertStatus(run, status)
                self.assertIn(ENDED % status, run.messages)
                self.assertEqual(read_record(self.path("record.bin"), timeout=5 if launched else 0.3) is not None,
                                 launched)
                if launched:
                    os.remove(self.path("record.bin"))

    def test_copy_receives_every_argument_exactly(self):
        # The copy is started from the helper's own path: swapped for the
        # recorder while the helper sleeps, it records what the copy gets.
        long_text = list("x" * 30000)
        for at, c in [(0, '"'), (1, "\\"), (100, " "), (200, "\t"), (29998, "\\"), (29999, "\\")]:
            long_text[at] = c
        tables = [
            ["--regedit", "--key", "", "--value", "V1", "", ""],
            ['he said "hi" there', 'a"b', 'x\\"y z', "tab\tsep", '"quoted"', '"', '""', '" "', "\\", "\\\\",
             'a\\\\\\"b', '\\\\"', "end\\\\", "C:\\Program Files\\App\\", "two  spaces", "\u00e9t\u00e9 \u6771\u4eac"],
            ["".join(long_text)],
        ]
        helper = self.path("helper copy" + (".exe" if WINDOWS else ""))
        recorder = self.path("recorder" + (".exe" if WINDOWS else ""))
        self.env["RECORD_ARGS_FILE"] = self.hp(self.path("record.bin"))
        for table in tables:
            with self.subTest(table=table[:3]):
                shutil.copy2(EXE, helper)
                shutil.copy2(RECORDER, recorder)
                command = (["wine"] if WINDOWS else []) + [helper, "--sleep", "--ms", "1000", "--elevate"] + table

                def swap_once_sleeping(log):
                    if b"Sleeping for" in log and os.path.exists(recorder):
                        os.replace(recorder, helper)
                    return not os.path.exists(recorder)

                run = self.run_from(command, swap_once_sleeping)
                self.assertStatus(run, 0)
                self.assertEqual(read_record(self.path("record.bin"))[1][1:], ["--sleep", "--ms", "1000"] + table)
                os.remove(self.path("record.bin"))

    def test_sleep_runs_in_both_processes(self):
        started = time.monotonic()
        run = self.run_helper("--sleep", "--ms", "300", "--elevate")
        self.assertGreaterEqual(time.monotonic() - started, 0.6)
        self.assertStatus(run, 0)
        sleep = [("INFO", "Sleeping for 300 milliseconds"), ("INFO", "Sleep completed")]
        this, copy = by_process(run)
        self.assertEqual(this, sleep + [("INFO", "Requires elevated privileges"), ("INFO", ATTEMPT % self.own_path(EXE)),
                                        copy_started(run), ("INFO", ENDED % 0)])
        self.assertEqual(copy, sleep)

    @unittest.skipIf(WINDOWS, "Wine always hands over the full path as argv[0]")
    def test_helper_started_by_bare_name_from_path(self):
        env = dict(self.env, PATH=os.path.dirname(EXE) + os.pathsep + self.env.get("PATH", ""))
        name = os.path.basename(EXE)
        run = self.run_from([name, "--sleep", "--ms", "1", "--elevate"], env=env)
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        self.assertEqual(this[-3:], [("INFO", ATTEMPT % name), copy_started(run), ("INFO", ENDED % 0)])
        self.assertEqual([m for _, m in copy], ["Sleeping for 1 milliseconds", "Sleep completed"])

    def test_copy_that_cannot_be_started_gives_status_1(self):
        helper = self.path("helper copy" + (".exe" if WINDOWS else ""))
        shutil.copy2(EXE, helper)
        command = (["wine"] if WINDOWS else []) + [helper, "--sleep", "--ms", "1500", "--elevate", "--launch"]

        def remove_once_sleeping(log):
            if b"Sleeping for" in log and os.path.exists(helper):
                os.remove(helper)
            return not os.path.exists(helper)

        run = self.run_from(command, remove_once_sleeping)
        self.assertStatus(run, 1)
        self.assertEqual(run.leveled(), [("INFO", "Sleeping for 1500 milliseconds"), ("INFO", "Sleep completed"),
                                         ("INFO", "Requires elevated privileges"),
                                         ("INFO", ATTEMPT % self.own_path(helper)), ("ERROR", DECLINED % 2)])


@unittest.skipIf(WINDOWS, "pkexec is how the native build asks for rights")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to become an ordinary user")
class ElevationAsOrdinaryUser(ElevateTest):
    """An ordinary user elevates through pkexec; a stand-in pkexec on PATH
    plays the part of the real one and its authentication agent."""

    def setUp(self):
        super().setUp()
        os.chmod(self.scratch, 0o777)
        for folder in (self.env["XDG_DATA_HOME"], self.env["TMPDIR"]):
            os.makedirs(folder, exist_ok=True)
            os.chmod(folder, 0o777)
        self.bin = self.path("bin")
        os.mkdir(self.bin)
        os.chmod(self.bin, 0o755)

    def fake_pkexec(self, body):
        path = os.path.join(self.bin, "pkexec")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)

    def run_as_user(self, *args):
        env = dict(self.env, PATH=self.bin + ":/usr/bin:/bin")
        return self.run_from(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", EXE] + list(args),
                             env=env)

    def test_pkexec_that_lets_the_copy_start(self):
        # It "asks" a while first: the helper must wait for the copy, not for pkexec.
        self.fake_pkexec('sleep 0.3\nexec "$@"')
        run = self.run_as_user("--elevate", "--sleep", "--ms", "5")
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        sleep = ["Sleeping for 5 milliseconds", "Sleep completed"]
        self.assertEqual([m for _, m in this],
                         sleep + ["Requires elevated privileges", ATTEMPT % EXE, copy_started(run)[1], ENDED % 0])
        self.assertEqual([m for _, m in copy], sleep)

    def test_launch_runs_after_the_copy_as_the_starting_user_with_its_environment(self):
        # Like the real one, this pkexec clears the environment of the copy.
        self.fake_pkexec('exec env -i XDG_DATA_HOME="$XDG_DATA_HOME" HOME="$HOME" "$@"')
        script = os.path.join(self.bin, "who")
        with open(script, "w") as f:
            # Written aside and renamed, so that the file is whole once it exists.
            f.write('#!/bin/sh\necho "$(id -u) $MARK" > "%s.part" && mv "%s.part" "%s"\n'
                    % ((self.path("who.txt"),) * 3))
        os.chmod(script, 0o755)
        self.env["MARK"] = "the user's own"
        run = self.run_as_user("--elevate", "--sleep", "--ms", "5", "--launch", "--program", script)
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        self.assertEqual([m for _, m in this][-2:], [ENDED % 0, "Launching process. Program: %s, Args: " % script])
        self.assertEqual([m for _, m in copy], ["Sleeping for 5 milliseconds", "Sleep completed"])
        deadline = time.monotonic() + 10
        while not os.path.exists(self.path("who.txt")) and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(self.path("who.txt")) as f:
            self.assertEqual(f.read(), "65534 the user's own\n")

    def test_declined_or_impossible_authorisation_gives_status_1(self):
        for body in ("exit 126", "sleep 0.2; exit 127", None):
            with self.subTest(pkexec=body):
                if body is None:
                    os.remove(os.path.join(self.bin, "pkexec"))
                else:
                    self.fake_pkexec(body)
                run = self.run_as_user("--elevate", "--sleep", "--ms", "5")
                self.assertStatus(run, 1)
                self.assertEqual(run.leveled()[2:], [("INFO", "Requires elevated privileges"),
                                                     ("INFO", ATTEMPT % EXE), ("ERROR", DECLINED % 1223)])


if __name__ == "__main__":
    unittest.main()
