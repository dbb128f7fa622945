"""What an update checks before and while it replaces the archive: the
digest of the bytes written, links given as the update, the unpacked folder
installed with the archive (and a killed run's journal completed or undone),
one update per archive at a time, and an app that does not quit."""

import base64
import fcntl
import hashlib
import os
import shutil
import stat
import subprocess
import time
import unittest

from harness import EXE, GIVE_UP_MS, LET_GO_MS, OUTLAST_MS, WINDOWS, wait_limit
from test_contract import NOBODY, ROOT
from test_update import UpdateTest, payload, read, write

JOURNAL = ".vantrell-journal"


def tree(folder):
    """{relative path: bytes} of every file below `folder`, or None when it is missing."""
    if not os.path.isdir(folder):
        return None
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            out[os.path.relpath(path, folder)] = read(path)
    return out


def make_tree(folder, files):
    for rel, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
        write(os.path.join(folder, rel), data)


class Digest(UpdateTest):
    def test_digest_of_the_bytes_written_decides(self):
        new = payload(300000, 21)
        digest = hashlib.sha512(new).digest()
        other = hashlib.sha512(new[:150000]).digest()
        b64 = lambda d: base64.b64encode(d).decode()
        cases = [
            # (name, update bytes, --sha512, status, ERROR line or None)
            ("hex matches", new, digest.hex(), 0, None),
            ("upper-case hex matches", new, digest.hex().upper(), 0, None),
            ("base64 matches", new, b64(digest), 0, None),
            ("base64 without padding matches", new, b64(digest).rstrip("="), 0, None),
            ("hex differs", new, other.hex(), 2,
             "The update's SHA-512 is %s, not the expected %s; nothing was replaced" % (digest.hex(), other.hex())),
            ("base64 differs", new, b64(other), 2,
             "The update's SHA-512 is %s, not the expected %s; nothing was replaced" % (b64(digest), b64(other))),
            ("cut-off archive", new[:150000], b64(digest), 2,
             "The update's SHA-512 is %s, not the expected %s; nothing was replaced" % (b64(other), b64(digest))),
            ("127 hex digits", new, digest.hex()[:-1], 2,
             "The --sha512 value is neither 128 hex digits nor base64 of 64 bytes: " + digest.hex()[:-1]),
            ("not hex", new, "g" + digest.hex()[1:], 2,
             "The --sha512 value is neither 128 hex digits nor base64 of 64 bytes: g" + digest.hex()[1:]),
            ("base64 with stray bits", new, b64(digest)[:85] + "B==", 2,
             "The --sha512 value is neither 128 hex digits nor base64 of 64 bytes: " + b64(digest)[:85] + "B=="),
        ]
        for name, data, text, status, error in cases:
            with self.subTest(name):
                write(self.app, b"old")
                write(self.upd, data)
                run = self.update("--sha512", text)
                self.assertStatus(run, status)
                if error is None:
                    self.assertEqual(run.leveled(), [self.started(), ("INFO", "Update finished")])
                    self.assertEqual(read(self.app), data)
                    self.assertFalse(os.path.exists(self.upd))
                else:
                    self.assertEqual(run.leveled()[-1], ("ERROR", error))
                    self.assertEqual(read(self.app), b"old")
                    self.assertEqual(read(self.upd), data)
                self.assertNoPartial(os.path.dirname(self.app))

    def test_digest_agrees_with_sha512sum_on_random_data(self):
        # Lengths where the padding changes shape (the length field spills
        # into a block of its own from 112 bytes on) and around the copy's
        # 4 MiB pieces.
        for size in (0, 1, 111, 112, 127, 128, 129, 255, 256, (4 << 20) - 1, (4 << 20) + 113):
            with self.subTest(size=size):
                data = os.urandom(size)
                write(self.app, b"old")
                write(self.upd, data)
                listed = subprocess.run(["sha512sum", self.upd], capture_output=True, text=True, check=True)
                run = self.update("--sha512", listed.stdout.split()[0])
                self.assertStatus(run, 0)
                self.assertEqual(read(self.app), data)

    @unittest.skipUnless(WINDOWS, "only Windows takes the digest from a DLL")
    def test_a_hash_provider_that_cannot_be_loaded_fails_the_update_alone(self):
        # Wine refuses to load a DLL disabled by an override. The helper still
        # starts (bcrypt.dll is no import of it) and only the digest fails,
        # with the system's code (126: module not found).
        data = payload(5000, 3)
        write(self.app, b"old")
        write(self.upd, data)
        run = self.run_helper("--update", "--appAsar", self.hp(self.app), "--updateAsar", self.hp(self.upd),
                              "--sha512", hashlib.sha512(data).hexdigest(),
                              env=dict(self.env, WINEDLLOVERRIDES="bcrypt=d"))
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled()[-1],
                         ("ERROR", "Unable to compute the SHA-512 of %s GetLastError returned: 126" % self.hp(self.upd)))
        self.assertEqual(read(self.app), b"old")
        self.assertEqual(read(self.upd), data)
        self.assertNoPartial(os.path.dirname(self.app))


