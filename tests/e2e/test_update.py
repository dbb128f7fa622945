"""The update command end to end: the archive replaced through a partial copy,
the update archive removed or parked, and every failure ending the run in
order with the archive as it was; waiting for the app and for files in use;
planted links, the path limit and, natively, streams and special files."""

import os
import random
import shutil
import stat
import subprocess
import time
import unittest

from harness import EXE, GIVE_UP_MS, LET_GO_MS, OUTLAST_MS, WINDOWS, HelperTest, wait_limit

# A staged archive's name, as a killed run leaves it.
STAGED = ".vantrell-new-0123456789abcdef"
HOLD = os.environ.get("HOLD_FILE_EXE", "")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def payload(size, seed):
    return random.Random(seed).randbytes(size)


def chattr(flag, path):
    """True when the immutable attribute could be set or cleared."""
    return shutil.which("chattr") is not None and subprocess.run(
        ["chattr", flag, path], capture_output=True).returncode == 0


def wine_temp_folder():
    """The temporary folder under Wine: (as the helper sees it, as Linux sees it)."""
    out = subprocess.run(["wine", "cmd", "/c", "echo", "%TEMP%"], capture_output=True, text=True,
                         check=True).stdout.strip()
    unix = subprocess.run(["winepath", "-u", out], capture_output=True, text=True, check=True).stdout.strip()
    return out.replace("\\", "/"), unix


