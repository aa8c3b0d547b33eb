"""c_status_ok and c_status_fail: the success test and the failure log line."""
import builtins
import logging
import textwrap

import pytest

import c_sdk
from conftest import run_python, tb_names


class Logger:
    """Stands in for zvsdklogger and keeps every debug call."""

    def __init__(self):
        self.lines = []

    def debug(self, *args, **kwargs):
        self.lines.append((args, kwargs))


@pytest.fixture
def logger(sdk):
    log = Logger()
    c_sdk.zvsdklogger = log
    return log


def test_function_objects():
    for name, word in [("c_status_ok", "ok"), ("c_status_fail", "fail")]:
        f = getattr(c_sdk, name)
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "c_sdk")
        assert f.__doc__ == f"\n    c api 调用返回值status是否{word}\n    "


def test_success_is_neither_logged_nor_looked_up(sdk, logger):
    assert c_sdk.c_status_ok(0) is True
    assert c_sdk.c_status_fail(0) is False
    assert c_sdk.c_status_fail(status=0, cfunname="zvi_init") is False
    assert logger.lines == [] and sdk.calls() == []
    # Nothing that only a failure needs is looked up.
    del c_sdk.py_zvi_strerror, c_sdk.zvsdklogger
    assert c_sdk.c_status_fail(0, "x") is False


@pytest.mark.parametrize("cfunname,line", [
    ("zvi_place_order_pb", "invoke c fun=zvi_place_order_pb error code=1001, error info=timeout"),
    ("", "invoke c fun error code=1001, error info=timeout"),
    (None, "invoke c fun error code=1001, error info=timeout"),
    (0, "invoke c fun error code=1001, error info=timeout"),
    ([], "invoke c fun error code=1001, error info=timeout"),
    (5, "invoke c fun=5 error code=1001, error info=timeout"),
    ("{}", "invoke c fun={} error code=1001, error info=timeout"),  # inserted, not formatted again
], ids=["named", "empty", "None", "zero", "empty-list", "int", "braces"])
def test_failure_writes_one_debug_line(sdk, logger, cfunname, line):
    sdk.set_strerror(1001, b"timeout")
    assert c_sdk.c_status_fail(1001, cfunname) is True
    assert logger.lines == [((line,), {})]
    assert sdk.calls() == [("zvi_strerror", (1001,))]


def test_cfunname_defaults_to_empty(sdk, logger):
    sdk.set_strerror(-3, "错误".encode())
    assert c_sdk.c_status_fail(-3) is True
    assert c_sdk.c_status_fail(status=-3) is True
    assert logger.lines == [(("invoke c fun error code=-3, error info=错误",), {})] * 2
    assert c_sdk.c_status_ok(-3) is False


def test_null_error_text_reads_as_empty(sdk, logger):
    sdk.set_strerror(4, None)
    assert c_sdk.c_status_fail(4, "f") is True
    assert logger.lines == [(("invoke c fun=f error code=4, error info=",), {})]


def test_the_real_host_logger(sdk, caplog):
    caplog.set_level(logging.DEBUG, logger="zv.sdk")
    sdk.set_strerror(7, b"no route")
    assert c_sdk.c_status_fail(7, "zvi_run") is True
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("zv.sdk", logging.DEBUG, "invoke c fun=zvi_run error code=7, error info=no route")]


def test_success_value_is_read_at_every_call(sdk, logger):
    c_sdk.CSDK_OPERATE_SUCCESS = 5
    assert c_sdk.c_status_ok(5) is True and c_sdk.c_status_ok(0) is False
    assert c_sdk.c_status_fail(5) is False and c_sdk.c_status_fail(0) is True
    assert len(logger.lines) == 1
    c_sdk.CSDK_OPERATE_SUCCESS = 2**70  # beyond any C integer
    assert c_sdk.c_status_ok(2**70) is True and c_sdk.c_status_ok(0) is False
    c_sdk.CSDK_OPERATE_SUCCESS = 7.0  # Python equality, not identity or type
    assert c_sdk.c_status_ok(7) is True and c_sdk.c_status_fail(7) is False
    c_sdk.CSDK_OPERATE_SUCCESS = "ok"
    assert c_sdk.c_status_ok("ok") is True and c_sdk.c_status_ok(0) is False


