"""Child processes of the stand-in's tests: run with their output captured and, in the
sanitizer run (CSDK_SANITIZED=1), failed when their standard error holds a sanitizer
report. These tests do without c_sdk, so this is not shared with tests/conftest.py,
which does the same for the module's tests."""
import os
import subprocess

SANITIZED = os.environ.get("CSDK_SANITIZED") == "1"
# How AddressSanitizer and UndefinedBehaviorSanitizer reports begin. A child aborts on a
# report, but one made on a thread that the exiting process ends midway leaves the exit
# status as it was: it shows only on stderr.
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "AddressSanitizer:DEADLYSIGNAL", "ERROR: LeakSanitizer",
                     "runtime error:", "SUMMARY: UndefinedBehaviorSanitizer")


def run_child(args, **kwargs):
    """subprocess.run of args with the output captured as text; returns the completed process."""
    proc = subprocess.run(args, capture_output=True, text=True, **kwargs)
    if SANITIZED and proc.stderr and any(marker in proc.stderr for marker in SANITIZER_REPORTS):
        raise AssertionError(f"a sanitizer report in the child's stderr:\n{proc.stderr[-8000:]}")
    return proc
