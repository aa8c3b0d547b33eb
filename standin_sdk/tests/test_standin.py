"""Tests of the stand-in libzvsdk.so and its zvsdk_standin helper, through ctypes only.

The library is taken from $ZVSDK_STANDIN_LIB, else from c_sdk.libs/ beside an installed c_sdk,
else compiled from standin_sdk/src into a temporary directory.
"""

import ctypes
import importlib.machinery
import importlib.util
import math
import os
import re
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from children import run_child

HERE = Path(__file__).resolve().parent
STANDIN = HERE.parent
REPO = STANDIN.parent
HEADER = REPO / "src" / "sdk" / "zvsdk.h"
HELPER = STANDIN / "zvsdk_standin" / "__init__.py"

# The helper under test is the one in this tree, loaded under a private name so an
# installed zvsdk_standin that other tests import stays untouched.
_spec = importlib.util.spec_from_file_location("_zvsdk_standin_under_test", HELPER)
standin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(standin)

Callback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int)


# ---- the functions of zvsdk.h, parsed into ctypes signatures ----

def _normalize(ctype):
    return re.sub(r"\s*\*", "*", " ".join(ctype.split()))


def _parse_header():
    text = re.sub(r"/\*.*?\*/", "", HEADER.read_text(), flags=re.S)
    functions = []
    for ret, name, params in re.findall(r"ZVSDK_API\s+([\w\s*]+?)\s*(\w+)\(([^)]*)\);", text):
        kinds = []
        if params.strip() != "void":
            for param in params.split(","):
                ctype, pname = re.match(r"\s*(.*?)\s*(\w+)\s*$", param).groups()
                kinds.append((_normalize(ctype), pname))
        functions.append((name, _normalize(ret), kinds))
    return functions


SDK = _parse_header()
CTYPES = {
    "void": None,
    "int": ctypes.c_int,
    "long long": ctypes.c_longlong,
    "double": ctypes.c_double,
    "bool": ctypes.c_bool,
    "const char*": ctypes.c_char_p,
    "char**": ctypes.POINTER(ctypes.c_void_p),
    "int*": ctypes.POINTER(ctypes.c_int),
    "zvi_event_callback": Callback,
}
RESULTS = {
    "void": None,
    "int": ctypes.c_int,
    "long long": ctypes.c_longlong,
    "double": ctypes.c_double,
    "const char*": ctypes.c_void_p,  # a raw pointer, so null and the bytes after the text can be checked
}


def sdk_function(lib, name):
    _, ret, params = next(f for f in SDK if f[0] == name)
    fn = getattr(lib, name)
    fn.restype = RESULTS[ret]
    fn.argtypes = [CTYPES[ctype] for ctype, _ in params]
    return fn


def text_at(ptr):
    return None if ptr is None else ctypes.string_at(ptr)


# ---- fixtures ----

def _build_library(out_dir):
    compiler = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if not compiler:
        pytest.skip("no stand-in library given and no C++ compiler to build one")
    lib = out_dir / "libzvsdk.so"
    subprocess.run(
        [compiler, "-std=c++17", "-O1", "-g", "-shared", "-fPIC", "-fvisibility=hidden", "-pthread",
         f"-I{REPO / 'src' / 'sdk'}", f"-I{STANDIN / 'src'}", *sorted(map(str, (STANDIN / "src").rglob("*.cpp"))),
         f"-Wl,--version-script={STANDIN / 'src' / 'exports.map'}", "-Wl,-soname,libzvsdk.so", "-o", str(lib)],
        check=True,
    )
    return lib


@pytest.fixture(scope="session")
def lib_path(tmp_path_factory):
    if os.environ.get("ZVSDK_STANDIN_LIB"):
        return Path(os.environ["ZVSDK_STANDIN_LIB"])
    spec = importlib.util.find_spec("c_sdk")
    if spec and spec.origin and (Path(spec.origin).parent / "c_sdk.libs" / "libzvsdk.so").is_file():
        return Path(spec.origin).parent / "c_sdk.libs" / "libzvsdk.so"
    return _build_library(tmp_path_factory.mktemp("standin"))