class LinkedUpdate(UpdateTest):
    @unittest.skipIf(WINDOWS, "Wine 8 shows a Unix link to a file as that file, reparse point and all hidden; "
                              "Windows' own links are reparse points, which the helper refuses")
    def test_link_given_as_the_update_is_refused_and_its_target_kept(self):
        target = self.path("secret")
        write(target, b"not for the app")
        os.symlink(target, self.upd)
        write(self.app, b"old")
        run = self.update()
        self.assertStatus(run, 2)
        self.assertEqual(run.leveled(), [
            self.started(), ("ERROR", "The update asar is a link, which is never followed: " + self.hp(self.upd))])
        self.assertEqual(read(self.app), b"old")
        self.assertEqual(read(target), b"not for the app")
        self.assertTrue(os.path.islink(self.upd))


class Unpacked(UpdateTest):
    def test_unpacked_folder_goes_in_with_the_archive(self):
        old = {"addon.node": b"old addon", "gone.node": b"dropped by the update"}
        cases = [
            # (name, installed before, shipped with the update, installed after)
            ("changed, added and removed", old, {"addon.node": b"new addon", "sub/extra.node": b"new extra"},
             {"addon.node": b"new addon", "sub/extra.node": b"new extra"}),
            ("first unpacked folder", None, {"addon.node": b"new"}, {"addon.node": b"new"}),
            ("update ships none: installed one kept", old, None, old),
            ("empty shipped folder", old, {}, {}),
        ]
        unpacked = self.app + ".unpacked"
        for name, before, shipped, after in cases:
            with self.subTest(name):
                for folder in (unpacked, self.upd + ".unpacked"):
                    subprocess.run(["rm", "-rf", folder], check=True)
                if before is not None:
                    make_tree(unpacked, before)
                if shipped is not None:
                    os.makedirs(self.upd + ".unpacked")
                    make_tree(self.upd + ".unpacked", shipped)
                write(self.app, b"old")
                write(self.upd, b"new")
                run = self.update()
                self.assertStatus(run, 0)
                self.assertEqual(read(self.app), b"new")
                self.assertEqual(tree(unpacked), after)
                self.assertNoPartial(os.path.dirname(self.app))

    def test_link_in_the_shipped_folder_is_refused_before_the_swap(self):
        make_tree(self.app + ".unpacked", {"addon.node": b"old"})
        make_tree(self.upd + ".unpacked", {"addon.node": b"new"})
        # Wine 8 shows a Unix link to a file as that file; one to a folder is a reparse point there.
        secret = self.path("secret")
        if WINDOWS:
            make_tree(secret, {"key": b"secret"})
        else:
            write(secret, b"secret")
        os.symlink(secret, self.upd + ".unpacked/leak.node")
        write(self.app, b"old")
        write(self.upd, b"new")
        run = self.update()
        self.assertStatus(run, 2)
        self.assertEqual(run.leveled()[-1], ("ERROR", "The update's unpacked folder holds a link, which is never "
                                             "followed: " + self.hp(self.upd + ".unpacked/leak.node")))
        self.assertEqual(read(self.app), b"old")
        self.assertEqual(tree(self.app + ".unpacked"), {"addon.node": b"old"})
        self.assertNoPartial(os.path.dirname(self.app))

    def test_journal_of_a_killed_run_is_completed_or_undone(self):
        folder = os.path.dirname(self.app)
        new, staged, aside = ("app.asar.vantrell-new-" + "1" * 16, "app.asar.vantrell-unpacked-new-" + "2" * 16,
                              "app.asar.vantrell-unpacked-old-" + "3" * 16)
        old_tree, new_tree = {"addon.node": b"old"}, {"addon.node": b"new", "extra.node": b"extra"}
        # The folder as a run killed at each step leaves it: (archive, unpacked, staged archive,
        # staged folder, old folder aside); each then repaired to a pair.
        cases = [
            ("prepare: archive half written", "prepare", b"old", old_tree, b"ne", {"addon.node": b"n"}, None, False),
            ("commit: nothing moved yet", "commit", b"old", old_tree, b"new", new_tree, None, True),
            ("commit: old folder aside", "commit", b"old", None, b"new", new_tree, old_tree, True),
            ("commit: new folder in place", "commit", b"old", new_tree, b"new", None, old_tree, True),
            ("commit: archive in place", "commit", b"new", new_tree, None, None, old_tree, True),
            ("commit: old folder half removed", "commit", b"new", new_tree, None, None, {}, True),
        ]
        for name, state, archive, unpacked, staged_archive, staged_tree, aside_tree, done in cases:
            with self.subTest(name):
                subprocess.run(["rm", "-rf", folder], check=True)
                os.makedirs(folder)
                write(self.app, archive)
                for where, files in ((self.app + ".unpacked", unpacked), (os.path.join(folder, staged), staged_tree),
                                     (os.path.join(folder, aside), aside_tree)):
                    if files is not None:
                        os.makedirs(where)
                        make_tree(where, files)
                if staged_archive is not None:
                    write(os.path.join(folder, new), staged_archive)
                write(self.app + JOURNAL, ("vantrell-journal\n%s\n%s\n%s\n%s\n" % (state, new, staged, aside)).encode())
                run = self.run_helper("--repair", "--appAsar", self.hp(self.app))
                self.assertStatus(run, 0)
                self.assertEqual(run.leveled()[-1], (
                    "INFO", ("Completed" if done else "Undid") + " an interrupted update of " + self.hp(self.app)))
                self.assertEqual((read(self.app), tree(self.app + ".unpacked")),
                                 (b"new", new_tree) if done else (b"old", old_tree))
                self.assertEqual(sorted(os.listdir(folder)), ["app.asar", "app.asar.unpacked"])
        run = self.run_helper("--repair", "--appAsar", self.hp(self.app))
        self.assertStatus(run, 0)
        self.assertEqual(run.leveled()[-1], ("INFO", "Nothing to repair"))


