"""Wrappers with arguments of their own: what reaches the SDK, in which order, and the
conversions every string, integer, real and flag parameter shares."""
import pytest

import c_sdk
from conftest import tb_names
from expected import SHAPES, WRAPPERS

ADAPTED = {name for name, adapted in WRAPPERS if adapted}
SAMPLE = {"str": lambda i: b"s%d" % i, "int": lambda i: 10 + i, "real": lambda i: 0.5 + i,
          "flag": lambda i: True, "nonzero": lambda i: 2, "req": lambda i: b"r\0q"}


def sample_args(params):
    return [SAMPLE[kind](i) for i, (_, kind) in enumerate(params)]


def sdk_view(params, order, values):
    """The arguments the SDK should record for these Python values."""
    out = []
    for slot in order:
        if slot == "res":
            out += [True, True]
        elif slot == "addr":
            out.append(True)
        elif slot == "null":
            out.append(None)
        else:
            kind, value = params[slot][1], values[slot]
            if kind == "req":
                out += [bytes(value), len(value)]
            elif kind == "str":
                out.append(bytes(value).split(b"\0")[0])
            elif kind == "int":
                out.append(int(value))
            elif kind == "real":
                out.append(float(value))
            elif kind == "nonzero":
                out.append(int(value) != 0)
            else:
                out.append(bool(value))
    return tuple(out)


SUCCESS_RESULT = {"status": 0, "none": None, "text": b"", "response": (0, b""), "servaddr": b""}
ALL = pytest.mark.parametrize("name", sorted(SHAPES))


def params_of(kind):
    return [(name, i) for name, (_, params, _, _) in sorted(SHAPES.items())
            for i, (_, k) in enumerate(params) if k == kind]


@ALL
def test_positional_call_reaches_the_sdk_in_its_order(sdk, name):
    fn, params, order, result = SHAPES[name]
    values = sample_args(params)
    got = getattr(c_sdk, name)(*values)
    expected = b"zvsdk error %d" % values[0] if name == "py_zvi_strerror" else SUCCESS_RESULT[result]
    assert got == expected and type(got) is type(expected)
    assert sdk.calls() == [(fn, sdk_view(params, order, values))]


@ALL
def test_keyword_call_in_any_order(sdk, name):
    fn, params, order, _ = SHAPES[name]
    values = sample_args(params)
    kwargs = dict(reversed([(p, v) for (p, _), v in zip(params, values)]))
    getattr(c_sdk, name)(**kwargs)
    assert sdk.calls() == [(fn, sdk_view(params, order, values))]


@ALL
def test_arity(sdk, name):
    _, params, _, _ = SHAPES[name]
    func = getattr(c_sdk, name)
    n = len(params)
    if n == 0:
        with pytest.raises(TypeError) as excinfo:
            func(1)
        assert str(excinfo.value) == f"{name}() takes no arguments (1 given)"
        with pytest.raises(TypeError) as excinfo:
            func(x=1)
        assert str(excinfo.value) == f"{name}() takes no keyword arguments"
    else:
        plural = "" if n == 1 else "s"
        for given in (n - 1, n + 1):
            with pytest.raises(TypeError) as excinfo:
                func(*sample_args(params + [("extra", "int")])[:given])
            assert str(excinfo.value) == f"{name}() takes exactly {n} positional argument{plural} ({given} given)"
            assert tb_names(excinfo)[-1] == f"c_sdk.{name}"
    assert sdk.calls() == []


@ALL
def test_scripted_results(sdk, name):
    fn, params, _, result = SHAPES[name]
    func = getattr(c_sdk, name)
    values = sample_args(params)
    if result == "status":
        sdk.set_int(fn, -42)
        assert func(*values) == -42
    elif result == "text":
        if fn == "zvi_strerror":
            sdk.set_strerror(values[0], b"t\xffx")
        else:
            sdk.set_text(fn, b"t\xffx")
        assert func(*values) == b"t\xffx"
    elif result == "response":
        sdk.set_response(fn, b"a\0b")
        assert func(*values) == (0, b"a\0b")
        sdk.set_int(fn, 3)  # the SDK still fills the response: it is not read
        assert func(*values) == (3, None)
    elif result == "servaddr":
        sdk.set_text(fn, b"tcp://x:1")
        assert func(*values) == b"tcp://x:1"
        sdk.set_int(fn, 3)
        assert func(*values) is None
    else:
        assert func(*values) is None