@pytest.fixture
def sdk(lib_path):
    handle = standin.StandIn(lib_path)
    handle.reset()
    yield handle
    handle.reset()


@pytest.fixture
def lib(sdk):
    return ctypes.CDLL(sdk.path)


def call_with_response(lib, name, *args):
    """Calls a function whose last two parameters are (char** res, int* res_len)."""
    res, res_len = ctypes.c_void_p(12345), ctypes.c_int(-77)  # poisoned: the call must overwrite them
    status = sdk_function(lib, name)(*args, ctypes.byref(res), ctypes.byref(res_len))
    return status, res.value, res_len.value


def run_python(code, env_extra, tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("ZVSDK_STANDIN_LIB", "PYTHONPATH")}
    env.update(env_extra)
    script = f"import importlib.util as u\ns = u.spec_from_file_location('h', {str(HELPER)!r})\n" \
             f"h = u.module_from_spec(s); s.loader.exec_module(h)\n" + textwrap.dedent(code)
    # -S: no site-packages, so an installed c_sdk cannot be found instead of the fake one.
    return run_child([sys.executable, "-S", "-c", script], env=env, cwd=tmp_path, timeout=60)


# ---- exports ----

def test_exports_exactly_the_header_functions(sdk, lib):
    assert len(SDK) == 187
    assert sdk.functions() == tuple(name for name, _, _ in SDK)
    for name, _, _ in SDK:
        getattr(lib, name)


def test_private_symbols_stay_hidden(lib):
    for name in ("_ZTISt18bad_variant_access", "deliver_events"):
        with pytest.raises(AttributeError):
            getattr(lib, name)


# ---- recording and defaults, every function ----

def _sample_args(params):
    """Arguments for one call and the record they must produce."""
    args, expected = [], []
    keep = []  # ctypes objects that must outlive the call
    for i, (ctype, pname) in enumerate(params):
        if ctype == "const char*" and i + 1 < len(params) and params[i + 1][1] == "req_len":
            data = b"r\0q" + bytes([i])
            args.append(data)
            expected.append(data)
        elif pname == "req_len":
            args.append(len(args[-1]))
            expected.append(args[-1])
        elif ctype == "const char*":
            data = f"s{i}-\u00e9".encode()
            args.append(data)
            expected.append(data)
        elif ctype == "int":
            args.append(-100 - i)
            expected.append(-100 - i)
        elif ctype == "double":
            args.append(i + 0.1)
            expected.append(i + 0.1)
        elif ctype == "bool":
            args.append(i % 2 == 0)
            expected.append(i % 2 == 0)
        elif ctype == "char**":
            keep.append(ctypes.c_void_p(1))
            args.append(ctypes.byref(keep[-1]))
            expected.append(True)
        elif ctype == "int*":
            keep.append(ctypes.c_int(-1))
            args.append(ctypes.byref(keep[-1]))
            expected.append(True)
        elif ctype == "zvi_event_callback":
            cb = Callback(lambda *a: None)
            keep.append(cb)
            args.append(cb)
            expected.append(ctypes.cast(cb, ctypes.c_void_p).value)
        else:
            raise AssertionError(f"no sample for {ctype}")
    return args, tuple(expected), keep


@pytest.mark.parametrize("name,ret,params", SDK, ids=[f[0] for f in SDK])
def test_every_function_records_its_arguments_and_returns_defaults(sdk, lib, name, ret, params):
    args, expected, keep = _sample_args(params)
    result = sdk_function(lib, name)(*args)
    assert sdk.calls() == [standin.Call(name, expected)]
    if ret == "const char*":
        assert text_at(result) == (b"zvsdk error -100" if name == "zvi_strerror" else b"")
    elif ret != "void":
        assert not result
    outs = [k for k in keep if isinstance(k, (ctypes.c_void_p, ctypes.c_int))]
    if [c for c, _ in params][-2:] == ["char**", "int*"]:
        assert outs[0].value is not None and outs[1].value == 0  # a valid empty response
        assert ctypes.string_at(outs[0].value, 1) == b"\0"
    elif name == "zvi_get_serv_addr":
        assert text_at(outs[0].value) == b""


