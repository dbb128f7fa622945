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
from recorder import backslashes, place_recorder, read_record

ATTEMPT = "Attempting to execute %s with administrator priviledges"
DECLINED = ("ERROR", "Failed to start with admin priviledges using ShellExecuteEx()")


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
        return "Z:" + backslashes(path) if WINDOWS else path

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
    def test_copy_receives_the_other_arguments_intact(self):
        self.env["RECORD_ARGS_FILE"] = self.hp(self.path("record.bin"))
        program = self.hp(place_recorder(self.path("my programs"), "record args"))
        run = self.run_helper("--elevate", "--sleep", "--ms", "100", "--ms", "20", "--launch", "--program", program,
                              "--args", "a  b\\")
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        self.assertEqual(this[:3], [("INFO", "Sleeping for 20 milliseconds"), ("INFO", "Sleep completed"),
                                    ("INFO", "Requires elevated privileges")])
        self.assertEqual(this[3:], [("INFO", ATTEMPT % self.own_path(EXE)), copy_started(run)])
        self.assertEqual(copy, [("INFO", "Sleeping for 20 milliseconds"), ("INFO", "Sleep completed"),
                                ("INFO", "Launching process. Program: %s, Args: a  b\\" % program)])
        self.assertEqual(read_record(self.path("record.bin"))[1][1:], ["a", "b\\"])

    def test_quoted_argument_ending_in_a_backslash_stays_one_argument(self):
        program = self.hp(self.path("no such folder")) + "\\"
        run = self.run_helper("--elevate", "--launch", "--program", program, "--args", "x")
        self.assertStatus(run, 0)  # the copy's own status is not read
        this, copy = by_process(run)
        self.assertEqual(copy, [("INFO", "Launching process. Program: %s, Args: x" % program),
                                ("ERROR", "The executable file doesn't exist: " + program)])

    def test_sleep_runs_in_both_processes(self):
        started = time.monotonic()
        run = self.run_helper("--sleep", "--ms", "300", "--elevate")
        self.assertGreaterEqual(time.monotonic() - started, 0.6)
        self.assertStatus(run, 0)
        sleep = [("INFO", "Sleeping for 300 milliseconds"), ("INFO", "Sleep completed")]
        this, copy = by_process(run)
        self.assertEqual(this, sleep + [("INFO", "Requires elevated privileges"), ("INFO", ATTEMPT % self.own_path(EXE)),
                                        copy_started(run)])
        self.assertEqual(copy, sleep)

    def test_elevate_runs_no_other_command_in_this_process(self):
        run = self.run_helper("--launch", "--elevate")
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        self.assertEqual([m for _, m in this],
                         ["Requires elevated privileges", ATTEMPT % self.own_path(EXE), copy_started(run)[1]])
        self.assertEqual(copy, [("ERROR", "Program path is required for launch command")])

    @unittest.skipIf(WINDOWS, "Wine always hands over the full path as argv[0]")
    def test_helper_started_by_bare_name_from_path(self):
        env = dict(self.env, PATH=os.path.dirname(EXE) + os.pathsep + self.env.get("PATH", ""))
        name = os.path.basename(EXE)
        run = self.run_from([name, "--sleep", "--ms", "1", "--elevate"], env=env)
        self.assertStatus(run, 0)
        this, copy = by_process(run)
        self.assertEqual(this[-2:], [("INFO", ATTEMPT % name), copy_started(run)])
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
                                         ("INFO", ATTEMPT % self.own_path(helper)), DECLINED])


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
                         sleep + ["Requires elevated privileges", ATTEMPT % EXE, copy_started(run)[1]])
        self.assertEqual([m for _, m in copy], sleep)

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
                                                     ("INFO", ATTEMPT % EXE), DECLINED])


if __name__ == "__main__":
    unittest.main()
