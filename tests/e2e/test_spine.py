"""Start-up, option parsing, dispatch, the log and the sleep command, end to end."""

import os
import shutil
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import EOL, WINDOWS, HelperTest


class StartUp(HelperTest):
    def test_no_arguments_creates_folder_and_empty_log(self):
        folder = os.path.dirname(self.log_path)
        shutil.rmtree(folder, ignore_errors=True)
        run = self.run_helper()
        self.assertStatus(run, 0)
        self.assertTrue(os.path.isdir(folder))
        self.assertEqual(os.path.getsize(self.log_path), 0)
        self.assertTrue(run.stdout.endswith(b"/vantrell/update-log.txt" + EOL), run.stdout)
        self.assertEqual(run.stdout.count(EOL), 1)
        self.assertEqual(run.stderr, b"")

    def test_log_path_uses_forward_slashes(self):
        run = self.run_helper()
        printed = run.stdout.decode().strip()
        self.assertNotIn("\\", printed)
        if not WINDOWS:
            self.assertEqual(printed, self.log_path)

    def test_log_grows_across_runs_with_each_process_id(self):
        first = self.run_helper("--sleep", "--ms", "0")
        second = self.run_helper("--sleep", "--ms", "1")
        with open(self.log_path, "rb") as f:
            self.assertEqual(f.read(), first.log_bytes + second.log_bytes)
        self.assertEqual(second.messages, ["Sleeping for 1 milliseconds", "Sleep completed"])
        self.assertEqual(len({pid for _, pid, _ in first.lines}), 1)
        self.assertNotEqual(first.lines[0][1], second.lines[0][1])

    def test_log_lines_also_go_to_standard_error(self):
        run = self.run_helper("--sleep", "--ms", "0")
        self.assertEqual(run.stderr, run.log_bytes)

    def test_log_folder_that_is_a_file_ends_the_run_with_status_5(self):
        folder = os.path.dirname(self.log_path)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        with open(folder, "w") as f:
            f.write("not a folder")
        self.addCleanup(os.remove, folder)
        run = self.run_helper("--sleep", "--ms", "0")
        self.assertStatus(run, 5)
        err = run.stderr.decode()
        self.assertRegex(err, r"^ERROR \(\d+\) Unable to create directory .*/vantrell GetLastError returned: 183\r?\n$")

    def test_log_file_that_cannot_be_opened_leaves_standard_error_only(self):
        os.makedirs(self.log_path)
        self.addCleanup(os.rmdir, self.log_path)
        run = self.run_helper("--sleep", "--ms", "0")
        self.assertStatus(run, 0)
        self.assertIn(b"Sleep completed", run.stderr)

    @unittest.skipIf(WINDOWS, "Wine follows a link when it opens a file")
    def test_link_planted_at_the_log_is_not_followed(self):
        outside = self.path("outside.txt")
        with open(outside, "wb") as f:
            f.write(b"keep")
        os.makedirs(os.path.dirname(self.log_path))
        os.symlink(outside, self.log_path)
        run = self.run_helper("--sleep", "--ms", "0")
        self.assertStatus(run, 0)
        self.assertIn(b"Sleep completed", run.stderr)
        with open(outside, "rb") as f:
            self.assertEqual(f.read(), b"keep")

    def test_link_planted_at_the_log_folder_is_refused(self):
        folder = os.path.dirname(self.log_path)
        shutil.rmtree(folder, ignore_errors=True)
        elsewhere = self.path("elsewhere")
        os.makedirs(elsewhere)
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        os.symlink(elsewhere, folder)
        self.addCleanup(os.remove, folder)
        run = self.run_helper("--sleep", "--ms", "0")
        self.assertStatus(run, 5)
        self.assertEqual(run.stdout, b"")
        self.assertRegex(run.stderr.decode(), r"^ERROR \(\d+\) Refusing the log folder, which is a link: "
                         r".*/vantrell GetLastError returned: 1921\r?\n$")
        self.assertEqual(os.listdir(elsewhere), [])

    @unittest.skipIf(WINDOWS, "each Wine start is serialised by its server")
    def test_helpers_started_together_both_make_the_log_folder(self):
        command = [os.environ["HELPER_EXE"], "--sleep", "--ms", "0"]
        for attempt in range(20):
            env = dict(self.env, XDG_DATA_HOME=self.path("race%d" % attempt))
            os.makedirs(env["XDG_DATA_HOME"])
            procs = [subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                     for _ in range(4)]
            for proc in procs:
                _, err = proc.communicate(timeout=30)
                self.assertEqual(proc.returncode, 0, err)

    @unittest.skipIf(WINDOWS, "the per-user folder always exists under Wine")
    def test_no_per_user_folder_ends_the_run_with_status_5(self):
        env = {k: v for k, v in self.env.items() if k not in ("HOME", "XDG_DATA_HOME")}
        run = self.run_helper("--sleep", "--ms", "0", env=env)
        self.assertStatus(run, 5)
        self.assertRegex(run.stderr.decode(),
                         r"^ERROR \(\d+\) Unable to find the per-user local application data folder\n$")
        self.assertEqual(run.stdout, b"")