class UpdateTest(HelperTest):
    def setUp(self):
        super().setUp()
        self.app = self.path("app", "app.asar")
        self.upd = self.path("download", "update.asar")
        os.makedirs(os.path.dirname(self.app))
        os.makedirs(os.path.dirname(self.upd))

    def update(self, *extra, app=None, upd=None, wait=None):
        args = ["--update"]
        if wait is not None:
            args += ["--wait", wait]
        for option, path in (("--appAsar", self.app if app is None else app),
                             ("--updateAsar", self.upd if upd is None else upd)):
            args += [option, self.hp(path) if path else ""]
        return self.run_helper(*(args + list(extra)))

    def started(self, pid=0, app=None, upd=None):
        return ("INFO", "started updater. waitPid: %d, appAsar: %s, updateAsar: %s"
                % (pid, app if app is not None else self.hp(self.app), upd if upd is not None else self.hp(self.upd)))

    def assertNoPartial(self, folder):
        self.assertEqual([n for n in os.listdir(folder) if ".vantrell-" in n or n.startswith("~vt")], [])

    def hold(self, ms, path=None, share=None, look=None):
        """Starts hold_file (the app, or a scanner, holding `path` open with the
        share letters `share`) and returns it and its process id, once it holds."""
        pidfile = self.path("holder-%d.pid" % random.randrange(1 << 30))
        args = [HOLD, self.hp(pidfile), str(ms)] + ([self.hp(path), share] if path else [])
        args += [self.hp(look)] if look else []
        proc = subprocess.Popen((["wine"] if WINDOWS else []) + args, env=self.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 30
        while not os.path.exists(pidfile):
            self.assertIsNone(proc.poll(), "the holder ended early")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        return proc, int(read(pidfile))

    def in_use(self, path, code, budget_ms):
        return ("WARN", "File %s is in use (error %d); trying again for up to %d ms" % (self.hp(path), code, budget_ms))


class Replace(UpdateTest):
    def test_archive_replaced_byte_for_byte_and_update_removed(self):
        cases = [
            ("existing archive", b"old archive" * 1000, payload(3 * 1024 * 1024 + 17, 1)),
            ("missing archive is created", None, payload(4096, 2)),
            ("empty update", b"old", b""),
            ("larger than one chunk", b"", payload(9 * 1024 * 1024 + 1, 3)),
        ]
        for name, old, new in cases:
            with self.subTest(name):
                if old is None:
                    if os.path.exists(self.app):
                        os.remove(self.app)
                else:
                    write(self.app, old)
                write(self.upd, new)
                run = self.update()
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [self.started(), ("INFO", "Update finished")])
                self.assertEqual(read(self.app), new)
                self.assertFalse(os.path.exists(self.upd))
                self.assertEqual(os.listdir(os.path.dirname(self.app)), ["app.asar"])

    def test_leftover_of_a_killed_run_is_cleared(self):
        write(self.app, b"old")
        write(self.app + STAGED, payload(100000, 4))
        new = payload(5000, 5)
        write(self.upd, new)
        run = self.update()
        self.assertStatus(run, 0)
        self.assertEqual(read(self.app), new)
        self.assertEqual(os.listdir(os.path.dirname(self.app)), ["app.asar"])

    def test_wait_is_read_as_64_bits_and_logged_as_its_low_32(self):
        # Every id here names no process (above the largest Linux pid, not a
        # Windows pid), so nothing is waited for.
        cases = [
            (None, 0),
            ("99999942", 99999942),
            ("99999942abc", 99999942),
            ("abc", 0),
            ("", 0),
            ("-1", 4294967295),
            ("  +99999907", 99999907),
            ("4294967296", 0),
            ("4394967338", 100000042),
            ("-4194967295", 100000001),
            ("99999999999999999999", 4294967295),  # clamped to 2^63-1
            ("-99999999999999999999", 0),  # clamped to -2^63
        ]
        for text, pid in cases:
            with self.subTest(wait=text):
                write(self.upd, b"new")
                run = self.update(wait=text)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [self.started(pid), ("INFO", "Update finished")])

    def test_paths_with_spaces_and_characters_of_other_scripts(self):
        folder = self.path("Program Files", "J\u00fcrgen \u5f20\u4f1f")
        os.makedirs(folder)
        app = os.path.join(folder, "app \u00e9.asar")
        upd = self.path("download", "up date \u5f20.asar")
        write(app, b"old")
        new = payload(70000, 6)
        write(upd, new)
        run = self.update(app=app, upd=upd)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled(), [self.started(app=self.hp(app), upd=self.hp(upd)), ("INFO", "Update finished")])
        self.assertEqual(read(app), new)
        self.assertFalse(os.path.exists(upd))
        self.assertEqual(os.listdir(folder), ["app \u00e9.asar"])


    @unittest.skipUnless(WINDOWS, "a drive-relative path is Windows' own")
    def test_drive_relative_paths_name_files_in_the_drives_current_folder(self):
        # Wine's current folder on drive Z: is the Linux one it was started in.
        for option, folder in (("--updateAsar", os.path.dirname(self.upd)), ("--appAsar", os.path.dirname(self.app))):
            with self.subTest(option):
                write(self.app, b"old")
                new = payload(3000, 12)
                write(self.upd, new)
                paths = {"--appAsar": self.hp(self.app), "--updateAsar": self.hp(self.upd)}
                paths[option] = "Z:" + os.path.basename(self.upd if option == "--updateAsar" else self.app)
                run = self.run_helper("--update", "--appAsar", paths["--appAsar"], "--updateAsar",
                                      paths["--updateAsar"], prefix=("env", "-C", folder))
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled()[-1], ("INFO", "Update finished"))
                self.assertEqual(read(self.app), new)
                self.assertFalse(os.path.exists(self.upd))