@ALL
def test_str_arguments(sdk, name):
    fn, params, order, _ = SHAPES[name]
    text = [i for i, (_, kind) in enumerate(params) if kind in ("str", "req")]
    if not text:
        pytest.skip("no string parameter")
    values = sample_args(params)
    as_str = list(values)
    for i in text:
        as_str[i] = values[i].decode()
    func = getattr(c_sdk, name)
    if name in ADAPTED:
        func(*as_str)
        assert sdk.last() == (fn, sdk_view(params, order, values))
    else:
        with pytest.raises(TypeError, match="expected bytes, str found"):
            func(*as_str)
        assert sdk.calls() == []


@pytest.mark.parametrize("name,index", params_of("str"))
@pytest.mark.parametrize("value,seen", [(b"ab\0cd", b"ab"), (bytearray(), b""), (bytearray(b"x"), b"x"),
                                        (type("B", (bytes,), {})(b"sub"), b"sub")])
def test_string_parameters(sdk, name, index, value, seen):
    fn, params, order, _ = SHAPES[name]
    values = sample_args(params)
    values[index] = value
    getattr(c_sdk, name)(*values)
    assert sdk.last().args == sdk_view(params, order, values)
    assert seen in sdk.last().args


@pytest.mark.parametrize("name,index", params_of("str"))
@pytest.mark.parametrize("bad", [None, 1, ["s"], memoryview(b"x")], ids=["None", "int", "list", "memoryview"])
def test_string_parameter_rejects(sdk, name, index, bad):
    values = sample_args(SHAPES[name][1])
    values[index] = bad
    with pytest.raises(TypeError) as excinfo:
        getattr(c_sdk, name)(*values)
    assert str(excinfo.value) == f"expected bytes, {type(bad).__name__} found"
    assert tb_names(excinfo)[-1] == f"c_sdk.{name}"
    assert sdk.calls() == []


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v

    def __repr__(self):  # test ids are the same in every process (pytest-xdist workers)
        return f"IntLike({self.v!r})"


INT_OK = [(1.9, 1), (-1.9, -1), (True, 1), (2**31 - 1, 2**31 - 1), (-2**31, -2**31), (IntLike(7), 7)]
INT_BAD = [(2**31, OverflowError, "value too large to convert to int"),
           (-2**31 - 1, OverflowError, "value too large to convert to int"),
           (2**100, OverflowError, "value too large to convert to int"),
           (b"7", TypeError, "an integer is required"),
           (None, TypeError, "an integer is required"),
           (IntLike("7"), TypeError, "__int__ returned non-int (type str)"),
           (float("nan"), ValueError, "cannot convert float NaN to integer")]


@pytest.mark.parametrize("name,index", params_of("int") + params_of("nonzero"))
@pytest.mark.parametrize("value,passed", INT_OK, ids=[repr(v) for v, _ in INT_OK])
def test_integer_parameters(sdk, name, index, value, passed):
    fn, params, order, _ = SHAPES[name]
    values = sample_args(params)
    values[index] = value
    getattr(c_sdk, name)(*values)
    values[index] = passed
    assert sdk.last() == (fn, sdk_view(params, order, values))


@pytest.mark.parametrize("name,index", params_of("int") + params_of("nonzero"))
@pytest.mark.parametrize("value,exc,message", INT_BAD, ids=[repr(v) for v, _, _ in INT_BAD])
def test_integer_parameter_rejects(sdk, name, index, value, exc, message):
    values = sample_args(SHAPES[name][1])
    values[index] = value
    with pytest.raises(exc) as excinfo:
        getattr(c_sdk, name)(*values)
    assert str(excinfo.value) == message
    assert sdk.calls() == []


def test_integer_parameter_given_str_through_the_adapter(sdk):
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_zvi_smart_reorder_cancel("1")
    with pytest.raises(TypeError, match="an integer is required"):
        c_sdk.py_zvi_set_bus_secure("1", b"", b"", b"", True)
    assert sdk.calls() == []