class OneAtATime(UpdateTest):
    def test_second_update_waits_for_the_first_and_never_mixes(self):
        big = payload(48 << 20, 31)
        write(self.app, b"old")
        write(self.upd, big)
        second = self.path("download", "second.asar")
        write(second, b"second")
        exe = ["wine", os.environ["HELPER_EXE"]] if WINDOWS else [os.environ["HELPER_EXE"]]
        procs = [subprocess.Popen(exe + ["--update", "--appAsar", self.hp(self.app), "--updateAsar", self.hp(u)],
                                  env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                 for u in (self.upd, second)]
        results = [(p.wait(timeout=120), p.stderr.read()) for p in procs]
        self.assertEqual([status for status, _ in results], [0, 0], results)
        # Both finished, one after the other: the archive is whole, one of the two.
        self.assertIn(read(self.app), (big, b"second"))
        self.assertNoPartial(os.path.dirname(self.app))

    def test_update_held_back_past_the_wait_is_refused_and_touches_nothing(self):
        # Another run holds the lock file: natively with flock, under Wine without sharing.
        write(self.app, b"old")
        write(self.upd, b"new")
        write(lock_file(self.app), b"")
        os.chmod(lock_file(self.app), 0o600)  # as the helper makes it; one others could open would be replaced
        self.hold(60000, lock_file(self.app), "-")
        # The one case that waits a default budget out in full, natively: it
        # shows that a run without --waitLimit waits as long as it should.
        budget_ms = GIVE_UP_MS if WINDOWS else 15000
        started = time.monotonic()
        run = self.update(*(wait_limit(GIVE_UP_MS) if WINDOWS else []))
        self.assertGreater(time.monotonic() - started, budget_ms / 1000 - 1)
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled()[-1], ("ERROR", "Another update of %s is still running after %d ms; "
                                             "nothing was changed" % (self.hp(self.app), budget_ms)))
        self.assertEqual((read(self.app), read(self.upd)), (b"old", b"new"))

    def test_lock_left_behind_never_blocks(self):
        # A killed run's file, no one holding it; natively one that others
        # could open is made anew (Wine ignores the mode).
        for mode in (0o600, 0o644):
            with self.subTest(mode=mode):
                write(self.app, b"old")
                write(self.upd, b"new")
                write(lock_file(self.app), b"")
                os.chmod(lock_file(self.app), mode)
                started = time.monotonic()
                self.assertStatus(self.update(), 0)
                self.assertLess(time.monotonic() - started, 10)
                self.assertEqual((read(self.app), os.path.lexists(lock_file(self.app))), (b"new", False))


