"""The test matrix as nox sessions, each runnable alone; tools/test.sh runs them all.

    nox --list                                the sessions
    nox -s tests-3.12 -- tests/test_status.py  one session; what follows -- goes to pytest
    nox                                       every session of the matrix, one after another

tests-3.10 ... tests-3.15  the whole suite in a fresh virtual environment with the project
                           (its test, examples and reference extras, CSDK_WERROR=ON) and the
                           substitute zv. 3.10 to 3.13 are pyenv's; 3.14 and 3.15, when the
                           machine has no python3.14/python3.15 of its own, run in the Debian
                           sid chroot of tools/newer_pythons.sh (root only; skipped otherwise),
                           which runs this very session inside it.
vendor                     the module built against a libzvsdk.so from outside the project
sanitize                   the suite built with AddressSanitizer and UndefinedBehaviorSanitizer
debug                      the reference-count tests on a debug CPython (tools/debug_python.sh)
valgrind                   part of the suite under memcheck (tools/valgrind.sh)

The interpreters are those pyenv holds (CPython >= 3.10), or those CSDK_PYTHONS names
("python3.11 /usr/bin/python3.12"), which then also leaves 3.14 and 3.15 out of the
matrix. vendor and sanitize use 3.11 where there is one. CSDK_SKIP_SANITIZE,
CSDK_SKIP_VENDOR, CSDK_SKIP_DEBUG_PYTHON, CSDK_SKIP_VALGRIND, CSDK_SKIP_PY314 and
CSDK_SKIP_PY315 leave a session out of the matrix (it still runs when named with -s).

Virtual environments go to .work/nox/ (or $CSDK_WORK_DIR/nox/) and are made anew for every
run; the build folders (.work/build-<name>) are kept, so a build recompiles what changed.
The tags say how tools/test.sh runs a session: "suite" takes its pytest arguments, "extra"
does not, "valgrind" runs beside the others at low priority.
"""
from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import nox
from nox.command import CommandFailed

ROOT = Path(__file__).resolve().parent
WORK = Path(os.environ.get("CSDK_WORK_DIR") or ROOT / ".work")
LIB = str(ROOT / "tools" / "lib.sh")

nox.options.envdir = str(WORK / "nox")
# The interpreters come from this machine (or the chroot), never from a download.
nox.options.download_python = "never"
nox.options.tags = ["suite", "extra", "valgrind"]

PYENV_VERSIONS = ("3.10", "3.11", "3.12", "3.13")
CHROOT_VERSIONS = ("3.14", "3.15")


def version_key(ver: str) -> tuple[int, ...]:
    return tuple(int(part) for part in ver.split("."))


def version_of(python: str) -> str:
    return subprocess.run([python, "-c", 'import sys; print("%d.%d" % sys.version_info[:2])'],
                          capture_output=True, text=True, check=True).stdout.strip()


def interpreters() -> dict[str, str]:
    """{"3.12": path}: the interpreters CSDK_PYTHONS names, else the newest release of each
    CPython >= 3.10 in pyenv's versions, else python3."""
    named = os.environ.get("CSDK_PYTHONS", "").split()
    found: dict[str, str] = {}
    if named:
        for py in named:
            try:
                found[version_of(py)] = shutil.which(py) or py
            except (OSError, subprocess.CalledProcessError) as e:
                raise SystemExit(f"CSDK_PYTHONS names {py}, which does not run: {e}") from None
        return found
    releases = []
    for exe in (Path.home() / ".pyenv" / "versions").glob("*/bin/python3"):
        match = re.fullmatch(r"(3)\.(\d+)\.(\d+)", exe.parent.parent.name)
        if match and int(match[2]) >= 10 and os.access(exe, os.X_OK):
            releases.append((tuple(map(int, match.groups())), str(exe)))
    for release, exe in sorted(releases):
        found["%d.%d" % release[:2]] = exe
    if not found and (python3 := shutil.which("python3")):
        found[version_of(python3)] = python3
    return found


def own_python(ver: str) -> str | None:
    """A python<ver> of the machine's own (not a pyenv shim, which runs only the pyenv
    versions selected): inside the chroot, its CPython 3.14 and 3.15."""
    path = shutil.which(f"python{ver}")
    return path if path and "/.pyenv/shims/" not in path else None