@pytest.mark.parametrize("name,args,expected", [
    ("zvi_set_serv_addr_v5", (None, b"a\0b", b""), (None, b"a", b"")),
    ("zvi_get_orders_pb", (b"ab\0c", 4, None, None), (b"ab\0c", 4, False, False)),
    ("zvi_get_orders_pb", (None, 4, None, None), (None, 4, False, False)),
    ("zvi_get_orders_pb", (b"abc", -2, None, None), (b"", -2, False, False)),
    ("zvi_get_orders_pb", (b"abc", 0, None, None), (b"", 0, False, False)),
    ("zvi_get_orders_pb", (b"abcdef", 2, None, None), (b"ab", 2, False, False)),
    ("zvi_log_pb", (None, -1), (None, -1)),
    ("zvi_get_serv_addr", (None, None), (None, False)),
    ("zvi_set_mode_consistency", (True,), (True,)),
    ("zvi_set_mode", (-2**31,), (-2**31,)),
    ("zvi_set_event_callback_pb", (Callback(),), (0,)),  # a null callback
    ("zvi_smart_reorder", (b"s", float("inf"), 1, 2, 3, 4, 5, 6, 7, 8, None),
     (b"s", float("inf"), 1, 2, 3, 4, 5, 6, 7, 8, None)),
    ("zvi_set_backtest_config", (b"", b"e", -0.0, 1e-310, 5e-324, 1.7976931348623157e308, float("-inf"), 0.1, 1 / 3,
                                 2**31 - 1, 0, -1),
     (b"", b"e", -0.0, 1e-310, 5e-324, 1.7976931348623157e308, float("-inf"), 0.1, 1 / 3, 2**31 - 1, 0, -1)),
])
def test_argument_edge_cases_are_recorded_as_received(sdk, lib, name, args, expected):
    sdk_function(lib, name)(*args)
    (call,) = sdk.calls()
    assert call.fn == name and call.args == expected
    for got, want in zip(call.args, expected):  # -0.0 == 0.0, so compare the sign too
        if isinstance(want, float):
            assert math.copysign(1, got) == math.copysign(1, want)


def test_nan_argument_round_trips(sdk, lib):
    sdk_function(lib, "zvi_smart_reorder")(b"s", float("nan"), 0, 0, 0, 0, 0, 0, 0, 0, b"a")
    assert math.isnan(sdk.last().args[1])


def test_record_order_calls_to_and_last(sdk, lib):
    init, token = sdk_function(lib, "zvi_init"), sdk_function(lib, "zvi_set_token")
    init()
    token(b"t1")
    init()
    token(b"t2")
    assert [c.fn for c in sdk.calls()] == ["zvi_init", "zvi_set_token"] * 2
    assert sdk.call_count() == 4
    assert sdk.calls_to("zvi_set_token") == [(b"t1",), (b"t2",)]
    assert sdk.calls_to("zvi_run") == []
    assert sdk.last() == standin.Call("zvi_set_token", (b"t2",))
    assert sdk.last("zvi_init") == standin.Call("zvi_init", ())
    with pytest.raises(IndexError):
        sdk.last("zvi_run")


def test_concurrent_calls_are_all_recorded(sdk, lib):
    init = sdk_function(lib, "zvi_init")  # ctypes drops the interpreter lock around the call

    def work():
        for _ in range(2000):
            init()

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sdk.call_count() == 8000


# ---- scripts ----

