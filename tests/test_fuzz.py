"""Random arguments, scripted SDK outcomes and events against the models of hardening_util.

Every wrapper and every directly exposed SDK function is called with arguments drawn
from valid values of each parameter's kind and from hostile ones (conversion methods
that raise or lie, byte strings whose len() lies, str with lone surrogates or NULs,
wrong counts, unknown and duplicate keywords). The stand-in's record must show exactly
what the model says a valid call passes, and nothing at all when the call raised.

CSDK_FUZZ_EXAMPLES sets the examples per test (default 30); runs are derandomized and
keep no example database, so every run draws the same examples.
"""
import contextlib
import copy
import io
import json
import math
import os
import sys
import warnings

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.control import currently_in_test_context

import c_sdk
import hardening_util as hu
from hardening_util import (ACTIONS, INT_MAX, INT_MIN, ActingBool, ActingByteArray, ActingFloat, ActingInt,
                            BoolLike, ByteArraySub, BytesSub, EncodeRaising, EncodeWrong, FloatLike, FloatSub,
                            Hostile, IndexOnly, IntLike, IntSub, LenLike, LyingByteArray, LyingBytes, Raising,
                            Refused, StrSub)

EXAMPLES = int(os.environ.get("CSDK_FUZZ_EXAMPLES", "30"))
FUZZ = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None, print_blob=False,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                       HealthCheck.data_too_large])

# ---- values ----

class Lazy:
    """An argument made only once drawn. Hypothesis takes a drawn instance of str, int,
    float or bytes (subclasses too) for one of its own choices when it replays an
    example, so subclass instances travel through the strategies in this wrapper."""

    def __init__(self, make, *args):
        self.make, self.args = make, args

    def __call__(self):
        return self.make(*(made(a) for a in self.args))

    def __repr__(self):
        return f"{getattr(self.make, '__name__', self.make)}{self.args!r}"


def lazy(make):
    return lambda *args: Lazy(make, *args)


def made(value):
    return value() if isinstance(value, Lazy) else value


INT_EDGES = [0, 1, -1, INT_MAX, INT_MIN, 2**31, INT_MIN - 1, 2**63, -2**63, 2**64, -2**64 - 1, 10**40]
INTS = st.one_of(st.integers(INT_MIN, INT_MAX), st.sampled_from(INT_EDGES), st.integers())
FLOATS = st.one_of(st.floats(), st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, 5e-324,
                                                 2.0**31, -2.0**31 - 1, 2.0**31 - 0.5]))
TEXT = st.one_of(st.text(st.characters(exclude_categories=()), max_size=6),
                 st.sampled_from(["", "a\0b", "\udc80", "\ud800x", "é", "行情", "abc", "\0"]))
ASCII = st.text(st.characters(max_codepoint=127), max_size=8)
BYTES = st.binary(max_size=12)
BYTESLIKE = st.one_of(BYTES, BYTES.map(bytearray), BYTES.map(lazy(BytesSub)), BYTES.map(lazy(ByteArraySub)))
CLAIMS = st.one_of(st.integers(-3, 16), st.sampled_from([2**31 - 1, 2**31, 2**62, 2**70]))
LYING = st.builds(lazy(hu.lying), st.sampled_from([LyingBytes, LyingByteArray]), BYTES, CLAIMS)
HOSTILE = st.one_of(
    st.builds(lazy(IntLike), st.one_of(INTS, INTS.map(lazy(IntSub)), st.sampled_from(["7", 1.5, None, True]))),
    st.builds(lazy(IndexOnly), st.one_of(INTS, INTS.map(lazy(IntSub)))),
    st.builds(lazy(FloatLike), st.one_of(FLOATS, FLOATS.map(lazy(FloatSub)), st.sampled_from([1, "x", None]))),
    st.builds(BoolLike, st.sampled_from([True, False, 1, None, "yes"])),
    st.builds(LenLike, st.sampled_from([0, 1, -1, 2**62, 2**70, 1.5, "x"])),
    st.builds(Raising),
    INTS.map(lazy(IntSub)), FLOATS.map(lazy(FloatSub)),
    TEXT.map(lazy(StrSub)), TEXT.map(lazy(EncodeRaising)), TEXT.map(lazy(EncodeWrong)),
    LYING,
)
ANY = st.one_of(st.none(), st.booleans(), INTS, FLOATS, TEXT, BYTESLIKE, BYTES.map(memoryview),
                st.lists(st.integers(), max_size=2), st.builds(dict), st.builds(object), HOSTILE)

