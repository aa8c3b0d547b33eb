#!/usr/bin/env bash
# Installs the project into a fresh virtual environment and runs the example strategy session (options go to examples/ma_crossover.py).
#   bash tools/run_example.sh [example options]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${CSDK_EXAMPLE_VENV:-$root/.work/venv-example}
python=${PYTHON:-python3}
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
fi
source "$root/tools/lib.sh" && csdk_install "$venv/bin/python" "$root/.work/build-example"
cd "$root"
exec "$venv/bin/python" examples/ma_crossover.py "$@"
