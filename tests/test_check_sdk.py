"""tools/check_sdk.py, which vets a vendor's library and header before the module is
built against them: it must pass the stand-in and name exactly what another library
lacks or declares differently."""
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import c_sdk
from conftest import run_child

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "check_sdk.py"
_spec = importlib.util.spec_from_file_location("check_sdk", TOOL)
check_sdk = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_sdk)

pytestmark = pytest.mark.skipif(shutil.which("nm") is None or shutil.which("cc") is None,
                                reason="needs binutils and a C compiler")
STANDIN = Path(c_sdk.__file__).parent / "c_sdk.libs" / "libzvsdk.so"
DECLARED = check_sdk.declared_functions()


def run_tool(*args):
    return run_child([sys.executable, str(TOOL), *map(str, args)], timeout=120)


def build_library(tmp_path, names):
    source = tmp_path / "lib.c"
    source.write_text("".join(f"void {n}(void) {{}}\n" for n in names) + "int zvsdk_data = 1;\n")
    lib = tmp_path / "libzvsdk.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(source)], check=True)
    return lib


def test_reads_every_declaration_of_the_header():
    assert len(DECLARED) == len(set(DECLARED)) == 187
    assert DECLARED[0] == "zvi_init" and "zvi_set_event_callback_pb" in DECLARED


def test_the_stand_in_exports_everything():
    proc = run_tool("--library", STANDIN)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "all 187 functions exported" in proc.stdout


def test_names_the_functions_a_library_lacks(tmp_path):
    lacking = ["zvi_run", "zvi_fut_get_contract_info"]
    lib = build_library(tmp_path, [n for n in DECLARED if n not in lacking])
    proc = run_tool("--library", lib)
    assert proc.returncode == 1
    assert proc.stdout.splitlines()[1:] == [f"  {n}" for n in lacking]


def test_a_data_symbol_is_not_a_function(tmp_path):
    (tmp_path / "data.c").write_text("int zvi_init = 0;\nvoid zvi_run(void) {}\n")
    lib = tmp_path / "libdata.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib), str(tmp_path / "data.c")], check=True)
    assert check_sdk.exported_functions(lib) == {"zvi_run"}


@pytest.mark.parametrize("edit, agrees", [
    (None, True),
    (("int zvi_stop(void)", "long zvi_stop(void)"), False),
    (("void zvi_set_timer(int interval)", "void zvi_set_timer(unsigned interval)"), False),
    (("int zvi_get_serv_addr(const char* serv_id, char** addr)",
      "int zvi_get_serv_addr(const char* serv_id, const char** addr)"), False),
])
def test_compares_a_vendor_header(tmp_path, edit, agrees):
    text = check_sdk.HEADER.read_text(encoding="utf-8")
    if edit:
        assert edit[0] in text
        text = text.replace(*edit)
    header = tmp_path / "zvsdk.h"
    header.write_text(text, encoding="utf-8")
    proc = run_tool("--header", header, "--cxx", os.environ.get("CXX", "c++"))
    assert proc.returncode == (0 if agrees else 1), proc.stdout
    assert ("conflicting declaration" in proc.stdout) != agrees


def test_misuse_is_refused():
    assert run_tool().returncode == 2
    assert run_tool("--library", "/nonexistent/libzvsdk.so").returncode == 2
