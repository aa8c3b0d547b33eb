#!/usr/bin/env bash
# Installs the project with its examples extra into a virtual environment and runs the example strategy session (options go to examples/ma_crossover.py).
#   bash tools/run_example.sh [example options]
# The project is reinstalled only when what gets installed changed: a hash of those
# sources is kept in the venv beside the installation it describes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=${CSDK_EXAMPLE_VENV:-$root/.work/venv-example}
python=${PYTHON:-python3}
if [[ ! -x "$venv/bin/python" ]]; then
  "$python" -m venv "$venv"
fi
stamp=$venv/.c_sdk-source-hash
sources=$(cd "$root" && find CMakeLists.txt pyproject.toml c_sdk.pyi src standin_sdk host_package \
            -type f ! -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum)
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$sources" ]]; then
  rm -f "$stamp"
  source "$root/tools/lib.sh" && csdk_install "$venv/bin/python" "$root/.work/build-example" examples
  echo "$sources" >"$stamp"
fi
# From the caller's folder, so that relative --data and --report paths mean what they say.
exec "$venv/bin/python" "$root/examples/ma_crossover.py" "$@"
