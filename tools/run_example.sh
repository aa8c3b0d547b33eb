#!/usr/bin/env bash
# Installs the project with its examples extra into a virtual environment and runs the example strategy session (options go to examples/ma_crossover.py).
#   bash tools/run_example.sh [example options]
# The project is reinstalled only when what gets installed changed: a hash of those
# sources is kept in the venv beside the installation it describes (csdk_env, tools/lib.sh).
# PYTHON picks the interpreter (default python3), CSDK_EXAMPLE_VENV the environment.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${CSDK_EXAMPLE_VENV:-$root/.work/venv-example}
source "$root/tools/lib.sh"
python=$(csdk_env "$venv" "${PYTHON:-python3}" "$root/.work/build-example" examples)
# From the caller's folder, so that relative --data and --report paths mean what they say.
exec "$python" "$root/examples/ma_crossover.py" "$@"
