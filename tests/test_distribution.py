"""The project's distributions: the sdist holds what rebuilds and tests the project, and
the wheel installs only names of its own, so that in an environment that has the real
host package zv, installing and uninstalling c-sdk leaves zv alone.

The wheel is built once per run; the test sessions (noxfile.py) pass the build folder of
the installed module (CSDK_BUILD_DIR), so that building it again only packages what is there."""
import base64
import email
import hashlib
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(bool(os.environ.get("CSDK_SANITIZED")), reason="builds without the sanitizers"),
]

# Settings of the other test sessions' builds that must not reach these.
_BUILD_VARIABLES = ("CSDK_SANITIZE", "CSDK_VENDOR_SDK", "CSDK_VENDOR_RPATH", "PYTHONPATH", "ZVSDK_STANDIN_LIB",
                    "LD_LIBRARY_PATH", "LD_PRELOAD")


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in _BUILD_VARIABLES}


def run(*args, cwd=None):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=clean_env(), cwd=cwd,
                          timeout=900)
    assert proc.returncode == 0, f"{args}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


@pytest.fixture(scope="session")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    build_dir = os.environ.get("CSDK_BUILD_DIR") or out / "build"
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", out / "dist", ROOT,
        f"--config-settings=build-dir={build_dir}")
    [path] = (out / "dist").glob("c_sdk-*.whl")
    return path


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def fake_host_wheel(folder):
    """A wheel of a distribution named zv, standing for the real host package."""
    files = {
        "zv/__init__.py": b"REAL = True\n",
        "zv/constant.py": b"CSDK_OPERATE_SUCCESS = 0\n",
        "zv/utils.py": b"import logging\nzvsdklogger = logging.getLogger('zv.real')\n",
        "zv/api.py": b"def order_volume(*args):\n    pass\n",
    }
    info = "zv-9.1.dist-info"
    files[f"{info}/METADATA"] = b"Metadata-Version: 2.1\nName: zv\nVersion: 9.1\n"
    files[f"{info}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: hand\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = [record_line(p, d) for p, d in files.items()] + [f"{info}/RECORD,,"]
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    path = folder / "zv-9.1-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
    return path


def tree(folder):
    return {p.relative_to(folder).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file() and "__pycache__" not in p.parts}


def test_sdist_holds_what_rebuilds_and_tests_the_project(tmp_path):
    run(sys.executable, "-m", "build", "--sdist", "--outdir", tmp_path, ROOT)
    [sdist] = tmp_path.glob("c_sdk-*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = tar.getnames()
        top = names[0].split("/")[0]
        members = {n.split("/", 1)[1] for n in names if "/" in n}
        info = email.message_from_bytes(tar.extractfile(f"{top}/PKG-INFO").read())
    for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "c_sdk.pyi",
                   "src/sdk/zvsdk.h", "src/wrappers/registry.def", "src/records/fields.def",
                   "standin_sdk/CMakeLists.txt", "standin_sdk/src/exports.map", "standin_sdk/zvsdk_standin/__init__.py",
                   "standin_sdk/tests/test_standin.py", "host_package/pyproject.toml", "host_package/zv/utils.py",
                   "tests/conftest.py", "noxfile.py", "tools/test.sh", "tools/lib.sh", "tools/gen_api.py",
                   "tools/call_kinds.py",
                   "tools/check_sdk.py", "docs/api.md", "examples/ma_crossover.py", "bench/run.sh", ".ci/run"):
        assert needed in members, needed
    assert not [n for n in members if n.startswith((".work/", ".git/")) or "__pycache__" in n]
    assert info["License-Expression"] == "Apache-2.0"


def test_installs_only_its_own_names_and_leaves_a_real_zv_alone(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as z:
        tops = {n.split("/")[0] for n in z.namelist()}
        meta = email.message_from_bytes(z.read("c_sdk-0.1.0.dist-info/METADATA"))
        entry_points = z.read("c_sdk-0.1.0.dist-info/entry_points.txt").decode()
        names = z.namelist()
        licenses = [n for n in z.namelist() if n.startswith("c_sdk-0.1.0.dist-info/licenses/")]
    module = next(t for t in tops if t.startswith("c_sdk.") and t.endswith(".so"))
    assert tops == {module, "c_sdk.pyi", "c_sdk-stubs", "c_sdk.libs", "zvsdk_standin", "pytest_zvsdk",
                    "c_sdk-0.1.0.dist-info"}
    assert meta["License-Expression"] == "Apache-2.0" and licenses == ["c_sdk-0.1.0.dist-info/licenses/LICENSE"]
    # Typed packages (PEP 561), and the plugin pytest finds through the entry point.
    assert {"zvsdk_standin/py.typed", "pytest_zvsdk/py.typed"} <= set(names)
    assert "[pytest11]\nzvsdk = pytest_zvsdk" in entry_points

    run(sys.executable, "-m", "venv", tmp_path / "venv")
    python = tmp_path / "venv" / "bin" / "python"
    site = Path(run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").strip())
    run(python, "-m", "pip", "install", "-q", "--no-index", fake_host_wheel(tmp_path))
    host = tree(site / "zv")

    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel)
    assert tree(site / "zv") == host
    # The real zv is the one imported, and the module finds the stand-in it was built with
    # without any environment variable.
    out = run(python, "-c", """if True:
        import c_sdk, zv, zvsdk_standin
        sdk = zvsdk_standin.StandIn()
        sdk.reset()
        print(zv.REAL, c_sdk.zvsdklogger.name, c_sdk.py_zvi_get_orders(b"q")[0], sdk.last().fn)
    """, cwd=tmp_path)
    assert out.split() == ["True", "zv.real", "0", "zvi_get_orders_pb"]

    run(python, "-m", "pip", "uninstall", "-q", "-y", "c-sdk")
    assert tree(site / "zv") == host
    left = {p.name for p in site.iterdir()} - {"__pycache__"}
    assert not [n for n in left if n.startswith(("c_sdk", "zvsdk_standin", "pytest_zvsdk"))], left
    assert run(python, "-c", "import zv.constant, zv.utils; print(zv.REAL)", cwd=tmp_path).strip() == "True"