PYTHONS = interpreters()
# vendor and sanitize: 3.11 where there is one, else the first interpreter.
EXTRA_VERSION = "3.11" if "3.11" in PYTHONS else min(PYTHONS, key=version_key, default="3.11")
EXTRA_PYTHON = PYTHONS.get(EXTRA_VERSION, f"python{EXTRA_VERSION}")


def skipped(variable: str) -> bool:
    """Whether variable is set to something (a CSDK_SKIP_* variable, CSDK_PYTHONS)."""
    return bool(os.environ.get(variable))


def install(session: nox.Session, build: Path, extras: str, **env: str) -> None:
    """csdk_install (tools/lib.sh) into the session's environment: the project with
    extras, built in build (kept between runs), and the substitute zv."""
    session.run("bash", LIB, "csdk_install", str(Path(session.bin) / "python"), str(build), extras,
                external=True, env=env)


def pytest(session: nox.Session, *args: str, **env: str) -> None:
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *args, env=env)


def install_for_suite(session: nox.Session, build: Path) -> None:
    """The project with every extra the suite uses, built with warnings as errors. The
    examples' libraries may have no build for the newest interpreters: their tests are
    then skipped."""
    try:
        install(session, build, "test,examples,reference")
    except CommandFailed:
        session.warn("installing [test,examples,reference] failed; the examples' tests are skipped")
        install(session, build, "test")


def suite_session(ver: str, python: str, in_matrix: bool) -> None:
    def tests(session: nox.Session) -> None:
        build = WORK / f"build-{ver}"
        # The packaging tests reuse the build folder, so they get the same configuration.
        session.env["CSDK_WERROR"] = "ON"
        install_for_suite(session, build)
        pytest(session, *session.posargs, CSDK_BUILD_DIR=str(build))

    tests.__doc__ = f"The whole suite on CPython {ver} ({python})."
    nox.session(python=python, name=f"tests-{ver}", tags=["suite"] if in_matrix else [])(tests)


def chroot_session(ver: str, in_matrix: bool) -> None:
    def tests(session: nox.Session) -> None:
        if os.geteuid() != 0:
            session.skip(f"not root: CPython {ver} is skipped")
        # Inside the chroot python<ver> is the machine's own, and this session is a suite one.
        session.run("bash", str(ROOT / "tools" / "newer_pythons.sh"), "test", ver, *session.posargs,
                    external=True)

    tests.__doc__ = f"The whole suite on CPython {ver}, in the Debian sid chroot (root)."
    nox.session(venv_backend="none", name=f"tests-{ver}", tags=["suite"] if in_matrix else [])(tests)


for _ver in sorted(set(PYENV_VERSIONS) | set(PYTHONS) | set(CHROOT_VERSIONS), key=version_key):
    _python = PYTHONS.get(_ver) or (own_python(_ver) if _ver in CHROOT_VERSIONS else None)
    # 3.14 and 3.15 are left out by their skip variables, and by CSDK_PYTHONS unless it names them.
    _left_out = _ver in CHROOT_VERSIONS and (
        skipped(f"CSDK_SKIP_PY{_ver.replace('.', '')}") or (_ver not in PYTHONS and skipped("CSDK_PYTHONS")))
    _in_matrix = (_ver in PYTHONS or _ver in CHROOT_VERSIONS) and not _left_out
    if _python:
        suite_session(_ver, _python, _in_matrix)
    elif _ver in CHROOT_VERSIONS:
        chroot_session(_ver, _in_matrix)
    else:
        # Named all the same: `nox -s tests-3.10` then looks for python3.10 on PATH.
        suite_session(_ver, f"python{_ver}", in_matrix=False)


