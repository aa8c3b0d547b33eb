#!/usr/bin/env bash
# Runs a representative part of the test suite under valgrind's memcheck: the wrapper
# shapes, the event bridge, the record classes and a few examples of every fuzz test.
# Any invalid read or write, or use of an uninitialised value, fails the run (exit 1);
# the interpreter's own noise is suppressed by tools/valgrind-python.supp (or CPython's
# Misc/valgrind-python.supp when pyenv kept one). Leaks are not checked: the interpreter
# keeps memory until exit, and tests/test_refcounts.py covers the module's references.
#
#   bash tools/valgrind.sh                      the default selection
#   bash tools/valgrind.sh tests/test_direct.py  other pytest arguments instead
#   CSDK_VALGRIND_PYTHON=python3.12 bash tools/valgrind.sh
#   CSDK_VALGRIND_ORIGINS=1 bash tools/valgrind.sh   also trace where uninitialised values come from (slower)
#
# It builds the project with debug information (RelWithDebInfo) into a virtual
# environment of its own under .work/valgrind-<version> (installed again only after a
# change). A full run takes several minutes.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}/valgrind
start=$(date +%s)

if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind.sh: valgrind is not installed (apt-get install valgrind)" >&2
  exit 2
fi

# 3.12 by default: pyenv's 3.11.7 itself reports uninitialised reads at start-up
# (int.from_bytes of the codec registry, before any project code runs), which would
# taint every object derived from them.
python=${CSDK_VALGRIND_PYTHON:-}
if [[ -z "$python" ]]; then
  for candidate in "$HOME"/.pyenv/versions/3.12.*/bin/python3 "$HOME"/.pyenv/versions/3.13.*/bin/python3 \
                   "$HOME"/.pyenv/versions/3.10.*/bin/python3 "$(command -v python3 || true)"; do
    [[ -x "$candidate" ]] && python=$candidate && break
  done
fi
[[ -n "$python" ]] || { echo "valgrind.sh: no python found" >&2; exit 2; }

# CPython's own suppressions when pyenv kept its source tree, plus ours.
suppressions=(--suppressions="$root/tools/valgrind-python.supp")
prefix=$("$python" -c 'import sys; print(sys.base_prefix)')
version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
for supp in "$prefix/lib/python${version%.*}/../../Misc/valgrind-python.supp" \
            "$HOME/.pyenv/sources/$version/Python-$version/Misc/valgrind-python.supp"; do
  if [[ -f "$supp" ]]; then
    suppressions+=(--suppressions="$supp")
    break
  fi
done

work=$work-${version%.*}
mkdir -p "$work"
source "$root/tools/lib.sh"
venv_python=$(csdk_env "$work/venv" "$python" "$work/build" test --config-settings=cmake.build-type=RelWithDebInfo)

if [[ $# -gt 0 ]]; then
  selection=("$@")
else
  selection=(tests/test_shapes.py tests/test_bridge.py tests/test_records.py tests/test_fuzz.py)
fi

options=(--tool=memcheck --error-exitcode=1 --leak-check=no --num-callers=30 --error-limit=no
         --log-file="$work/valgrind.%p.log" "${suppressions[@]}")
[[ -n "${CSDK_VALGRIND_ORIGINS:-}" ]] && options+=(--track-origins=yes)

rm -f "$work"/valgrind.*.log
cd "$root"
status=0
# PYTHONMALLOC=malloc: every object is its own malloc block, so memcheck sees each one;
# a handful of fuzz examples per test (the functions still all run).
PYTHONMALLOC=malloc CSDK_FUZZ_EXAMPLES=${CSDK_FUZZ_EXAMPLES:-4} \
  valgrind "${options[@]}" "$venv_python" -m pytest -q -p no:cacheprovider "${selection[@]}" || status=$?

# Child interpreters the tests start are not traced; the log of the main process is
# the one that names pytest.
for log in "$work"/valgrind.*.log; do
  # Logs without a summary belong to children that replaced themselves with another
  # program right after the fork (subprocess): nothing ran in them under memcheck.
  summary=$(grep "ERROR SUMMARY" "$log" | tail -1 || true)
  [[ -n "$summary" ]] || continue
  echo "valgrind.sh: $(basename "$log"): ${summary#*== }" >&2
  if ! grep -q "ERROR SUMMARY: 0 errors" "$log"; then
    grep -B2 -A25 -m5 "Invalid\|uninitialised\|Uninitialised" "$log" >&2 || true
  fi
done
echo "valgrind.sh: finished in $(($(date +%s) - start)) s (exit status $status)" >&2
exit $status
