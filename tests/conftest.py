import os
import subprocess
import sys
import textwrap

import pytest

import c_sdk
import zvsdk_standin


@pytest.fixture(scope="session")
def standin():
    return zvsdk_standin.StandIn()


@pytest.fixture
def sdk(zvsdk):
    """The stand-in SDK, reset before and after the test; module globals restored: the
    project's own pytest plugin (pytest_zvsdk), as host packages use it."""
    return zvsdk


SANITIZED = os.environ.get("CSDK_SANITIZED") == "1"
# How AddressSanitizer and UndefinedBehaviorSanitizer reports begin. The sanitizer run
# makes a child abort on a report, but a report made on a thread that the exiting
# process ends midway leaves the exit status as it was: it shows only on stderr.
SANITIZER_REPORTS = ("ERROR: AddressSanitizer", "AddressSanitizer:DEADLYSIGNAL", "ERROR: LeakSanitizer",
                     "runtime error:", "SUMMARY: UndefinedBehaviorSanitizer")


def check_sanitizer_output(stderr):
    """Fails when a child's standard error holds a sanitizer report (sanitizer run only)."""
    if SANITIZED and stderr and any(marker in stderr for marker in SANITIZER_REPORTS):
        raise AssertionError(f"a sanitizer report in the child's stderr:\n{stderr[-8000:]}")


def run_child(args, **kwargs):
    """subprocess.run of args with the output captured as text, checked for sanitizer
    reports; returns the completed process."""
    proc = subprocess.run(args, capture_output=True, text=True, **kwargs)
    check_sanitizer_output(proc.stderr)
    return proc


def run_python(code, *, env=None, check=True, timeout=120):
    """Runs code in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = run_child([sys.executable, "-c", textwrap.dedent(code)], env=full_env, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def source_lines(relpath):
    with open(os.path.join(ROOT, relpath), encoding="utf-8") as f:
        return f.read().splitlines()


def tb_names(excinfo):
    """The function names of the traceback entries below the test's own frame. Each entry
    of the module's own names a source file of the project and a line in it, in the
    traceback and in its frame alike."""
    import traceback
    entries = traceback.extract_tb(excinfo.tb)[1:]
    tbs = list(traceback.walk_tb(excinfo.tb))[1:]
    for entry, (frame, lineno) in zip(entries, tbs):
        if entry.name.startswith("c_sdk.") or entry.name == "init c_sdk":
            assert entry.filename.startswith("src/"), entry
            assert 1 <= entry.lineno <= len(source_lines(entry.filename)), entry
            assert (frame.f_code.co_name, frame.f_code.co_filename, frame.f_lineno) == (
                entry.name, entry.filename, lineno)
    return [entry.name for entry in entries]