IN_RANGE = st.one_of(st.integers(INT_MIN, INT_MAX), st.sampled_from([INT_MAX, INT_MIN, 0, -1]))
ACTION = st.sampled_from(ACTIONS)
# Valid values whose conversion runs code that acts on the call (hardening_util.act).
ACTING_BYTES = st.builds(lazy(ActingByteArray), BYTES, ACTION)
VALID = {
    "Str": st.one_of(BYTESLIKE, BYTES.map(bytearray)),
    "Req": st.one_of(BYTESLIKE, LYING, ACTING_BYTES),
    "Int": st.one_of(IN_RANGE, st.booleans(), IN_RANGE.map(lazy(IntSub)), IN_RANGE.map(IntLike),
                     st.floats(-2.0**31, 2.0**31 - 1, allow_nan=False), st.builds(lazy(ActingInt), IN_RANGE, ACTION)),
    "Real": st.one_of(FLOATS, st.integers(-2**53, 2**53), FLOATS.map(lazy(FloatSub)), FLOATS.map(FloatLike),
                      st.integers(-2**53, 2**53).map(IndexOnly), st.booleans(),
                      st.builds(lazy(ActingFloat), FLOATS, ACTION)),
    "Flag": st.one_of(ANY, st.builds(lazy(ActingBool), st.booleans(), ACTION)),
    "Handler": ANY,
}
VALID["NonZero"] = VALID["Int"]


def valid_for(kind, adapted):
    if adapted and hu.KINDS[kind].adaptable:
        return st.one_of(VALID[kind], ASCII, ASCII.map(lazy(StrSub)))
    return VALID[kind]


class EqRaising:
    def __eq__(self, other):
        raise Hostile("eq")

    __hash__ = None

    def __repr__(self):
        return "EqRaising()"


class EqReturns:
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        return self.result

    def __repr__(self):
        return f"EqReturns({self.result!r})"


class EqActing:
    """A success value whose comparison calls the SDK (which may then reuse the buffer of
    the response not yet copied) and rebinds CSDK_OPERATE_SUCCESS to an equal twin, so
    the module's own reference to it goes away while it is being compared."""

    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        c_sdk.zvi_now()
        c_sdk.CSDK_OPERATE_SUCCESS = EqActing(self.result)
        return self.result

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = None

    def __repr__(self):
        return f"EqActing({self.result!r})"


class RebindingFlag:
    """An IS_PY2 whose truth test rebinds IS_PY2 to an equal twin."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        c_sdk.IS_PY2 = RebindingFlag(self.value)
        return self.value

    def __repr__(self):
        return f"RebindingFlag({self.value!r})"


SUCCESS = st.one_of(st.just(0), st.sampled_from([0, 1, -1, 0.0, True, False, 2**70]), st.builds(EqRaising),
                    st.builds(EqReturns, st.one_of(st.builds(BoolLike, st.none()), st.just("yes"))),
                    st.integers(INT_MIN, INT_MAX), st.builds(lazy(EqActing), st.booleans()))
STATUS = st.one_of(st.none(), st.sampled_from([0, 0, 1, -1, INT_MAX, INT_MIN]), st.integers(INT_MIN, INT_MAX))
IS_PY2 = st.one_of(st.sampled_from([False, False, False, True, 0, 1, ""]), st.builds(BoolLike, st.none()),
                   st.builds(lazy(RebindingFlag), st.booleans()))


def script_for(t):
    lo, hi = hu.int_range(t)
    status = st.one_of(STATUS, st.integers(lo, hi)) if t.result in ("Status", "LongLong", "Response",
                                                                      "ServAddr") else st.none()
    text = (st.one_of(st.just("default"), st.none(), BYTES) if t.result in ("Text", "ServAddr")
            else st.just("default"))
    real = st.one_of(st.none(), FLOATS) if t.result == "Double" else st.none()
    response = st.just("default")
    if t.result == "Response":
        response = st.one_of(st.just("default"), BYTES,
                             # (The stand-in zero-fills max(length, 0) bytes even for a null pointer.)
                             st.tuples(st.just("raw"), st.just(True), st.sampled_from([0, 5, -1, INT_MIN, 4096])),
                             st.tuples(st.just("raw"), st.just(False), st.sampled_from([0, 3, -1, INT_MIN])))
    return st.builds(hu.Script, status=status, real=real, text=text, response=response)


# ---- call shapes ----

SHAPES = ["positional"] * 4 + ["keywords"] * 2 + ["mixed"] * 2 + ["missing", "extra", "unknown", "duplicate"]


def draw_call(data, names, values):
    shape = data.draw(st.sampled_from(SHAPES), label="shape")
    n = len(names)
    if shape == "keywords":
        order = data.draw(st.permutations(range(n)), label="keyword order")
        return [], {names[i]: values[i] for i in order}
    if shape == "mixed":
        k = data.draw(st.integers(0, n), label="positional count")
        return values[:k], dict(zip(names[k:], values[k:]))
    if shape == "missing" and n:
        gone = data.draw(st.integers(0, n - 1), label="missing")
        k = data.draw(st.integers(0, gone), label="positional count")
        return values[:k], {names[i]: values[i] for i in range(k, n) if i != gone}
    if shape == "extra":
        return values + [made(data.draw(ANY, label="extra"))], {}
    if shape == "unknown":
        return values, {"zz_unknown": made(data.draw(ANY, label="unknown value"))}
    if shape == "duplicate" and n:
        i = data.draw(st.integers(0, n - 1), label="duplicate")
        return values, {names[i]: values[i]}
    return list(values), {}


def draw_values(data, t):
    n = len(t.params)
    mode = data.draw(st.sampled_from(["valid"] * 5 + ["one bad", "any"]), label="mode")
    bad = data.draw(st.integers(0, n - 1), label="bad position") if n and mode == "one bad" else None
    values = []
    for i, (pname, kind) in enumerate(t.params):
        strategy = ANY if mode == "any" or i == bad else valid_for(kind, t.adapted)
        values.append(made(data.draw(strategy, label=pname)))
    return values


def outcome(fn, *args, **kwargs):
    """("ok", result) or ("raised", exception), under warnings as errors."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return "ok", fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - compared by the caller
            return "raised", exc