@pytest.mark.parametrize("mode,passed", [(2, True), (0, False), (0.5, False), (-1, True)])
def test_mode_consistency_truncates_before_the_test(sdk, mode, passed):
    c_sdk.py_zvi_set_mode_consistency(mode)
    assert sdk.last() == ("zvi_set_mode_consistency", (passed,))


@pytest.mark.parametrize("name,index", params_of("real"))
@pytest.mark.parametrize("value", [10, 2.5, True, float("inf"), type("F", (), {"__float__": lambda s: 1.25})()])
def test_real_parameters(sdk, name, index, value):
    fn, params, order, _ = SHAPES[name]
    values = sample_args(params)
    values[index] = value
    getattr(c_sdk, name)(*values)
    got = sdk.last().args[order.index(index)]
    assert got == float(value) and type(got) is float


@pytest.mark.parametrize("name,index", params_of("real"))
def test_real_parameter_rejects(sdk, name, index):
    values = sample_args(SHAPES[name][1])
    values[index] = b"1.0"
    with pytest.raises(TypeError, match="must be real number, not bytes"):
        getattr(c_sdk, name)(*values)
    assert sdk.calls() == []


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("name,index", params_of("flag"))
@pytest.mark.parametrize("value", [None, 0, [], "", 1, "x", [0], object()])
def test_flag_parameters(sdk, name, index, value):
    fn, params, order, _ = SHAPES[name]
    values = sample_args(params)
    values[index] = value
    getattr(c_sdk, name)(*values)
    assert sdk.last().args[order.index(index)] is bool(value)


@pytest.mark.parametrize("name,index", params_of("flag"))
def test_flag_whose_truth_test_raises(sdk, name, index):
    values = sample_args(SHAPES[name][1])
    values[index] = BadBool()
    with pytest.raises(ZeroDivisionError):
        getattr(c_sdk, name)(*values)
    assert sdk.calls() == []


def test_current_converts_the_flag_before_fields(sdk):
    with pytest.raises(ZeroDivisionError):
        c_sdk.py_zvi_current(b"s", None, BadBool())
    with pytest.raises(TypeError, match="expected bytes, NoneType found"):
        c_sdk.py_zvi_current(None, None, BadBool())
    assert sdk.calls() == []


def test_algo_order_batch_takes_len_first(sdk):
    with pytest.raises(TypeError, match="has no len"):
        c_sdk.py_zvi_algo_order_batch(None, None, None)
    c_sdk.py_zvi_algo_order_batch(bytearray(), "name", "params")
    assert sdk.last() == ("zvi_algo_order_batch_pb", (b"", 0, b"name", b"params", True, True))


def test_success_value_in_own_shapes(sdk):
    c_sdk.CSDK_OPERATE_SUCCESS = 5
    sdk.set_int("zvi_get_serv_addr", 5)
    sdk.set_text("zvi_get_serv_addr", b"addr")
    assert c_sdk.py_zvi_get_serv_addr("x") == b"addr"
    assert c_sdk.py_zvi_get_accounts() == (0, None)
    del c_sdk.CSDK_OPERATE_SUCCESS
    for call in (lambda: c_sdk.py_zvi_get_serv_addr("x"), c_sdk.py_zvi_get_accounts,
                 lambda: c_sdk.py_zvi_current("s", "f", 0), lambda: c_sdk.py_zvi_get_child_orders("a", "b")):
        with pytest.raises(NameError, match="name 'CSDK_OPERATE_SUCCESS' is not defined"):
            call()
    assert c_sdk.py_zvi_subscribe("s", "1d", 0) == 0  # statuses returned bare compare nothing


def test_null_strings_from_the_sdk_read_as_empty(sdk):
    sdk.set_text("zvi_get_orgcode", None)
    sdk.set_strerror(4, None)
    sdk.set_text("zvi_get_serv_addr", None)
    assert c_sdk.py_zvi_get_orgcode() == b"" and c_sdk.py_zvi_strerror(4) == b""
    assert c_sdk.py_zvi_get_serv_addr(b"x") == b""