class Sleep(HelperTest):
    def test_sleep_cases(self):
        cases = [
            (["--sleep", "--ms", "200"], ["Sleeping for 200 milliseconds", "Sleep completed"], 0.2),
            (["--ms", "200", "--sleep"], ["Sleeping for 200 milliseconds", "Sleep completed"], 0.2),
            (["--sleep", "--ms=150"], ["Sleeping for 150 milliseconds", "Sleep completed"], 0.15),
            (["--sleep", "--ms", "abc"], ["Sleeping for 0 milliseconds", "Sleep completed"], 0),
            (["--sleep", "--ms", " 30x"], ["Sleeping for 30 milliseconds", "Sleep completed"], 0.03),
            (["--sleep", "--ms", "-5"], ["Sleeping for -5 milliseconds", "Sleep completed"], 0),
            (["--sleep", "--ms", "-1"], ["Sleeping for -1 milliseconds", "Sleep completed"], 0),
            (["--sleep", "--ms", "-99999999999"], ["Sleeping for -2147483648 milliseconds", "Sleep completed"], 0),
            (["--sleep", "--ms", ""], ["Sleeping for 0 milliseconds", "Sleep completed"], 0),
            (["--sleep", "--sleep", "--ms", "1"], ["Sleeping for 1 milliseconds", "Sleep completed"], 0),
        ]
        for args, messages, at_least in cases:
            with self.subTest(args=args):
                started = time.monotonic()
                run = self.run_helper(*args)
                elapsed = time.monotonic() - started
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [("INFO", m) for m in messages])
                self.assertGreaterEqual(elapsed, at_least)

    def test_sleep_without_ms_ends_the_run_with_status_1(self):
        for args in (["--sleep"], ["--sleep", "--ms"], ["--sleep", "-ms", "5"]):
            with self.subTest(args=args):
                run = self.run_helper(*args)
                self.assertStatus(run, 1)
                self.assertEqual(run.leveled(), [("ERROR", "Sleep time in milliseconds is required for sleep command")])

    def test_huge_sleep_is_clamped(self):
        command = (["wine"] if WINDOWS else []) + [os.environ["HELPER_EXE"], "--sleep", "--ms", "99999999999"]
        proc = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 20
            content = b""
            while time.monotonic() < deadline and b"milliseconds" not in content:
                time.sleep(0.05)
                if os.path.exists(self.log_path):
                    with open(self.log_path, "rb") as f:
                        content = f.read()
            self.assertIn(b"Sleeping for 2147483647 milliseconds" + EOL, content)
            self.assertIsNone(proc.poll())
        finally:
            proc.kill()
            proc.wait()


class Arguments(HelperTest):
    def test_ignored_arguments_run_nothing(self):
        cases = [
            ["--ms", "500"],
            ["--bogus"],
            ["--bogus", "--sleep-ms"],
            ["-sleep", "-ms", "5"],
            ["plain", "words"],
            ["--", "--=5", "-", ""],
            ["--Sleep", "--ms", "1"],
            ["--sle", "--ms", "1"],
            ["--ms", "--sleep"],
            ["--unknown=1", "--\u00fcber", "\u5f20\u4f1f"],
        ]
        for args in cases:
            with self.subTest(args=args):
                run = self.run_helper(*args)
                self.assertStatus(run, 0)
                self.assertEqual(run.log_bytes, b"")

    def test_flag_with_text_after_equals_is_set(self):
        run = self.run_helper("--sleep=no", "--ms=0")
        self.assertStatus(run, 0)
        self.assertEqual(run.messages, ["Sleeping for 0 milliseconds", "Sleep completed"])

    def test_later_value_wins(self):
        run = self.run_helper("--sleep", "--ms", "100", "--ms", "2")
        self.assertEqual(run.messages[0], "Sleeping for 2 milliseconds")


@unittest.skipIf(WINDOWS, "Wine itself tears concurrent appends; Windows and Linux do not")
class ConcurrentRuns(HelperTest):
    def test_parallel_runs_lose_and_tear_no_line(self):
        runs_per_worker, workers = 40, 6
        command = [os.environ["HELPER_EXE"], "--sleep", "--ms", "0"]

        def worker(_):
            for _ in range(runs_per_worker):
                subprocess.run(command, env=self.env, capture_output=True, check=True)

        os.makedirs(os.path.dirname(self.log_path), exist_ok=True)
        with ThreadPoolExecutor(workers) as pool:
            list(pool.map(worker, range(workers)))
        with open(self.log_path, "rb") as f:
            log = f.read()
        self.check_log_shape(log)
        lines = log.split(b"\n")[:-1]
        self.assertEqual(len(lines), 2 * runs_per_worker * workers)


if __name__ == "__main__":
    unittest.main()
