"""The record_args test program: copies of it for a test, and what it recorded."""

import os
import shutil
import time

from harness import WINDOWS

RECORDER = os.environ.get("RECORD_ARGS_EXE", "")


def place_recorder(folder, name="record_args"):
    """A copy of the recorder at folder/name (.exe under Windows); its Linux path."""
    target = os.path.join(folder, name + (".exe" if WINDOWS else ""))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copy2(RECORDER, target)
    return target


def read_record(path, timeout=20.0):
    """(command line or None natively, [argv...]) once the recorder has written
    path; None when nothing arrived within the time-out."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)
    with open(path, "rb") as f:
        fields = f.read().split(b"\0")[:-1]
    command_line = fields[0].decode() if WINDOWS else None
    return command_line, [field.decode() for field in fields[1:]]


def system_path(path):
    """A program path as the helper hands it to the system: with backslashes
    on Windows; natively as given, where a backslash belongs to a name."""
    return path.replace("/", "\\") if WINDOWS else path