@pytest.mark.parametrize("name,value", [
    ("zvi_init", -1), ("zvi_run", 2**31 - 1), ("zvi_user_timer", -2**31), ("zvi_get_orders_pb", 5),
    ("zvi_log_pb", 1), ("zvi_get_serv_addr", 3), ("zvi_now", -2**63), ("zvi_now", 2**63 - 1),
])
def test_set_int(sdk, lib, name, value):
    _, _, params = next(f for f in SDK if f[0] == name)
    args, _, _ = _sample_args(params)
    fn = sdk_function(lib, name)
    sdk.set_int(name, value)
    assert fn(*args) == value
    assert fn(*args) == value  # a script holds until reset


@pytest.mark.parametrize("value", [1.5, -0.0, float("inf"), 5e-324])
def test_set_real(sdk, lib, value):
    sdk.set_real("zvi_now_plus", value)
    got = sdk_function(lib, "zvi_now_plus")()
    assert got == value and math.copysign(1, got) == math.copysign(1, value)


def test_set_real_nan(sdk, lib):
    sdk.set_real("zvi_now_plus", float("nan"))
    assert math.isnan(sdk_function(lib, "zvi_now_plus")())


TEXT_FUNCTIONS = ["zvi_get_orgcode", "zvi_get_encrypted_token", "zvi_get_ext_errormsg", "zvi_get_c_version"]


@pytest.mark.parametrize("name", TEXT_FUNCTIONS + ["zvi_get_serv_addr"])
@pytest.mark.parametrize("data", [b"v1.2", b"", b"a\0b", b"\xff\xfe", None])
def test_set_text(sdk, lib, name, data):
    sdk.set_text(name, data)
    if name == "zvi_get_serv_addr":
        addr = ctypes.c_void_p(1)
        sdk_function(lib, name)(b"id", ctypes.byref(addr))
        ptr = addr.value
    else:
        ptr = sdk_function(lib, name)()
    if data is None:
        assert ptr is None
    else:
        assert ctypes.string_at(ptr, len(data) + 1) == data + b"\0"  # the whole copy, NUL-terminated


def test_serv_addr_is_filled_whatever_the_status(sdk, lib):
    sdk.set_int("zvi_get_serv_addr", 9)
    sdk.set_text("zvi_get_serv_addr", b"tcp://x")
    addr = ctypes.c_void_p()
    assert sdk_function(lib, "zvi_get_serv_addr")(b"id", ctypes.byref(addr)) == 9
    assert text_at(addr.value) == b"tcp://x"


def test_set_strerror(sdk, lib):
    strerror = sdk_function(lib, "zvi_strerror")
    sdk.set_strerror(5, b"five\xff")
    sdk.set_strerror(-2**31, None)
    sdk.set_strerror(6, b"")
    assert text_at(strerror(5)) == b"five\xff"
    assert strerror(-2**31) is None
    assert text_at(strerror(6)) == b""
    assert text_at(strerror(7)) == b"zvsdk error 7"


@pytest.mark.parametrize("name,args", [
    ("zvi_get_orders_pb", (b"q", 1)),
    ("zvi_current_pb", (b"s", True, b"f")),
    ("zvi_get_child_orders_pb", (b"a", b"b")),
    ("zvi_algo_order_batch_pb", (b"q", 1, b"n", b"p")),
    ("zvi_get_account_info_pb", ()),
])
@pytest.mark.parametrize("status", [0, 3])
def test_set_response(sdk, lib, name, args, status):
    data = b"\0resp\0onse\0"
    sdk.set_int(name, status)
    sdk.set_response(name, data)
    got_status, ptr, length = call_with_response(lib, name, *args)
    assert (got_status, length) == (status, len(data))  # filled whatever the status
    assert ctypes.string_at(ptr, length + 1) == data + b"\0"


@pytest.mark.parametrize("null,length", [(True, 0), (True, 10), (True, -1), (False, -5), (False, 0), (False, 64)])
def test_set_response_raw(sdk, lib, null, length):
    sdk.set_response("zvi_get_cash_pb", b"replaced")
    sdk.set_response_raw("zvi_get_cash_pb", null=null, length=length)
    _, ptr, got_length = call_with_response(lib, "zvi_get_cash_pb", b"", 0)
    assert got_length == length
    if null:
        assert ptr is None
    else:
        assert ctypes.string_at(ptr, max(length, 0) + 1) == bytes(max(length, 0) + 1)  # in bounds, zero-filled