@nox.session(python=EXTRA_PYTHON, tags=[] if skipped("CSDK_SKIP_VENDOR") else ["extra"])
def vendor(session: nox.Session) -> None:
    """Part of the suite, built against a libzvsdk.so from outside the project.

    As against the vendor's library: a copy of the stand-in plays that library, so the
    stand-in's tests still drive it. As by default, the module records no run path and
    the loader finds the library through LD_LIBRARY_PATH; test_vendor_build.py also
    relinks it with CSDK_VENDOR_RPATH. Arguments replace the default selection of tests."""
    # The stand-in as the suite's build on this interpreter makes it, copied out of the
    # way: the same build folder and settings, so after tests-<version> this compiles
    # nothing again.
    install(session, WORK / f"build-{EXTRA_VERSION}", "test", CSDK_WERROR="ON")
    standin = session.run("python", "-c", "import zvsdk_standin; print(zvsdk_standin.default_library_path())",
                          silent=True)
    standin = standin.strip().splitlines()[-1]
    vendor_dir = WORK / "vendor-lib"
    shutil.rmtree(vendor_dir, ignore_errors=True)
    vendor_dir.mkdir(parents=True)
    library = str(vendor_dir / "libzvsdk.so")
    shutil.copy(standin, library)

    build = str(WORK / "build-vendor")
    install(session, WORK / "build-vendor", "test", CSDK_VENDOR_SDK=library)
    library_path = os.environ.get("LD_LIBRARY_PATH")
    selection = session.posargs or ["tests/test_vendor_build.py", "tests/test_shapes.py",
                                    "tests/test_bridge.py"]
    pytest(session, *selection, CSDK_VENDOR_SDK=library, ZVSDK_STANDIN_LIB=library,
           LD_LIBRARY_PATH=str(vendor_dir) + (f":{library_path}" if library_path else ""),
           PYTHONPATH=str(ROOT / "standin_sdk"), CSDK_BUILD_DIR=build)


@nox.session(python=EXTRA_PYTHON, tags=[] if skipped("CSDK_SKIP_SANITIZE") else ["suite"])
def sanitize(session: nox.Session) -> None:
    """The suite, built with AddressSanitizer and UndefinedBehaviorSanitizer.

    The interpreter itself keeps memory until exit, so leak checking is left to the
    dedicated leak tests; every other report aborts the process that makes it, the test
    processes and every interpreter they start alike. A report made on a thread that an
    exiting child ends midway may leave the child's exit status at 0, so with
    CSDK_SANITIZED set the tests also fail a child whose stderr holds a report.
    tools/asan.supp leaves out the runtime's one known false report, with its reason."""
    build = WORK / "build-asan"
    install(session, build, "test", CSDK_SANITIZE="ON")
    # The CSV crossover the tests run decodes with msgspec; the rest of the examples extra
    # (the chart, the cluster) would only make this run slower.
    session.run("python", "-m", "pip", "install", "-q", "msgspec>=0.18")
    asan = subprocess.run(["gcc", "-print-file-name=libasan.so"], capture_output=True, text=True,
                          check=True).stdout.strip()
    pytest(session, *session.posargs, CSDK_BUILD_DIR=str(build), LD_PRELOAD=asan,
           ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:"
                        f"suppressions={ROOT}/tools/asan.supp",
           UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1",
           CSDK_SANITIZED="1")


@nox.session(venv_backend="none", tags=[] if skipped("CSDK_SKIP_DEBUG_PYTHON") else ["extra"])
def debug(session: nox.Session) -> None:
    """The reference-count tests on a debug CPython (tools/debug_python.sh).

    sys.gettotalrefcount() over the whole reference-count loop. The script installs
    Debian's debug interpreter when none is at hand, and says so and succeeds when none
    can be had. Arguments go to pytest."""
    session.run("bash", str(ROOT / "tools" / "debug_python.sh"), *session.posargs, external=True)


@nox.session(venv_backend="none", tags=[] if skipped("CSDK_SKIP_VALGRIND") else ["valgrind"])
def valgrind(session: nox.Session) -> None:
    """Part of the suite under valgrind's memcheck (tools/valgrind.sh).

    The wrapper shapes, the bridge, the records and a few examples of every fuzz test;
    arguments replace that selection."""
    if not shutil.which("valgrind"):
        session.skip("valgrind is not installed; the memcheck run is skipped")
    session.run("bash", str(ROOT / "tools" / "valgrind.sh"), *session.posargs, external=True)
