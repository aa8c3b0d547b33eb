# Sourced by the project's scripts (tools/*.sh, bench/run.sh): the one way they make a
# virtual environment and install the project into it.
#
#   source "$root/tools/lib.sh"
#   python=$(csdk_venv "$root/.work/venv-x" python3.11 --fresh)
#   CSDK_SANITIZE=ON csdk_install "$python" "$root/.work/build-x" test
#
# Variables set before csdk_install (CSDK_SANITIZE, CSDK_VENDOR_SDK, CFLAGS, ...) reach the
# build. Progress and pip's output go to standard error.

csdk_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# csdk_venv DIR PYTHON [--fresh]: a virtual environment at DIR made with PYTHON, kept when
# it is already there (made anew with --fresh), with pip brought up to date when it is
# made; prints its python.
csdk_venv() {
  local dir=$1 py=$2 fresh=${3:-}
  [[ $fresh == --fresh ]] && rm -rf "$dir"
  if [[ ! -x "$dir/bin/python" ]]; then
    "$py" -m venv "$dir" >&2 || return 1
    "$dir/bin/python" -m pip install -q --upgrade pip >&2 || return 1
  fi
  echo "$dir/bin/python"
}

# csdk_install PYTHON BUILD_DIR [EXTRAS [pip options...]]: installs into the environment of
# PYTHON the project, with EXTRAS ("test", or "" for none), built in BUILD_DIR, and then
# the substitute host package zv (host_package/, a distribution of its own). The build
# folder is kept, so installing again recompiles only what changed; two compile jobs by
# default, as the machine is shared. (The substitute comes last: an environment made
# when the project's own wheel still carried zv loses those files when that old version
# is uninstalled.)
csdk_install() {
  local python=$1 build=$2 extras=${3:-}
  shift $(($# < 3 ? $# : 3))
  local project=$csdk_root
  [[ -n $extras ]] && project="$csdk_root[$extras]"
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
    "$python" -m pip install -q "$project" --config-settings=build-dir="$build" "$@" >&2 || return 1
  "$python" -m pip install -q "$csdk_root/host_package" >&2
}