def lock_file(app):
    return app + ".vantrell.lock"


@unittest.skipIf(WINDOWS, "Wine runs every program with one user's rights")
@unittest.skipUnless(ROOT and shutil.which("setpriv"), "needs root to become an ordinary user")
class LockNobodyCanHold(UpdateTest):
    """A user who cannot write the archive's folder tries to hold the lock:
    root's update and repair go on regardless."""

    def setUp(self):
        super().setUp()
        os.chmod(self.scratch, 0o755)
        for folder in (os.path.dirname(self.app), os.path.dirname(self.upd)):
            os.chmod(folder, 0o755)

    def squat(self, how, *args):
        squatter = subprocess.Popen(NOBODY + ["python3", "-c", SQUATTER, how] + list(args), stdout=subprocess.PIPE,
                                    text=True)
        self.addCleanup(squatter.wait)
        self.addCleanup(squatter.kill)
        return squatter.stdout.readline().strip()

    def test_user_who_cannot_write_the_folder_neither_takes_nor_blocks_it(self):
        lock = lock_file(self.app)
        cases = [
            # how, owner of a lock file there before (None: none), what the squatter got
            ("socket", None, "bound"),  # the name of the lock in earlier versions
            ("file", None, "EACCES"),  # it cannot make one
            ("file", 0, "EACCES"),  # a killed root run's: it cannot open it
            ("file", 65534, "held"),  # its own, from when it could write the folder
        ]
        for how, owner, got in cases:
            with self.subTest(how=how, owner=owner):
                write(self.app, b"old")
                write(self.upd, b"new %s" % str(owner).encode())
                if owner is not None:
                    write(lock, b"")
                    os.chmod(lock, 0o600)
                    os.chown(lock, owner, owner)
                self.assertEqual(self.squat(how, self.old_lock_name() if how == "socket" else lock), got)
                started = time.monotonic()
                self.assertStatus(self.update(), 0)
                self.assertStatus(self.run_helper("--repair", "--appAsar", self.hp(self.app)), 0)
                self.assertLess(time.monotonic() - started, 10)
                self.assertEqual(read(self.app), b"new %s" % str(owner).encode())
                self.assertFalse(os.path.lexists(lock))

    def test_user_who_may_not_make_the_lock_is_told_so_at_once(self):
        # No lock file there, and none the user may make: no holder to wait for.
        write(self.app, b"old")
        for folder in (self.env["XDG_DATA_HOME"], self.env["TMPDIR"]):
            os.makedirs(folder, exist_ok=True)
            os.chmod(folder, 0o777)
        started = time.monotonic()
        run = self.run_helper("--repair", "--appAsar", self.hp(self.app), prefix=NOBODY)
        self.assertLess(time.monotonic() - started, 5)
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled()[-1], ("ERROR", "Unable to lock %s GetLastError returned: 5"
                                             % lock_file(self.app)))
        self.assertEqual(read(self.app), b"old")

    def test_lock_of_a_killed_run_never_blocks(self):
        # A real run, killed while it holds the lock (copying a big update).
        lock = lock_file(self.app)
        write(self.app, b"old")
        write(self.upd, payload(96 << 20, 7))
        run = subprocess.Popen([os.environ["HELPER_EXE"], "--update", "--appAsar", self.app, "--updateAsar", self.upd],
                               env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not held(lock) and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)
        run.kill()
        self.assertEqual(run.wait(), -9, "the run ended before it could be killed holding the lock")
        started = time.monotonic()
        self.assertStatus(self.run_helper("--repair", "--appAsar", self.app), 0)
        write(self.upd, b"new")
        self.assertStatus(self.update(), 0)
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(read(self.app), b"new")

    def old_lock_name(self):
        st = os.stat(os.path.dirname(self.app))
        dev = st.st_dev
        h = 14695981039346656037
        for c in b"app.asar":
            h = ((h ^ c) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
        return "Global\\vantrell-update-%08x-%08x%08x-%016x" % ((dev ^ (dev >> 32)) & 0xFFFFFFFF, st.st_ino >> 32,
                                                                st.st_ino & 0xFFFFFFFF, h)


def held(path):
    """True when another process holds flock on the file at `path`."""
    try:
        with open(path, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        pass
    return False


# As an ordinary user: binds the lock's name of earlier versions, or opens (or
# makes) the lock file and locks it; says how far it got, and stays.
SQUATTER = """
import errno, fcntl, os, socket, sys, time
how, name = sys.argv[1], sys.argv[2]
if how == "socket":
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind("\\0" + name)
    print("bound", flush=True)
else:
    try:
        fd = os.open(name, os.O_RDONLY | os.O_CREAT | os.O_NOFOLLOW, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        print("held", flush=True)
    except OSError as e:
        print(errno.errorcode[e.errno], flush=True)
time.sleep(600)
"""


class AppThatStays(UpdateTest):
    def test_app_running_past_the_wait_leaves_everything_and_launches_nothing(self):
        write(self.app, b"old")
        write(self.upd, b"new")
        holder, pid = self.hold(120000)
        record = self.path("launched")
        self.env["RECORD_ARGS_FILE"] = self.hp(record)
        run = self.run_helper("--update", "--wait", str(pid), "--appAsar", self.hp(self.app), "--updateAsar",
                              self.hp(self.upd), "--launch", "--program", self.hp(os.environ["RECORD_ARGS_EXE"]),
                              *wait_limit(GIVE_UP_MS), timeout=100)
        self.assertStatus(run, 5)
        self.assertEqual(run.leveled(), [
            self.started(pid), ("INFO", "Waiting for process %d to exit" % pid),
            ("ERROR", "Process %d is still running after %d ms; nothing was replaced" % (pid, GIVE_UP_MS))])
        self.assertEqual((read(self.app), read(self.upd)), (b"old", b"new"))
        self.assertFalse(os.path.exists(record))
        self.assertIsNone(holder.poll())


def snapshot(folder):
    """{relative path: bytes, or None for a folder} of everything below `folder`."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            out[os.path.relpath(os.path.join(root, name), folder)] = None
        for name in files:
            out[os.path.relpath(os.path.join(root, name), folder)] = read(os.path.join(root, name))
    return out


HEX = "0123456789abcdef"


class Hostile(UpdateTest):
    """What others do to the folders an update works in: hold its journal, break
    a listing, leave their files at names like ours."""

    def killed_with_the_old_folder_aside(self):
        """The folder as a run killed right after moving the old unpacked folder aside leaves it."""
        folder = os.path.dirname(self.app)
        new, staged, aside = ("app.asar.vantrell-new-" + "1" * 16, "app.asar.vantrell-unpacked-new-" + "2" * 16,
                              "app.asar.vantrell-unpacked-old-" + "3" * 16)
        write(self.app, b"old")
        write(os.path.join(folder, new), b"new")
        make_tree(os.path.join(folder, staged), {"addon.node": b"new"})
        make_tree(os.path.join(folder, aside), {"addon.node": b"old"})
        write(self.app + JOURNAL, ("vantrell-journal\ncommit\n%s\n%s\n%s\n" % (new, staged, aside)).encode())
        os.chmod(self.app + JOURNAL, 0o644)

    def hold_journal(self, ms):
        """Another program holds the journal for `ms` (None: until it is told to
        let go): natively an ordinary reader's flock(LOCK_EX) on it, under Wine a
        handle that shares nothing. Returns a call that waits until it has let
        go, or makes it let go."""
        if WINDOWS:
            proc, _ = self.hold(60000 if ms is None else ms, self.app + JOURNAL, "-")
            if ms is None:
                return lambda: (proc.kill(), proc.wait())
            return proc.wait
        import threading
        f = open(self.app + JOURNAL, "rb")
        fcntl.flock(f, fcntl.LOCK_EX)
        self.addCleanup(f.close)
        if ms is None:
            return f.close
        timer = threading.Timer(ms / 1000, f.close)
        timer.start()
        self.addCleanup(timer.cancel)
        return timer.join

    def test_journal_held_by_another_program_is_waited_for_and_never_taken_for_foreign(self):
        folder = os.path.dirname(self.app)
        # (None: held until the run has ended.) A caller who cuts the wait to
        # nothing only has the run give up at once.
        for name, held_ms, limit_ms, command in [
            ("held past the wait: repair", None, GIVE_UP_MS, ["--repair"]),
            ("held past the wait: update", None, GIVE_UP_MS, ["--update", "--updateAsar", None]),
            ("no wait at all: repair", None, 0, ["--repair"]),
            ("let go within the wait", LET_GO_MS, OUTLAST_MS, ["--repair"]),
        ]:
            with self.subTest(name):
                subprocess.run(["rm", "-rf", folder], check=True)
                os.makedirs(folder)
                write(self.upd, b"newer")
                self.killed_with_the_old_folder_aside()
                before = snapshot(folder)
                let_go = self.hold_journal(held_ms)
                args = [self.hp(self.upd) if a is None else a for a in command]
                run = self.run_helper(*(args + ["--appAsar", self.hp(self.app)] + wait_limit(limit_ms)))
                let_go()
                self.assertNotIn("it is no journal of this helper", "\n".join(run.messages))
                if held_ms is None:
                    self.assertStatus(run, 5)
                    level, message = run.leveled()[-1]
                    self.assertEqual(level, "ERROR")
                    self.assertTrue(message.startswith("Unable to read " + self.hp(self.app + JOURNAL)), message)
                    self.assertEqual(snapshot(folder), before)
                else:
                    self.assertStatus(run, 0)
                    self.assertEqual(run.leveled()[-1], ("INFO", "Completed an interrupted update of " +
                                                         self.hp(self.app)))
                    self.assertEqual((read(self.app), tree(self.app + ".unpacked")), (b"new", {"addon.node": b"new"}))
                    self.assertEqual(sorted(os.listdir(folder)), ["app.asar", "app.asar.unpacked"])

    def test_only_our_exact_names_and_kinds_are_swept(self):
        folder = os.path.dirname(self.app)
        target = self.path("target")
        hexes = iter(HEX[i:] + HEX[:i] for i in range(16))
        # (name beside the archive, what is planted there: "file", "folder" (holding keep.txt) or
        # "hard link" (to a file outside), swept)
        cases = [
            ("app.asar.vantrell-new-" + next(hexes), "file", True),
            ("app.asar.vantrell-new-" + next(hexes), "hard link", True),
            ("app.asar.vantrell-journal-" + next(hexes), "file", True),
            ("app.asar.vantrell-drop-" + next(hexes), "file", True),
            ("app.asar.vantrell-unpacked-old-" + next(hexes), "folder", True),
            ("app.asar.vantrell-unpacked-new-" + next(hexes), "folder", True),
            ("app.asar.vantrell-partial", "folder", False),
            ("app.asar.vantrell-partial", "file", False),
            ("app.asar.vantrell-new-" + next(hexes), "folder", False),
            ("app.asar.vantrell-unpacked-old-" + next(hexes), "file", False),
            ("app.asar.vantrell-new-" + next(hexes)[:15], "file", False),
            ("app.asar.vantrell-new-" + next(hexes).upper(), "file", False),
            ("app.asar.vantrell-new-" + next(hexes) + "0", "file", False),
            ("other.asar.vantrell-new-" + next(hexes), "file", False),
        ]
        for name, kind, swept in cases:
            with self.subTest(name=name, kind=kind):
                subprocess.run(["rm", "-rf", folder], check=True)
                os.makedirs(folder)
                write(target, b"target")
                write(self.app, b"old")
                write(self.upd, b"new")
                planted = os.path.join(folder, name)
                if kind == "folder":
                    make_tree(planted, {"keep.txt": b"someone's"})
                elif kind == "hard link":
                    os.link(target, planted)
                else:
                    write(planted, b"someone's")
                run = self.update()
                self.assertStatus(run, 0)
                self.assertEqual(read(self.app), b"new")
                self.assertEqual(read(target), b"target")
                self.assertEqual(os.path.exists(planted), not swept)
                if not swept:
                    self.assertEqual(snapshot(planted) if kind == "folder" else read(planted),
                                     {"keep.txt": b"someone's"} if kind == "folder" else b"someone's")

    @unittest.skipIf(WINDOWS, "a folder whose reading fails is made with a preloaded library, natively")
    def test_listing_cut_short_fails_the_update_before_the_swap(self):
        preload = os.environ.get("FAILING_READDIR_SO", "")
        helper = os.environ.get("PRELOADABLE_HELPER_EXE", EXE)
        if "libasan" in subprocess.run(["ldd", helper], capture_output=True, text=True).stdout:
            self.skipTest("the sanitizers' runtime must be loaded first")
        shipped = {"a.node": b"a", "b.node": b"b", "sub/c.node": b"c", "sub/d.node": b"d"}
        # (folder whose reading fails with EIO, after how many entries)
        for where, after in [("update.asar.unpacked", 0), ("update.asar.unpacked", 3),
                             ("update.asar.unpacked/sub", 1)]:
            with self.subTest(where=where, after=after):
                subprocess.run(["rm", "-rf", self.app + ".unpacked", self.upd + ".unpacked"], check=True)
                make_tree(self.app + ".unpacked", {"addon.node": b"old"})
                make_tree(self.upd + ".unpacked", shipped)
                write(self.app, b"old")
                write(self.upd, b"new")
                env = dict(self.env, LD_PRELOAD=preload, FAIL_READDIR_IN=where, FAIL_READDIR_AFTER=str(after))
                run = self.run_helper("--update", "--appAsar", self.hp(self.app), "--updateAsar", self.hp(self.upd),
                                      env=env, executable=helper)
                self.assertStatus(run, 5)
                self.assertNotIn("Update finished", run.messages)
                self.assertEqual(run.leveled()[-1][0], "ERROR")
                self.assertTrue(run.messages[-1].startswith("Unable to list " + self.path("download", where)),
                                run.messages[-1])
                self.assertEqual((read(self.app), tree(self.app + ".unpacked")), (b"old", {"addon.node": b"old"}))
                self.assertNoPartial(os.path.dirname(self.app))
                self.assertEqual(read(self.upd), b"new")

    @unittest.skipIf(WINDOWS, "on Windows the new tree inherits its folder's access list")
    def test_installed_files_keep_their_mode_and_take_the_replaced_trees_owner(self):
        modes = {"spawn-helper": 0o755, "setuid": 0o4755, "setgid": 0o2750, "shared": 0o666, "read-only": 0o444,
                 "sub/tool": 0o700}
        expected = {"spawn-helper": 0o755, "setuid": 0o755, "setgid": 0o750, "shared": 0o664, "read-only": 0o444,
                    "sub/tool": 0o700}
        root = os.geteuid() == 0
        for first in (True, False):
            with self.subTest("first unpacked folder" if first else "replacing an ordinary user's"):
                subprocess.run(["rm", "-rf", self.app + ".unpacked", self.upd + ".unpacked"], check=True)
                folder = os.path.dirname(self.app)
                owner = (65534, 65534) if root else (os.getuid(), os.getgid())
                if first:
                    os.chown(folder, *owner)
                else:
                    make_tree(self.app + ".unpacked", {"old.node": b"old"})
                    os.chmod(self.app + ".unpacked/old.node", 0o444)
                    os.chown(self.app + ".unpacked", *owner)
                make_tree(self.upd + ".unpacked", {rel: rel.encode() for rel in modes})
                for rel, mode in modes.items():
                    os.chmod(os.path.join(self.upd + ".unpacked", rel), mode)
                write(self.app, b"old")
                write(self.upd, b"new")
                run = self.update()
                self.assertStatus(run, 0)
                self.assertNotIn("WARN", [level for level, _ in run.leveled()])
                installed = self.app + ".unpacked"
                self.assertEqual({rel: stat.S_IMODE(os.lstat(os.path.join(installed, rel)).st_mode) for rel in modes},
                                 expected)
                for rel in list(modes) + ["", "sub"]:
                    st = os.lstat(os.path.join(installed, rel))
                    self.assertEqual((st.st_uid, st.st_gid), owner, rel)
                self.assertEqual(sorted(os.listdir(folder)), ["app.asar", "app.asar.unpacked"])
                os.chown(folder, 0, 0)
