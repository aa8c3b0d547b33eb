"""adapt_to_python3 and the platform probes."""
import platform

import pytest

import c_sdk
import traceback

from conftest import run_python, source_lines, tb_names


def test_adapter_metadata():
    f = c_sdk.adapt_to_python3
    assert (f.__name__, f.__qualname__, f.__module__) == ("adapt_to_python3", "adapt_to_python3", "c_sdk")
    assert f.__doc__.startswith("\n     ") and f.__doc__.endswith("\n     ")
    w1, w2 = f(len), f(func=len)
    assert w1 is not w2
    assert (w1.__name__, w1.__qualname__, w1.__module__, w1.__doc__) == (
        "wrapper", "adapt_to_python3.<locals>.wrapper", "c_sdk", None)
    assert not hasattr(w1, "__wrapped__")
    # The qualified name comes from the type of what the wrapper closes over, which can be
    # neither changed nor instantiated from Python.
    cell = type(w1.__self__)
    with pytest.raises(TypeError):
        cell.__qualname__ = "other"
    with pytest.raises(TypeError):
        cell()
    assert w1.__qualname__ == "adapt_to_python3.<locals>.wrapper"


def test_str_arguments_become_ascii_bytes():
    seen = []

    def probe(*args, **kwargs):
        seen.append((args, kwargs))
        return "result"

    w = c_sdk.adapt_to_python3(probe)
    kwargs = {"k": "val", "n": 3}
    assert w("a", b"b", bytearray(b"c"), ["d"], 1, None, **kwargs) == "result"
    assert seen == [((b"a", b"b", bytearray(b"c"), ["d"], 1, None), {"k": b"val", "n": 3})]
    assert kwargs == {"k": "val", "n": 3}  # the caller's dict is untouched


def test_str_subclass_uses_its_own_encode():
    class S(str):
        def encode(self, *a):
            return b"custom"
    assert c_sdk.adapt_to_python3(lambda x: x)(S("z")) == b"custom"


def test_non_ascii_makes_no_call(sdk):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        c_sdk.py_zvi_get_orders("é")
    assert tb_names(excinfo) == ["c_sdk.adapt_to_python3.wrapper"]
    # The entry's line is the one that names the wrapper in its source.
    entry = traceback.extract_tb(excinfo.tb)[-1]
    line = source_lines(entry.filename)[entry.lineno - 1]
    assert entry.filename == "src/wrappers/adapted.cpp" and '"c_sdk.adapt_to_python3.wrapper"' in line
    with pytest.raises(UnicodeEncodeError):
        c_sdk.py_zvi_subscribe(b"s", frequency="1m\u00e9", unsubscribe_previous=True)
    assert sdk.calls() == []


def test_decorated_wrapper_matches_the_undecorated_call(sdk):
    assert c_sdk.py_zvi_get_orders(req="abc") == c_sdk.py_zvi_get_orders(b"abc")
    assert sdk.calls_to("zvi_get_orders_pb") == [(b"abc", 3, True, True)] * 2


def test_errors_from_the_wrapped_function_carry_both_entries(sdk):
    with pytest.raises(TypeError) as excinfo:
        c_sdk.py_zvi_get_orders()
    assert tb_names(excinfo) == ["c_sdk.adapt_to_python3.wrapper", "c_sdk.py_zvi_get_orders"]


def test_many_arguments_take_the_heap_path():
    w = c_sdk.adapt_to_python3(lambda *a, **k: (a, k))
    args = [str(i) for i in range(20)]
    assert w(*args, x="y") == (tuple(a.encode() for a in args), {"x": b"y"})


def test_is_py2_turns_the_adapter_off(sdk):
    c_sdk.IS_PY2 = True
    with pytest.raises(TypeError, match="expected bytes, str found"):
        c_sdk.py_zvi_get_orders("abc")
    c_sdk.IS_PY2 = 0
    assert c_sdk.py_zvi_get_orders("abc") == (0, b"")


def test_is_py2_missing_or_untestable(sdk):
    del c_sdk.IS_PY2
    with pytest.raises(NameError, match="name 'IS_PY2' is not defined"):
        c_sdk.py_zvi_get_orders(b"x")

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError
    c_sdk.IS_PY2 = Bad()
    with pytest.raises(ZeroDivisionError):
        c_sdk.py_zvi_get_orders(b"x")
    assert sdk.calls() == []


def test_probes_on_this_host():
    system = platform.uname()[0].lower()
    assert c_sdk.is_linux() is (system == "linux")
    assert c_sdk.is_windows() is (system == "windows")


def test_probes_read_platform_at_call_time(sdk):
    class FakePlatform:
        @staticmethod
        def uname():
            return ("Windows", "host")
    c_sdk.platform = FakePlatform
    assert c_sdk.is_windows() is True and c_sdk.is_linux() is False
    c_sdk.platform = None
    with pytest.raises(AttributeError) as excinfo:
        c_sdk.is_linux()
    assert tb_names(excinfo) == ["c_sdk.is_linux"]


def test_probes_take_no_arguments():
    with pytest.raises(TypeError) as excinfo:
        c_sdk.is_linux(1)
    assert str(excinfo.value) == "is_linux() takes no arguments (1 given)"
    with pytest.raises(TypeError) as excinfo:
        c_sdk.is_windows(x=1)
    assert str(excinfo.value) == "is_windows() takes no keyword arguments"


def test_wrapper_cleared_by_the_collector_raises():
    # A wrapper in a reference cycle can be called after the collector cleared it (from
    # a finaliser that runs while the cycle is torn down). The cell's tp_clear is called
    # directly here, through ctypes, in a fresh interpreter.
    proc = run_python("""
        import ctypes, sys, c_sdk
        def cleared(w):
            cell = w.__self__  # what the wrapper closes over: the wrapped function
            t = type(cell)
            word = ctypes.sizeof(ctypes.c_void_p)
            # PyTypeObject: 3 header words, then tp_name .. tp_flags (word 21), tp_doc,
            # tp_traverse, tp_clear (word 24).
            assert ctypes.c_ulong.from_address(id(t) + 21 * word).value == t.__flags__
            clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(
                ctypes.c_void_p.from_address(id(t) + 24 * word).value)
            clear(cell)
            return w
        for w, args in ((cleared(c_sdk.adapt_to_python3(c_sdk.py_zvi_log)), (b"x",)),
                        (cleared(c_sdk.py_zvi_get_orders), (b"x",)),
                        (c_sdk.py_zvi_get_orders, ("x",))):
            try:
                w(*args)
            except NameError as e:
                print("NameError", e)
    """)
    message = ("NameError cannot access free variable 'func' where it is not associated with a value in "
               "enclosing scope\n")
    assert proc.stdout == message * 3
