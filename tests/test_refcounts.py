"""Reference counts and memory across many calls, on the success path and on every error path.

Every wrapper and every directly exposed SDK function is called table-driven with valid
arguments (positional, by keyword, as str through the adapter), with a bad value for each
parameter, with wrong counts and keywords, and under scripted SDK outcomes (failing
status, response without buffer, negative length, a success value that cannot be
compared). After a warm-up, N more rounds must leave the reference counts of the
arguments, the function and the results where they were; a Python exception raised by a
conversion must be gone once handled; and over all of it the number of objects the
collector tracks and tracemalloc's traced memory may not grow beyond a small bound. On a
debug interpreter (sys.gettotalrefcount) the total reference count must stay flat.

CSDK_REFCOUNT_LOOPS sets N (default 40).
"""
import contextlib
import gc
import math
import os
import sys
import tracemalloc
import warnings
import weakref
from dataclasses import dataclass, field

import pytest

import c_sdk
import hardening_util as hu
from hardening_util import BoolLike, FloatLike, Hostile, IntLike, LenLike, LyingBytes, Refused

LOOPS = int(os.environ.get("CSDK_REFCOUNT_LOOPS", "40"))
WARMUP = 3


class LeakProbe(Hostile):
    """A Python-level exception class, so that its instances can be weakly referenced."""


def new_probe():
    """A fresh LeakProbe, remembered weakly. Made in a frame of its own, so that no frame
    the traceback holds refers to the exception (that cycle would keep it until the
    collector runs)."""
    exc = LeakProbe("probe")
    ProbeRaising.raised.append(weakref.ref(exc))
    return exc


class ProbeRaising:
    """Every conversion method raises a fresh LeakProbe."""
    raised = []

    def _raise(self, *args):
        raise new_probe()

    __int__ = __index__ = __float__ = __bool__ = __len__ = _raise

    def encode(self, *args):
        raise new_probe()


class EqProbe:
    def __eq__(self, other):
        raise new_probe()

    __hash__ = None


@dataclass
class Case:
    label: str
    args: list
    kwargs: dict = field(default_factory=dict)
    script: hu.Script = field(default_factory=hu.Script)
    success: object = 0
    raises: type | None = None   # filled from the models

    def watched(self, func):
        return [o for o in (func, *self.args, *self.kwargs.values(), self.success) if not shared(o)]


BAD = {
    "Str": [object(), "\xe9t\xe9", memoryview(b"mv"), ProbeRaising()],
    "Req": [hu.lying(LyingBytes, b"abc", 10), LenLike(-1), object(), "\xe9t\xe9", ProbeRaising()],
    "Int": [2**40, -2**40, IntLike("x"), math.nan, object(), ProbeRaising()],
    "Real": ["x", FloatLike(1), 2**2000, ProbeRaising()],
    "Flag": [BoolLike(None), ProbeRaising()],
    "Handler": [],
}
BAD["NonZero"] = BAD["Int"]


def result_scripts(t):
    """(label, script, success) for the result form's outcomes."""
    out = [("default", hu.Script(), 0)]
    if t.result in ("Status", "LongLong"):
        out.append(("status", hu.Script(status=1001), 0))
    if t.result == "Double":
        out.append(("real", hu.Script(real=2.5), 0))
    if t.result == "Text":
        out += [("text", hu.Script(text=b"text-value"), 0), ("null text", hu.Script(text=None), 0)]
    if t.result == "ServAddr":
        out += [("addr", hu.Script(text=b"tcp://addr:1"), 0), ("failing", hu.Script(status=1001), 0),
                ("big success", hu.Script(status=1001, text=b"tcp://x"), 2**70),
                ("success raises", hu.Script(), EqProbe())]
    if t.result == "Response":
        out += [("body", hu.Script(response=b"response-body"), 0),
                ("failing", hu.Script(status=1001, response=b"unread"), 0),
                ("no buffer", hu.Script(response=("raw", True, 4)), 0),
                ("negative length", hu.Script(response=("raw", False, -1)), 0),
                ("big success", hu.Script(status=1001, response=b"r-body"), 1001.0),
                ("success raises", hu.Script(response=b"xy"), EqProbe())]
    return out


