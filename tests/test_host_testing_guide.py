"""docs/testing-host-code.md and its example (docs/examples/host_testing/): the guide shows
the example's files as they are, and the example's tests pass with the installed project
and pytest alone: here, and (slow) in a fresh virtual environment."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import run_child

ROOT = Path(__file__).resolve().parent.parent
GUIDE = ROOT / "docs" / "testing-host-code.md"
EXAMPLE = ROOT / "docs" / "examples" / "host_testing"
FILES = ("orders.py", "test_orders.py")
# Every Python block of the guide names the example file it is a piece of.
BLOCK = re.compile(r"<!-- (\S+) -->\n```python\n(.*?)\n```", re.S)


def guide_blocks():
    text = GUIDE.read_text(encoding="utf-8")
    blocks = BLOCK.findall(text)
    assert len(blocks) == text.count("```python"), "a Python block of the guide names no example file"
    return blocks


def test_the_guide_shows_the_example_files_as_they_are():
    pieces = {}
    for path, code in guide_blocks():
        pieces.setdefault(path, []).append(code)
    assert sorted(pieces) == sorted(f"docs/examples/host_testing/{name}" for name in FILES)
    for path, codes in pieces.items():
        # The pieces, in the guide's order, separated as top-level definitions are.
        assert "\n\n\n".join(codes) + "\n" == (ROOT / path).read_text(encoding="utf-8"), (
            f"the guide's blocks of {path} differ from the file")


def run_example(python, folder, env=None):
    for name in FILES:
        shutil.copy(EXAMPLE / name, folder / name)
    # Outside the project, so that neither its pytest configuration nor its conftest apply.
    proc = run_child([str(python), "-m", "pytest", "-v", "-p", "no:cacheprovider"], cwd=folder, env=env,
                     timeout=300)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    assert re.search(r"^plugins:.*\bc-sdk-", proc.stdout, re.M), proc.stdout  # found through its entry point
    assert " 5 passed" in proc.stdout, proc.stdout


def test_the_example_passes_here(tmp_path):
    run_example(sys.executable, tmp_path)


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("CSDK_SANITIZED")), reason="builds without the sanitizers")
def test_the_example_passes_with_the_project_and_pytest_alone(tmp_path):
    from test_distribution import clean_env

    env = clean_env()
    venv = tmp_path / "venv"
    # Reuses the installed build's folder when tools/test.sh or quick.sh names it.
    build = os.environ.get("CSDK_BUILD_DIR") or str(tmp_path / "build")
    script = f"""
        set -euo pipefail
        source {ROOT / 'tools' / 'lib.sh'}
        python=$(csdk_venv {venv} {sys.executable} --fresh)
        csdk_install "$python" {build} ""
        "$python" -m pip install -q pytest
    """
    proc = subprocess.run(["bash", "-c", script], capture_output=True, text=True, env=env, timeout=1200)
    assert proc.returncode == 0, f"installing failed\n{proc.stdout}\n{proc.stderr}"
    python = venv / "bin" / "python"
    installed = subprocess.run([str(python), "-m", "pip", "list", "--format=freeze"], capture_output=True,
                               text=True, env=env, timeout=120, check=True).stdout
    names = {line.split("==")[0].lower() for line in installed.split()}
    assert {"c-sdk", "pytest"} <= names and not names & {"pytest-xdist", "hypothesis", "mypy"}, names
    (tmp_path / "project").mkdir()
    run_example(python, tmp_path / "project", env)