def test_response_copy_is_independent_of_the_callers_buffer(sdk, lib):
    data = bytearray(b"abc")
    sdk.set_response("zvi_get_orders_pb", data)
    data[:] = b"xyz"
    _, ptr, length = call_with_response(lib, "zvi_get_orders_pb", b"", 0)
    assert ctypes.string_at(ptr, length) == b"abc"


@pytest.mark.parametrize("poison", [False, True])
def test_poison_mode_overwrites_the_previous_result_at_the_next_call(sdk, lib, poison):
    sdk.set_response("zvi_get_orders_pb", b"orders")
    sdk.set_strerror(3, b"text")
    if poison:
        sdk.set_poison()
    _, response, length = call_with_response(lib, "zvi_get_orders_pb", b"", 0)
    assert ctypes.string_at(response, length) == b"orders"
    text = sdk_function(lib, "zvi_strerror")(3)
    sdk_function(lib, "zvi_now")()
    if poison:
        # Both kept (not freed) and overwritten, NUL terminators and lengths unchanged.
        assert ctypes.string_at(response, length + 1) == b"\xa5" * 6 + b"\0"
        assert ctypes.string_at(text) == b"\xa5" * 4
    else:
        assert ctypes.string_at(text) == b"text"
    sdk.reset()  # off again
    sdk.set_strerror(3, b"text")
    text = sdk_function(lib, "zvi_strerror")(3)
    sdk_function(lib, "zvi_now")()
    assert ctypes.string_at(text) == b"text"


def test_scripts_are_per_function(sdk, lib):
    sdk.set_int("zvi_get_cash_pb", 4)
    sdk.set_response("zvi_get_cash_pb", b"cash")
    assert call_with_response(lib, "zvi_get_positions_pb", b"", 0)[::2] == (0, 0)


@pytest.mark.parametrize("setter,args,error", [
    ("set_int", ("zvi_nope", 1), ValueError),
    ("set_int", ("ZVI_INIT", 1), ValueError),
    ("set_int", ("zvi_init\0", 1), ValueError),
    ("set_int", ("zvi_set_mode", 1), ValueError),
    ("set_int", ("zvi_now_plus", 1), ValueError),
    ("set_int", ("zvi_init", 2**31), OverflowError),
    ("set_int", ("zvi_now", 2**63), OverflowError),
    ("set_int", ("zvi_init", 1.0), TypeError),
    ("set_int", (b"zvi_init", 1), TypeError),
    ("set_real", ("zvi_now", 1.0), ValueError),
    ("set_real", ("zvi_now_plus", "1.0"), TypeError),
    ("set_text", ("zvi_init", b""), ValueError),
    ("set_text", ("zvi_strerror", b""), ValueError),
    ("set_text", ("zvi_get_orgcode", "text"), TypeError),
    ("set_strerror", (2**31, b""), OverflowError),
    ("set_strerror", (1, 5), TypeError),
    ("set_response", ("zvi_log_pb", b""), ValueError),
    ("set_response", ("zvi_get_serv_addr", b""), ValueError),
    ("set_response", ("zvi_get_orders_pb", None), TypeError),
    ("set_response_raw", ("zvi_init",), ValueError),
    ("set_response_raw", ("zvi_get_orders_pb", True, 2**31), OverflowError),
    ("queue_event", ("name", b""), TypeError),
    ("queue_event", (b"n", b"", 2**31), OverflowError),
    ("calls_to", ("zvi_nope",), ValueError),
    ("last", ("zvi_nope",), ValueError),
    ("call_count", ("zvi_nope",), ValueError),
    ("assert_not_called", ("zvi_nope",), ValueError),
    ("script", ("zvi_get_orders_pb",), TypeError),
    ("script", ("zvi_nope",), ValueError),
])
def test_bad_requests_raise(sdk, setter, args, error):
    with pytest.raises(error):
        getattr(sdk, setter)(*args)
    assert sdk.pending_events() == 0