def cases_for(t):
    n = len(t.params)
    names = t.param_names
    cases = []
    for label, script, success in result_scripts(t):
        cases.append(Case(f"ok/{label}", hu.valid_args(t), script=script, success=success))
    if n:
        cases.append(Case("keywords", [], dict(zip(names, hu.valid_args(t)))))
        if t.adapted and any(hu.KINDS[k].adaptable for _, k in t.params):
            cases.append(Case("str arguments", hu.valid_args(t, text=True)))
            cases.append(Case("str keywords", [], dict(zip(names, hu.valid_args(t, text=True)))))
    for i, (pname, kind) in enumerate(t.params):
        for bad in BAD[kind]:
            args = hu.valid_args(t)
            args[i] = bad
            cases.append(Case(f"bad {pname}={type(bad).__name__}", args))
    cases.append(Case("one too many", hu.valid_args(t) + [12345]))
    cases.append(Case("unknown keyword", hu.valid_args(t), {"zz_unknown": 1}))
    if n:
        cases.append(Case("one too few", hu.valid_args(t)[:-1]))
        cases.append(Case("duplicate keyword", hu.valid_args(t), {names[0]: hu.valid_args(t)[0]}))
    for case in cases:
        case.raises = expected_exception(t, case)
    return cases


def expected_exception(t, case):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            converted = hu.model_call(t, case.args, case.kwargs)
        except Refused as r:
            return type(r.exc)
        try:
            hu.model_result(t, case.script, converted, case.success)
        except Exception as exc:  # noqa: BLE001
            return type(exc)
    return None


def prepare(sdk, t, case):
    sdk.reset()
    c_sdk.CSDK_OPERATE_SUCCESS = case.success
    c_sdk.IS_PY2 = False
    try:
        converted = hu.model_call(t, case.args, case.kwargs)
    except Refused:
        converted = hu.Converted([], (1000,))
    case.script.apply(sdk, t, converted)


def call(func, case):
    """The call's result (None when it raised what the case expects)."""
    try:
        result = func(*case.args, **case.kwargs)
    except Exception as exc:  # noqa: BLE001
        if type(exc) is not case.raises:
            raise
        return None
    assert case.raises is None, f"{case.label}: returned {result!r}, expected {case.raises.__name__}"
    return result


_is_immortal = getattr(sys, "_is_immortal", None)


def shared(v):
    """Objects the interpreter shares (singletons, small ints, one-byte bytes): their counts
    move with any code, so they are not watched. An interpreter that can tell which objects
    are immortal is asked (which ints are cached differs between versions)."""
    if _is_immortal is not None and _is_immortal(v):
        return True
    return (v is None or type(v) is bool or (type(v) is int and -5 <= v <= 256)
            or (type(v) is bytes and len(v) < 2) or (type(v) is tuple and not v))


def counts(result):
    """The reference counts of a result and of its tuple items."""
    items = [sys.getrefcount(result[i]) for i in range(len(result))] if isinstance(result, tuple) else []
    return sys.getrefcount(result), items


def baseline_counts(result):
    """counts() reached through one call level, as assert_unshared reaches it."""
    return counts(result)


def assert_unshared(result, label, baseline):
    """A result is a new object only its receiver holds (and its items only the tuple)."""
    if shared(result):
        return
    own, items = counts(result)
    assert own == baseline[0], (label, result, own, baseline)
    for i, n in enumerate(items):
        if not shared(result[i]):
            assert n == baseline[1], (label, result, items, baseline)


def exercise(sdk, t, cases, loops):
    func = t.func()
    for case in cases:
        prepare(sdk, t, case)
        for _ in range(WARMUP):
            call(func, case)
        watched = case.watched(func)
        before = [sys.getrefcount(o) for o in watched]
        ProbeRaising.raised.clear()
        result = (object(),)  # held as a result is: by this name, its item by the tuple only
        own, items = baseline_counts(result)
        baseline = own, items[0]
        for _ in range(loops):
            result = call(func, case)
            assert_unshared(result, case.label, baseline)
        del result
        after = [sys.getrefcount(o) for o in watched]
        assert after == before, f"{t.name} {case.label}: {before} -> {after}"
        assert all(ref() is None for ref in ProbeRaising.raised), f"{t.name} {case.label}: exception kept"
        del watched


@pytest.mark.parametrize("name", [t.name for t in hu.TARGETS])
def test_function_reference_counts(sdk, name):
    t = hu.BY_NAME[name]
    exercise(sdk, t, cases_for(t), LOOPS)


# ---- the event bridge ----

class Results:
    """What the handler returns: weakly referenced, so that a kept result shows."""
    made = []


class HandlerResult:
    pass


def make_handler(mode):
    def handler(name, payload):
        r = HandlerResult()
        Results.made.append(weakref.ref(r))
        if mode == "raises" and name in ("raise", b"raise"):
            raise new_probe()
        return r
    return handler