def test_success_value_from_builtins(sdk, monkeypatch):
    del c_sdk.CSDK_OPERATE_SUCCESS
    monkeypatch.setattr(builtins, "CSDK_OPERATE_SUCCESS", 3, raising=False)
    assert c_sdk.c_status_ok(3) is True
    builtins.CSDK_OPERATE_SUCCESS = 4  # a change in the builtins is seen too
    assert c_sdk.c_status_ok(3) is False and c_sdk.c_status_ok(4) is True


def test_comparison_result_is_returned_as_is(sdk, logger):
    class Verdict:
        def __init__(self, truth):
            self.truth = truth

        def __bool__(self):
            return self.truth

    class Success:
        def __eq__(self, other):
            return Verdict(True)

        def __ne__(self, other):
            return Verdict(False)

    c_sdk.CSDK_OPERATE_SUCCESS = Success()
    assert type(c_sdk.c_status_ok(1)) is Verdict
    result = c_sdk.c_status_fail(1)
    assert type(result) is Verdict and logger.lines == []


def test_int_subclass_status_uses_its_own_comparison(sdk):
    class Status(int):
        def __eq__(self, other):
            return "custom"
        __hash__ = int.__hash__

    assert c_sdk.c_status_ok(Status(0)) == "custom"
    assert c_sdk.c_status_ok(False) is True  # False == 0


def test_logged_status_is_written_with_str(sdk, logger):
    class Status(int):
        def __str__(self):
            return "S"

    assert c_sdk.c_status_fail(Status(9), "g") is True
    assert logger.lines == [(("invoke c fun=g error code=S, error info=zvsdk error 9",), {})]


class Raises:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class BadSuccess:
    def __eq__(self, other):
        raise ArithmeticError("eq")

    def __ne__(self, other):
        raise ArithmeticError("ne")


class UntestableSuccess:
    def __ne__(self, other):
        return Raises()


def _delete(name):
    def setup():
        delattr(c_sdk, name)
    return setup


def _set(name, value):
    def setup():
        setattr(c_sdk, name, value)
    return setup


class NoDebug:
    pass


class DebugRaises:
    def debug(self, line):
        raise LookupError("logger down")


# setup, call args, exception, message, whether zvi_strerror was reached
FAIL_ERRORS = [
    ("no-success", _delete("CSDK_OPERATE_SUCCESS"), (1,), NameError,
     "name 'CSDK_OPERATE_SUCCESS' is not defined", False),
    ("no-strerror", _delete("py_zvi_strerror"), (1,), NameError, "name 'py_zvi_strerror' is not defined", False),
    ("no-logger", _delete("zvsdklogger"), (1,), NameError, "name 'zvsdklogger' is not defined", True),
    ("no-debug", _set("zvsdklogger", NoDebug()), (1,), AttributeError,
     "'NoDebug' object has no attribute 'debug'", True),
    ("debug-raises", _set("zvsdklogger", DebugRaises()), (1,), LookupError, "logger down", True),
    ("compare-raises", _set("CSDK_OPERATE_SUCCESS", BadSuccess()), (1,), ArithmeticError, "ne", False),
    ("truth-raises", _set("CSDK_OPERATE_SUCCESS", UntestableSuccess()), (1,), ZeroDivisionError, "truth", False),
    ("cfunname-truth", None, (1, Raises()), ZeroDivisionError, "truth", True),
    ("status-not-int", None, ("bad",), TypeError, "an integer is required", False),
    ("status-too-big", None, (2**31,), OverflowError, None, False),
    ("text-not-utf8", None, (6,), UnicodeDecodeError, None, True),
    ("strerror-returns-str", _set("py_zvi_strerror", lambda status: "text"), (1,), AttributeError,
     "'str' object has no attribute 'decode'", False),
]


@pytest.mark.parametrize("setup,args,exc,message,reached", [r[1:] for r in FAIL_ERRORS],
                         ids=[r[0] for r in FAIL_ERRORS])
def test_failures_propagate_and_nothing_is_logged(sdk, setup, args, exc, message, reached):
    log = Logger()
    c_sdk.zvsdklogger = log
    sdk.set_strerror(6, b"\xff\xfe")
    if setup:
        setup()
    with pytest.raises(exc) as excinfo:
        c_sdk.c_status_fail(*args)
    if message is not None:
        assert str(excinfo.value) == message
    assert tb_names(excinfo)[0] == "c_sdk.c_status_fail"
    assert log.lines == []
    assert [c.fn for c in sdk.calls()] == (["zvi_strerror"] if reached else [])


