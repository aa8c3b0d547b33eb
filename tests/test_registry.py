"""The wrapper families as seen from Python and from the SDK side of the boundary."""
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import c_sdk
from conftest import run_python, tb_names
from expected import DIRECT, MODULE_NAMES, REQUEST_ONLY, REQUEST_RESPONSE, WRAPPERS

FAMILY = [(name, fn, adapted, True) for name, (fn, adapted) in REQUEST_RESPONSE.items()] + [
    (name, fn, adapted, False) for name, (fn, adapted) in REQUEST_ONLY.items()
]
family = pytest.mark.parametrize("name,fn,adapted,has_response", FAMILY, ids=[f[0] for f in FAMILY])
ADAPTED = [name for name, adapted in WRAPPERS if adapted]
UNDECORATED = [name for name, adapted in WRAPPERS if not adapted]
ROOT = Path(__file__).resolve().parent.parent


def test_module_namespace_in_binding_order():
    # In a fresh interpreter: other tests rebind module globals.
    out = run_python("""
        import c_sdk
        print(" ".join(n for n in vars(c_sdk) if not (n.startswith("__") and n != "__test__")))
    """).stdout.split()
    assert out == MODULE_NAMES


def test_decorated_wrappers_form_one_run():
    assert len(ADAPTED) == 60 and len(WRAPPERS) == 181
    assert WRAPPERS[0] == ("py_zvi_set_mode_consistency", True)
    last = max(i for i, (_, adapted) in enumerate(WRAPPERS) if adapted)
    assert WRAPPERS[last][0] == "py_zvi_user_timer_stop"
    assert {n for n, a in WRAPPERS[:last] if not a} == {
        "py_zvi_set_data_callback", "py_zvi_get_accounts", "py_zvi_get_parameters", "py_zvi_add_parameters",
        "py_zvi_set_parameters", "py_zvi_log", "py_zvi_strerror", "py_zvi_get_ext_errormsg", "py_zvi_run",
        "py_zvi_stop", "py_zvi_set_timer",
    }
    assert sum(a for _, (_, a) in REQUEST_RESPONSE.items()) == 29
    assert sum(a for _, (_, a) in REQUEST_ONLY.items()) == 4


@pytest.mark.parametrize("name", ADAPTED)
def test_decorated_function_objects(name):
    f = getattr(c_sdk, name)
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        "wrapper", "adapt_to_python3.<locals>.wrapper", "c_sdk", None)


@pytest.mark.parametrize("name", UNDECORATED)
def test_undecorated_function_objects(name):
    f = getattr(c_sdk, name)
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (name, name, "c_sdk", None)


def test_function_attributes_can_be_written_and_deleted():
    """As on Python functions: __module__ and __doc__ take any value and read None when
    deleted; __name__ and __qualname__ are read-only."""
    f = c_sdk.py_zvi_get_accounts
    try:
        f.__doc__, f.__module__ = "text", 5
        assert (f.__doc__, f.__module__) == ("text", 5)
        del f.__doc__, f.__module__
        assert (f.__doc__, f.__module__) == (None, None)
        for name in ("__name__", "__qualname__"):
            with pytest.raises(AttributeError):
                setattr(f, name, "other")
    finally:
        f.__doc__, f.__module__ = None, "c_sdk"


def test_docstrings_only_where_given():
    documented = {n for n in MODULE_NAMES if callable(getattr(c_sdk, n)) and getattr(c_sdk, n).__doc__
                  and n not in DIRECT and not n.endswith("LikeDict2")}
    assert documented == {"adapt_to_python3", "c_status_ok", "c_status_fail"}


@family
def test_member_reaches_its_sdk_function(sdk, name, fn, adapted, has_response):
    result = getattr(c_sdk, name)(b"a\0b")
    if has_response:
        assert result == (0, b"")
        assert sdk.calls() == [(fn, (b"a\0b", 3, True, True))]
    else:
        assert result == 0 and type(result) is int
        assert sdk.calls() == [(fn, (b"a\0b", 3))]


@family
def test_member_success_failure_and_response_copy(sdk, name, fn, adapted, has_response):
    func = getattr(c_sdk, name)
    if has_response:
        sdk.set_response(fn, b"\0resp\0onse")
    assert func(req=bytearray(b"q")) == ((0, b"\0resp\0onse") if has_response else 0)
    sdk.set_int(fn, 1001)
    assert func(b"q") == ((1001, None) if has_response else 1001)
    sdk.set_int(fn, -5)
    assert func(b"") == ((-5, None) if has_response else -5)