EVENT_CASES = {
    # label: (handler mode, IS_PY2, events)
    "delivered": ("plain", False, [(b"tick", b"payload-1"), (b"bar", b"payload-2" * 100)]),
    "handler raises": ("raises", False, [(b"raise", b"p"), (b"ok", b"p")]),
    "IS_PY2": ("plain", True, [(b"tick", b"payload"), (b"\xff", b"not utf-8")]),
    "undecodable name": ("plain", False, [(b"\xff\xfe", b"payload")]),
    "null name": ("plain", False, [(None, b"payload")]),
    "null payload": ("plain", False, [(b"ev", None, 5)]),
    "negative length": ("plain", False, [(b"ev", b"p", -1)]),
    "f not callable": ("not callable", False, [(b"ev", b"p")]),
}


def run_events(sdk, handler, events):
    for event in events:
        sdk.queue_event(*event)
    assert c_sdk.py_zvi_run() == 0


@pytest.mark.parametrize("label", EVENT_CASES)
def test_bridge_reference_counts(sdk, label, monkeypatch):
    mode, is_py2, events = EVENT_CASES[label]
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u.exc_type))
    monkeypatch.setattr(sys, "stderr", Discard())  # in the test: see quiet()
    handler = make_handler(mode) if mode != "not callable" else HandlerResult()
    c_sdk.py_zvi_set_data_callback(handler)
    c_sdk.IS_PY2 = is_py2
    for _ in range(WARMUP):
        run_events(sdk, handler, events)
    before = sys.getrefcount(handler)
    Results.made.clear()
    ProbeRaising.raised.clear()
    reports.clear()
    for _ in range(LOOPS):
        run_events(sdk, handler, events)
    assert sys.getrefcount(handler) == before
    assert all(ref() is None for ref in Results.made)
    assert all(ref() is None for ref in ProbeRaising.raised)
    if mode == "plain" and label in ("delivered", "IS_PY2"):
        assert len(Results.made) == LOOPS * len(events) and not reports
    else:
        assert reports  # each failed event was reported


# ---- record classes ----

RECORDS = ["ObjectLikeDict2", "BarLikeDict2", "TickLikeDict2", "QuoteItemLikeDict2"]
FIELD = {"ObjectLikeDict2": None, "BarLikeDict2": "close", "TickLikeDict2": "price",
         "QuoteItemLikeDict2": "bid_p"}


class RaisingMapping:
    def get(self, key):
        raise new_probe()

    def __setitem__(self, key, value):
        ProbeRaising()._raise()

    def __contains__(self, key):
        raise new_probe()

    def __str__(self):
        raise new_probe()

    __repr__ = __str__


def record_operations(cls, field_name):
    key, value, other = "leak-key", object(), object()
    d = {key: value}
    bad = RaisingMapping()
    unhashable = []

    def ops():
        r = cls(d)
        yield lambda: r[key]
        yield lambda: r["missing"]
        yield lambda: getattr(r, key)
        yield lambda: r.missing
        yield lambda: r.__setitem__(key, value)
        yield lambda: setattr(r, key, value)
        yield lambda: (str(r), repr(r))
        yield lambda: r[unhashable]
        yield lambda: r.__setitem__(unhashable, value)
        yield lambda: cls()
        yield lambda: cls(d, d)
        yield lambda: iter(r)
        yield lambda: len(r)
        yield lambda: r.__delitem__(key)
        yield lambda: setattr(r, "data", d)
        if hasattr(cls, "__contains__"):
            yield lambda: key in r
            yield lambda: unhashable in r
        if field_name:
            yield lambda: getattr(r, field_name)
            if cls.__name__ in ("BarLikeDict2", "TickLikeDict2"):
                yield lambda: setattr(r, field_name, other)
        rb = cls(bad)
        yield lambda: rb[key]
        yield lambda: rb.missing
        yield lambda: rb.__setitem__(key, value)
        yield lambda: setattr(rb, key, value)
        yield lambda: str(rb)
        yield lambda: repr(rb)
        if hasattr(cls, "__contains__"):
            yield lambda: key in rb
        if field_name:
            yield lambda: getattr(rb, field_name)
        rn = cls(None)
        yield lambda: rn[key]
        yield lambda: rn.missing

    return [key, value, other, d, bad, unhashable, cls], ops


def run_ops(ops):
    for op in ops():
        try:
            op()
        except (TypeError, AttributeError, LeakProbe):
            pass


