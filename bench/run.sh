#!/usr/bin/env bash
# Builds what the benchmarks need and prints the table:
#
#   bash bench/run.sh              timings (B1-B4) and the memory soak, a few minutes
#   bash bench/run.sh --quick      the same with a tenth of the work
#   bash bench/run.sh --callgrind  instruction counts per call (B1, B2, B2s, B3)
#
#   bash bench/run.sh --python ~/.pyenv/versions/3.12.1/bin/python3    on that interpreter
#   bash tools/newer_pythons.sh run 3.15 bash bench/run.sh   on CPython 3.14/3.15 (chroot)
#
# Other options go to bench/run.py (--cases, --repeats, --no-soak, --json FILE).
# Installs the project into .work/venv-bench-<version> (again only when its sources
# changed) with Cython, cffi and pybind11 from PyPI, then builds the floor and the peers
# into .work/bench-refs-<version> against the libzvsdk.so installed with c_sdk (in
# c_sdk.libs/). The interpreter is --python PATH, else CSDK_PYTHON, else PYTHON, else python3.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}
python=${CSDK_PYTHON:-${PYTHON:-python3}}
args=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --python) [[ $# -ge 2 ]] || { echo "--python needs an interpreter" >&2; exit 2; }; python=$2; shift 2 ;;
    --python=*) python=${1#--python=}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done
set -- ${args[@]+"${args[@]}"}
ver=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=$work/venv-bench-$ver
refs=$work/bench-refs-$ver
mkdir -p "$work" "$refs"

if [[ " $* " == *" --callgrind "* ]] && ! command -v valgrind >/dev/null; then
  apt-get update -q >&2 && apt-get install -y -q valgrind >&2
fi

source "$root/tools/lib.sh"
# Unstripped, so callgrind and perf name the module's functions; the code is the same.
# Reinstalled only when the sources changed since the last run (csdk_env).
csdk_env "$venv" "$python" "$work/build-bench-$ver" "" --config-settings=install.strip=false >/dev/null
"$venv/bin/python" -m pip install -q "setuptools>=68" "Cython>=3" "cffi>=1.16" "pybind11>=2.12" >&2

log=$refs/build.log
if ! "$venv/bin/python" "$root/bench/build_refs.py" "$refs" >"$log" 2>&1; then
  cat "$log" >&2
  echo "building the reference extensions failed (log: $log)" >&2
  exit 1
fi

cd "$root"
CSDK_BENCH_REFS=$refs exec "$venv/bin/python" "$root/bench/run.py" --refs "$refs" "$@"
