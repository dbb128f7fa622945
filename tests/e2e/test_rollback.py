"""An update on probation: the new version is watched after its launch, and
one that fails at start is swapped back for the kept previous version, which
is started once more. The app is probe_app, whose archive's first line says
how it behaves; it records each start (that line and the time) so a test can
tell which version ran, in which order, and how long the swap back took."""

import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

from harness import EXE, WINDOWS, HelperTest

PROBE = os.environ.get("PROBE_APP_EXE", "")
WARN_FAILED = "The updated program ended with exit status %d before it was healthy; rolling back %s"
ROLLED_BACK = "Rolled back %s to the previous version"
KEPT = ("app.asar.vantrell-previous", "app.asar.vantrell-unpacked-previous")


class RollbackTest(HelperTest):
    def setUp(self):
        super().setUp()
        self.app = self.path("app")
        os.makedirs(os.path.join(self.app, "app.asar.unpacked"))
        self.asar = os.path.join(self.app, "app.asar")
        self.old = b"exit 0\nthe old version\n"
        self.write(self.asar, self.old)
        self.write(os.path.join(self.app, "app.asar.unpacked", "native.node"), b"old module")
        self.program = os.path.join(self.scratch, "probe_app" + (".exe" if WINDOWS else ""))
        shutil.copy2(PROBE, self.program)
        self.record = self.path("record.txt")
        self.mark = self.path("marks", "healthy")
        os.makedirs(os.path.dirname(self.mark))

    @staticmethod
    def write(path, data):
        with open(path, "wb") as f:
            f.write(data)

    @staticmethod
    def read(path):
        with open(path, "rb") as f:
            return f.read()

    def stage_update(self, first_line):
        """The update archive, whose first line is how the new version behaves."""
        update = self.path("download", "update.asar")
        os.makedirs(os.path.join(update + ".unpacked"), exist_ok=True)
        self.write(update, first_line.encode() + b"\nthe new version\n")
        self.write(os.path.join(update + ".unpacked", "native.node"), b"new module")
        return update

    def helper_args(self, update, probation_ms, *extra, mark=True):
        args = ["--appAsar", self.hp(self.asar), "--launch", "--program", self.hp(self.program),
                "--args", "%s %s" % (self.hp(self.asar), self.hp(self.record)), "--probation", str(probation_ms)]
        if update is not None:
            args = ["--update", "--updateAsar", self.hp(update)] + args
        if mark:
            args += ["--healthyMark", self.hp(self.mark)]
        return args + list(extra)

    def starts(self, count, timeout=20.0):
        """The first lines of the versions started, once `count` have started
        (and a moment more, for any later one); with their times in µs."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.record) and self.read(self.record).count(b"\n") >= count:
                break
            time.sleep(0.02)
        time.sleep(0.5)
        if not os.path.exists(self.record):
            return []
        return [(line.rsplit(b"|", 1)[0].decode(), int(line.rsplit(b"|", 1)[1]))
                for line in self.read(self.record).splitlines()]

    def assertPair(self, archive, module):
        self.assertEqual(self.read(self.asar), archive)
        self.assertEqual(self.read(os.path.join(self.app, "app.asar.unpacked", "native.node")), module)

    def assertNothingKept(self):
        self.assertEqual(sorted(os.listdir(self.app)), ["app.asar", "app.asar.unpacked"])


class FailingVersion(RollbackTest):
    def test_a_version_that_fails_at_start_is_rolled_back_and_the_old_one_started(self):
        cases = [
            # the new version's first line, the status the helper reports for it
            ("exit 1", 1),
            ("exit 255", 255),
            # natively a signal's end as shells report it; on Windows the
            # status of an access violation, all 32 bits
            ("crash", 0xC0000005 if WINDOWS else 128 + signal.SIGSEGV),
        ]
        for first_line, status in cases:
            with self.subTest(first_line=first_line):
                if os.path.exists(self.record):
                    os.remove(self.record)
                run = self.run_helper(*self.helper_args(self.stage_update(first_line), 5000))
                self.assertStatus(run, 7)
                self.assertPair(self.old, b"old module")
                self.assertNothingKept()
                started = self.starts(2)
                self.assertEqual([line for line, _ in started], [first_line, "exit 0"])
                messages = run.messages
                warn = WARN_FAILED % (status, self.hp(self.asar))
                self.assertIn(("WARN", warn), run.leveled())
                self.assertIn(("INFO", ROLLED_BACK % self.hp(self.asar)), run.leveled())
                self.assertLess(messages.index(warn), messages.index(ROLLED_BACK % self.hp(self.asar)))
                self.assertEqual(sum(1 for m in messages if m.startswith("Launching process.")), 1)
                sys.stderr.write("%s: from the new version's start to the old one's: %.1f ms\n"
                                 % (first_line, (started[1][1] - started[0][1]) / 1000.0))

    def test_a_mark_left_from_before_does_not_vouch_for_the_new_version(self):
        self.write(self.mark, b"")
        run = self.run_helper(*self.helper_args(self.stage_update("exit 3"), 5000))
        self.assertStatus(run, 7)
        self.assertPair(self.old, b"old module")
        self.assertFalse(os.path.exists(self.mark))

    def test_a_mark_made_before_failing_counts_as_healthy(self):
        run = self.run_helper(*self.helper_args(self.stage_update("mark %s 1" % self.hp(self.mark)), 5000))
        self.assertStatus(run, 0)
        self.assertPair(b"mark %s 1\nthe new version\n" % self.hp(self.mark).encode(), b"new module")


class HealthyVersion(RollbackTest):
    def test_a_healthy_version_stays_and_the_kept_pair_goes(self):
        mark = self.hp(self.mark)
        cases = [
            # first line, probation, healthy because
            ("mark %s 0" % mark, 5000, "The updated program made its healthy mark"),
            ("exit 0", 5000, "The updated program ended with exit status 0"),
            ("run 3000", 500, "The updated program still runs after 500 ms"),
        ]
        for first_line, probation, because in cases:
            with self.subTest(first_line=first_line):
                if os.path.exists(self.record):
                    os.remove(self.record)
                update = self.stage_update(first_line)
                data = self.read(update)
                run = self.run_helper(*self.helper_args(update, probation))
                self.assertStatus(run, 0)
                self.assertIn(("INFO", because), run.leveled())
                self.assertPair(data, b"new module")
                self.assertNothingKept()
                self.assertEqual([line for line, _ in self.starts(1)], [first_line])
                self.assertFalse(any(level == "WARN" for level, _ in run.leveled()), run.messages)
                # The next update starts from the new version.
                self.write(self.asar, self.old)
                self.write(os.path.join(self.app, "app.asar.unpacked", "native.node"), b"old module")

    def test_without_an_update_probation_changes_nothing(self):
        self.write(self.asar, b"exit 1\n")
        run = self.run_helper(*self.helper_args(None, 2000))
        self.assertStatus(run, 0)
        self.assertEqual([line for line, _ in self.starts(1)], ["exit 1"])
        self.assertEqual(self.read(self.asar), b"exit 1\n")
        self.assertNotIn("rolling back", " ".join(run.messages))

    def test_a_failed_update_is_not_watched(self):
        update = self.stage_update("exit 1")
        run = self.run_helper(*self.helper_args(update, 2000, "--sha512", "00" * 64))
        self.assertStatus(run, 2)
        self.assertEqual(self.starts(0, timeout=0.5), [])
        self.assertPair(self.old, b"old module")
        self.assertNothingKept()


class KeptPair(RollbackTest):
    def test_leftovers_of_ours_at_the_kept_names_are_replaced(self):
        self.write(os.path.join(self.app, KEPT[0]), b"left by a killed watcher")
        os.makedirs(os.path.join(self.app, KEPT[1], "deep"))
        run = self.run_helper(*self.helper_args(self.stage_update("exit 1"), 5000))
        self.assertStatus(run, 7)
        self.assertPair(self.old, b"old module")
        self.assertNothingKept()

    @unittest.skipIf(WINDOWS, "Wine cannot make a link; the listing's kinds are the same code on both builds")
    def test_a_link_at_a_kept_name_is_neither_replaced_nor_followed(self):
        outside = self.path("outside")
        os.makedirs(outside)
        self.write(os.path.join(outside, "secret"), b"not ours")
        for kept in KEPT:
            with self.subTest(kept=kept):
                link = os.path.join(self.app, kept)
                os.symlink(outside if kept.endswith("unpacked-previous") else os.path.join(outside, "secret"), link)
                run = self.run_helper(*self.helper_args(self.stage_update("exit 1"), 5000))
                self.assertStatus(run, 5)
                self.assertPair(self.old, b"old module")
                self.assertEqual(self.starts(0, timeout=0.3), [])
                self.assertTrue(os.path.islink(link))
                self.assertEqual(os.listdir(outside), ["secret"])
                os.remove(link)

    @unittest.skipIf(WINDOWS, "the new version swaps the kept archive for a link, which Wine cannot make")
    def test_a_kept_pair_made_wrong_meanwhile_is_refused_and_the_new_pair_stays(self):
        # The new version itself plays the user who may write the folder.
        kept = os.path.join(self.app, KEPT[0])
        script = self.path("plant.sh")
        self.write(script, ("#!/bin/sh\nrm -f '%s'\nln -s /etc/hostname '%s'\nexit 1\n" % (kept, kept)).encode())
        os.chmod(script, 0o755)
        self.program = script
        update = self.stage_update("exit 1")
        data = self.read(update)
        run = self.run_helper(*self.helper_args(update, 5000))
        self.assertStatus(run, 5)
        self.assertPair(data, b"new module")
        self.assertTrue(os.path.islink(kept))
        self.assertTrue(any(level == "ERROR" and "nothing was rolled back" in m for level, m in run.leveled()))


class Kills(RollbackTest):
    def test_a_watcher_killed_during_probation_leaves_the_new_pair_and_repair_drops_the_kept_one(self):
        update = self.stage_update("run 4000")
        data = self.read(update)
        command = (["wine", EXE] if WINDOWS else [EXE]) + self.helper_args(update, 3000)
        proc = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(len(self.starts(1)), 1)
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=20)
        self.assertPair(data, b"new module")
        self.assertTrue(os.path.exists(os.path.join(self.app, KEPT[0])))
        self.assertStatus(self.run_helper("--repair", "--appAsar", self.hp(self.asar)), 0)
        self.assertPair(data, b"new module")
        self.assertNothingKept()


    def test_a_helper_killed_while_it_swaps_back_is_repaired_to_a_whole_pair(self):
        # Killed at moments from the new version's start on: before, during
        # and after the swap back (every call of it is a kill point in the
        # unit tests; here the real binary is killed).
        outcomes = []
        for delay_ms in (0, 1, 2, 3, 4, 5, 6, 8, 10, 15, 20, 40):
            with self.subTest(delay_ms=delay_ms):
                if os.path.exists(self.record):
                    os.remove(self.record)
                update = self.stage_update("exit 1")
                new = self.read(update)
                command = (["wine", EXE] if WINDOWS else [EXE]) + self.helper_args(update, 5000)
                proc = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 20
                while not os.path.exists(self.record) and time.monotonic() < deadline and proc.poll() is None:
                    time.sleep(0.0005)
                time.sleep(delay_ms / 1000.0)
                proc.send_signal(signal.SIGKILL)
                proc.wait(timeout=20)
                self.assertStatus(self.run_helper("--repair", "--appAsar", self.hp(self.asar)), 0)
                module = self.read(os.path.join(self.app, "app.asar.unpacked", "native.node"))
                archive = self.read(self.asar)
                self.assertIn((archive, module), [(self.old, b"old module"), (new, b"new module")])
                self.assertNothingKept()
                outcomes.append("old" if archive == self.old else "new")
                self.write(self.asar, self.old)
                self.write(os.path.join(self.app, "app.asar.unpacked", "native.node"), b"old module")
        sys.stderr.write("killed while swapping back, then repaired: %s\n" % " ".join(outcomes))

@unittest.skipIf(WINDOWS, "Wine's token is already elevated: no swap back is ever refused there")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to become an ordinary user")
class Elevated(RollbackTest):
    """An ordinary user updates an app in a folder only root may write, with
    --elevate. The stand-in pkexec is a set-user-id copy of setpriv: it runs
    the copy with root's rights, as the real one does once the user agrees."""

    ATTEMPT = "Attempting to execute %s with administrator priviledges" % EXE

    def setUp(self):
        super().setUp()
        for folder in (self.scratch, self.env["XDG_DATA_HOME"], self.env["TMPDIR"], os.path.dirname(self.mark)):
            os.makedirs(folder, exist_ok=True)
            os.chmod(folder, 0o777)
        for folder in (self.app, os.path.join(self.app, "app.asar.unpacked")):
            os.chmod(folder, 0o755)
        self.bin = self.path("bin")
        os.mkdir(self.bin)
        os.chmod(self.bin, 0o755)
        shutil.copy2(shutil.which("setpriv"), os.path.join(self.bin, "pkexec"))
        os.chmod(os.path.join(self.bin, "pkexec"), 0o4755)

    def run_as_user(self, update, first_line):
        env = dict(self.env, PATH=self.bin + ":/usr/bin:/bin")
        os.chmod(os.path.dirname(update), 0o755)
        return self.run_helper(*self.helper_args(update, 5000, "--elevate"), env=env,
                               prefix=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"])

    def test_only_a_rollback_that_needs_the_rights_asks_for_them_again(self):
        mark = self.hp(self.mark)
        cases = [
            # the new version, prompts, status, the pair in place, the kept pair left
            ("exit 1", 2, 7, "old", False),
            ("mark %s 0" % mark, 1, 0, "new", True),
        ]
        for first_line, prompts, status, pair, kept in cases:
            with self.subTest(first_line=first_line):
                update = self.stage_update(first_line)
                new = self.read(update)
                run = self.run_as_user(update, first_line)
                self.assertStatus(run, status)
                self.assertEqual(run.messages.count(self.ATTEMPT), prompts)
                if pair == "old":
                    self.assertPair(self.old, b"old module")
                    self.assertIn(("INFO", ROLLED_BACK % self.asar), run.leveled())
                    started = self.starts(2)
                    self.assertEqual([line for line, _ in started], [first_line, "exit 0"])
                    sys.stderr.write("elevated: from the new version's start to the old one's: %.1f ms\n"
                                     % ((started[1][1] - started[0][1]) / 1000.0))
                else:
                    self.assertPair(new, b"new module")
                # An unelevated process may not remove the kept pair: the next
                # repair does.
                self.assertEqual(os.path.exists(os.path.join(self.app, KEPT[0])), kept)
                self.assertStatus(self.run_helper("--repair", "--appAsar", self.asar), 0)
                self.assertNothingKept()
                self.write(self.asar, self.old)
                self.write(os.path.join(self.app, "app.asar.unpacked", "native.node"), b"old module")
                if os.path.exists(self.record):
                    os.remove(self.record)


if __name__ == "__main__":
    unittest.main()
