# Sourced by the project's scripts (tools/*.sh, bench/run.sh) and called by noxfile.py:
# the one way they make a virtual environment and install the project into it.
#
#   source "$root/tools/lib.sh"
#   python=$(csdk_env "$root/.work/venv-x" python3.11 "$root/.work/build-x" test)
#   python=$(csdk_venv "$root/.work/venv-x" python3.11 --fresh)
#   CSDK_SANITIZE=ON csdk_install "$python" "$root/.work/build-x" test
#
# Run as a command, it calls the function its first argument names with the rest:
#
#   bash tools/lib.sh csdk_install .work/nox/tests-3-12/bin/python .work/build-3.12 test
#
# Variables set before csdk_install or csdk_env (CSDK_SANITIZE, CSDK_VENDOR_SDK, CFLAGS,
# ...) reach the build. Progress and pip's output go to standard error.

csdk_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# What an installation of the project is made from: the build, the packages installed
# and their metadata (README.md is the long description, LICENSE the licence file),
# tools/check_sdk.py (it checks a vendor library at configure time) and host_package/.
csdk_sources=(CMakeLists.txt pyproject.toml c_sdk.pyi README.md LICENSE tools/check_sdk.py src
              standin_sdk/CMakeLists.txt standin_sdk/src standin_sdk/zvsdk_standin
              standin_sdk/pytest_zvsdk host_package)
# The environment variables that change what the build makes.
csdk_build_vars=(CSDK_SANITIZE CSDK_VENDOR_SDK CSDK_WERROR CSDK_VENDOR_RPATH CFLAGS CXXFLAGS LDFLAGS CMAKE_ARGS)

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

# csdk_source_hash [words...]: a digest of the files in csdk_sources (caches and build
# output left out), of the words given and of the values of csdk_build_vars.
csdk_source_hash() {
  local name
  {
    (cd "$csdk_root" && find "${csdk_sources[@]}" -type f ! -path '*/__pycache__/*' \
       ! -path 'host_package/build/*' ! -path '*.egg-info/*' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
    printf '%s\n' "$@"
    for name in "${csdk_build_vars[@]}"; do echo "$name=${!name:-}"; done
  } | sha256sum | cut -d' ' -f1
}

# csdk_env DIR PYTHON BUILD_DIR [EXTRAS [pip options...]]: the environment at DIR (made with
# csdk_venv when missing) with the project installed as csdk_install would, built in
# BUILD_DIR; prints its python. The project is installed again only when the digest of
# what an installation is made from (csdk_source_hash: the sources, EXTRAS, the options
# and the build's variables) differs from the one kept in DIR since the last install.
csdk_env() {
  local dir=$1 py=$2 build=$3 extras=${4:-}
  shift $(($# < 4 ? $# : 4))
  local python stamp hash
  python=$(csdk_venv "$dir" "$py") || return 1
  stamp=$dir/.c_sdk-source-hash
  # Taken before the install: a file edited while it runs makes the next call install again.
  hash=$(csdk_source_hash "$extras" "$@")
  if [[ ! -f $stamp || $(cat "$stamp") != "$hash" ]]; then
    rm -f "$stamp"
    csdk_install "$python" "$build" "$extras" "$@" || return 1
    echo "$hash" >"$stamp"
  fi
  echo "$python"
}

# csdk_nox DIR PYTHON: an environment at DIR (made with PYTHON when missing) holding nox,
# as the dependency group "nox" of pyproject.toml names it; prints the nox command.
csdk_nox() {
  local dir=$1 py=$2 python
  python=$(csdk_venv "$dir" "$py") || return 1
  "$python" -m pip install -q --group "$csdk_root/pyproject.toml:nox" >&2 || return 1
  echo "$dir/bin/nox"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  case ${1:-} in
    csdk_venv | csdk_install | csdk_env | csdk_nox | csdk_source_hash) "$@" ;;
    *) echo "usage: bash tools/lib.sh csdk_install|csdk_env|csdk_venv|csdk_nox|csdk_source_hash ARGS..." >&2
       exit 2 ;;
  esac
fi