def same_value(a, b):
    return hu.normalize([a]) == hu.normalize([b])


def sdk_calls(sdk, t):
    """The calls recorded, less those the acting objects made."""
    calls = sdk.calls()
    return calls if t.sdk == hu.HOOK_SDK else [c for c in calls if c.fn != hu.HOOK_SDK]


def check_record(t, calls, converted):
    assert [c.fn for c in calls] == [t.sdk], calls
    record = list(calls[0].args)
    for slot in hu.handler_slots(t):
        assert isinstance(record[slot], int) and record[slot] != 0
        record[slot] = hu.HANDLER_ADDRESS
    assert hu.normalize(record) == hu.normalize(converted.record)


def run_one(sdk, t, args, kwargs, is_py2, success, script, warm=False):
    sdk.reset()
    # Every SDK call overwrites the previous result: one read too late shows.
    sdk.set_poison()
    c_sdk.IS_PY2 = is_py2
    c_sdk.CSDK_OPERATE_SUCCESS = success
    if warm and is_py2 is False:
        # The assignments emptied the module's cache of its globals, and an adapted
        # wrapper takes its shortest path only while IS_PY2 is cached: a refused call
        # (no SDK call) fills it again.
        with pytest.raises(TypeError):
            c_sdk.py_zvi_get_orders()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            converted, refused = hu.model_call(t, args, kwargs, is_py2), None
        except Refused as r:
            converted, refused = None, r.exc
    if converted is not None:
        script.apply(sdk, t, converted)
    kind, got = outcome(t.func(), *args, **kwargs)
    calls = sdk_calls(sdk, t)
    if currently_in_test_context():  # --hypothesis-show-statistics tells how many got through
        event("refused: " + type(refused).__name__ if refused is not None else "reached the SDK")
    if refused is not None:
        assert kind == "raised", f"expected {type(refused).__name__}: {refused}, got {got!r}"
        assert type(got) is type(refused), (got, refused)
        assert calls == [], "the SDK was reached by a refused call"
        return
    check_record(t, calls, converted)
    want_kind, want = outcome(hu.model_result, t, script, converted, success)
    if want_kind == "raised":
        assert kind == "raised" and type(got) is type(want), (got, want)
    else:
        assert kind == "ok", got
        assert same_value(got, want), (got, want)
        if t.name == "py_zvi_set_data_callback":
            assert c_sdk.f is converted.values[0]