class Failures(UpdateTest):
    def test_missing_update_archive_ends_with_status_2_and_runs_nothing_else(self):
        program = self.path("program.exe")
        write(program, b"")
        later = ["--launch", "--program", self.hp(program), "--regedit", "--extract"]
        nowhere = self.hp(self.path("nowhere", "u.asar"))
        cases = [
            # (name, update option as given, as logged)
            ("absent option", [], ""),
            ("empty value", ["--updateAsar", ""], ""),
            ("missing file", ["--updateAsar", self.hp(self.upd)], self.hp(self.upd)),
            ("missing folder", ["--updateAsar", nowhere], nowhere),
        ]
        write(self.app, b"old")
        for name, option, logged in cases:
            with self.subTest(name):
                run = self.run_helper(*(["--update", "--appAsar", self.hp(self.app)] + option + later))
                self.assertStatus(run, 2)
                self.assertEqual(run.leveled(), [self.started(upd=logged), ("ERROR", "The update asar doesn't exist")])
                self.assertEqual(read(self.app), b"old")

    def test_failed_copy_ends_with_status_5_and_leaves_both_files(self):
        folder = self.path("a folder")
        os.makedirs(folder)
        cases = [
            # (name, source, destination, code)
            ("update names a folder", folder, self.app, 5),
            ("destination is a folder", self.upd, folder, 5),
            ("destination folder missing", self.upd, self.path("gone", "app.asar"), 3),
            ("destination is the update itself", self.upd, self.upd, 32),
        ]
        for name, source, destination, code in cases:
            with self.subTest(name):
                write(self.app, b"old")
                write(self.upd, b"new")
                run = self.update("--launch", "--program", self.hp(self.upd), *wait_limit(GIVE_UP_MS), app=destination,
                                  upd=source)
                self.assertStatus(run, 5)
                self.assertEqual(run.leveled(), [self.started(app=self.hp(destination), upd=self.hp(source))] +
                                 ([self.in_use(destination, code, GIVE_UP_MS)] if code == 32 else []) + [
                    ("ERROR", "Failed to copy %s to %s GetLastError returned: %d"
                     % (self.hp(source), self.hp(destination), code))])
                self.assertEqual(read(self.app), b"old")
                self.assertEqual(read(self.upd), b"new")
                self.assertTrue(os.path.isdir(folder))
                for where in (self.path("app"), self.path("download"), self.scratch):
                    self.assertNoPartial(where)

    def test_empty_destination_fails_without_writing_anywhere(self):
        write(self.upd, b"new")
        before = set(os.listdir(os.getcwd()))
        run = self.update(app="")
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled()[-1],
                         ("ERROR", "Failed to copy %s to  GetLastError returned: 3" % self.hp(self.upd)))
        self.assertEqual(set(os.listdir(os.getcwd())), before)
        self.assertEqual(read(self.upd), b"new")

    def test_destination_that_cannot_be_replaced_keeps_the_old_archive(self):
        old = payload(200000, 7)
        write(self.app, old)
        write(self.upd, payload(300000, 8))
        if not chattr("+i", self.app):
            self.skipTest("the immutable attribute is not available here")
        self.addCleanup(chattr, "-i", self.app)
        run = self.update()
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled(), [
            self.started(),
            ("ERROR", "Failed to copy %s to %s GetLastError returned: 5" % (self.hp(self.upd), self.hp(self.app)))])
        self.assertEqual(read(self.app), old)
        self.assertTrue(os.path.exists(self.upd))
        self.assertNoPartial(os.path.dirname(self.app))

    @unittest.skipIf(WINDOWS and os.geteuid() == 0, "Wine lets root replace a read-only file")
    def test_read_only_destination_is_not_replaced_and_nothing_staged_stays(self):
        for shipped in (False, True):
            with self.subTest("with an unpacked folder" if shipped else "archive alone"):
                if os.path.exists(self.app):
                    os.chmod(self.app, 0o644)
                subprocess.run(["rm", "-rf", self.path("app"), self.upd + ".unpacked"], check=True)
                os.makedirs(self.path("app"))
                write(self.app, b"old")
                os.makedirs(self.app + ".unpacked")
                write(self.app + ".unpacked/addon.node", b"old")
                if shipped:
                    os.makedirs(self.upd + ".unpacked")
                    write(self.upd + ".unpacked/addon.node", b"new")
                # The staged archive takes this mode natively, and with it the read-only attribute.
                os.chmod(self.app, 0o444)
                write(self.upd, b"new")
                # The swap is refused (natively the staged archive cannot be
                # renamed over) and tried again until the wait runs out.
                run = self.update(*wait_limit(GIVE_UP_MS))
                self.assertStatus(run, 5)
                self.assertEqual(read(self.app), b"old")
                self.assertEqual(read(self.app + ".unpacked/addon.node"), b"old")
                self.assertEqual(sorted(os.listdir(self.path("app"))), ["app.asar", "app.asar.unpacked"])
                self.assertEqual([m for m in run.messages if m.startswith("Unable to remove")], [])

    def test_update_archive_gone_before_its_removal_is_no_failure(self):
        new = payload(48 * 1024 * 1024, 9)
        for _ in range(3):
            write(self.app, b"old")
            write(self.upd, new)
            before = os.path.getsize(self.log_path) if os.path.isfile(self.log_path) else 0
            command = (["wine", EXE] if WINDOWS else [EXE]) + [
                "--update", "--appAsar", self.hp(self.app), "--updateAsar", self.hp(self.upd)]
            proc = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            removed = False
            # Remove the update archive once the copy has it open.
            while proc.poll() is None and not removed:
                if any(n.startswith("app.asar.vantrell-new-") for n in os.listdir(os.path.dirname(self.app))):
                    try:
                        os.remove(self.upd)
                        removed = True
                    except FileNotFoundError:
                        break
                time.sleep(0.001)
            self.assertEqual(proc.wait(timeout=60), 0)
            if removed:
                break
        else:
            self.skipTest("every copy finished before the update archive could be removed")
        with open(self.log_path, "rb") as f:
            f.seek(before)
            log = f.read()
        self.check_log_shape(log)
        self.assertTrue(log.rstrip().endswith(b"Update finished"), log)
        self.assertNotIn(b"WARN", log)
        self.assertEqual(read(self.app), new)


