"""The SDK functions exposed under their own names: no adapter, no status test."""
import decimal
import math

import pytest

import c_sdk
from conftest import tb_names
from expected import DIRECT

S, I, F = "str", "int", "flag"

# name: (C signature, parameters as (name, kind), docstring, result kind)
TABLE = {
    "zvi_add_bus_topic": ("void(str)", [("topic", S)], "wrap(topic: 'const char *') -> 'void'", "none"),
    "zvi_get_c_version": ("str()", [], "wrap() -> 'const char *'", "text"),
    "zvi_get_encrypted_token": ("str()", [], "wrap() -> 'const char *'", "text"),
    "zvi_get_ext_errormsg": ("str()", [], "wrap() -> 'const char *'", "text"),
    "zvi_get_orgcode": ("str()", [], "wrap() -> 'const char *'", "text"),
    "zvi_init": ("int()", [], "wrap() -> 'int'", "status"),
    "zvi_now": ("longlong()", [], "wrap() -> 'long long'", "longlong"),
    "zvi_now_plus": ("double()", [], "wrap() -> float", "double"),
    "zvi_poll": ("int()", [], "wrap() -> 'int'", "status"),
    "zvi_send_msg_to_bus": ("int(str,str)", [("topic", S), ("msg", S)],
                            "wrap(topic: 'const char *', msg: 'const char *') -> 'int'", "status"),
    "zvi_set_bus_info": ("void(str,str,str)", [("server_addr", S), ("user_name", S), ("password", S)],
                         "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *')"
                         " -> 'void'", "none"),
    "zvi_set_bus_secure": ("void(int,str,str,str,bool)",
                           [("in_mode", I), ("tlsca", S), ("tlscert", S), ("tlskey", S), ("skip_verify", F)],
                           "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', "
                           "tlskey: 'const char *', skip_verify: 'bool') -> 'void'", "none"),
    "zvi_set_mode": ("void(int)", [("mode", I)], "wrap(mode: 'int') -> 'void'", "none"),
    "zvi_strerror": ("str(int)", [("errorno", I)], "wrap(errorno: 'int') -> 'const char *'", "text"),
}
SAMPLE = {S: b"s", I: 3, F: True}  # one valid value of each kind
NAMES = list(TABLE)
WITH_PARAMS = [n for n in NAMES if TABLE[n][1]]
NO_PARAMS = [n for n in NAMES if not TABLE[n][1]]


def params(name):
    return TABLE[name][1]


def sample_args(name):
    return [SAMPLE[kind] for _, kind in params(name)]


def positions(kind):
    return [(n, i) for n in NAMES for i, (_, k) in enumerate(params(n)) if k == kind]


def test_the_table_is_the_module_list():
    assert NAMES == DIRECT


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(name):
    f = getattr(c_sdk, name)
    assert (f.__name__, f.__module__, f.__doc__) == ("wrap", "cfunc.to_py", TABLE[name][2])
    assert f.__qualname__.endswith(".<locals>.wrap") and f.__qualname__ != ".<locals>.wrap"