@pytest.mark.parametrize("name", [t.name for t in hu.TARGETS])
@FUZZ
@given(data=st.data())
def test_random_calls(sdk, name, data):
    t = hu.BY_NAME[name]
    values = draw_values(data, t)
    hu.wire(values, t)
    args, kwargs = draw_call(data, t.param_names, values)
    is_py2 = made(data.draw(IS_PY2, label="IS_PY2")) if t.adapted else False
    success = made(data.draw(SUCCESS, label="CSDK_OPERATE_SUCCESS")) if t.result in ("Response", "ServAddr") else 0
    script = data.draw(script_for(t), label="script")
    warm = data.draw(st.booleans(), label="IS_PY2 cached")
    run_one(sdk, t, args, kwargs, is_py2, success, script, warm)


# A handful of fixed cases the strategies above reach only by chance; each must give the
# model's verdict too.
EDGE_CASES = [
    ("py_zvi_get_orders", [hu.lying(LyingBytes, b"abc", 10)], {}),
    ("py_zvi_get_orders", [hu.lying(LyingByteArray, b"abc", 2)], {}),
    ("py_zvi_get_orders", [hu.lying(LyingBytes, b"", 2**31)], {}),
    ("py_zvi_get_orders", ["\udc80"], {}),
    ("py_zvi_get_orders", [EncodeRaising("x")], {}),
    ("py_zvi_get_orders", [EncodeWrong("x")], {}),
    ("py_zvi_log", [LenLike(-1)], {}),
    ("py_zvi_log", [memoryview(b"x")], {}),
    ("py_zvi_strerror", [IntLike(IntSub(3))], {}),
    ("py_zvi_strerror", [IndexOnly(3)], {}),
    ("py_zvi_strerror", [FloatSub(2.5)], {}),
    ("py_zvi_strerror", [math.nan], {}),
    ("py_zvi_strerror", [-math.inf], {}),
    ("py_zvi_smart_reorder", [b"s", IndexOnly(2**1100), 1, 2, 3, 4, 5, 6, 7, 8, b"a"], {}),
    ("py_zvi_smart_reorder", [b"s", IntSub(5), 1, 2, 3, 4, 5, 6, 7, 8, b"a"], {}),
    ("py_zvi_set_bus_secure", [1, b"a", b"b", b"c", Raising()], {}),
    ("py_zvi_set_bus_secure", [1, b"a", b"b", b"c", BoolLike(1)], {}),
    ("zvi_set_bus_secure", [Raising(), b"a", b"b", b"c", Raising()], {}),
    ("zvi_send_msg_to_bus", ["topic", b"m"], {}),
    ("py_zvi_set_mode_consistency", [FloatLike(0.5)], {}),
    ("py_zvi_set_mode_consistency", [0.5], {}),
    ("py_zvi_current", [b"a", "\xe9", Raising()], {}),
    ("py_zvi_current", [b"a", b"b"], {"include_call_auction": 1, "symbols": b"dup"}),
]


@pytest.mark.parametrize("name,args,kwargs", EDGE_CASES, ids=[f"{n}-{i}" for i, (n, _, _) in enumerate(EDGE_CASES)])
def test_edge_cases(sdk, name, args, kwargs):
    t = hu.BY_NAME[name]
    run_one(sdk, t, args, kwargs, False, 0, hu.Script())


# Code that runs in the middle of a call, at fixed points: a conversion after a bytearray
# was taken (refused with BufferError, or seen by the SDK when the bytearray comes
# later), a request's own __len__, a success comparison that calls the SDK.
_BA = lambda data=b"SHSE.600000": bytearray(data)  # noqa: E731 - a fresh one per case
ACTING_CASES = [
    ("py_zvi_subscribe", lambda: [_BA(), b"tick", ActingBool(True, "resize")], 0, hu.Script()),
    ("py_zvi_current", lambda: [_BA(), b"f", ActingBool(True, "resize")], 0, hu.Script()),
    ("py_zvi_current", lambda: [b"s", _BA(b"f"), ActingBool(True, "resize")], 0, hu.Script()),
    ("zvi_set_bus_secure", lambda: [1, _BA(b"ca"), b"c", b"k", ActingBool(False, "resize")], 0, hu.Script()),
    ("py_zvi_set_bus_secure", lambda: [ActingInt(1, "resize"), _BA(b"ca"), b"c", b"k", 1], 0, hu.Script()),
    ("py_zvi_set_backtest_config",
     lambda: [_BA(b"2024-01-02"), b"e", ActingFloat(1.0, "resize"), 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1, 2, 3], 0,
     hu.Script()),
    ("py_zvi_smart_reorder", lambda: [_BA(), ActingFloat(1.5, "resize"), 1, 2, 3, 4, 5, 6, 7, 8, b"a"], 0,
     hu.Script()),
    ("py_zvi_get_orders", lambda: [ActingByteArray(b"req", "resize")], 0, hu.Script()),
    ("py_zvi_get_orders", lambda: [_BA(b"req")], lambda: EqActing(True), hu.Script(response=b"the orders")),
    ("py_zvi_get_orders", lambda: [b"req"], lambda: EqActing(False), hu.Script(response=b"the orders")),
    ("py_zvi_get_serv_addr", lambda: [b"id"], lambda: EqActing(True), hu.Script(text=b"addr:1")),
    ("py_zvi_get_cash", lambda: [b"req"], lambda: EqActing(True),
     hu.Script(status=5, response=b"cash")),
]