class InUse(UpdateTest):
    def test_update_waits_for_the_app_to_exit(self):
        write(self.app, b"old")
        write(self.upd, b"new")
        # The app looks at its archive just before it ends: still the old one.
        look = self.path("look")
        holder, pid = self.hold(1500, self.app, "rwd", look)
        started = time.monotonic()
        run = self.update(*wait_limit(OUTLAST_MS), wait=str(pid))
        self.assertStatus(run, 0)
        self.assertGreater(time.monotonic() - started, 1)
        self.assertEqual(run.leveled(), [
            self.started(pid), ("INFO", "Waiting for process %d to exit" % pid),
            ("INFO", "Process %d has exited" % pid), ("INFO", "Update finished")])
        self.assertEqual(read(look), b"old")
        self.assertEqual(read(self.app), b"new")

    def test_archive_let_go_within_the_time_is_replaced(self):
        cases = [
            # (share letters of the holder, code seen while it holds: natively
            # only a holder that keeps writers out is waited for, as a rename
            # over an open file is safe there)
            ("rw", 5 if WINDOWS else None),  # denies deleting: the swap is refused
            ("r", 32),  # denies writing: opening the archive is refused
        ]
        for share, code in cases:
            with self.subTest(share=share):
                write(self.app, b"old")
                write(self.upd, b"new")
                self.hold(LET_GO_MS, self.app, share)
                run = self.update(*wait_limit(OUTLAST_MS))
                self.assertStatus(run, 0)
                waited = [self.in_use(self.app, code, OUTLAST_MS)] if code else []
                self.assertEqual(run.leveled(), [self.started()] + waited + [("INFO", "Update finished")])
                self.assertEqual(read(self.app), b"new")
                self.assertEqual(os.listdir(os.path.dirname(self.app)), ["app.asar"])

    def test_archive_never_let_go_fails_after_the_wait_and_stays(self):
        write(self.app, b"old")
        write(self.upd, b"new")
        self.hold(30000, self.app, "r")
        started = time.monotonic()
        run = self.update(*wait_limit(GIVE_UP_MS))
        self.assertStatus(run, 5)
        self.assertLess(abs(time.monotonic() - started - GIVE_UP_MS / 1000), 3)
        self.assertGreater(time.monotonic() - started, GIVE_UP_MS / 1000)
        self.assertEqual(run.leveled(), [
            self.started(), self.in_use(self.app, 32, GIVE_UP_MS),
            ("ERROR", "Failed to copy %s to %s GetLastError returned: 32" % (self.hp(self.upd), self.hp(self.app)))])
        self.assertEqual(read(self.app), b"old")
        self.assertEqual(read(self.upd), b"new")
        self.assertNoPartial(os.path.dirname(self.app))

    def test_update_archive_held_after_the_swap_is_removed_and_the_launch_runs(self):
        record = self.path("launched")
        self.env["RECORD_ARGS_FILE"] = self.hp(record)
        write(self.app, b"old")
        write(self.upd, b"new")
        self.hold(LET_GO_MS, self.upd, "r")
        run = self.update("--launch", "--program", self.hp(os.environ["RECORD_ARGS_EXE"]), *wait_limit(OUTLAST_MS))
        self.assertStatus(run, 0)
        # Natively a reader of the update keeps nobody from deleting it.
        waited = [self.in_use(self.upd, 32, OUTLAST_MS)] if WINDOWS else []
        self.assertEqual(run.leveled()[:2 + len(waited)], [self.started()] + waited + [("INFO", "Update finished")])
        self.assertEqual(read(self.app), b"new")
        self.assertFalse(os.path.exists(self.upd))
        deadline = time.monotonic() + 30
        while not os.path.exists(record):
            self.assertLess(time.monotonic(), deadline, "the launch did not run")
            time.sleep(0.02)


