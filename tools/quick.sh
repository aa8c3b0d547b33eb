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
# and the project is reinstalled only when what gets installed changed since (csdk_env in
# tools/lib.sh: a hash of those sources).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}
source "$root/tools/lib.sh"

py=${PYTHON:-python3}
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
python=$(csdk_env "$work/venv-quick-$ver" "$py" "$work/build-quick-$ver" test)

cd "$root"
exec env CSDK_BUILD_DIR="$work/build-quick-$ver" \
  "$python" -m pytest -q -p no:cacheprovider -n auto -m "not slow" "$@"
