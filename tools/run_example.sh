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
"$venv/bin/python" -m pip install -q "$root" --config-settings=build-dir="$root/.work/build-example" >&2
cd "$root"
exec "$venv/bin/python" examples/ma_crossover.py "$@"