def test_bad_values_are_refused_by_the_library_too(sdk, lib_path):
    lib = ctypes.CDLL(str(lib_path))
    lib.zvstub_set_int.argtypes = [ctypes.c_char_p, ctypes.c_longlong]
    lib.zvstub_set_text.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
    lib.zvstub_set_response.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.zvstub_function_name.restype = ctypes.c_char_p
    assert lib.zvstub_set_int(None, 1) == -1
    assert lib.zvstub_set_int(b"zvi_stop", 2**40) == -3
    assert lib.zvstub_set_text(b"zvi_get_orgcode", None, 3, 0) == -3
    assert lib.zvstub_set_response(b"zvi_get_orders_pb", None, 2**31) == -3
    assert lib.zvstub_function_name(187) is None and lib.zvstub_function_name(-1) is None


# ---- events ----

class Recorder:
    """An event callback that records what it receives and runs an optional action."""

    def __init__(self, action=None):
        self.events = []
        self.action = action
        self.cb = Callback(self._on_event)

    def _on_event(self, name, data, length):
        payload = None if data is None else ctypes.string_at(data, max(length, 0))
        self.events.append((name, payload, length))
        if self.action:
            self.action(name)


@pytest.fixture
def events(sdk, lib):
    """(register, run, poll, stop) bound to the library."""
    register = sdk_function(lib, "zvi_set_event_callback_pb")
    return register, sdk_function(lib, "zvi_run"), sdk_function(lib, "zvi_poll"), sdk_function(lib, "zvi_stop")


@pytest.mark.parametrize("name,payload,length,expected", [
    (b"tick", b"\x01\x02", None, (b"tick", b"\x01\x02", 2)),
    (b"\xff\xfebad", b"p", None, (b"\xff\xfebad", b"p", 1)),
    (b"a\0b", b"", None, (b"a", b"", 0)),
    (None, b"x", None, (None, b"x", 1)),
    (b"n", None, None, (b"n", None, 0)),
    (b"n", None, 4, (b"n", None, 4)),
    (b"n", b"abc", 8, (b"n", b"abc" + bytes(5), 8)),  # padded so a reader trusting 8 stays in bounds
    (b"n", b"abcdef", 2, (b"n", b"ab", 2)),
    (b"n", b"abc", -3, (b"n", b"", -3)),
])
def test_event_delivery(sdk, events, name, payload, length, expected):
    register, run, _, _ = events
    rec = Recorder()
    register(rec.cb)
    sdk.queue_event(name, payload, length)
    assert sdk.pending_events() == 1
    assert run() == 0
    assert rec.events == [expected]
    assert sdk.pending_events() == 0


def test_run_delivers_in_order_and_returns_scripted_status(sdk, events):
    register, run, _, _ = events
    rec = Recorder()
    register(rec.cb)
    for i in range(5):
        sdk.queue_event(b"e%d" % i, b"%d" % i)
    sdk.set_int("zvi_run", 7)
    assert run() == 7
    assert [e[0] for e in rec.events] == [b"e%d" % i for i in range(5)]
    assert [c.fn for c in sdk.calls()] == ["zvi_set_event_callback_pb", "zvi_run"]


def test_stop_in_callback_leaves_the_rest_queued(sdk, lib, events):
    register, run, _, stop = events
    sdk.set_int("zvi_stop", 4)
    stop_status = []
    rec = Recorder(lambda name: stop_status.append(stop()) if name == b"b" else None)
    register(rec.cb)
    for name in (b"a", b"b", b"c", b"d"):
        sdk.queue_event(name, b"")
    assert run() == 0
    assert [e[0] for e in rec.events] == [b"a", b"b"] and stop_status == [4]
    assert sdk.pending_events() == 2 and not sdk.stop_requested()
    run()
    assert [e[0] for e in rec.events] == [b"a", b"b", b"c", b"d"]


