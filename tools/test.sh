#!/usr/bin/env bash
# Installs the project into a fresh virtual environment for every CPython >= 3.10 that
# pyenv holds (or the python3 on PATH), runs the test suite in each, checks a build
# against a libzvsdk.so from outside the project, then runs the suite once more with the
# module and the stand-in SDK built with AddressSanitizer and UndefinedBehaviorSanitizer,
# the reference-count tests on a debug CPython and part of the suite under valgrind.
#
#   bash tools/test.sh                 all interpreters, then the runs above
#   CSDK_PYTHONS="python3.11" bash tools/test.sh   only the named interpreters
#   CSDK_SKIP_SANITIZE=1 bash tools/test.sh        without the sanitizer run
#   CSDK_SKIP_VENDOR=1 bash tools/test.sh          without the build against an outside libzvsdk.so
#   CSDK_SKIP_DEBUG_PYTHON=1 bash tools/test.sh    without the debug-CPython run
#   CSDK_SKIP_VALGRIND=1 bash tools/test.sh        without the valgrind run
#   CSDK_SKIP_PY314=1 / CSDK_SKIP_PY315=1 bash tools/test.sh
#                                   without CPython 3.14 / 3.15, which run in a Debian sid
#                                   chroot (tools/newer_pythons.sh; as root, unless
#                                   CSDK_PYTHONS names the interpreters)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}
mkdir -p "$work"

pythons=()
if [[ -n "${CSDK_PYTHONS:-}" ]]; then
  read -r -a pythons <<<"$CSDK_PYTHONS"