def test_qualified_names_follow_the_c_signature():
    by_signature = {}
    for name in NAMES:
        by_signature.setdefault(TABLE[name][0], set()).add(getattr(c_sdk, name).__qualname__)
    assert all(len(q) == 1 for q in by_signature.values())
    assert len(set.union(*by_signature.values())) == len(by_signature)
    # Same signature, still separate objects.
    assert len({id(getattr(c_sdk, n)) for n in NAMES}) == len(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_each_reaches_its_own_sdk_function(sdk, name):
    result = getattr(c_sdk, name)(*sample_args(name))
    assert sdk.calls() == [(name, tuple(sample_args(name)))]
    expected = {"none": None, "status": 0, "longlong": 0, "double": 0.0}.get(TABLE[name][3], result)
    assert result == expected and type(result) is type(expected)
    if TABLE[name][3] == "text":
        assert type(result) is bytes


@pytest.mark.parametrize("name", WITH_PARAMS)
def test_keywords_in_any_order(sdk, name):
    kwargs = {p: SAMPLE[kind] for p, kind in reversed(params(name))}
    getattr(c_sdk, name)(**kwargs)
    assert sdk.calls() == [(name, tuple(sample_args(name)))]


TEXTS = [(b"1.2.3", b"1.2.3"), (b"\xff\xfe", b"\xff\xfe"), (b"", b""), (b"ab\0cd", b"ab"), (None, b"")]


@pytest.mark.parametrize("name", [n for n in NAMES if TABLE[n][3] == "text"])
@pytest.mark.parametrize("text,expected", TEXTS, ids=["ascii", "not-utf8", "empty", "nul", "null"])
def test_text_results(sdk, name, text, expected):
    if name == "zvi_strerror":
        sdk.set_strerror(-4, text)
        result = c_sdk.zvi_strerror(-4)
    else:
        sdk.set_text(name, text)
        result = getattr(c_sdk, name)()
    assert result == expected and type(result) is bytes


def test_strerror_default_text(sdk):
    assert c_sdk.zvi_strerror(errorno=12) == b"zvsdk error 12"


@pytest.mark.parametrize("name,value", [
    (name, value) for name in ["zvi_init", "zvi_poll", "zvi_send_msg_to_bus"]
    for value in [-7, 1001, 2**31 - 1, -2**31]
] + [("zvi_now", v) for v in [1_700_000_000_123, 2**63 - 1, -2**63]])
def test_integer_results_are_returned_unjudged(sdk, name, value):
    sdk.set_int(name, value)
    del c_sdk.CSDK_OPERATE_SUCCESS  # no status test: the success value is never read
    result = getattr(c_sdk, name)(*sample_args(name))
    assert result == value and type(result) is int


@pytest.mark.parametrize("value", [1.25, -0.0, 1e300, math.inf])
def test_real_result(sdk, value):
    sdk.set_real("zvi_now_plus", value)
    result = c_sdk.zvi_now_plus()
    assert type(result) is float and result == value and math.copysign(1, result) == math.copysign(1, value)


# ---- string parameters ----

class BytesSub(bytes):
    pass


class BytearraySub(bytearray):
    pass


STR_OK = [(b"", b""), (bytearray(), b""), (b"ab\0cd", b"ab"), (bytearray(b"x\0y"), b"x"),
          (BytesSub(b"sub"), b"sub"), (BytearraySub(b"bsub"), b"bsub"), ("é".encode(), "é".encode())]
STR_BAD = [("s", "expected bytes, str found"), (None, "expected bytes, NoneType found"),
           (memoryview(b"m"), "expected bytes, memoryview found"), (1, "expected bytes, int found")]


@pytest.mark.parametrize("name,pos", positions(S))
@pytest.mark.parametrize("value,seen", STR_OK, ids=["empty", "empty-bytearray", "nul", "bytearray-nul", "bytes-sub",
                                                    "bytearray-sub", "utf8"])
def test_string_arguments(sdk, name, pos, value, seen):
    args = sample_args(name)
    args[pos] = value
    getattr(c_sdk, name)(*args)
    assert sdk.last().args[pos] == seen


@pytest.mark.parametrize("name,pos", positions(S))
@pytest.mark.parametrize("value,message", STR_BAD, ids=["str", "None", "memoryview", "int"])
def test_string_arguments_refused(sdk, name, pos, value, message):
    args = sample_args(name)
    args[pos] = value
    f = getattr(c_sdk, name)
    with pytest.raises(TypeError) as excinfo:
        f(*args)
    assert str(excinfo.value) == message
    assert tb_names(excinfo) == [f.__qualname__]
    assert sdk.calls() == []


def test_str_needs_the_wrapper(sdk):
    with pytest.raises(TypeError):
        c_sdk.zvi_add_bus_topic("topic")
    assert c_sdk.py_zvi_add_bus_topic("topic") is None
    assert sdk.calls() == [("zvi_add_bus_topic", (b"topic",))]


# ---- integer parameters ----

class HasInt:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class IndexOnly:
    def __index__(self):
        return 1


class IntRaises:
    def __int__(self):
        raise ZeroDivisionError("int")


class IntSub(int):
    def __int__(self):  # an int is taken by value, not through __int__
        return 99


# id, value, what the SDK receives
INT_OK = [
    ("zero", 0, 0), ("max", 2**31 - 1, 2**31 - 1), ("min", -2**31, -2**31), ("True", True, 1),
    ("float", 2.9, 2), ("negative-float", -2.9, -2), ("small-float", -0.5, 0), ("int-subclass", IntSub(5), 5),
    ("__int__", HasInt(7), 7), ("__int__-min", HasInt(-2**31), -2**31), ("decimal", decimal.Decimal("-3.99"), -3),
]
# id, value, exception, message (None: not checked)
INT_BAD = [
    ("max+1", 2**31, OverflowError, None), ("min-1", -2**31 - 1, OverflowError, None),
    ("huge", 2**100, OverflowError, None), ("float-max+1", 2.0**31, OverflowError, None),
    ("__int__-max+1", HasInt(2**31), OverflowError, None),
    ("inf", math.inf, OverflowError, "cannot convert float infinity to integer"),
    ("nan", math.nan, ValueError, "cannot convert float NaN to integer"),
    ("str", "1", TypeError, "an integer is required"), ("bytes", b"1", TypeError, "an integer is required"),
    ("None", None, TypeError, "an integer is required"),
    ("__index__-only", IndexOnly(), TypeError, "an integer is required"),
    ("__int__-str", HasInt("1"), TypeError, "__int__ returned non-int (type str)"),
    ("__int__-float", HasInt(1.0), TypeError, "__int__ returned non-int (type float)"),
    ("__int__-raises", IntRaises(), ZeroDivisionError, "int"),
]


@pytest.mark.parametrize("name,pos", positions(I))
@pytest.mark.parametrize("value,passed", [r[1:] for r in INT_OK], ids=[r[0] for r in INT_OK])
def test_integer_arguments(sdk, name, pos, value, passed):
    args = sample_args(name)
    args[pos] = value
    getattr(c_sdk, name)(*args)
    assert sdk.last().args[pos] == passed


@pytest.mark.parametrize("name,pos", positions(I))
@pytest.mark.parametrize("value,exc,message", [r[1:] for r in INT_BAD], ids=[r[0] for r in INT_BAD])
def test_integer_arguments_refused(sdk, name, pos, value, exc, message):
    args = sample_args(name)
    args[pos] = value
    f = getattr(c_sdk, name)
    with pytest.raises(exc) as excinfo:
        f(*args)
    if message is not None:
        assert str(excinfo.value) == message
    assert tb_names(excinfo)[0] == f.__qualname__
    assert sdk.calls() == []


def test_int_subclass_from_int_is_deprecated_but_passed(sdk):
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type bool\)"):
        c_sdk.zvi_set_mode(HasInt(True))
    assert sdk.last() == ("zvi_set_mode", (1,))