def test_stop_before_run_ends_the_next_run_at_once(sdk, events):
    register, run, _, stop = events
    rec = Recorder()
    register(rec.cb)
    sdk.queue_event(b"a", b"")
    stop()
    assert sdk.stop_requested()
    run()
    assert rec.events == [] and sdk.pending_events() == 1 and not sdk.stop_requested()


def test_poll_delivers_what_was_pending(sdk, events):
    register, _, poll, _ = events
    rec = Recorder(lambda name: sdk.queue_event(b"later", b"") if name == b"a" else None)
    register(rec.cb)
    sdk.queue_event(b"a", b"")
    sdk.queue_event(b"b", b"")
    sdk.set_int("zvi_poll", -3)
    assert poll() == -3
    assert [e[0] for e in rec.events] == [b"a", b"b"] and sdk.pending_events() == 1
    poll()
    assert [e[0] for e in rec.events] == [b"a", b"b", b"later"]


def test_stop_in_poll_nested_in_run_ends_the_run(sdk, events):
    register, run, poll, stop = events

    def action(name):
        if name == b"outer":
            poll()
        elif name == b"inner":
            stop()

    rec = Recorder(action)
    register(rec.cb)
    for name in (b"outer", b"inner", b"rest"):
        sdk.queue_event(name, b"")
    run()
    assert [e[0] for e in rec.events] == [b"outer", b"inner"]
    assert sdk.pending_events() == 1 and not sdk.stop_requested()


def test_nested_run_stops_only_itself(sdk, events):
    register, run, _, stop = events

    def action(name):
        if name == b"1":
            sdk.queue_event(b"stop-inner", b"")
            run()  # delivers 2, 3, stop-inner, then stops
        elif name == b"stop-inner":
            stop()

    rec = Recorder(action)
    register(rec.cb)
    for name in (b"1", b"2", b"3"):
        sdk.queue_event(name, b"")
    run()
    assert [e[0] for e in rec.events] == [b"1", b"2", b"3", b"stop-inner"]
    assert [c.fn for c in sdk.calls()][1:] == ["zvi_run", "zvi_run", "zvi_stop"]


def test_callback_reentry_records_and_reregisters(sdk, lib, events):
    register, run, _, _ = events
    second = Recorder()
    first = Recorder(lambda name: (call_with_response(lib, "zvi_get_orders_pb", name, len(name)), register(second.cb)))
    register(first.cb)
    sdk.set_response("zvi_get_orders_pb", b"r")
    sdk.queue_event(b"x", b"")
    sdk.queue_event(b"y", b"")
    run()
    assert [e[0] for e in first.events] == [b"x"] and [e[0] for e in second.events] == [b"y"]
    assert sdk.calls_to("zvi_get_orders_pb") == [(b"x", 1, True, True)]
    addresses = [args[0] for args in sdk.calls_to("zvi_set_event_callback_pb")]
    assert addresses == [ctypes.cast(r.cb, ctypes.c_void_p).value for r in (first, second)]


def test_reset_inside_callback_ends_delivery(sdk, events):
    register, run, _, _ = events
    rec = Recorder(lambda name: sdk.reset())
    register(rec.cb)
    sdk.queue_event(b"a", b"payload")
    sdk.queue_event(b"b", b"")
    run()
    assert rec.events == [(b"a", b"payload", 7)] and sdk.pending_events() == 0


def test_events_without_callback_are_discarded(sdk, events):
    register, run, _, _ = events
    sdk.queue_event(b"a", b"")
    run()
    assert sdk.pending_events() == 0
    rec = Recorder()
    register(rec.cb)
    register(Callback())  # null: unregisters
    sdk.queue_event(b"b", b"")
    run()
    assert rec.events == [] and sdk.pending_events() == 0


