"""The module built against another libzvsdk.so (CSDK_VENDOR_SDK at build time): it
links that library by name and finds it where it lies, and installs nothing of the
stand-in or the substitute host package. tools/test.sh runs this file in such a build,
with a copy of the stand-in playing the vendor's library."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

VENDOR = os.environ.get("CSDK_VENDOR_SDK")
pytestmark = pytest.mark.skipif(not VENDOR, reason="only in a build against CSDK_VENDOR_SDK")


def dynamic_section(path):
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    return {line.split("(", 1)[1].split(")")[0]: line.split(":", 1)[1].strip().strip("[]")
            for line in out.splitlines() if "(" in line and ":" in line}


def test_links_the_vendor_library_by_name_and_finds_it():
    import c_sdk
    so = Path(c_sdk.__file__)
    dyn = dynamic_section(so)
    assert dyn["RUNPATH"] == "$ORIGIN:" + str(Path(VENDOR).parent)
    ldd = subprocess.run(["ldd", str(so)], capture_output=True, text=True, check=True).stdout
    assert f"libzvsdk.so => {VENDOR} " in ldd


def test_installs_nothing_of_the_stand_in():
    import c_sdk
    site = Path(c_sdk.__file__).parent
    for name in ("libzvsdk.so", "zv", "zvsdk_standin"):
        assert not (site / name).exists(), name
    assert (site / "c_sdk.pyi").is_file()


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
    root = Path(__file__).resolve().parent.parent
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(tmp_path / "w"),
         str(root), f"--config-settings=build-dir={tmp_path / 'build'}"],
        capture_output=True, text=True, env={**os.environ, "CSDK_VENDOR_SDK": str(lib)}, timeout=300)
    assert proc.returncode != 0
    assert "186 of 187 functions are not exported" in proc.stdout + proc.stderr