else
  for py in "$HOME"/.pyenv/versions/*/bin/python3; do
    [[ -x "$py" ]] || continue
    if "$py" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 10) else 1)' 2>/dev/null; then
      pythons+=("$py")
    fi
  done
  [[ ${#pythons[@]} -gt 0 ]] || pythons=(python3)
fi

source "$root/tools/lib.sh"

# install_into NAME PYTHON [extra env for the build]: a fresh venv with the substitute zv,
# the project and its test requirements (the extras named in $extras); prints the venv's
# python. The examples' libraries may have no build for the newest interpreters: their
# tests are then skipped.
extras=test
install_into() {
  local name=$1 py=$2
  shift 2
  local python
  python=$(csdk_venv "$work/venv-$name" "$py" --fresh) || return 1
  (if (($#)); then export "$@"; fi
   csdk_install "$python" "$work/build-$name" "$extras" ||
     { [[ $extras != test ]] && echo "installing [$extras] failed; the examples' tests are skipped" >&2 &&
       csdk_install "$python" "$work/build-$name" test; }) || return 1
  echo "$python"
}

# run_suite NAME PYTHON [extra env]: the tests; the packaging tests reuse the build folder.
run_suite() {
  local name=$1 python=$2
  shift 2
  (cd "$root" && env CSDK_BUILD_DIR="$work/build-$name" "$@" \
    "$python" -m pytest -q -p no:cacheprovider "${PYTEST_ARGS[@]}")
}

PYTEST_ARGS=("$@")
status=0

# memcheck runs single-threaded for several minutes, so it goes beside the other steps,
# at low priority, and its report is printed at the end.
valgrind_pid=
if [[ -z "${CSDK_SKIP_VALGRIND:-}" ]]; then
  if command -v valgrind >/dev/null 2>&1; then
    nice -n 10 bash "$root/tools/valgrind.sh" >"$work/valgrind-run.log" 2>&1 &
    valgrind_pid=$!
    # Stopped with the script; a no-op once it has been waited for (under set -e a failing
    # command in this trap would become the script's exit status, hence the || true).
    trap 'pkill -P "$valgrind_pid" 2>/dev/null || true; kill "$valgrind_pid" 2>/dev/null || true' EXIT
  else
    echo "valgrind is not installed; the memcheck run is skipped" >&2
  fi
fi
# Each interpreter's run also covers the examples (their libraries, and the reference
# backtester the CSV crossover is compared with); the builds below do without.
extras=test,examples,reference
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "=== CPython $ver ($py)"
  # The packaging tests reuse the build folder, so they get the same configuration.
  python=$(install_into "$ver" "$py" CSDK_WERROR=ON) || { status=1; continue; }
  run_suite "$ver" "$python" CSDK_WERROR=ON || status=1
done
for ver in 3.14 3.15; do
  skip=CSDK_SKIP_PY${ver/./}
  [[ -z "${!skip:-}" && -z "${CSDK_PYTHONS:-}" ]] || continue
  echo "=== CPython $ver (Debian sid chroot)"
  if [[ $(id -u) == 0 ]]; then
    bash "$root/tools/newer_pythons.sh" test "$ver" "$@" || status=1
  else
    echo "not root: CPython $ver is skipped" >&2
  fi
done
extras=test

# One interpreter for the extra builds below: 3.11 where there is one.
py=${pythons[0]}
for candidate in "${pythons[@]}"; do
  [[ $("$candidate" -c 'import sys; print(sys.version_info[:2] == (3, 11))') == True ]] && py=$candidate
done

if [[ -z "${CSDK_SKIP_VENDOR:-}" ]]; then
  # The module built against a libzvsdk.so outside the project, as against the vendor's:
  # a copy of the stand-in plays that library, so the stand-in's tests still drive it. As
  # by default, the module records no run path and the loader finds the library through
  # LD_LIBRARY_PATH; test_vendor_build.py also relinks it with CSDK_VENDOR_RPATH.
  echo "=== Built against another libzvsdk.so ($py)"
  vendor=$work/vendor-lib
  rm -rf "$vendor" && mkdir -p "$vendor"
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if standin=$("$work/venv-$ver/bin/python" -c 'import zvsdk_standin; print(zvsdk_standin.default_library_path())') &&
     cp "$standin" "$vendor/" && python=$(install_into vendor "$py" CSDK_VENDOR_SDK="$vendor/libzvsdk.so"); then
    (cd "$root" && CSDK_VENDOR_SDK="$vendor/libzvsdk.so" ZVSDK_STANDIN_LIB="$vendor/libzvsdk.so" \
      LD_LIBRARY_PATH="$vendor${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" PYTHONPATH="$root/standin_sdk" \
      CSDK_BUILD_DIR="$work/build-vendor" \
      "$python" -m pytest -q -p no:cacheprovider tests/test_vendor_build.py tests/test_shapes.py tests/test_bridge.py) \
      || status=1
  else
    status=1
  fi
fi

if [[ -z "${CSDK_SKIP_SANITIZE:-}" ]]; then
  echo "=== AddressSanitizer + UndefinedBehaviorSanitizer ($py)"
  asan=$(gcc -print-file-name=libasan.so)
  # The interpreter itself keeps memory until exit, so leak checking is left to the
  # dedicated leak tests; every other report aborts the process that makes it, the test
  # processes and every interpreter they start alike. A report made on a thread that an
  # exiting child ends midway may leave the child's exit status at 0, so with
  # CSDK_SANITIZED set the tests also fail a child whose stderr holds a report.
  # tools/asan.supp leaves out the runtime's one known false report, with its reason.
  if python=$(install_into asan "$py" CSDK_SANITIZE=ON); then
    run_suite asan "$python" LD_PRELOAD="$asan" \
      ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:suppressions="$root/tools/asan.supp" \
      UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
      CSDK_SANITIZED=1 || status=1
  else
    status=1
  fi
fi
if [[ -z "${CSDK_SKIP_DEBUG_PYTHON:-}" ]]; then
  # sys.gettotalrefcount() over the whole reference-count loop; installs Debian's debug
  # interpreter when none is at hand, and says so and goes on when none can be had.
  echo "=== Reference counts on a debug CPython"
  bash "$root/tools/debug_python.sh" || status=1
fi

if [[ -n "$valgrind_pid" ]]; then
  echo "=== valgrind memcheck (run beside the steps above)"
  wait "$valgrind_pid" || status=1
  grep -v "^WARNING: Location" "$work/valgrind-run.log" || true
fi
exit $status
