"""The folders of src/ form layers: a file includes only from its own folder or from a
layer beneath it (docs/architecture.md)."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"

# Higher includes lower, never the other way; folders of one layer include none of each other.
LAYER = {"module": 4, "wrappers": 3, "session": 2, "records": 2, "plumbing": 1, "sdk": 0}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def includes():
    for path in sorted(SRC.rglob("*")):
        if path.is_file() and path.suffix in (".cpp", ".hpp", ".h", ".def", ".inc"):
            for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
                yield path, target


def folder_of(path):
    return path.resolve().relative_to(SRC).parts[0]


def test_every_folder_has_a_layer():
    assert sorted(p.name for p in SRC.iterdir() if p.is_dir()) == sorted(LAYER)


@pytest.mark.parametrize("path,target", [pytest.param(p, t, id=f"{p.relative_to(SRC)}:{t}") for p, t in includes()])
def test_includes_point_down(path, target):
    resolved = (path.parent / target).resolve()
    assert resolved.is_file(), f"{path.relative_to(SRC)} includes a missing file {target}"
    assert resolved.is_relative_to(SRC), f"{path.relative_to(SRC)} includes {target} from outside src/"
    here, there = folder_of(path), folder_of(resolved)
    assert here == there or LAYER[there] < LAYER[here], (
        f"{path.relative_to(SRC)} ({here}) includes {target} from {there}, a folder at or above its own layer")