@pytest.mark.parametrize("name,make_args,success,script", ACTING_CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(ACTING_CASES)])
def test_code_acting_in_the_middle_of_a_call(sdk, name, make_args, success, script):
    t = hu.BY_NAME[name]
    args = make_args()
    hu.wire(args, t)
    run_one(sdk, t, args, {}, False, success() if callable(success) else success, script)


# ---- status helpers ----

STATUS_VALUES = st.one_of(INTS, FLOATS, st.none(), st.builds(EqRaising), st.builds(object), TEXT,
                          st.builds(EqReturns, st.sampled_from(["yes", "", None])))
CFUNNAMES = st.one_of(TEXT, st.none(), st.builds(BoolLike, st.sampled_from([None, 1, True])))


def model_fail(status, success, cfunname):
    """c_status_fail: the comparison; for a failing status the SDK's error text is fetched
    through py_zvi_strerror(status) and cfunname's truth value picks the message."""
    failed = status != success
    if failed:
        hu.conv_int(status)
        bool(cfunname)
    return failed


@FUZZ
@given(status=STATUS_VALUES, success=SUCCESS, cfunname=CFUNNAMES)
def test_status_helpers(sdk, status, success, cfunname):
    success = made(success)
    c_sdk.CSDK_OPERATE_SUCCESS = success
    for helper, model, args in ((c_sdk.c_status_ok, lambda: status == success, (status,)),
                                (c_sdk.c_status_fail, lambda: model_fail(status, success, cfunname),
                                 (status, cfunname))):
        want_kind, want = outcome(model)
        kind, got = outcome(helper, *args)
        if want_kind == "raised":
            assert kind == "raised" and type(got) is type(want), (helper, got, want)
        else:
            assert kind == "ok", (helper, got)
            assert got is want or (type(got) is type(want) and got == want), (helper, got, want)


# ---- events ----

NAMES = st.one_of(st.none(), BYTES, st.sampled_from([b"", b"\xff", b"\xc3", b"\xed\xa0\x80", b"ab\0cd",
                                                     "行情".encode(), b"\0"]),
                  st.text(max_size=5).map(lambda s: s.encode("utf-8", "surrogatepass")))
PAYLOADS = st.one_of(st.none(), BYTES)
LENGTHS = st.one_of(st.none(), st.integers(-3, 20), st.sampled_from([INT_MIN, -1, 0]))


def expected_event(name, payload, length, is_py2):
    """("delivered", name, payload) or ("reported", exception type)."""
    if length is None:
        length = len(payload or b"")
    if name is None:
        return ("reported", RuntimeError)
    name = name.split(b"\0", 1)[0]
    if is_py2:
        py_name = name
    else:
        try:
            py_name = name.decode("utf-8")
        except UnicodeDecodeError:
            return ("reported", UnicodeDecodeError)
    if payload is None and length > 0:
        return ("reported", RuntimeError)
    if length < 0:
        return ("reported", SystemError)
    data = (payload or b"") + b"\0" * max(0, length - len(payload or b""))
    return ("delivered", py_name, data[:length])


class EventError(Exception):
    pass


@contextlib.contextmanager
def captured_reports():
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, u.object))
    try:
        with contextlib.redirect_stderr(io.StringIO()) as err:
            yield seen, err
    finally:
        sys.unraisablehook = old


@FUZZ
@given(events=st.lists(st.tuples(NAMES, PAYLOADS, LENGTHS, st.sampled_from([False, True, "sdk", "reregister",
                                                                            "rebind"])), min_size=1, max_size=5),
       is_py2=st.one_of(st.booleans(), st.builds(lazy(RebindingFlag), st.booleans())),
       status=st.integers(INT_MIN, INT_MAX), through=st.sampled_from(["run", "poll"]))
