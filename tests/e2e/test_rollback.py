"""An update on probation: the new version is watched after its launch, and
one that fails at start is swapped back for the kept previous version, which
is started once more. The app is probe_app: its archive's first line says how
it behaves, and it records each start (that line and the time)."""

import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

from harness import EXE, WINDOWS, HelperTest
from test_update import read, write

PROBE = os.environ.get("PROBE_APP_EXE", "")
WARN_FAILED = "The updated program ended with exit status %d before it was healthy; rolling back %s"
ROLLED_BACK = "Rolled back %s to the previous version"
KEPT = ("app.asar.vantrell-previous", "app.asar.vantrell-unpacked-previous")
OLD = b"exit 0\nthe old version\n"


def kept_link_plants(outside, kept, kind="-s"):
    """A new version that plays the user who may write the app's folder: it
    swaps the kept archive for a link (`kind` "-s") or a second name of a
    file outside (""), then fails."""
    return "#!/bin/sh\nrm -f '%s'\nln %s '%s/secret' '%s'\nexit 1\n" % (kept, kind, outside, kept)


class RollbackTest(HelperTest):
    def setUp(self):
        super().setUp()
        self.app, self.record, self.mark = self.path("app"), self.path("record.txt"), self.path("marks", "healthy")
        self.asar = os.path.join(self.app, "app.asar")
        self.module = os.path.join(self.app, "app.asar.unpacked", "native.node")
        os.makedirs(os.path.dirname(self.module))
        os.makedirs(os.path.dirname(self.mark))
        self.program = os.path.join(self.scratch, "probe_app" + (".exe" if WINDOWS else ""))
        shutil.copy2(PROBE, self.program)
        self.reset()

    def reset(self):
        write(self.asar, OLD)
        write(self.module, b"old module")
        if os.path.exists(self.record):
            os.remove(self.record)

    def stage_update(self, first_line):
        """The update archive, whose first line is how the new version behaves."""
        update = self.path("download", "update.asar")
        os.makedirs(update + ".unpacked", exist_ok=True)
        self.new = first_line.encode() + b"\nthe new version\n"
        write(update, self.new)
        write(os.path.join(update + ".unpacked", "native.node"), b"new module")
        return update

    def helper_args(self, update, probation_ms, *extra):
        args = ["--appAsar", self.hp(self.asar), "--launch", "--program", self.hp(self.program), "--args",
                "%s %s" % (self.hp(self.asar), self.hp(self.record)), "--probation", str(probation_ms),
                "--healthyMark", self.hp(self.mark)]
        return (["--update", "--updateAsar", self.hp(update)] if update else []) + args + list(extra)

    def starts(self, count, timeout=20.0):
        """(first line, time in µs) of the versions started, once `count` have
        (and half a second more, for any later one)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and not (
                os.path.exists(self.record) and read(self.record).count(b"\n") >= count):
            time.sleep(0.02)
        time.sleep(0.5)
        lines = read(self.record).splitlines() if os.path.exists(self.record) else []
        return [(line.rsplit(b"|", 1)[0].decode(), int(line.rsplit(b"|", 1)[1])) for line in lines]

    def pair(self):
        """"old" or "new" for a whole pair in place."""
        pairs = {(OLD, b"old module"): "old", (self.new, b"new module"): "new"}
        return pairs.get((read(self.asar), read(self.module)), "mixed")

    def assertNothingKept(self):
        self.assertEqual(sorted(os.listdir(self.app)), ["app.asar", "app.asar.unpacked"])

    def report_delay(self, what, started):
        sys.stderr.write("%s: from the new version's start to the old one's: %.1f ms\n"
                         % (what, (started[1][1] - started[0][1]) / 1000.0))


class Probation(RollbackTest):
    def test_a_version_that_fails_at_start_is_rolled_back_and_the_old_one_started(self):
        cases = [
            # the new version's first line, the status the helper reports, left before the run
            ("exit 1", 1, None),
            ("exit 255", 255, None),
            # natively a signal's end as shells report it; on Windows an
            # access violation's status, all 32 bits
            ("crash", 0xC0000005 if WINDOWS else 128 + signal.SIGSEGV, None),
            # a mark left from before vouches for nothing
            ("exit 3", 3, "mark"),
            # a kept pair of ours left by a killed watcher is replaced
            ("exit 4", 4, "kept"),
            # an installation without an unpacked folder gets back an empty one
            ("exit 5", 5, "no folder"),
        ]
        for first_line, status, left in cases:
            with self.subTest(first_line=first_line):
                self.reset()
                if left == "mark":
                    write(self.mark, b"")
                elif left == "kept":
                    write(os.path.join(self.app, KEPT[0]), b"left by a killed watcher")
                    os.makedirs(os.path.join(self.app, KEPT[1], "deep"))
                elif left == "no folder":
                    shutil.rmtree(os.path.dirname(self.module))
                # Ample: a failing version ends the watch at once, however
                # slowly a loaded machine starts it.
                run = self.run_helper(*self.helper_args(self.stage_update(first_line), 30000))
                self.assertStatus(run, 7)
                if left == "no folder":
                    self.assertEqual((read(self.asar), os.listdir(os.path.dirname(self.module))), (OLD, []))
                    os.makedirs(os.path.dirname(self.module), exist_ok=True)
                else:
                    self.assertEqual(self.pair(), "old")
                self.assertNothingKept()
                started = self.starts(2)
                self.assertEqual([line for line, _ in started], [first_line, "exit 0"])
                warn, info = WARN_FAILED % (status, self.hp(self.asar)), ROLLED_BACK % self.hp(self.asar)
                self.assertLess(run.leveled().index(("WARN", warn)), run.leveled().index(("INFO", info)))
                self.assertEqual(sum(1 for m in run.messages if m.startswith("Launching process.")), 1)
                self.report_delay(first_line, started)

    def test_a_healthy_version_stays_and_the_kept_pair_goes(self):
        mark = self.hp(self.mark)
        cases = [
            # first line, probation, why it counts as healthy
            ("mark %s 0" % mark, 30000, "The updated program made its healthy mark"),
            ("mark %s 1" % mark, 30000, "The updated program made its healthy mark"),  # failing after its mark
            ("exit 0", 30000, "The updated program ended with exit status 0"),
            ("run 3000", 500, "The updated program still runs after 500 ms"),
        ]
        for first_line, probation, because in cases:
            with self.subTest(first_line=first_line):
                self.reset()
                run = self.run_helper(*self.helper_args(self.stage_update(first_line), probation))
                self.assertStatus(run, 0)
                self.assertIn(("INFO", because), run.leveled())
                self.assertEqual(self.pair(), "new")
                self.assertNothingKept()
                self.assertEqual([line for line, _ in self.starts(1)], [first_line])
                self.assertNotIn("WARN", [level for level, _ in run.leveled()])

    def test_nothing_is_watched_without_an_update_that_was_done(self):
        for update, status in ((None, 0), (self.stage_update("exit 1"), 2)):  # none, or one refused
            with self.subTest(update=update):
                self.reset()
                write(self.asar, b"exit 1\n" if update is None else OLD)
                run = self.run_helper(*self.helper_args(update, 2000, "--sha512", "00" * 64))
                self.assertStatus(run, status)
                self.assertEqual(len(self.starts(1 - status // 2, timeout=2)), 1 - status // 2)
                self.assertNotIn("rolling back", " ".join(run.messages))
                self.assertNothingKept()


class KeptPair(RollbackTest):
    @unittest.skipIf(WINDOWS, "Wine cannot make a link")
    def test_a_link_at_a_kept_name_is_neither_replaced_nor_followed(self):
        outside = self.path("outside")
        os.makedirs(outside)
        write(os.path.join(outside, "secret"), b"not ours")
        plants = {}
        for kind in ("-s", ""):
            plants[kind] = self.path("plant%s.sh" % kind)
            write(plants[kind], kept_link_plants(outside, os.path.join(self.app, KEPT[0]), kind).encode())
            os.chmod(plants[kind], 0o755)
        cases = [
            # a link planted before the update (at either name), or after it;
            # a hard link after it
            (KEPT[0], None, "old"),
            (KEPT[1], None, "old"),
            (None, plants["-s"], "new"),
            (None, plants[""], "new"),
        ]
        for planted, program, pair in cases:
            with self.subTest(planted=planted, program=program):
                self.reset()
                if planted:
                    os.symlink(outside if planted == KEPT[1] else os.path.join(outside, "secret"),
                               os.path.join(self.app, planted))
                self.program = program or self.program
                run = self.run_helper(*self.helper_args(self.stage_update("exit 1"), 5000))
                self.assertStatus(run, 5)
                self.assertEqual(self.pair(), pair)
                left = os.path.join(self.app, planted or KEPT[0])
                self.assertTrue(os.path.islink(left) or os.stat(left).st_nlink == 2)
                self.assertEqual(os.listdir(outside), ["secret"])
                self.assertEqual(read(os.path.join(outside, "secret")), b"not ours")
                self.assertIn("ERROR", [level for level, _ in run.leveled()])
                os.remove(os.path.join(self.app, planted or KEPT[0]))


class Kills(RollbackTest):
    def test_a_helper_killed_while_watching_or_swapping_back_is_repaired_to_a_whole_pair(self):
        # Killed at moments from the new version's start on: while it is
        # watched, and before, during and after the swap back.
        outcomes = []
        cases = [("run 4000", 300, "new")] + [("exit 1", ms, None) for ms in (0, 1, 2, 3, 4, 5, 6, 8, 10, 20, 40)]
        for first_line, delay_ms, expected in cases:
            with self.subTest(first_line=first_line, delay_ms=delay_ms):
                self.reset()
                command = (["wine", EXE] if WINDOWS else [EXE]) + self.helper_args(self.stage_update(first_line),
                                                                                   3000)
                proc = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 20
                while not os.path.exists(self.record) and time.monotonic() < deadline and proc.poll() is None:
                    time.sleep(0.0005)
                time.sleep(delay_ms / 1000.0)
                proc.send_signal(signal.SIGKILL)
                proc.wait(timeout=20)
                self.assertStatus(self.run_helper("--repair", "--appAsar", self.hp(self.asar)), 0)
                self.assertIn(self.pair(), [expected] if expected else ["old", "new"])
                self.assertNothingKept()
                outcomes.append(self.pair())
        sys.stderr.write("killed, then repaired: %s\n" % " ".join(outcomes))


@unittest.skipIf(WINDOWS, "Wine's token is already elevated: no swap back is ever refused there")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root to become an ordinary user")
class Elevated(RollbackTest):
    """An ordinary user updates an app in a folder only root may write; the
    stand-in pkexec, a set-user-id copy of setpriv, runs the copy as root."""

    def test_only_a_rollback_that_needs_the_rights_asks_for_them_again(self):
        for folder in (self.scratch, self.env["XDG_DATA_HOME"], self.env["TMPDIR"], os.path.dirname(self.mark)):
            os.makedirs(folder, exist_ok=True)
            os.chmod(folder, 0o777)
        pkexec = self.path("bin", "pkexec")
        os.makedirs(os.path.dirname(pkexec), mode=0o755)
        shutil.copy2(shutil.which("setpriv"), pkexec)
        os.chmod(pkexec, 0o4755)
        env = dict(self.env, PATH=os.path.dirname(pkexec) + ":/usr/bin:/bin")
        attempt = "Attempting to execute %s with administrator priviledges" % EXE
        cases = [
            # the new version, prompts, status, the pair in place, a kept pair left
            ("exit 1", 2, 7, "old", False),
            ("mark %s 0" % self.mark, 1, 0, "new", True),
        ]
        for first_line, prompts, status, pair, kept in cases:
            with self.subTest(first_line=first_line):
                self.reset()
                update = self.stage_update(first_line)
                os.chmod(os.path.dirname(update), 0o755)
                run = self.run_helper(*self.helper_args(update, 30000, "--elevate"), env=env,
                                      prefix=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"])
                self.assertStatus(run, status)
                self.assertEqual(run.messages.count(attempt), prompts)
                self.assertNotIn("ERROR", [level for level, _ in run.leveled()])
                self.assertEqual(self.pair(), pair)
                if pair == "old":
                    self.assertIn(("INFO", ROLLED_BACK % self.asar), run.leveled())
                    self.report_delay("elevated", self.starts(2))
                # The unelevated process may not remove the kept pair: the next repair does.
                self.assertEqual(os.path.exists(os.path.join(self.app, KEPT[0])), kept)
                self.assertStatus(self.run_helper("--repair", "--appAsar", self.asar), 0)
                self.assertNothingKept()


if __name__ == "__main__":
    unittest.main()