@pytest.mark.parametrize("name", RECORDS)
def test_record_reference_counts(name):
    cls = getattr(c_sdk, name)
    watched, ops = record_operations(cls, FIELD[name])
    for _ in range(WARMUP):
        run_ops(ops)
    before = [sys.getrefcount(o) for o in watched]
    ProbeRaising.raised.clear()
    for _ in range(LOOPS):
        run_ops(ops)
    assert [sys.getrefcount(o) for o in watched] == before
    assert ProbeRaising.raised and all(ref() is None for ref in ProbeRaising.raised)


# ---- status helpers and the adapter ----

def test_status_helpers_and_adapter_reference_counts(sdk):
    status, name = 10**6, "some_function"

    def plain(*args, **kwargs):
        return args, kwargs

    values = [status, name, plain, c_sdk.c_status_ok, c_sdk.c_status_fail, c_sdk.adapt_to_python3]

    def ops():
        c_sdk.c_status_ok(status)
        c_sdk.c_status_fail(status, name)
        c_sdk.c_status_fail(status)
        c_sdk.c_status_fail(0, cfunname=name)
        wrapper = c_sdk.adapt_to_python3(plain)
        wrapper("text", b"bytes", k="kw")
        c_sdk.is_linux(), c_sdk.is_windows()
        for bad in (lambda: c_sdk.c_status_fail(status, BoolLike(None)),
                    lambda: c_sdk.c_status_fail(object()),
                    lambda: wrapper("\xe9"),
                    lambda: c_sdk.adapt_to_python3(),
                    lambda: c_sdk.c_status_ok()):
            try:
                bad()
            except (TypeError, UnicodeEncodeError):
                pass

    for _ in range(WARMUP):
        ops()
    before = [sys.getrefcount(o) for o in values]
    for _ in range(LOOPS):
        ops()
    assert [sys.getrefcount(o) for o in values] == before


# ---- growth over everything ----

def everything(sdk, loops):
    for t in hu.TARGETS:
        exercise(sdk, t, CASES[t.name], loops)
    for name in RECORDS:
        run_ops(record_operations(getattr(c_sdk, name), FIELD[name])[1])
    handler = make_handler("raises")
    c_sdk.py_zvi_set_data_callback(handler)
    for _ in range(loops):
        run_events(sdk, handler, [(b"tick", b"payload-1"), (b"raise", b"p"), (b"\xff", b"p"), (None, b"")])
    # The probes' own weak references.
    Results.made.clear()
    ProbeRaising.raised.clear()


CASES = {t.name: cases_for(t) for t in hu.TARGETS}


class Discard:
    """A standard error that keeps nothing (a StringIO would grow with every report)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def quiet(monkeypatch):
    """Reports dropped. Entered in the test itself: the capture plugin puts its own
    standard error back after the fixtures ran."""
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)
    with contextlib.redirect_stderr(Discard()):
        yield


def measure_growth():
    """Everything above once more, twice: prints how many more objects and traced bytes
    the second, five times longer round left behind than the first (caches settle in the
    first). Run in a fresh interpreter, so that nothing earlier tests left in the
    interpreter's own caches is counted."""
    import zvsdk_standin
    sdk = zvsdk_standin.StandIn()
    sdk.reset()
    monkeypatch = pytest.MonkeyPatch()
    tracemalloc.start()
    try:
        with quiet(monkeypatch):
            everything(sdk, 2)
            gc.collect()
            objects, (memory, _) = len(gc.get_objects()), tracemalloc.get_traced_memory()
            everything(sdk, 10)
            gc.collect()
        objects, memory = len(gc.get_objects()) - objects, tracemalloc.get_traced_memory()[0] - memory
    finally:
        tracemalloc.stop()
        monkeypatch.undo()
    print(objects, memory)


def test_no_growth_in_objects_or_memory():
    from conftest import run_python
    here = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(f"import sys; sys.path.insert(0, {here!r}); import test_refcounts as t; t.measure_growth()")
    objects, memory = map(int, proc.stdout.split()[-2:])
    assert objects <= 20, f"{objects} more objects tracked by the collector"
    assert memory <= 32 * 1024, f"traced memory grew by {memory} bytes"


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
def test_total_reference_count_is_flat(sdk, monkeypatch):
    with quiet(monkeypatch):
        everything(sdk, 2)
        gc.collect()
        first = sys.gettotalrefcount()
        everything(sdk, 5)
        gc.collect()
        second = sys.gettotalrefcount()
        everything(sdk, 5)
        gc.collect()
        third = sys.gettotalrefcount()
    # Interpreter caches settle in the first round. A round makes some 50 000 calls, so a
    # reference kept by any one kind of call shows as hundreds; a dict resizing somewhere
    # in the interpreter shows as one or two.
    assert third - second <= 10, (first, second, third)