class Links(UpdateTest):
    def test_link_planted_at_a_staging_name_is_never_followed(self):
        target = self.path("target")
        for kind in ("symbolic", "hard"):
            with self.subTest(kind):
                write(target, b"target")
                write(self.app, b"old")
                new = payload(70000, 11)
                write(self.upd, new)
                (os.symlink if kind == "symbolic" else os.link)(target, self.app + STAGED)
                run = self.update()
                self.assertStatus(run, 0)
                self.assertEqual(read(target), b"target")
                self.assertFalse(os.path.islink(self.app))
                self.assertEqual(read(self.app), new)
                self.assertEqual(os.stat(self.app).st_nlink, 1)
                # A symbolic link is nothing a run of ours makes, and stays; Wine 8 shows one to a file
                # as that file, which is removed as the name it is. A hard link is a file at our name.
                kept = ["app.asar.vantrell-new-0123456789abcdef"] if kind == "symbolic" and not WINDOWS else []
                self.assertEqual(sorted(os.listdir(os.path.dirname(self.app))), ["app.asar"] + kept)
                for name in kept:
                    os.remove(os.path.join(os.path.dirname(self.app), name))


def staging_stem(name):
    """The stem of the names the helper stages beside the archive `name`."""
    if len(name) + 39 <= 255:
        return name
    h = 2166136261
    for c in name.encode():
        h = ((h ^ c) * 16777619) & 0xFFFFFFFF
    return "~vt%08x" % h


