#!/usr/bin/env bash
# The whole test matrix, as the nox sessions of noxfile.py: the suite on every CPython
# >= 3.10 that pyenv holds (or the python3 on PATH) and on CPython 3.14 and 3.15 in a
# Debian sid chroot, each in a fresh virtual environment; a build against a libzvsdk.so
# from outside the project; the suite with AddressSanitizer and UndefinedBehaviorSanitizer;
# the reference-count tests on a debug CPython; and part of the suite under valgrind,
# which runs beside the others at low priority and whose report comes at the end. Exits
# non-zero when any session fails. nox itself is installed into .work/venv-nox (the
# dependency group "nox" of pyproject.toml) when missing.
#
#   bash tools/test.sh                 everything
#   bash tools/test.sh -k bridge       pytest arguments for the suite runs (tests-*, sanitize)
#   CSDK_PYTHONS="python3.11" bash tools/test.sh   only the named interpreters
#   CSDK_SKIP_SANITIZE=1 bash tools/test.sh        without the sanitizer run
#   CSDK_SKIP_VENDOR=1 bash tools/test.sh          without the build against an outside libzvsdk.so
#   CSDK_SKIP_DEBUG_PYTHON=1 bash tools/test.sh    without the debug-CPython run
#   CSDK_SKIP_VALGRIND=1 bash tools/test.sh        without the valgrind run
#   CSDK_SKIP_PY314=1 / CSDK_SKIP_PY315=1 bash tools/test.sh
#                                   without CPython 3.14 / 3.15, which run in a Debian sid
#                                   chroot (tools/newer_pythons.sh; as root, unless
#                                   CSDK_PYTHONS names the interpreters)
#
# One session alone: .work/venv-nox/bin/nox -s tests-3.12 -- tests/test_status.py
# (nox --list names them all).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}
mkdir -p "$work"
source "$root/tools/lib.sh"
nox=$(csdk_nox "$work/venv-nox" python3)
cd "$root"

# selected TAG: whether any session carries TAG (the skip variables take sessions out).
selected() {
  [[ $("$nox" --list --json -t "$1" 2>/dev/null) != "[]" ]]
}

status=0
# memcheck runs single-threaded for several minutes, so it goes beside the other
# sessions, at low priority, in a process group of its own (stopped with the script),
# and its report is printed at the end.
valgrind_pid=
if selected valgrind; then
  setsid nice -n 10 "$nox" -t valgrind >"$work/valgrind-run.log" 2>&1 &
  valgrind_pid=$!
  # A no-op once it has been waited for (under set -e a failing command in this trap
  # would become the script's exit status, hence the || true).
  trap 'kill -- -"$valgrind_pid" 2>/dev/null || true' EXIT
fi

# The suite runs (every interpreter, then the sanitizer) take the pytest arguments; the
# vendor build and the debug CPython run their own selections.
if selected suite; then
  "$nox" -t suite -- "$@" || status=1
fi
if selected extra; then
  "$nox" -t extra || status=1
fi

if [[ -n "$valgrind_pid" ]]; then
  echo "=== valgrind memcheck (run beside the sessions above)"
  wait "$valgrind_pid" || status=1
  grep -v "^WARNING: Location" "$work/valgrind-run.log" || true
fi
exit $status