def test_random_events(sdk, events, is_py2, status, through):
    is_py2 = made(is_py2)
    sdk.reset()
    c_sdk.IS_PY2 = is_py2
    received = []

    # A handler raises (True), or acts and returns: calls back into the SDK, registers a
    # new handler (dropping the last reference to the running one), or rebinds IS_PY2.
    def make_handler():
        def handler(name, payload):
            received.append((name, payload))
            what = fail_next.pop(0)
            if what is True:
                raise EventError(name)
            if what == "sdk":
                c_sdk.zvi_now()
            elif what == "reregister":
                c_sdk.py_zvi_set_data_callback(make_handler())
            elif what == "rebind":
                namespace = vars(c_sdk)
                namespace["IS_PY2"] = namespace.pop("IS_PY2")
        return handler

    fail_next = []
    expected = []
    for name, payload, length, fails in events:
        sdk.queue_event(name, payload, length)
        want = expected_event(name, payload, length, is_py2)
        if want[0] == "delivered":
            fail_next.append(fails)
            if fails is True:
                want = ("delivered and reported",) + want[1:]
        expected.append(want)
    c_sdk.py_zvi_set_data_callback(make_handler())
    fn = "zvi_run" if through == "run" else "zvi_poll"
    sdk.set_int(fn, status)
    with captured_reports() as (seen, err):
        result = c_sdk.py_zvi_run() if through == "run" else c_sdk.zvi_poll()
    assert result == status
    assert sdk.pending_events() == 0
    delivered = [w[1:] for w in expected if w[0] != "reported"]
    assert received == delivered
    assert all(type(n) is (bytes if is_py2 else str) and type(p) is bytes for n, p in received)
    reported = [w[1] if w[0] == "reported" else EventError for w in expected if w[0] != "delivered"]
    assert [exc for exc, _ in seen] == reported
    assert all(obj == "c_sdk.callback_wrapper" for _, obj in seen)
    printed = err.getvalue()
    assert all(exc.__name__ in printed for exc in reported)
    # Nothing is left pending: a plain call right after works.
    assert c_sdk.py_zvi_get_stop_error_code() == 0


# ---- record classes ----

from test_records import REFERENCE  # noqa: E402 - the Python model of the four classes

RECORD_NAMES = ["ObjectLikeDict2", "BarLikeDict2", "TickLikeDict2", "QuoteItemLikeDict2"]
FIELDS = ["symbol", "close", "price", "bid_p", "quotes", "receive_local_time", "open"]


class HashRaising:
    def __hash__(self):
        raise Hostile("hash")

    def __repr__(self):
        return "HashRaising()"


class EqHostileKey:
    """Hashes like "k" but cannot be compared."""

    def __hash__(self):
        return hash("k")

    def __eq__(self, other):
        raise Hostile("eq")

    def __repr__(self):
        return "EqHostileKey()"


class DataLike(str):
    """Equal to anything (so also to "data") under ==; unequal under !=."""

    def __ne__(self, other):
        return False

    __hash__ = str.__hash__


class NeRaising(str):
    def __ne__(self, other):
        raise Hostile("ne")

    __hash__ = str.__hash__


class HostileMapping:
    """Every method the records call raises or answers with the wrong type."""

    def __init__(self, mode):
        self.mode = mode

    def get(self, key):
        if self.mode == "raise":
            raise Hostile("get")
        return ("got", key) if self.mode == "echo" else BoolLike(None)

    def __setitem__(self, key, value):
        if self.mode == "raise":
            raise Hostile("set")

    def __contains__(self, key):
        if self.mode == "raise":
            raise Hostile("contains")
        return BoolLike(None) if self.mode == "wrong" else True

    def __str__(self):
        if self.mode == "raise":
            raise Hostile("str")
        return 42 if self.mode == "wrong" else "hostile str"

    def __repr__(self):
        if self.mode == "raise":
            raise Hostile("repr")
        return 42 if self.mode == "wrong" else "HostileMapping()"


KEYS = st.one_of(st.sampled_from(["k", "data", "close", "price", "bid_p", "get", "__init__", "__dict__",
                                  "__class__", "__slots__", ""]),
                 TEXT, st.integers(), st.none(), st.tuples(st.integers()), st.builds(list),
                 st.builds(HashRaising), st.builds(EqHostileKey), TEXT.map(lazy(StrSub)),
                 st.sampled_from(["data", "x", "k"]).map(lazy(DataLike)),
                 st.sampled_from(["data", "k"]).map(lazy(NeRaising)))
