#!/usr/bin/env python3
"""Race trial of the update command run as root (native build).

An ordinary user (uid 65534 through setpriv) who may write the download
folder, the app's folder and the folders around them races each update:
turning the update into a link to a root-only file, swapping the update's
folder or the app's folder for a link to a root-only folder, and planting
links at every fixed name the update uses. After every run nothing in the
root-only places has changed, and when the log says "Update finished" the
app's archive is a plain file holding the update.

usage: race-trial.py --helper PATH [--count N]   (as root)
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

USER = 65534

ATTACKS = {
    # Each loops until killed, as the ordinary user; $D is the download
    # folder, $A the app's folder, $S a root-only folder. (A user who may
    # write the app's folder can replace app.asar itself once the update has
    # ended; the names planted are those the update itself uses.)
    "link at the update path":
        'while :; do ln -sf "$S/secret" "$D/u.tmp"; mv -f "$D/u.tmp" "$D/update.asar";'
        ' cp "$D/keep" "$D/u.tmp" 2>/dev/null; mv -f "$D/u.tmp" "$D/update.asar"; done',
    "update's folder swapped for a link":
        'while :; do mv -T "$D" "$D.real" && ln -s "$S" "$D"; rm -f "$D"; mv -T "$D.real" "$D"; done',
    "app's folder swapped for a link":
        'while :; do mv -T "$A" "$A.real" && ln -s "$S" "$A"; rm -f "$A"; mv -T "$A.real" "$A"; done',
    "links planted at the fixed names":
        'while :; do for n in app.asar.vantrell-journal app.asar.unpacked app.asar.vantrell-partial; do'
        ' ln -s "$S/secret" "$A/$n.tmp" 2>/dev/null; mv -fT "$A/$n.tmp" "$A/$n" 2>/dev/null; done; done',
}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def snapshot(folder):
    return {name: (os.lstat(os.path.join(folder, name)).st_ino, read(os.path.join(folder, name)))
            for name in sorted(os.listdir(folder))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", required=True)
    parser.add_argument("--count", type=int, default=50, help="runs per attack")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("race-trial.py runs as root")
        return 2
    root = tempfile.mkdtemp(prefix="vantrell-race-")
    os.chmod(root, 0o755)
    failures = 0
    try:
        secret_folder = os.path.join(root, "secret")
        os.makedirs(secret_folder, mode=0o700)
        write(os.path.join(secret_folder, "secret"), b"root only")
        write(os.path.join(secret_folder, "update.asar"), b"root-only update")
        write(os.path.join(secret_folder, "app.asar"), b"root-only archive")
        for name in os.listdir(secret_folder):
            os.chmod(os.path.join(secret_folder, name), 0o600)
        protected = snapshot(secret_folder)
        # The user's room: both folders live in a folder the user owns.
        room = os.path.join(root, "room")
        os.makedirs(room)
        os.chown(room, USER, USER)
        helper = shutil.copy(args.helper, os.path.join(root, "helper"))
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(root, "appdata"), TMPDIR=os.path.join(root, "tmp"))
        os.makedirs(env["TMPDIR"])
        update = os.urandom(1 << 20)
        for attack, script in ATTACKS.items():
            finished = refused = 0
            for run in range(args.count):
                download, app_folder = os.path.join(room, "download"), os.path.join(room, "app")
                for folder in (download, download + ".real", app_folder, app_folder + ".real"):
                    if os.path.islink(folder) or os.path.isfile(folder):
                        os.remove(folder)
                    elif os.path.isdir(folder):
                        shutil.rmtree(folder)
                os.makedirs(download)
                os.makedirs(app_folder)
                write(os.path.join(download, "update.asar"), update)
                write(os.path.join(download, "keep"), update)
                write(os.path.join(app_folder, "app.asar"), b"old")
                for folder in (download, app_folder):
                    for name in os.listdir(folder):
                        os.chown(os.path.join(folder, name), USER, USER)
                    os.chown(folder, USER, USER)
                racer = subprocess.Popen(
                    ["setpriv", "--reuid=%d" % USER, "--regid=%d" % USER, "--clear-groups", "sh", "-c", script],
                    env=dict(env, D=download, A=app_folder, S=secret_folder),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
                proc = subprocess.run([helper, "--update", "--appAsar", os.path.join(app_folder, "app.asar"),
                                       "--updateAsar", os.path.join(download, "update.asar")],
                                      env=env, capture_output=True, timeout=120)
                # The racer and the commands it started, all of its group.
                os.killpg(racer.pid, signal.SIGKILL)
                racer.wait()
                time.sleep(0.05)
                # The racer may have left a folder swapped out: put it back.
                for folder in (download, app_folder):
                    if os.path.islink(folder):
                        os.remove(folder)
                    if os.path.isdir(folder + ".real") and not os.path.exists(folder):
                        os.rename(folder + ".real", folder)
                archive = os.path.join(app_folder, "app.asar")
                said_finished = b"Update finished" in proc.stderr
                if snapshot(secret_folder) != protected:
                    print("FAIL %s, run %d: the root-only folder changed" % (attack, run))
                    failures += 1
                if said_finished and (os.path.islink(archive) or read(archive) != update):
                    print("FAIL %s, run %d: \"Update finished\" but app.asar is not the update" % (attack, run))
                    failures += 1
                if os.path.isfile(archive) and not os.path.islink(archive) and read(archive) == read(
                        os.path.join(secret_folder, "secret")):
                    print("FAIL %s, run %d: app.asar holds a root-only file" % (attack, run))
                    failures += 1
                finished += said_finished
                refused += not said_finished
            print("%-36s %d runs: %d finished with the update in place, %d refused or failed safely"
                  % (attack, args.count, finished, refused))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("FAILED: %d" % failures if failures else "every race: nothing outside the given folders touched")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