def test_reset_forgets_everything(sdk, lib, events):
    register, run, _, stop = events
    rec = Recorder()
    register(rec.cb)
    sdk.set_int("zvi_init", 5)
    sdk.set_text("zvi_get_orgcode", None)
    sdk.set_strerror(1, b"one")
    sdk.set_response_raw("zvi_get_orders_pb", True, -1)
    sdk.queue_event(b"a", b"")
    stop()
    sdk.reset()
    assert sdk.calls() == [] and sdk.pending_events() == 0 and not sdk.stop_requested()
    assert sdk_function(lib, "zvi_init")() == 0
    assert text_at(sdk_function(lib, "zvi_get_orgcode")()) == b""
    assert text_at(sdk_function(lib, "zvi_strerror")(1)) == b"zvsdk error 1"
    assert call_with_response(lib, "zvi_get_orders_pb", b"", 0)[2] == 0
    sdk.queue_event(b"b", b"")
    run()
    assert rec.events == []  # the callback was forgotten too


# ---- finding the library ----

def test_default_path_is_the_one_installed_with_c_sdk_and_env_overrides(lib_path, tmp_path):
    site = tmp_path / "site"
    (site / "c_sdk.libs").mkdir(parents=True)
    (site / ("c_sdk" + importlib.machinery.EXTENSION_SUFFIXES[0])).write_bytes(b"")  # found, never imported
    (site / "c_sdk.libs" / "libzvsdk.so").symlink_to(lib_path)
    code = """
        import sys
        sdk = h.StandIn()
        print(sdk.path, len(sdk.functions()), "c_sdk" in sys.modules)
    """
    out = run_python(code, {"PYTHONPATH": str(site)}, tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [str(site / "c_sdk.libs" / "libzvsdk.so"), "187", "False"]

    out = run_python(code, {"PYTHONPATH": str(site), "ZVSDK_STANDIN_LIB": str(lib_path)}, tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[0] == str(lib_path)


@pytest.mark.parametrize("env,error", [
    ({}, "FileNotFoundError: c_sdk is not importable"),
    ({"ZVSDK_STANDIN_LIB": "/nonexistent/libzvsdk.so"}, "OSError"),
    ({"ZVSDK_STANDIN_LIB": "libc.so.6"}, "OSError: libc.so.6 is not the stand-in library"),
])
def test_unusable_library_is_a_clear_error(tmp_path, env, error):
    out = run_python("""
        try:
            h.StandIn()
        except Exception as e:
            print(f"{type(e).__name__}: {e}")
    """, env, tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(error)


def test_library_loaded_by_soname_is_the_same_instance(lib_path, tmp_path):
    # The module's DT_NEEDED entry names libzvsdk.so; once the helper has loaded the file,
    # that name resolves to the same instance, and the other way round.
    out = run_python(f"""
        import ctypes
        sdk = h.StandIn({str(lib_path)!r})
        ctypes.CDLL("libzvsdk.so").zvi_init()
        print([c.fn for c in sdk.calls()])
    """, {}, tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['zvi_init']"


# ---- memory ----

def test_no_leaks_under_valgrind(lib_path, tmp_path):
    valgrind, cc = shutil.which("valgrind"), shutil.which(os.environ.get("CC", "cc"))
    if not valgrind or not cc:
        pytest.skip("needs valgrind and a C compiler")
    if b"libasan" in subprocess.run(["ldd", str(lib_path)], capture_output=True).stdout:
        pytest.skip("sanitizer build: valgrind cannot run it")
    driver = tmp_path / "leak_driver"
    subprocess.run([cc, "-std=c11", "-Wall", f"-I{REPO / 'src' / 'sdk'}", f"-I{STANDIN / 'src'}",
                    str(HERE / "leak_driver.c"), str(lib_path), f"-Wl,-rpath,{lib_path.parent}", "-o", str(driver)],
                   check=True)
    out = subprocess.run([valgrind, "--leak-check=full", "--show-leak-kinds=all", "--errors-for-leak-kinds=all",
                          "--error-exitcode=99", str(driver)], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert "All heap blocks were freed" in out.stderr