ATTR_NAMES = st.one_of(st.sampled_from(["k", "data", "close", "price", "bid_p", "quotes", "missing", "get",
                                        "__class__", "__slots__", "__dict__", "__weakref__", "__module__"]),
                       st.text(max_size=4), TEXT.map(lazy(StrSub)),
                       st.sampled_from(["data", "k"]).map(lazy(DataLike)),
                       st.sampled_from(["data", "k"]).map(lazy(NeRaising)))
VALUES_ = st.one_of(st.none(), st.integers(), TEXT, st.builds(dict), st.builds(object))
MAPPINGS = st.one_of(
    st.dictionaries(st.one_of(st.sampled_from(["k", "close", "price", "bid_p", "data"]), st.integers()),
                    VALUES_, max_size=4),
    st.sampled_from(["raise", "echo", "wrong"]).map(HostileMapping),
    st.one_of(st.none(), st.integers(), st.builds(list), TEXT, st.tuples(st.integers()), st.builds(object)),
)

OPS = st.one_of(
    st.tuples(st.just("getitem"), KEYS),
    st.tuples(st.just("setitem"), KEYS, VALUES_),
    st.tuples(st.just("delitem"), KEYS),
    st.tuples(st.just("getattr"), ATTR_NAMES),
    st.tuples(st.just("setattr"), ATTR_NAMES, VALUES_),
    st.tuples(st.just("setattr data"), MAPPINGS),
    # The record wraps itself (or a record of its class wrapping it): every forwarded
    # operation comes back to the record.
    st.tuples(st.sampled_from(["wrap itself", "wrap a wrapper"])),
    st.tuples(st.just("delattr"), ATTR_NAMES),
    st.tuples(st.just("contains"), KEYS),
    st.tuples(st.just("field"), st.sampled_from(FIELDS)),
    st.tuples(st.just("set field"), st.sampled_from(FIELDS), VALUES_),
    st.tuples(st.sampled_from(["len", "repr", "str", "format", "bool", "hash", "eq", "ne", "iter", "vars"])),
)


def safe_repr(v):
    try:
        return repr(v)
    except Exception as exc:  # noqa: BLE001
        return f"<repr raised {type(exc).__name__}>"


def apply_op(r, op, has_contains, reference):
    op = tuple(made(x) for x in op)
    kind = op[0]
    if kind == "getitem":
        return r[op[1]]
    if kind == "setitem":
        r[op[1]] = op[2]
        return None
    if kind == "delitem":
        del r[op[1]]
        return None
    if kind in ("getattr", "field"):  # a field: an attribute named after a record field
        return getattr(r, op[1])
    if kind in ("setattr", "set field"):
        setattr(r, op[1], op[2])
        return None
    if kind == "setattr data":
        r.data = op[1]
        return None
    if kind == "wrap itself":
        r.data = r
        return None
    if kind == "wrap a wrapper":
        r.data = type(r)(r)
        return None
    if kind == "delattr":
        if str.__eq__(op[1], "data"):
            # An empty slot is where the records deliberately differ from Python (an
            # AttributeError instead of __getattr__ recursing): see test_records.
            return "not deleted"
        delattr(r, op[1])
        return None
    if kind == "contains":
        if not has_contains:
            # Without __contains__ membership would iterate __getitem__ for ever in Python;
            # the records refuse it instead.
            if reference:
                return "refused"
            try:
                op[1] in r  # noqa: B015
            except TypeError:
                return "refused"
            raise AssertionError("membership was not refused")
        return op[1] in r
    if kind == "iter":
        if reference:
            return "refused"
        try:
            iter(r)
        except TypeError:
            return "refused"
        raise AssertionError("iteration was not refused")
    if kind == "hash":
        return hash(r) == object.__hash__(r)
    if kind == "eq":
        return (r == r, r == r.__class__)
    if kind == "ne":
        return (r != r, r != 0)
    if kind == "vars":
        return sorted(vars(r))
    return {"len": len, "repr": repr, "str": str, "format": lambda x: format(x, ""), "bool": bool}[kind](r)


def record_outcome(r, op, has_contains, reference):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            result = apply_op(r, op, has_contains, reference)
        return ("ok", safe_repr(result))
    except Exception as exc:  # noqa: BLE001
        if isinstance(exc, SystemError):
            raise
        if isinstance(exc, RecursionError):
            # Where the limit is reached, and so the message, differs between the two.
            return ("raised", "RecursionError")
        return ("raised", type(exc).__name__, str(exc))


