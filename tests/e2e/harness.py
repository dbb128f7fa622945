"""Runs the real helper binary (native, or the Windows exe under Wine) and
reads back what it did: exit status, standard streams and the log lines it
appended. Every run also checks the line ends of the log (CR LF under Windows,
LF natively) and the layout of every line."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

KIND = os.environ.get("HELPER_KIND", "native")
EXE = os.environ.get("HELPER_EXE", "")
WINDOWS = KIND == "windows"
EOL = b"\r\n" if WINDOWS else b"\n"
LINE = re.compile(rb"^(INFO  |WARN  |ERROR )\((\d+)\) (.*)$", re.S)

# The helper's waits (60 s for the app, 15 s for a lock, 10 s for a file in
# use) cut short with --waitLimit. A case that waits the budget out gives up
# after GIVE_UP_MS; a case whose holder lets go within the wait holds for
# LET_GO_MS against a budget of OUTLAST_MS, far more than a run under Wine on
# a loaded machine takes to start.
GIVE_UP_MS = 1000
LET_GO_MS = 500
OUTLAST_MS = 8000


def wait_limit(ms):
    return ["--waitLimit", str(ms)]


class Run:
    def __init__(self, status, stdout, stderr, log_bytes):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.log_bytes = log_bytes

    @property
    def lines(self):
        """(level, pid, message) for each appended log line; level without fill."""
        out = []
        for raw in self.log_bytes.split(EOL)[:-1]:
            m = LINE.match(raw)
            out.append((m.group(1).strip().decode(), int(m.group(2)), m.group(3).decode("utf-8", "replace"))
                       if m else ("", 0, raw.decode("utf-8", "replace")))
        return out

    @property
    def messages(self):
        return [message for _, _, message in self.lines]

    def leveled(self):
        return [(level, message) for level, _, message in self.lines]


class HelperTest(unittest.TestCase):
    """Base class: a scratch folder per test and, natively, a private
    per-user data folder, so that tests may run side by side."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vantrell-e2e-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.env = dict(os.environ)
        if WINDOWS:
            self.log_path = windows_log_path()
        else:
            self.env["XDG_DATA_HOME"] = os.path.join(self.scratch, "appdata")
            self.env["TMPDIR"] = os.path.join(self.scratch, "tmp")
            os.makedirs(self.env["TMPDIR"])
            self.log_path = os.path.join(self.scratch, "appdata", "vantrell", "update-log.txt")
        if os.path.isfile(self.log_path):
            os.remove(self.log_path)

    # Paths as the helper sees them: Wine maps the Linux root to Z:.
    def hp(self, path):
        return "Z:" + path if WINDOWS else path

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def run_helper(self, *args, timeout=60, env=None, prefix=(), executable=None):
        """Runs the helper (or a copy of it at `executable`), behind the
        command words of `prefix` (strace, setpriv) when given."""
        exe = executable or EXE
        command = list(prefix) + (["wine", exe] if WINDOWS else [exe]) + list(args)
        for attempt in range(2):
            before = os.path.getsize(self.log_path) if os.path.isfile(self.log_path) else 0
            proc = subprocess.run(command, capture_output=True, timeout=timeout, env=env or self.env)
            log = b""
            if os.path.isfile(self.log_path):
                with open(self.log_path, "rb") as f:
                    f.seek(before)
                    log = f.read()
            # Wine now and then fails to start a program at all: status 1 and
            # not a byte of output. The helper never ends so (it writes a line
            # before any failing status), so that run is started once more.
            if not (WINDOWS and proc.returncode == 1 and not (proc.stdout or proc.stderr or log)) \
                    and not wine_lost_the_child(log):
                break
            sys.stderr.write("Wine did not start %s; starting it again\n" % " ".join(args))
        self.check_log_shape(log)
        return Run(proc.returncode, proc.stdout, proc.stderr, log)

    def check_log_shape(self, log):
        if not log:
            return
        self.assertTrue(log.endswith(EOL), log[-40:])
        for raw in log.split(EOL)[:-1]:
            if WINDOWS:
                self.assertNotIn(b"\n", raw)
            # lines holding a newline in their message are the caller's choice; ours never do
            self.assertRegex(raw, LINE, raw)

    def assertStatus(self, run, expected):
        """Exit statuses reach Linux as 8 bits on both builds."""
        self.assertEqual(run.status, expected & 0xFF, (run.stderr, run.log_bytes))


# The same fault one level down: the program the helper starts dies inside
# Wine before it is running, and CreateProcessA answers 1359 (an internal
# error: the start broke down, not the program). Only a run that did nothing but
# that launch is started again, so nothing done before it is done twice.
WINE_LOST_CHILD = re.compile(rb"^ERROR \(\d+\) Failed to start child process\. .* Last error: 1359$")


def wine_lost_the_child(log):
    if not WINDOWS:
        return False
    lines = log.split(EOL)[:-1]
    return (len(lines) == 2 and lines[0].startswith(b"INFO  (") and b") Launching process. " in lines[0]
            and WINE_LOST_CHILD.match(lines[1]) is not None)


_windows_log = None


def windows_log_path():
    """The Linux path of the helper's log inside the Wine prefix."""
    global _windows_log
    if _windows_log is None:
        out = subprocess.run(["wine", "cmd", "/c", "echo", "%LOCALAPPDATA%"], capture_output=True, text=True,
                             check=True).stdout.strip()
        unix = subprocess.run(["winepath", "-u", out], capture_output=True, text=True,
                              check=True).stdout.strip()
        _windows_log = os.path.join(unix, "vantrell", "update-log.txt")
    return _windows_log
