"""The module built against another libzvsdk.so (CSDK_VENDOR_SDK at build time): it
links that library by name and finds it through the loader's usual search (or, with
CSDK_VENDOR_RPATH, through its run path), and installs nothing of the stand-in or the
substitute host package. The nox session vendor (noxfile.py) runs this file in such a
build, with a copy of the stand-in playing the vendor's library and LD_LIBRARY_PATH naming
its folder."""
import importlib.metadata
import importlib.util
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

VENDOR = os.environ.get("CSDK_VENDOR_SDK")
pytestmark = pytest.mark.skipif(not VENDOR, reason="only in a build against CSDK_VENDOR_SDK")
ROOT = Path(__file__).resolve().parent.parent


def dynamic_section(path):
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    return {line.split("(", 1)[1].split(")")[0]: line.split(":", 1)[1].strip().strip("[]")
            for line in out.splitlines() if "(" in line and ":" in line}


def build_wheel(tmp_path, env, build_dir=None):
    """pip wheel of the project with env added; returns the completed process."""
    build_dir = build_dir or tmp_path / "build"
    return subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(tmp_path / "w"),
         str(ROOT), f"--config-settings=build-dir={build_dir}"],
        capture_output=True, text=True, env={**os.environ, **env}, timeout=600)


def test_links_the_vendor_library_by_name_and_finds_it():
    import c_sdk
    so = Path(c_sdk.__file__)
    dyn = dynamic_section(so)
    # No path of the build machine is recorded unless asked for.
    assert "RUNPATH" not in dyn and "RPATH" not in dyn, dyn
    ldd = subprocess.run(["ldd", str(so)], capture_output=True, text=True, check=True).stdout
    assert f"libzvsdk.so => {VENDOR} " in ldd


@pytest.mark.slow
def test_the_run_path_is_recorded_when_asked_for(tmp_path):
    # Relinks in the installed build's folder when the session names it (CSDK_BUILD_DIR).
    build_dir = os.environ.get("CSDK_BUILD_DIR")
    proc = build_wheel(tmp_path, {"CSDK_VENDOR_RPATH": "1"}, build_dir and Path(build_dir))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    [wheel] = (tmp_path / "w").glob("*.whl")
    with zipfile.ZipFile(wheel) as z:
        [module] = [n for n in z.namelist() if n.startswith("c_sdk.") and n.endswith(".so")]
        z.extract(module, tmp_path / "x")
    assert dynamic_section(tmp_path / "x" / module)["RUNPATH"] == str(Path(VENDOR).parent)


def test_installs_nothing_of_the_stand_in():
    tops = {f.parts[0] for f in importlib.metadata.files("c-sdk")}
    # The pytest plugin is there, as the entry point names it; it loads without the stand-in.
    assert {t for t in tops if not t.endswith(".dist-info")} == {
        Path(importlib.util.find_spec("c_sdk").origin).name, "c_sdk.pyi", "c_sdk-stubs", "pytest_zvsdk"}


def test_pytest_loads_the_plugin_and_says_why_there_is_no_fixture(tmp_path):
    (tmp_path / "test_host.py").write_text("def test_uses_the_stand_in(zvsdk):\n    pass\n")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ZVSDK_STANDIN_LIB")}
    proc = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert "1 error" in proc.stdout, proc.stdout + proc.stderr
    assert "the zvsdk fixture needs the stand-in libzvsdk.so and zvsdk_standin" in proc.stdout


def test_calls_reach_the_vendor_library():
    import c_sdk
    import zvsdk_standin
    sdk = zvsdk_standin.StandIn()
    sdk.reset()
    sdk.set_response("zvi_get_orders_pb", b"from the vendor")
    assert c_sdk.py_zvi_get_orders(b"q") == (0, b"from the vendor")
    assert sdk.last().fn == "zvi_get_orders_pb"


def test_a_library_missing_functions_is_refused_at_configure_time(tmp_path):
    (tmp_path / "lib.c").write_text("void zvi_init(void) {}\n")
    lib = tmp_path / "libzvsdk.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(tmp_path / "lib.c")], check=True)
    proc = build_wheel(tmp_path, {"CSDK_VENDOR_SDK": str(lib)})
    assert proc.returncode != 0
    assert "186 of 187 functions are not exported" in proc.stdout + proc.stderr