class PathLimit(UpdateTest):
    def test_archive_past_the_windows_path_limit_is_updated_with_its_unpacked_folder(self):
        # The staged names add up to 39 characters to the archive's path:
        # past 259 in all, where a path given to an ANSI call ends.
        # An unpacked folder installed before is left out: clearing it lists
        # it by its path, which Wine 8 still bounds at 260 characters.
        for length in (245, 300):
            with self.subTest(length=length):
                base = self.path("long%d" % length)
                rest = length - len(self.hp(base)) - len("/app.asar")
                folder = os.path.join(base, *["f" * min(100, rest - i) for i in range(1, rest, 101)])
                app = os.path.join(folder, "app.asar")
                self.assertEqual(len(self.hp(app)), length)
                os.makedirs(folder)
                write(app, b"old")
                shutil.rmtree(self.upd + ".unpacked", ignore_errors=True)
                os.makedirs(self.upd + ".unpacked/" + "s" * 40)
                write(self.upd + ".unpacked/" + "s" * 40 + "/addon.node", b"new addon")
                new = payload(100000, length)
                write(self.upd, new)
                run = self.update(app=app)
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled(), [self.started(app=self.hp(app)), ("INFO", "Update finished")])
                self.assertEqual(read(app), new)
                self.assertEqual(read(os.path.join(app + ".unpacked", "s" * 40, "addon.node")), b"new addon")
                self.assertEqual(sorted(os.listdir(folder)), ["app.asar", "app.asar.unpacked"])

    @unittest.skipIf(WINDOWS, "a name of 250 characters leaves too little of a Windows path for the folders")
    def test_archive_near_the_limit_is_updated_and_leftovers_cleared(self):
        folder = self.path("app")
        app = os.path.join(folder, "a" * 245 + ".asar")
        os.makedirs(folder, exist_ok=True)
        leftover = os.path.join(folder, staging_stem(os.path.basename(app)) + ".vantrell-new-" + "0" * 16)
        write(leftover, b"left by a killed run")
        write(app, b"old")
        new = payload(100000, 12)
        write(self.upd, new)
        run = self.update(app=app)
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled(), [self.started(app=self.hp(app)), ("INFO", "Update finished")])
        self.assertEqual(read(app), new)
        self.assertEqual(os.listdir(folder), [os.path.basename(app)])