@FUZZ
@given(name=st.sampled_from(RECORD_NAMES), data=MAPPINGS, ops=st.lists(OPS, max_size=12))
def test_record_classes_with_hostile_data(name, data, ops):
    ours_cls, ref_cls = getattr(c_sdk, name), REFERENCE[name]
    has_contains = hasattr(ours_cls, "__contains__")
    results = []
    for cls in (ours_cls, ref_cls):
        # Each record its own copy of a mutable mapping (the hostile ones keep no state).
        mapping = copy.copy(data) if isinstance(data, (dict, list)) else data
        try:
            r = cls(mapping)
        except Exception as exc:  # noqa: BLE001
            results.append([("init raised", type(exc).__name__)])
            continue
        trace = [record_outcome(r, op, has_contains, cls is ref_cls) for op in ops]
        results.append(trace)
    assert results[0] == results[1]


@FUZZ
@given(name=st.sampled_from(RECORD_NAMES), args=st.lists(MAPPINGS, max_size=3),
       kwargs=st.dictionaries(st.sampled_from(["data", "self", "x"]), MAPPINGS, max_size=2))
def test_record_construction(name, args, kwargs):
    outcomes = []
    for cls in (getattr(c_sdk, name), REFERENCE[name]):
        try:
            r = cls(*args, **kwargs)
            outcomes.append(("ok", r.data is (args[0] if args else kwargs.get("data"))))
        except TypeError:
            outcomes.append(("TypeError",))
    assert outcomes[0] == outcomes[1]


# ---- the stand-in's reader of bar files ----

# Files in the layouts traders have, and pieces of them: a few random edits make files
# that read and files that do not, in every way the reader tells apart.
GOOD_CSVS = [
    "Date,Open,High,Low,Close,Volume\n2024-01-02,10,11,9,10.5,100\n2024-01-03,10.5,12,10,11,200\n",
    ",Date,Open,High,Low,Close,Volume,Adj Close\n0,2024-01-03,1,1,1,1,1,0.5\n1,2024-01-02,1,1,1,1,1,0.5\n",
    "date;open;high;low;close\r\n2024-01-02 09:30;1,5;2;1;1,5\r\n2024-01-02 13:30;1,5;2;1;1,5\r\n",
    "Datetime,Open,High,Low,Close\n2024-01-02T09:30:00+00:00,1,1,1,1\n2024-01-02T09:31:30Z,1,1,1,1\n",
]
CSV_PIECES = ["Date", "Close", "Volume", "Adj Close", ",", ";", "\n", "\r\n", " ", "2024-01-02", "2024-01-03",
              " 09:30", "T10:00:00", ":00", ".000", ".5", "Z", "+00:00", "-0530", "+05", "1", "10.5", "9,5", "-1",
              "0", "1e3", "nan", "\ufeff", "\udcff", '"', "x", ""]


@FUZZ
@given(base=st.sampled_from(GOOD_CSVS),
       edits=st.lists(st.tuples(st.integers(0, 200), st.integers(0, 3), st.sampled_from(CSV_PIECES)), max_size=3))
def test_bar_files_read_or_fail_in_words(sdk, tmp_path_factory, base, edits):
    # Whatever the bytes, a file reads (and replays all its bars) or every call naming its
    # symbol fails with 1002 and a message that starts with the file's path.
    text = base
    for at, cut, piece in edits:
        at %= len(text) + 1
        text = text[:at] + piece + text[at + cut:]
    path = tmp_path_factory.mktemp("bars") / "FUZZ.csv"
    path.write_bytes(text.encode("utf-8", "surrogateescape"))
    c_sdk.py_zvi_set_serv_addr(f"sim:data={path}")
    status, body = c_sdk.py_zvi_get_symbol_infos(b'{"symbols":["FUZZ"]}')
    event("refused" if status else "read")
    if status:
        assert status == 1002 and body is None
        assert c_sdk.py_zvi_get_ext_errormsg().decode().startswith(f"zvi_get_symbol_infos: {path}")
        return
    (info,) = json.loads(body)["symbol_infos"]
    assert info["bars"] > 0 and info["first_bar"] <= info["last_bar"]
    assert c_sdk.py_zvi_set_backtest_config("0001-01-01", "9999-12-31", 1e6, 0.1, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0,
                                            0) == 0
    assert c_sdk.py_zvi_subscribe(b"FUZZ", info["frequency"].encode(), True) == 0
    bars = []
    c_sdk.py_zvi_set_data_callback(lambda name, payload: bars.append(name) if name == "bar" else None)
    assert c_sdk.py_zvi_run() == 0
    assert len(bars) == info["bars"]