def test_strerror_errors_carry_both_entries(sdk):
    with pytest.raises(OverflowError) as excinfo:
        c_sdk.c_status_fail(-2**31 - 1)
    assert tb_names(excinfo) == ["c_sdk.c_status_fail", "c_sdk.py_zvi_strerror"]


def test_strerror_is_looked_up_by_name(sdk, logger):
    seen = []

    def strerror(status):
        seen.append(status)
        return b"from the host"

    c_sdk.py_zvi_strerror = strerror
    assert c_sdk.c_status_fail(2**40) is True  # no C conversion on this path
    assert seen == [2**40] and sdk.calls() == []
    assert logger.lines == [(("invoke c fun error code=1099511627776, error info=from the host",), {})]


@pytest.mark.parametrize("exc", [NameError, ArithmeticError])
def test_ok_errors_propagate(sdk, exc):
    if exc is NameError:
        del c_sdk.CSDK_OPERATE_SUCCESS
    else:
        c_sdk.CSDK_OPERATE_SUCCESS = BadSuccess()
    with pytest.raises(exc) as excinfo:
        c_sdk.c_status_ok(0)
    assert tb_names(excinfo)[0] == "c_sdk.c_status_ok"


ARITY = [
    ("c_status_ok", (), {}, "c_status_ok() takes exactly 1 positional argument (0 given)"),
    ("c_status_ok", (0, 1), {}, "c_status_ok() takes exactly 1 positional argument (2 given)"),
    ("c_status_ok", (), {"s": 0}, "c_status_ok() takes exactly 1 positional argument (0 given)"),
    ("c_status_ok", (0,), {"status": 0}, "c_status_ok() got multiple values for keyword argument 'status'"),
    ("c_status_ok", (0,), {"cfunname": ""}, "c_status_ok() got an unexpected keyword argument 'cfunname'"),
    ("c_status_fail", (), {}, "c_status_fail() takes at least 1 positional argument (0 given)"),
    ("c_status_fail", (), {"cfunname": "x"}, "c_status_fail() takes at least 1 positional argument (0 given)"),
    ("c_status_fail", (0, "a", "b"), {}, "c_status_fail() takes at most 2 positional arguments (3 given)"),
    ("c_status_fail", (0, "a"), {"cfunname": "b"},
     "c_status_fail() got multiple values for keyword argument 'cfunname'"),
    ("c_status_fail", (0,), {"name": "b"}, "c_status_fail() got an unexpected keyword argument 'name'"),
]


@pytest.mark.parametrize("name,args,kwargs,message", ARITY)
def test_wrong_arguments(sdk, name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(c_sdk, name)(*args, **kwargs)
    assert str(excinfo.value) == message
    assert tb_names(excinfo) == [f"c_sdk.{name}"]
    assert sdk.calls() == []


def test_keywords_in_any_order(sdk, logger):
    assert c_sdk.c_status_fail(cfunname="zvi_x", status=2) is True
    assert logger.lines == [(("invoke c fun=zvi_x error code=2, error info=zvsdk error 2",), {})]


# A success value whose own comparison rebinds the global, dropping the module's
# reference, while the helper still compares with it. In a fresh
# interpreter with the debug allocator, which overwrites freed memory, so a use after
# free shows; each case prints what the helper returned.
REBINDING_CASES = {
    "success value, reflected comparison": ("""
        class Success(int):
            def __eq__(self, other):
                c_sdk.CSDK_OPERATE_SUCCESS = 0
                return NotImplemented
            __ne__ = __eq__
            __hash__ = int.__hash__
        c_sdk.CSDK_OPERATE_SUCCESS = Success(1000)
        print(c_sdk.c_status_ok(1000))
        c_sdk.CSDK_OPERATE_SUCCESS = Success(1000)
        print(c_sdk.c_status_fail(1000))
    """, "True\nFalse\n"),
}


@pytest.mark.parametrize("case", REBINDING_CASES)
def test_globals_rebound_by_their_own_code(case):
    code, expected = REBINDING_CASES[case]
    proc = run_python("import c_sdk\n" + textwrap.dedent(code), env={"PYTHONMALLOC": "debug"}, check=False)
    assert (proc.returncode, proc.stdout) == (0, expected), proc.stderr[-2000:]
