#!/usr/bin/env bash
# Builds the distributions of the project into dist/ (or $CSDK_DIST_DIR): the sdist and,
# from it, the wheel (python -m build), plus the wheel of the substitute host package
# (host_package/), then prints what auditwheel says of the project's wheel.
#
#   bash tools/dist.sh
#
# build and auditwheel come from PyPI into .work/venv-dist; PYTHON picks the interpreter
# (default python3), which is the one the wheel is for.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${CSDK_WORK_DIR:-$root/.work}
dist=${CSDK_DIST_DIR:-$root/dist}
source "$root/tools/lib.sh"

python=$(csdk_venv "$work/venv-dist" "${PYTHON:-python3}")
"$python" -m pip install -q "build>=1" "auditwheel>=6" >&2
mkdir -p "$dist"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "$python" -m build --outdir "$dist" "$root" >&2
"$python" -m build --wheel --outdir "$dist" "$root/host_package" >&2
ls -l "$dist"
for wheel in "$dist"/c_sdk-*.whl; do
  "$(dirname "$python")/auditwheel" show "$wheel"
done
