"""Running a session from a terminal: a progress bar on standard error, and Ctrl-C.

While py_zvi_run runs, Python code runs only inside the event handler, and the event
bridge swallows whatever the handler raises, KeyboardInterrupt included: an interrupt
would be printed and the run would go on. So a session installs its own SIGINT handler
for the length of the run. Python runs it at the next event, inside the event handler,
where it asks the SDK to stop with py_zvi_stop; py_zvi_run then returns once that
handler is done, and the session reports what ran.
"""
from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from pathlib import Path
from types import FrameType, TracebackType
from typing import Any

import c_sdk

try:
    from tqdm import tqdm
except ImportError:  # the examples extra is not installed: no bar
    tqdm = None  # type: ignore[assignment,misc]


class SessionError(RuntimeError):
    """An SDK call failed, or a session cannot run as told."""


def sdk_error(status: int, *, always_detail: bool = False) -> str:
    """The SDK's text for a failed status, with ": " and its detail when it gives one
    (with always_detail, the ": " even when the detail is empty)."""
    text = c_sdk.py_zvi_strerror(status).decode("utf-8", "replace")
    detail = c_sdk.py_zvi_get_ext_errormsg().decode("utf-8", "replace")
    return f"{text}: {detail}" if detail or always_detail else text


def check(status: int, what: str, *, always_detail: bool = False) -> None:
    """Raises SessionError when an SDK call failed; c_status_fail also logs it to the host logger."""
    if c_sdk.c_status_fail(status, what):
        raise SessionError(f"{what} failed with status {status}"
                           f" ({sdk_error(status, always_detail=always_detail)})")


def parse_crossover_args(p: argparse.ArgumentParser, argv: list[str] | None,
                         report_help: str = "write equity.png, trades.csv and equity.csv here") -> argparse.Namespace:
    """Adds the options every crossover session shares (--report, --quiet) to p, parses
    argv and checks that the fast average is shorter than the slow one, and that the
    report folder (and the --json file, where p has that option) can be written."""
    p.add_argument("--report", metavar="DIR", help=report_help)
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if not 0 < args.fast < args.slow:
        p.error("need 0 < --fast < --slow")
    check_output_paths(p, args)
    return args


def check_output_paths(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuses (exit status 2, one line) a --json file or --report folder that could not
    be written, before any session runs: a run of minutes should not end in a traceback."""
    problems = []
    if getattr(args, "json", None):
        problems.append(output_problem(args.json, folder=False))
    if getattr(args, "report", None):
        problems.append(output_problem(args.report, folder=True))
    for problem in problems:
        if problem:
            p.exit(2, f"{p.prog}: {problem}\n")


def output_problem(path: str, *, folder: bool) -> str | None:
    """Why a result file (or, with folder, a folder made when missing) could not be written
    at path; None when it can."""
    target = Path(path)
    kind = "report folder" if folder else "output file"
    if target.exists():
        if folder != target.is_dir():
            return f"{kind} {path}: {'not a folder' if folder else 'a folder'}"
        if not os.access(target, os.W_OK | (os.X_OK if folder else 0)):
            return f"{kind} {path}: not writable"
        return None
    # The nearest folder that exists must be a folder we may write into (folders missing
    # below it are made, for a report; an output file's own folder must exist).
    parent = target.parent
    if not folder and not parent.is_dir():
        what = "is not a folder" if parent.exists() else "does not exist"
        return f"{kind} {path}: its folder {parent} {what}"
    while not parent.exists():
        parent = parent.parent
    if not parent.is_dir():
        return f"{kind} {path}: {parent} is not a folder"
    if not os.access(parent, os.W_OK | os.X_OK):
        return f"{kind} {path}: cannot write in {parent}"
    return None


def run_state(finished: bool, interrupted: bool) -> str:
    """How a session's run ended, as its summary says it."""
    return "finished" if finished else "interrupted" if interrupted else "stopped early"


def exit_status(run_status: int, finished: bool, interrupted: bool) -> int:
    """130 after Ctrl-C (as a shell reports an interrupted command), 0 for a session that
    ran to its end, 1 otherwise."""
    if interrupted:
        return 130
    return 0 if c_sdk.c_status_ok(run_status) and finished else 1


class StopOnInterrupt:
    """Within `with`, Ctrl-C (SIGINT) stops the running session instead of being lost."""

    def __init__(self) -> None:
        self.interrupted = False
        self._previous: Any = None
        self._installed = False

    def _on_sigint(self, signum: int, frame: FrameType | None) -> None:
        self.interrupted = True
        c_sdk.py_zvi_stop()

    def __enter__(self) -> StopOnInterrupt:
        # Signal handlers belong to the main thread (a Dask worker runs sessions elsewhere).
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._on_sigint)
            self._installed = True
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)
            self._installed = False


def terminal_size() -> tuple[int, int]:
    # A terminal that reports no size (a pseudo-terminal nobody sized) would get an
    # empty bar: 80 x 24 then.
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
    except (OSError, ValueError):
        return 80, 24
    return size.columns or 80, size.lines or 24


class Progress:
    """A bar on standard error, counting `unit`s up to total; off when standard error is
    not a terminal, when disabled, or without tqdm."""

    def __init__(self, total: float, unit: str, description: str, enabled: bool = True) -> None:
        self.done = 0
        self.bar = None
        if enabled and tqdm is not None and sys.stderr.isatty():
            self.bar = tqdm(total=total, unit=unit, desc=description, file=sys.stderr,
                            ncols=terminal_size()[0], nrows=terminal_size()[1],
                            mininterval=0.2, leave=True)

    def advance_to(self, done: int) -> None:
        if self.bar is not None and done > self.done:
            self.bar.update(done - self.done)
            self.done = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