# ---- flag parameter ----

class Truth:
    def __init__(self, v):
        self.v = v

    def __bool__(self):
        return self.v


class Sized:
    def __len__(self):
        return 0


@pytest.mark.parametrize("value,passed", [
    (True, True), (False, False), ([], False), ("x", True), (None, False), (0.0, False), (2, True),
    (object(), True), (Truth(False), False), (Sized(), False), (b"", False),
], ids=["True", "False", "empty-list", "str", "None", "zero", "two", "object", "bool-false", "len-0", "empty-bytes"])
def test_flag_is_the_truth_value(sdk, value, passed):
    c_sdk.zvi_set_bus_secure(1, b"ca", b"cert", b"key", value)
    assert sdk.last() == ("zvi_set_bus_secure", (1, b"ca", b"cert", b"key", passed))


def test_flag_truth_test_failure(sdk):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("bool")
    with pytest.raises(ZeroDivisionError) as excinfo:
        c_sdk.zvi_set_bus_secure(1, b"", b"", b"", skip_verify=Bad())
    assert tb_names(excinfo)[0] == c_sdk.zvi_set_bus_secure.__qualname__
    assert sdk.calls() == []


@pytest.mark.parametrize("args,exc", [
    ((2**40, "no", "no", "no", IntRaises()), OverflowError),
    ((1, b"", "no", None, IntRaises()), TypeError),
    ((1, b"", b"", b"", Truth("not a bool")), TypeError),  # __bool__ returning a str
], ids=["int-first", "string-before-flag", "flag-last"])
def test_first_failing_conversion_wins(sdk, args, exc):
    with pytest.raises(exc):
        c_sdk.zvi_set_bus_secure(*args)
    assert sdk.calls() == []


# ---- argument count and keywords ----

def plural(n):
    return "" if n == 1 else "s"


@pytest.mark.parametrize("name", WITH_PARAMS)
def test_wrong_arguments(sdk, name):
    f = getattr(c_sdk, name)
    names = [p for p, _ in params(name)]
    n = len(names)
    args = sample_args(name)
    cases = [
        ((), {}, f"wrap() takes exactly {n} positional argument{plural(n)} (0 given)"),
        (args + [b"x"], {}, f"wrap() takes exactly {n} positional argument{plural(n)} ({n + 1} given)"),
        (args[:-1], {}, f"wrap() takes exactly {n} positional argument{plural(n)} ({n - 1} given)"),
        (args, {names[0]: args[0]}, f"wrap() got multiple values for keyword argument '{names[0]}'"),
        (args, {"extra": 1}, "wrap() got an unexpected keyword argument 'extra'"),
        (args[:-1], {names[-1]: args[-1], "extra": 1}, "wrap() got an unexpected keyword argument 'extra'"),
    ]
    for a, kw, message in cases:
        with pytest.raises(TypeError) as excinfo:
            f(*a, **kw)
        assert str(excinfo.value) == message
        assert tb_names(excinfo) == [f.__qualname__]
    assert sdk.calls() == []


@pytest.mark.parametrize("name", NO_PARAMS)
def test_no_arguments_at_all(sdk, name):
    f = getattr(c_sdk, name)
    for a, kw, message in [
        ((1,), {}, "wrap() takes no arguments (1 given)"),
        ((1, 2), {"x": 3}, "wrap() takes no arguments (2 given)"),
        ((), {"x": 3}, "wrap() takes no keyword arguments"),
    ]:
        with pytest.raises(TypeError) as excinfo:
            f(*a, **kw)
        assert str(excinfo.value) == message
        assert tb_names(excinfo) == [f.__qualname__]
    assert sdk.calls() == []
    f(**{})  # an empty keyword dict is no keyword
    assert [c.fn for c in sdk.calls()] == [name]