@unittest.skipIf(WINDOWS, "Wine ends a program whose Unix streams are closed; FIFOs and devices are POSIX matters")
class Streams(UpdateTest):
    def test_starter_that_closes_its_pipes_does_not_stop_the_update(self):
        write(self.upd, b"new")
        proc = subprocess.Popen([EXE, "--sleep", "--ms", "500", "--update", "--appAsar", self.app,
                                 "--updateAsar", self.upd], env=self.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stdout.readline()
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            pipe.close()
        self.assertEqual(proc.wait(timeout=30), 0)
        self.assertEqual(read(self.app), b"new")
        self.assertTrue(read(self.log_path).endswith(b"Update finished\n"))

    def test_closed_standard_streams_leave_each_log_line_once(self):
        write(self.upd, b"new")
        for closed in ([2], [0, 1, 2]):
            with self.subTest(closed=closed):
                if os.path.exists(self.log_path):
                    os.remove(self.log_path)
                write(self.upd, b"new")
                proc = subprocess.run([EXE, "--update", "--appAsar", self.app, "--updateAsar", self.upd],
                                      env=self.env, preexec_fn=lambda: [os.close(fd) for fd in closed],
                                      timeout=30)
                self.assertEqual(proc.returncode, 0)
                lines = read(self.log_path).decode().splitlines()
                self.assertEqual([line.split(") ", 1)[1] for line in lines],
                                 [self.started()[1], "Update finished"])

    def test_special_files_are_refused_at_once(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        cases = [
            # (name, update archive, app archive, status, ERROR line ending)
            ("update archive is a FIFO", fifo, self.app, 5, "1920"),
            ("app archive is a FIFO", self.upd, fifo, 5, "1920"),
        ]
        # A device of our own, never the system's: a fault here must not
        # replace the machine's /dev/null.
        if os.geteuid() == 0:
            device = self.path("null-device")
            os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
            cases.append(("app archive is a device", self.upd, device, 5, "1920"))
        for name, upd, app, status, code in cases:
            with self.subTest(name):
                write(self.upd, b"new")
                started = time.monotonic()
                run = self.update(app=app, upd=upd)
                self.assertLess(time.monotonic() - started, 1)
                self.assertStatus(run, status)
                self.assertEqual(run.leveled()[-1],
                                 ("ERROR", "Failed to copy %s to %s GetLastError returned: %s" % (upd, app, code)))
        # A log that is a FIFO is not opened; the run goes on, logging to standard error.
        os.remove(self.log_path)
        os.mkfifo(self.log_path)
        write(self.upd, b"new")
        started = time.monotonic()
        proc = subprocess.run([EXE, "--update", "--appAsar", self.app, "--updateAsar", self.upd],
                              env=self.env, capture_output=True, timeout=10)
        self.assertLess(time.monotonic() - started, 1)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stderr.endswith(b"Update finished\n"), proc.stderr)


class Parking(UpdateTest):
    @unittest.skipUnless(WINDOWS, "Linux deletes a running program's file, and refuses a rename wherever it "
                                  "refuses a delete: a parked file cannot be had natively")
    def test_update_archive_in_use_is_parked_under_the_next_free_name(self):
        temp, temp_unix = wine_temp_folder()
        name = "park-%d-%d.exe" % (os.getpid(), random.randrange(1 << 30))
        taken = [os.path.join(temp_unix, name), os.path.join(temp_unix, name + "_1")]
        parked_unix = os.path.join(temp_unix, name + "_2")
        for path in taken:
            write(path, b"taken")
        for path in taken + [parked_unix]:
            self.addCleanup(lambda p=path: os.path.exists(p) and os.remove(p))

        # A running program's file cannot be deleted, but it can be moved.
        upd = self.path("download", name)
        shutil.copyfile(EXE, upd)
        running = subprocess.Popen(["wine", upd, "--sleep", "--ms", "60000"], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(running.wait)
        self.addCleanup(running.kill)
        deadline = time.monotonic() + 30
        while b"Sleeping for 60000" not in (read(self.log_path) if os.path.exists(self.log_path) else b""):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)

        run = self.update(upd=upd)
        parked = temp + "//" + name + "_2"
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled(), [
            self.started(upd=self.hp(upd)),
            ("WARN", "Unable to remove file %s - it may be in use.  Moving to %s and scheduling delete on reboot."
             % (self.hp(upd), parked)),
            ("INFO", "Update finished")])
        self.assertEqual(read(self.app), read(EXE))
        self.assertFalse(os.path.exists(upd))
        self.assertEqual(read(parked_unix), read(EXE))
        for path in taken:
            self.assertEqual(read(path), b"taken")
        pending = subprocess.run(["wine", "reg", "query", r"HKLM\System\CurrentControlSet\Control\Session Manager",
                                  "/v", "PendingFileRenameOperations"], capture_output=True, text=True).stdout
        self.assertIn((temp + "\\" + name + "_2").replace("/", "\\"), pending)

    @unittest.skipIf(WINDOWS, "Wine reports the delete of an immutable file as done and leaves the file")
    def test_refused_delete_and_refused_move_are_warnings_and_the_run_goes_on(self):
        temp = self.env["TMPDIR"]
        for taken in ("update.asar", "update.asar_1"):
            write(os.path.join(temp, taken), b"taken")
        write(self.app, b"old")
        new = payload(10000, 10)
        write(self.upd, new)
        # An immutable file refuses both the delete (access denied) and the move.
        if not chattr("+i", self.upd):
            self.skipTest("the immutable attribute is not available here")
        self.addCleanup(chattr, "-i", self.upd)
        self.env["RECORD_ARGS_FILE"] = self.path("launched")
        run = self.update("--launch", "--program", os.environ["RECORD_ARGS_EXE"])
        candidate = temp + "//update.asar_2"
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[:5], [
            self.started(),
            ("WARN", "Unable to remove file %s - it may be in use.  Moving to %s and scheduling delete on reboot."
             % (self.upd, candidate)),
            ("WARN", "Unable to rename %s to %s GetLastError returned: 5" % (self.upd, candidate)),
            ("INFO", "Update finished"),
            ("INFO", "Launching process. Program: %s, Args: " % os.environ["RECORD_ARGS_EXE"])])
        self.assertEqual(read(self.app), new)
        self.assertEqual(read(self.upd), new)
        self.assertEqual(sorted(os.listdir(temp)), ["update.asar", "update.asar_1"])


if __name__ == "__main__":
    unittest.main()
