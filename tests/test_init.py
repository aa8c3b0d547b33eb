"""Module initialisation: the guards, the failure rollback and what import leaves behind."""
import os
import shutil
import subprocess
import sys

import pytest

import c_sdk
from conftest import run_child, run_python


def test_flags_and_plain_names():
    assert c_sdk.IS_PY2 is False and c_sdk.IS_PY3 is True
    assert c_sdk.__test__ == {} and type(c_sdk.__test__) is dict
    assert c_sdk.__doc__ is None
    assert not hasattr(c_sdk, "f")
    import functools
    import platform
    assert c_sdk.functools is functools and c_sdk.platform is platform
    import zv.constant
    import zv.utils
    assert c_sdk.CSDK_OPERATE_SUCCESS == zv.constant.CSDK_OPERATE_SUCCESS
    assert c_sdk.zvsdklogger is zv.utils.zvsdklogger
    import builtins
    assert c_sdk.__builtins__ is builtins


def test_reimport_gives_the_same_module():
    run_python("""
        import importlib, sys
        import c_sdk
        first = c_sdk
        assert importlib.import_module("c_sdk") is first
        first.marker = 1
        del sys.modules["c_sdk"]
        import c_sdk
        assert c_sdk is first and c_sdk.marker == 1
        assert sys.modules["c_sdk"] is first
    """)


def test_importing_calls_no_sdk_function():
    run_python("""
        import zvsdk_standin
        sdk = zvsdk_standin.StandIn()
        import c_sdk
        assert sdk.calls() == [], sdk.calls()
    """)


SUBINTERPRETER = """
import os
try:
    import c_sdk
    msg = "imported"
except ImportError as e:
    msg = "ImportError: " + str(e)
os.write(FD, msg.encode())
"""


def test_second_interpreter_is_refused():
    proc = run_python(f"""
        import os
        import c_sdk
        try:
            import _testcapi
        except ImportError:
            raise SystemExit(77)
        r, w = os.pipe()
        _testcapi.run_in_subinterp({SUBINTERPRETER!r}.replace("FD", str(w)))
        print(os.read(r, 1000).decode())
    """, check=False)
    if proc.returncode == 77:
        pytest.skip("no subinterpreter support in this build")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == ("ImportError: Interpreter change detected - this module can only be "
                                   "loaded into one interpreter per process.")


def test_failed_import_rolls_back(tmp_path):
    """A host package without CSDK_OPERATE_SUCCESS fails the import; fixed, a new module imports."""
    pkg = tmp_path / "zv"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "constant.py").write_text("OTHER = 1\n")
    (pkg / "utils.py").write_text("import logging\nzvsdklogger = logging.getLogger('t')\n")
    run_python(f"""
        import sys, traceback
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import c_sdk
        except ImportError as e:
            assert str(e) == "cannot import name CSDK_OPERATE_SUCCESS", str(e)
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            assert "init c_sdk" in names, names
        else:
            raise AssertionError("import succeeded")
        assert "c_sdk" not in sys.modules
        import zv.constant
        zv.constant.CSDK_OPERATE_SUCCESS = 0
        import c_sdk
        assert c_sdk.IS_PY3 is True and c_sdk.py_zvi_log(b"x") == 0
    """)


def test_missing_host_module_fails_with_the_import_error(tmp_path):
    (tmp_path / "zv").mkdir()
    (tmp_path / "zv" / "__init__.py").write_text("")
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import c_sdk
    """, check=False)
    assert proc.returncode != 0
    assert "ModuleNotFoundError: No module named 'zv.constant'" in proc.stderr


def test_execution_of_a_second_module_object_is_refused():
    run_python("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("c_sdk")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # executing the executed module again does nothing
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            assert str(e) == "Module 'c_sdk' has already been imported. Re-initialisation is not supported.", e
        else:
            raise AssertionError("executed twice")
        assert _imp.create_dynamic(spec) is first
    """)


def test_rebinding_the_adapter_leaves_wrappers_alone(sdk):
    c_sdk.adapt_to_python3 = None
    assert c_sdk.py_zvi_get_orders("abc") == (0, b"")


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs readelf")
def test_linked_dynamically_against_the_sdk():
    dyn = subprocess.run(["readelf", "-d", c_sdk.__file__], capture_output=True, text=True).stdout
    assert "Shared library: [libzvsdk.so]" in dyn
    assert "Library runpath: [$ORIGIN/c_sdk.libs]" in dyn
    symbols = subprocess.run(["readelf", "--dyn-syms", "-W", c_sdk.__file__], capture_output=True, text=True).stdout
    defined = [line.split()[-1] for line in symbols.splitlines() if " UND " not in line and "zvi_" in line]
    assert defined == [], "the module must not carry SDK code of its own"
    assert os.path.exists(os.path.join(os.path.dirname(c_sdk.__file__), "c_sdk.libs", "libzvsdk.so"))


def test_import_from_any_directory(tmp_path):
    proc = run_child([sys.executable, "-c", "import c_sdk; print(c_sdk.__name__)"], cwd=tmp_path, timeout=120)
    assert proc.stdout.strip() == "c_sdk", proc.stderr
