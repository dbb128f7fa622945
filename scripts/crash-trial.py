#!/usr/bin/env python3
"""Crash trial of the update command (native build).

Starts the helper on an update of an archive of tens of megabytes and kills it
with SIGKILL at a random moment, many times. After every kill the application
archive must be byte for byte the old archive or the new one, and the update
archive may be gone only once the new archive is in place. The update ships
an unpacked folder (one file changed, one added, one dropped): after every
kill the archive and the installed unpacked folder are a matching pair, old
or new, unless the update's journal is there; then a repair run (--repair)
must turn them into a matching pair and leave nothing of ours behind. With --holder
(the hold_file test program) it also kills updates while they wait for the
app to exit and while they try again to replace an archive that another
program holds open. A last, undisturbed run must finish the update and leave
no partial copy behind.

usage: crash-trial.py --helper PATH [--holder PATH] [--count N] [--size MB] [--seed S]
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

JOURNAL = ".vantrell-journal"
OLD_TREE = {"addon.node": b"old addon", "gone.node": b"dropped by the update"}
NEW_TREE = {"addon.node": b"new addon", os.path.join("sub", "extra.node"): b"added by the update"}


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(folder):
    """{relative path: bytes} of every file below `folder`, or None when it is missing."""
    if not os.path.isdir(folder):
        return None
    out = {}
    for top, _, files in os.walk(folder):
        for name in files:
            out[os.path.relpath(os.path.join(top, name), folder)] = read(os.path.join(top, name))
    return out


def make_tree(folder, files):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for rel, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
        write(os.path.join(folder, rel), data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", required=True)
    parser.add_argument("--holder", help="hold_file test program: adds kills during waits and retries")
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--size", type=int, default=32, help="archive size in MB")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()

    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    size = args.size * 1024 * 1024
    old = rng.randbytes(size)
    new = rng.randbytes(size)

    root = tempfile.mkdtemp(prefix="vantrell-crash-")
    try:
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(root, "appdata"), TMPDIR=os.path.join(root, "tmp"))
        os.makedirs(env["TMPDIR"])
        app_folder = os.path.join(root, "app")
        os.makedirs(app_folder)
        os.makedirs(os.path.join(root, "download"))
        app = os.path.join(app_folder, "app.asar")
        upd = os.path.join(root, "download", "update.asar")
        command = [args.helper, "--update", "--appAsar", app, "--updateAsar", upd]

        unpacked = app + ".unpacked"

        def reset():
            for name in os.listdir(app_folder):
                if name not in ("app.asar", "app.asar.unpacked"):
                    print("FAIL: %s left beside the archive" % name)
                    sys.exit(1)
            write(app, old)
            write(upd, new)
            make_tree(unpacked, OLD_TREE)
            make_tree(upd + ".unpacked", NEW_TREE)

        def undisturbed():
            reset()
            started = time.monotonic()
            subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            return time.monotonic() - started

        def holder(*hold):
            """hold_file holding `hold` (path and share letters) for a minute; its pid."""
            pidfile = os.path.join(root, "holder.pid")
            if os.path.exists(pidfile):
                os.remove(pidfile)
            proc = subprocess.Popen([args.holder, pidfile, "60000"] + list(hold))
            while not os.path.exists(pidfile):
                if proc.poll() is not None:
                    raise RuntimeError("hold_file ended early")
                time.sleep(0.005)
            return proc, int(read(pidfile))

        outcomes = {}
        repairs = {}

        def kill_at(phase, trial, delay, extra=(), release=None):
            """Runs one update, kills it after `delay` s and checks the archives,
            repairs and checks again; False on a torn, lost or mismatched archive."""
            nonlocal repairs
            reset()
            proc = subprocess.Popen(command + list(extra), env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            time.sleep(delay)
            finished = proc.poll() is not None
            if not finished:
                proc.send_signal(signal.SIGKILL)
            proc.wait()
            content = read(app)
            update_kept = os.path.exists(upd)
            pair = (content, tree(unpacked))
            journal = os.path.exists(app + JOURNAL)
            if release is not None:
                release()
            if not journal and pair not in ((old, OLD_TREE), (new, NEW_TREE)):
                print("FAIL %s, trial %d (seed %d, kill after %.3f s): archive and unpacked folder differ, "
                      "no journal" % (phase, trial, seed, delay))
                return False
            subprocess.run([args.helper, "--repair", "--appAsar", app], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            repaired = (read(app), tree(unpacked))
            rest = sorted(os.listdir(app_folder))
            if repaired not in ((old, OLD_TREE), (new, NEW_TREE)) or (repaired[0] == old and not update_kept) or \
                    rest != ["app.asar", "app.asar.unpacked"]:
                print("FAIL %s, trial %d (seed %d, kill after %.3f s): after the repair %s, update kept %s, "
                      "folder %s" % (phase, trial, seed, delay, "new" if repaired[0] == new else "old",
                                     update_kept, rest))
                return False
            if journal:
                repairs.setdefault(phase, {}).setdefault(repaired[0] == new, 0)
                repairs[phase][repaired[0] == new] += 1
            if content == old and update_kept:
                outcome = "old archive"
            elif content == new:
                outcome = "new archive, update kept" if update_kept else "new archive, update removed"
            else:
                state = "torn archive (%d bytes)" % len(content) if content != old else "update lost"
                print("FAIL %s, trial %d (seed %d, kill after %.3f s): %s" % (phase, trial, seed, delay, state))
                return False
            outcome = "finished before the kill" if finished else outcome
            outcomes.setdefault(phase, {}).setdefault(outcome, 0)
            outcomes[phase][outcome] += 1
            return True

        # How long a whole update takes, so that the kills spread over all of it.
        duration = max(undisturbed(), undisturbed())
        for trial in range(args.count):
            if not kill_at("during the copy", trial, rng.uniform(0, duration * 1.2)):
                return 1
        if args.holder:
            app_process, pid = holder()
            try:
                for trial in range(max(args.count // 2, 1)):
                    if not kill_at("waiting for the app", trial, rng.uniform(0, 1.0), ["--wait", str(pid)]):
                        return 1
            finally:
                app_process.kill()
                app_process.wait()
            for trial in range(max(args.count // 2, 1)):
                # Denying deletes holds up the swap after the copy; denying
                # writes holds up the copy before it starts.
                write(app, old)
                scanner, _ = holder(app, "rw" if trial % 2 == 0 else "r")

                def release():
                    scanner.kill()
                    scanner.wait()
                try:
                    if not kill_at("trying a held archive again", trial, rng.uniform(0, duration * 1.2 + 1.5),
                                   release=release):
                        return 1
                finally:
                    release()

        # An undisturbed update still installs the pair.
        undisturbed()
        if (read(app), tree(unpacked)) != (new, NEW_TREE) or os.path.exists(upd) or \
                sorted(os.listdir(app_folder)) != ["app.asar", "app.asar.unpacked"]:
            print("FAIL: the update after the trials left %s" % sorted(os.listdir(app_folder)))
            return 1

        kills = sum(sum(counts.values()) for counts in outcomes.values())
        print("%d kills of a %d MB update with an unpacked folder (whole update %.3f s, seed %d): every archive "
              "intact, every pair matching after the repair" % (kills, args.size, duration, seed))
        for phase, counts in outcomes.items():
            print("  %s" % phase)
            for name, count in sorted(counts.items()):
                print("    %-28s %d" % (name, count))
        for phase, counts in repairs.items():
            print("  journal left %s: completed %d, undone %d" % (phase, counts.get(True, 0), counts.get(False, 0)))
        return 0
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
