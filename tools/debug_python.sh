#!/usr/bin/env bash
# Runs the reference-count tests on a debug build of CPython, where sys.gettotalrefcount
# exists and tests/test_refcounts.py also checks that the interpreter's total reference
# count stays flat.
#
#   bash tools/debug_python.sh              find (or install) a debug CPython, build, test
#   CSDK_DEBUG_PYTHON=/path/python3.11d bash tools/debug_python.sh
#   bash tools/debug_python.sh -k bridge     extra arguments go to pytest
#
# Looks for a debug interpreter in $CSDK_DEBUG_PYTHON, on PATH (python3.X-dbg, python3.Xd)
# and in pyenv's versions. Without one, and when run as root with apt-get available, it
# installs Debian's python3-dbg, python3-dev and python3-venv. When none can be had it
# says so and exits 0: the debug run is an extra, not a requirement.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}/debug-python
start=$(date +%s)

is_debug() {
  "$1" -c 'import sys; sys.exit(0 if hasattr(sys, "gettotalrefcount") and sys.version_info >= (3, 10) else 1)' \
    >/dev/null 2>&1
}

find_debug_python() {
  local candidates=()
  [[ -n "${CSDK_DEBUG_PYTHON:-}" ]] && candidates+=("$CSDK_DEBUG_PYTHON")
  for minor in 13 12 11 10; do
    for name in "python3.$minor-dbg" "python3.${minor}d"; do
      command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
    done
  done
  command -v python3-dbg >/dev/null 2>&1 && candidates+=("$(command -v python3-dbg)")
  for py in "$HOME"/.pyenv/versions/*/bin/python3; do
    [[ -x "$py" ]] && candidates+=("$py")
  done
  for py in "${candidates[@]}"; do
    if is_debug "$py"; then
      echo "$py"
      return 0
    fi
  done
  return 1
}

python=$(find_debug_python)
if [[ -z "$python" ]]; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    echo "debug_python: no debug CPython found; installing python3-dbg with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    if ! timeout 600 apt-get install -y --no-install-recommends python3-dbg python3-dev python3-venv >&2; then
      timeout 300 apt-get update >&2 &&
        timeout 600 apt-get install -y --no-install-recommends python3-dbg python3-dev python3-venv >&2
    fi
    python=$(find_debug_python)
  fi
fi
if [[ -z "$python" ]]; then
  echo "debug_python: no debug build of CPython available (set CSDK_DEBUG_PYTHON, or run as root" \
    "with apt-get reachable to install python3-dbg); nothing run." >&2
  exit 0
fi
echo "debug_python: using $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))" >&2

mkdir -p "$work"
source "$root/tools/lib.sh"
venv=$work/venv
fresh=
[[ -x "$venv/bin/python" ]] && ! is_debug "$venv/bin/python" && fresh=--fresh
# (A debug interpreter shows every ResourceWarning; pip leaves files to the collector.)
if ! PYTHONWARNINGS=ignore csdk_venv "$venv" "$python" $fresh >/dev/null; then
  echo "debug_python: cannot create a virtual environment with $python (python3-venv missing?)" >&2
  exit 1
fi
# Debian's /usr/include/python3.Xd holds symbolic links into the release headers, and
# CMake passes it with -isystem, for which GCC resolves the links: "pyconfig.h" would then
# be the release one, without Py_DEBUG, and the module's reference counting would not
# update the interpreter's total. -fno-canonical-system-headers keeps the links' paths.
export CFLAGS="${CFLAGS:-} -fno-canonical-system-headers"
export CXXFLAGS="${CXXFLAGS:-} -fno-canonical-system-headers"
build=$work/build
if [[ -f "$build/CMakeCache.txt" ]] && ! grep -q -- "-fno-canonical-system-headers" "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
# The build directory makes a rebuild incremental; -j2 keeps a shared machine usable; the
# project is installed again only when its sources or these flags changed (csdk_env).
if ! PYTHONWARNINGS=ignore csdk_env "$venv" "$python" "$build" test >/dev/null; then
  echo "debug_python: building the project for $python failed" >&2
  exit 1
fi
module=$("$venv/bin/python" -c 'import importlib.util; print(importlib.util.find_spec("c_sdk").origin)')
if [[ $(nm -D "$module" 2>/dev/null | grep -c _Py_RefTotal) -eq 0 ]]; then
  echo "debug_python: $module was not compiled with Py_DEBUG (wrong pyconfig.h?); total counts would be wrong" >&2
  exit 1
fi

cd "$root" || exit 1
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_refcounts.py "$@"
status=$?
echo "debug_python: finished in $(($(date +%s) - start)) s (pytest exit status $status)" >&2
exit $status
