#!/usr/bin/env bash
# The inner loop while developing: rebuilds what changed into one virtual environment and
# runs the unit tests of that one interpreter on every core (pytest-xdist), leaving out
# the tests marked slow (packaging builds, sweeps over fresh interpreters), which
# tools/test.sh runs with everything else.
#
#   bash tools/quick.sh                         python3, every unit test
#   PYTHON=python3.12 bash tools/quick.sh       another interpreter
#   bash tools/quick.sh tests/test_records.py -k bar   pytest arguments instead of the default
#
# The environment (.work/venv-quick-<version>) and the build folder are kept between runs,
# and the project is reinstalled only when one of its files changed since.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}
source "$root/tools/lib.sh"

py=${PYTHON:-python3}
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=$work/venv-quick-$ver
python=$(csdk_venv "$venv" "$py")
# Reinstalled only when a file the build or the installed packages come from is newer
# than the last install.
stamp=$venv/.installed
if [[ ! -f $stamp ]] || [[ -n $(cd "$root" && find CMakeLists.txt pyproject.toml c_sdk.pyi README.md LICENSE \
    src standin_sdk/CMakeLists.txt standin_sdk/src standin_sdk/zvsdk_standin \
    standin_sdk/pytest_zvsdk host_package \
    -newer "$stamp" -type f -not -path "*/__pycache__/*" -not -path "host_package/build/*" \
    -not -path "*.egg-info/*" -print -quit) ]]; then
  rm -f "$stamp"
  touch "$stamp.next"  # a file edited during the install is newer than this
  csdk_install "$python" "$work/build-quick-$ver" test
  mv "$stamp.next" "$stamp"
fi

cd "$root"
exec env CSDK_BUILD_DIR="$work/build-quick-$ver" \
  "$python" -m pytest -q -p no:cacheprovider -n auto -m "not slow" "$@"