@family
def test_member_str_handling(sdk, name, fn, adapted, has_response):
    func = getattr(c_sdk, name)
    if adapted:
        func("ab")
        assert sdk.last().args[:2] == (b"ab", 2)
        with pytest.raises(UnicodeEncodeError):
            func("ä")
        assert len(sdk.calls()) == 1
    else:
        with pytest.raises(TypeError, match="expected bytes, str found"):
            func("ab")
        assert sdk.calls() == []


BAD_REQUESTS = [
    (None, "object of type 'NoneType' has no len()"),
    (5, "object of type 'int' has no len()"),
    ([1], "expected bytes, list found"),
    (memoryview(b"ab"), "expected bytes, memoryview found"),
]


@family
@pytest.mark.parametrize("bad,message", BAD_REQUESTS, ids=["None", "int", "list", "memoryview"])
def test_member_bad_request(sdk, name, fn, adapted, has_response, bad, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(c_sdk, name)(bad)
    assert str(excinfo.value) == message
    assert tb_names(excinfo)[-1] == f"c_sdk.{name}"
    assert sdk.calls() == []


@family
def test_member_arity_and_keywords(sdk, name, fn, adapted, has_response):
    func = getattr(c_sdk, name)
    cases = [
        ((), {}, f"{name}() takes exactly 1 positional argument (0 given)"),
        ((b"a", b"b"), {}, f"{name}() takes exactly 1 positional argument (2 given)"),
        ((), {"request": b"a"}, f"{name}() takes exactly 1 positional argument (0 given)"),
        ((b"a",), {"req": b"a"}, f"{name}() got multiple values for keyword argument 'req'"),
        ((), {"req": b"a", "x": 1}, f"{name}() got an unexpected keyword argument 'x'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as excinfo:
            func(*args, **kwargs)
        assert str(excinfo.value) == message
        assert tb_names(excinfo)[-1] == f"c_sdk.{name}"
    assert sdk.calls() == []


@pytest.mark.parametrize("empty", [b"", bytearray()], ids=["bytes", "bytearray"])
@family
def test_empty_request_is_a_valid_pointer(sdk, name, fn, adapted, has_response, empty):
    getattr(c_sdk, name)(empty)
    assert sdk.last().args[:2] == (b"", 0)


def test_success_value_is_read_at_every_call(sdk):
    sdk.set_response("zvi_get_instruments", b"body")
    assert c_sdk.py_zvi_get_instruments(b"q") == (0, b"body")
    c_sdk.CSDK_OPERATE_SUCCESS = 7
    assert c_sdk.py_zvi_get_instruments(b"q") == (0, None)
    sdk.set_int("zvi_get_instruments", 7)
    assert c_sdk.py_zvi_get_instruments(b"q") == (7, b"body")
    c_sdk.CSDK_OPERATE_SUCCESS = 7.0  # Python equality, not identity
    assert c_sdk.py_zvi_get_instruments(b"q") == (7, b"body")


def test_success_value_deleted(sdk):
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError) as excinfo:
        c_sdk.py_zvi_get_cash_pb_v2(b"q")
    assert str(excinfo.value) == "name 'CSDK_OPERATE_SUCCESS' is not defined"
    assert tb_names(excinfo)[-1] == "c_sdk.py_zvi_get_cash_pb_v2"
    assert [c.fn for c in sdk.calls()] == ["zvi_get_cash_pb_v2"]
    assert c_sdk.py_zvi_log(b"q") == 0  # request-only members make no comparison


def test_success_value_from_builtins(sdk):
    import builtins
    del c_sdk.CSDK_OPERATE_SUCCESS
    builtins.CSDK_OPERATE_SUCCESS = 3
    try:
        sdk.set_int("zvi_get_sector", 3)
        assert c_sdk.py_zvi_get_sector(b"q") == (3, b"")
    finally:
        del builtins.CSDK_OPERATE_SUCCESS


def test_comparison_errors_propagate(sdk):
    class Odd:
        def __eq__(self, other):
            raise ArithmeticError("no")
    c_sdk.CSDK_OPERATE_SUCCESS = Odd()
    with pytest.raises(ArithmeticError):
        c_sdk.py_zvi_get_sector(b"q")


def test_results_are_fresh_objects(sdk):
    sdk.set_response("zvi_get_sector", b"abc")
    first = c_sdk.py_zvi_get_sector(b"q")
    sdk.set_response("zvi_get_sector", b"xyz")
    assert first == (0, b"abc") and c_sdk.py_zvi_get_sector(b"q") == (0, b"xyz")


def test_name_defined_twice_keeps_one_binding():
    assert list(vars(c_sdk)).count("py_zvi_stk_active_stock_top10_shszhk_info") == 1


# ---- requests the SDK must never see ----

class LongLen(bytes):
    def __len__(self):
        return 2**31


class LyingLen(bytes):
    def __len__(self):
        return super().__len__() + 100


class ShortLen(bytearray):
    def __len__(self):
        return 2


def test_request_too_long_for_a_c_int(sdk):
    with pytest.raises(OverflowError):
        c_sdk.py_zvi_get_orders(LongLen(b"abc"))
    assert sdk.calls() == []


def test_request_longer_than_its_storage(sdk):
    with pytest.raises(ValueError, match="buffer holds 3 bytes"):
        c_sdk.py_zvi_get_orders(LyingLen(b"abc"))
    assert sdk.calls() == []


def test_request_shorter_than_its_storage_passes_its_len(sdk):
    c_sdk.py_zvi_log(ShortLen(b"abcdef"))
    assert sdk.last() == ("zvi_log_pb", (b"ab", 2))


def test_subclasses_are_requests(sdk):
    class B(bytes):
        pass
    c_sdk.py_zvi_log(B(b"xy"))
    assert sdk.last() == ("zvi_log_pb", (b"xy", 2))


@pytest.mark.parametrize("null,length,message", [
    (True, 0, "zvsdk reported success without a response buffer"),
    (True, 4, "zvsdk reported success without a response buffer"),
    (False, -1, "zvsdk reported success with a negative response length (-1)"),
])
def test_misbehaving_sdk_response(sdk, null, length, message):
    sdk.set_response_raw("zvi_get_orders_pb", null=null, length=length)
    with pytest.raises(RuntimeError) as excinfo:
        c_sdk.py_zvi_get_orders(b"q")
    assert str(excinfo.value) == message
    sdk.set_int("zvi_get_orders_pb", 9)  # on failure the response is not read at all
    assert c_sdk.py_zvi_get_orders(b"q") == (9, None)


# A row that disagrees with the SDK header, or with its own parameter list, must not
# compile: the source with one row changed is compiled (syntax and templates only).
BAD_ROWS = [
    ('CALL(py_zvi_set_backtest_intraday, zvi_set_backtest_intraday, ADAPTED, None_, "req", Int<0>)',
     'CALL(py_zvi_set_backtest_intraday, zvi_set_backtest_intraday, ADAPTED, None_, "req extra", Int<0>)',
     "py_zvi_set_backtest_intraday: the parameter names and the argument kinds disagree"),
    ('CALL(py_zvi_set_max_wait_time, zvi_set_max_wait_time, PLAIN, None_, "max_wait_time", Int<0>)',
     'CALL(py_zvi_set_max_wait_time, zvi_set_max_wait_time, PLAIN, None_, "max_wait_time", Real<0>)',
     "the argument kinds of this row do not match the SDK function's parameters"),
    # zvi_run returns an int status: read as a long long it would still convert.
    ('CALL(py_zvi_run, zvi_run, PLAIN, Status, "")', 'CALL(py_zvi_run, zvi_run, PLAIN, LongLong, "")',
     "the result kind of this row does not match the SDK function's return type"),
    # Three names and three kinds, but the second Python argument goes nowhere.
    ('CALL(py_zvi_current, zvi_current_pb, ADAPTED, Response, "symbols fields include_call_auction", '
     'Str<0>, Flag<2>, Str<1>)',
     'CALL(py_zvi_current, zvi_current_pb, ADAPTED, Response, "symbols fields include_call_auction", '
     'Str<0>, Flag<2>, Str<0>)',
     "a Python parameter of this row is taken by no argument kind"),
]


@pytest.mark.skipif(shutil.which("c++") is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("row,bad,message", BAD_ROWS, ids=["names", "kind", "result", "unused argument"])
def test_a_row_that_disagrees_does_not_compile(tmp_path, row, bad, message):
    src = tmp_path / "src"
    shutil.copytree(ROOT / "src", src)
    table = src / "wrappers" / "registry.def"
    text = table.read_text()
    assert text.count(row) == 1
    table.write_text(text.replace(row, bad))
    done = subprocess.run(["c++", "-std=c++20", "-fsyntax-only", "-fno-exceptions", f"-I{src}", f"-I{src / 'sdk'}",
                           f"-I{sysconfig.get_paths()['include']}", str(src / "wrappers" / "registry.cpp")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode != 0
    assert message in done.stderr
