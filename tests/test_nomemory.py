"""Allocation failures (_testcapi.set_nomemory) in every entry point of the module.

Each call runs with the interpreter's allocators failing from the k-th allocation on
("from" mode) and, separately, failing at the k-th allocation only ("only" mode), for
k = 0, 1, 2, ... until the call has succeeded three times running. Every attempt must
either succeed with the right result or raise MemoryError (or the exception the call
raises anyway, for the error-path cases), must not crash, and must leave no error
indicator behind: the next plain call works. Events that fail are reported through
sys.unraisablehook, never raised from the SDK call that delivered them.

The calls run in child interpreters, one per family, so that a crash fails one test
instead of taking the suite down; each child prints a JSON summary. Module
initialisation runs under failing allocations too, in fresh interpreters and as one
sweep of retries in the same interpreter.
"""
import contextlib
import dataclasses
import json
import os
import sys
import textwrap
from collections import Counter
from pathlib import Path

import pytest

try:
    import _testcapi
except ImportError:  # interpreters built without the test modules
    _testcapi = None

HAVE_NOMEMORY = _testcapi is not None and hasattr(_testcapi, "set_nomemory")
pytestmark = pytest.mark.skipif(not HAVE_NOMEMORY, reason="needs _testcapi.set_nomemory")

TESTS = Path(__file__).resolve().parent
MAX_K = 400          # a call needing more allocations than this is reported as never succeeding
STREAK = 3           # successes in a row that end a sweep
SANITIZED = os.environ.get("CSDK_SANITIZED") == "1"


# ---- the child side ----

class Discard:
    """Standard error of the child: keeps nothing but whether the interpreter's own
    unraisable printer ran (when the hook could not be called)."""
    ignored = 0

    def write(self, text):
        if "Exception ignored" in text:
            Discard.ignored += 1
        return len(text)

    def flush(self):
        pass


@dataclasses.dataclass
class Case:
    label: str
    call: object                 # () -> result, run with allocations failing
    check: object = None         # result -> problem text or None (result after success)
    allowed: tuple = ()          # exceptions the call raises anyway (error-path cases)
    setup: object = None         # before each attempt, allocations working
    after: object = None         # (result, mode) -> (problem text or None, settled), allocations working:
                                 # settled overrides whether the attempt behaved as with memory
    memory_error: bool = True    # whether MemoryError may come out of the call


def attempt(call, k, mode):
    """("ok", result) / ("raised", type name, text); allocations restored before returning."""
    stop = 0 if mode == "from" else k + 1
    _testcapi.set_nomemory(k, stop)
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - classified below, with memory back
        _testcapi.remove_mem_hooks()
        return ("raised", exc)
    _testcapi.remove_mem_hooks()
    return ("ok", result)


def next_call_works():
    """The plain calls after an attempt: a left-over error indicator would surface here."""
    import c_sdk
    try:
        assert c_sdk.py_zvi_get_stop_error_code() == 0
        assert c_sdk.ObjectLikeDict2({"k": 1})["k"] == 1
        assert c_sdk.c_status_ok(0) is True
        assert sys.exc_info() == (None, None, None)
    except BaseException as exc:  # noqa: BLE001
        return f"the next call failed: {type(exc).__name__}: {exc}"
    return None


def format_failure_loses_the_error():
    """Whether this interpreter's PyErr_Format ends with no exception set when the one
    allocation of its message fails (3.11 and later do): a builtin's error path shows it."""
    for k in range(40):
        kind, value = attempt(lambda: iter(5), k, "only")
        if kind == "raised" and is_lost_error(value):
            return True
    return False


def is_lost_error(exc, python_function=None):
    """The interpreter's SystemError for a failure that left no exception: raised by a
    builtin's error path, or (python_function) by a Python function whose frame could not
    be made, as the interpreter's own call machinery reports it."""
    if type(exc) is not SystemError:
        return False
    text = str(exc)
    if text == "error return without exception set":
        return True
    return python_function is not None and text == f"{python_function!r} returned NULL without setting an exception"


LOST_ERROR_IS_CPYTHONS = None  # set by main()


def sweep(case, mode):
    """Attempts at k = 0, 1, 2, ... until the call behaved as it does with memory (returned,
    or raised its own exception) STREAK times running."""
    tally, faults, first_ok = Counter(), [], None
    streak, k = 0, 0
    while k <= MAX_K and streak < STREAK:
        if case.setup:
            case.setup()
        kind, value = attempt(case.call, k, mode)
        good = False
        if kind == "ok":
            tally["returned"] += 1
            problem = case.check(value) if case.check else None
            good = problem is None
        else:
            name = type(value).__name__
            tally[name] += 1
            if isinstance(value, MemoryError) and case.memory_error:
                problem = None
            elif case.allowed and isinstance(value, case.allowed) and not isinstance(value, MemoryError):
                problem, good = None, True
            elif case.allowed and mode == "only" and LOST_ERROR_IS_CPYTHONS and is_lost_error(value):
                # An error path whose exception message could not be allocated: the
                # interpreter's own builtins end the same way (see format_failure_loses_the_error).
                problem = None
            else:
                problem = f"raised {name}: {value}"
            value = None
        if problem is None and case.after:
            problem, settled = case.after(value if kind == "ok" else None, mode)
            good = good and settled
        problem = problem or next_call_works()
        if problem:
            faults.append(f"{mode} k={k}: {problem}")
        streak = streak + 1 if good else 0
        if good and first_ok is None:
            first_ok = k
        k += 1
    if streak < STREAK:
        faults.append(f"{mode}: not behaving as with memory up to k={MAX_K}")
    return {"tally": dict(tally), "faults": faults[:5], "attempts": k, "first_ok": first_ok}


def wrapper_cases(sdk, targets):
    import warnings

    import c_sdk
    import hardening_util as hu
    cases = []
    for t in targets:
        script = hu.Script(status=None, text=b"text-value" if t.result in ("Text", "ServAddr") else "default",
                           response=b"response-body" if t.result == "Response" else "default")
        variants = [("valid", hu.valid_args(t))]
        if t.adapted and any(hu.KINDS[k].adaptable for _, k in t.params):
            variants.append(("str", hu.valid_args(t, text=True)))
        if t.params:
            bad = hu.valid_args(t)
            bad[0] = object()
            variants.append(("bad type", bad))
        for label, args in variants:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                try:
                    converted = hu.model_call(t, args, {})
                    expected, refused = hu.model_result(t, script, converted, 0), None
                except hu.Refused as r:
                    converted, expected, refused = None, None, type(r.exc)

            def setup(t=t, script=script, converted=converted):
                sdk.reset()
                if converted is not None:
                    script.apply(sdk, t, converted)

            def check(result, expected=expected, refused=refused):
                if refused is not None:
                    return f"returned {result!r} where {refused.__name__} was expected"
                if hu.normalize([result]) != hu.normalize([expected]):
                    return f"returned {result!r}, expected {expected!r}"
                return None

            func = getattr(c_sdk, t.name)
            cases.append(Case(f"{t.name} {label}", lambda func=func, args=args: func(*args), check,
                              (refused,) if refused else (), setup))
    return cases


def family_wrappers(sdk):
    import hardening_util as hu
    return wrapper_cases(sdk, hu.WRAPPERS)


def family_direct(sdk):
    import hardening_util as hu
    return wrapper_cases(sdk, hu.DIRECT)


def family_bridge(sdk):
    import c_sdk
    received = [None] * 8
    reports = [None] * 8
    count = [0, 0]

    # Compiled without a source file: printing its traceback then reads no file, so the
    # reports need few allocations.
    space = {"received": received, "count": count}
    exec(compile(textwrap.dedent("""
        def handler(name, payload):
            received[count[0]] = (name, payload)
            count[0] += 1
            if name in ("raise", b"raise"):
                raise KeyError(name)
        """), "<handler>", "exec"), space)
    handler = space["handler"]

    def hook(u):
        reports[count[1]] = u.exc_value  # kept as is: storing allocates nothing
        count[1] += 1

    sys.unraisablehook = hook
    cases = []
    events = {
        "delivered": ((b"tick", b"payload-body"), ("tick", b"payload-body"), None),
        "IS_PY2": ((b"tick", b"payload-body"), (b"tick", b"payload-body"), None),
        "undecodable": ((b"\xff\xfe", b"payload-body"), None, UnicodeDecodeError),
        "handler raises": ((b"raise", b"payload-body"), ("raise", b"payload-body"), KeyError),
        "null name": ((None, b"p"), None, RuntimeError),
        "negative length": ((b"ev", b"p", -1), None, SystemError),
    }
    for through in ("py_zvi_run", "zvi_poll"):
        for label, (event, delivered, failure) in events.items():
            def setup(event=event, label=label):
                sdk.reset()
                c_sdk.IS_PY2 = label == "IS_PY2"
                c_sdk.py_zvi_set_data_callback(handler)
                sdk.queue_event(*event)
                received[:] = [None] * 8
                reports[:] = [None] * 8
                count[:] = [0, 0]
                Discard.ignored = 0

            def after(status, mode, delivered=delivered, failure=failure):
                got = [r for r in received if r is not None]
                lost = [r for r in reports if r is not None and LOST_ERROR_IS_CPYTHONS and is_lost_error(r, handler)]
                seen = [type(r) for r in reports if r is not None and not any(r is x for x in lost)]
                reports[:] = [None] * 8
                c_sdk.IS_PY2 = False
                if sdk.pending_events():
                    return "the event was not taken", False
                if got and got != [delivered]:
                    return f"the handler got {got!r}", False
                if delivered is None and got:
                    return "a failed event reached the handler", False
                if any(r not in (failure, MemoryError) for r in seen):
                    return f"reported {seen!r}", False
                # With one allocation failing, a failed event is still reported (by the hook,
                # or by the interpreter's own printer when the hook could not be called).
                reported = seen or lost or Discard.ignored
                if mode == "only" and not got and not reported:
                    return "the event was lost without a report", False
                if mode == "only" and failure is not None and not reported:
                    return "the failure was not reported", False
                # As with memory: delivered where it should be, its own failure reported.
                # (A handler whose exception could not be made ends as the interpreter's
                # builtins do: see format_failure_loses_the_error.)
                settled = not lost and got == ([] if delivered is None else [delivered]) and (
                    failure is None and not seen or failure is not None and seen == [failure])
                # The next event goes through.
                received[:] = [None] * 8
                count[0] = 0
                sdk.queue_event(b"next", b"next-payload")
                c_sdk.py_zvi_run()
                if received[0] != ("next", b"next-payload"):
                    return f"the next event arrived as {received[0]!r}", False
                return None, settled

            # zvi_poll raises a Python error left pending by the callback, and allocates
            # nothing itself: any exception out of it is a fault.
            call = getattr(c_sdk, through)
            cases.append(Case(f"{through} {label}", call, lambda r: None if r == 0 else f"status {r!r}",
                              (), setup, after, memory_error=through != "zvi_poll"))
    # The handler registration itself.
    cases.append(Case("py_zvi_set_data_callback", lambda: c_sdk.py_zvi_set_data_callback(handler),
                      lambda r: None if r is None and c_sdk.f is handler else "not registered",
                      setup=lambda: sdk.reset()))
    return cases


def family_records(sdk):
    import c_sdk
    cases = []
    for name, field in (("ObjectLikeDict2", None), ("BarLikeDict2", "close"), ("TickLikeDict2", "price"),
                        ("QuoteItemLikeDict2", "bid_p")):
        cls = getattr(c_sdk, name)
        value, other = object(), object()
        d = {"k": value, "close": value, "price": value, "bid_p": value}
        r = cls(d)

        def reset(d=d, r=r, value=value):
            d.clear()
            d.update({"k": value, "close": value, "price": value, "bid_p": value})
            r.data = d

        ops = {
            "construct": (lambda cls=cls, d=d: cls(d), lambda res, d=d: None if res.data is d else "wrong data", ()),
            "getitem": (lambda r=r: r["k"], lambda res, v=value: None if res is v else repr(res), ()),
            "getitem missing": (lambda r=r: r["missing"], lambda res: None if res is None else repr(res), ()),
            "getattr": (lambda r=r: r.k, lambda res, v=value: None if res is v else repr(res), ()),
            "getattr missing": (lambda r=r: r.missing, lambda res: None if res is None else repr(res), ()),
            "setitem new": (lambda r=r, o=other: r.__setitem__("new", o),
                            lambda res, d=d, o=other: None if d.get("new") is o else "not stored", ()),
            "setattr new": (lambda r=r, o=other: setattr(r, "new2", o),
                            lambda res, d=d, o=other: None if d.get("new2") is o else "not stored", ()),
            "str": (lambda r=r: str(r), lambda res, d=d: None if res == str(d) else repr(res), ()),
            "repr": (lambda r=r: repr(r), lambda res, d=d: None if res == repr(d) else repr(res), ()),
            "data rebound": (lambda r=r, d=d: setattr(r, "data", d), None, ()),
            "unhashable key": (lambda r=r: r[[]], lambda res: "no TypeError", (TypeError,)),
            "iteration refused": (lambda r=r: iter(r), lambda res: "no TypeError", (TypeError,)),
        }
        if field:
            ops["field"] = (lambda r=r, f=field: getattr(r, f), lambda res, v=value: None if res is v else repr(res), ())
        if hasattr(cls, "__contains__"):
            ops["contains"] = (lambda r=r: "k" in r, lambda res: None if res is True else repr(res), ())
        for label, (call, check, allowed) in ops.items():
            cases.append(Case(f"{name} {label}", call, check, allowed, reset))
    return cases


def family_helpers(sdk):
    import c_sdk

    def plain(*args, **kwargs):
        return args, kwargs

    wrapper = c_sdk.adapt_to_python3(plain)
    return [
        Case("c_status_ok", lambda: c_sdk.c_status_ok(0), lambda r: None if r is True else repr(r)),
        Case("c_status_ok big", lambda: c_sdk.c_status_ok(10**30), lambda r: None if r is False else repr(r)),
        Case("c_status_fail logs", lambda: c_sdk.c_status_fail(7, "some_function"),
             lambda r: None if r is True else repr(r), setup=lambda: sdk.reset()),
        Case("c_status_fail unnamed", lambda: c_sdk.c_status_fail(7), lambda r: None if r is True else repr(r)),
        Case("adapt_to_python3", lambda: c_sdk.adapt_to_python3(plain),
             lambda r: None if r("a") == ((b"a",), {}) else "wrong wrapper"),
        Case("adapted call", lambda: wrapper("text", b"bytes", key="kw"),
             lambda r: None if r == ((b"text", b"bytes"), {"key": b"kw"}) else repr(r)),
        Case("adapted call non-ASCII", lambda: wrapper("\xe9"), lambda r: "no error", (UnicodeEncodeError,)),
        Case("is_linux", lambda: c_sdk.is_linux(), lambda r: None if r in (True, False) else repr(r)),
        Case("arity error", lambda: c_sdk.py_zvi_strerror(), lambda r: "no error", (TypeError,)),
        Case("keyword error", lambda: c_sdk.py_zvi_strerror(5, errorno=5), lambda r: "no error", (TypeError,)),
    ]


FAMILIES = {"wrappers": family_wrappers, "direct": family_direct, "bridge": family_bridge,
            "records": family_records, "helpers": family_helpers}


@contextlib.contextmanager
def printer_for(mode):
    """From 3.13 the interpreter prints exceptions (PyErr_Print, which the bridge uses for
    a failed event) with the traceback module, in Python; with allocations failing for
    good that printer does not finish, and PyErr_Display itself can crash
    (_testcapi.exception_print(exc) under set_nomemory(24) on 3.13.0). So in "from" mode
    there the bridge's printing goes through a minimal sys.excepthook; the report to
    sys.unraisablehook is unchanged. "only" mode keeps the interpreter's printer."""
    if mode == "from" and sys.version_info >= (3, 13):
        old, sys.excepthook = sys.excepthook, lambda *args: None
        try:
            yield
        finally:
            sys.excepthook = old
    else:
        yield


def main(family):
    """Child entry point: sweeps every case of a family in both modes, prints JSON."""
    import zvsdk_standin
    import c_sdk
    sys.stderr = Discard()  # the bridge prints every failed event
    sdk = zvsdk_standin.StandIn()
    # platform.uname() finds the processor lazily, by running `uname -p` in a child
    # process; under failing allocations that never finishes, so it is done beforehand.
    c_sdk.is_linux()
    global LOST_ERROR_IS_CPYTHONS
    LOST_ERROR_IS_CPYTHONS = format_failure_loses_the_error()
    cases = FAMILIES[family](sdk)
    trace = os.environ.get("CSDK_NOMEMORY_TRACE") == "1"
    summary = {}
    for case in cases:
        if trace:
            os.write(2, f"{family}: {case.label}\n".encode())
        summary[case.label] = {}
        for mode in ("from", "only"):
            with printer_for(mode):
                summary[case.label][mode] = sweep(case, mode)
    sys.stderr = sys.__stderr__
    print(json.dumps(summary))


def init_sweep(mode, ks):
    """Module initialisation under failing allocations, retried in this interpreter until
    it succeeds; then the module must be complete."""
    import functools  # noqa: F401 - the module's own imports, done before the window
    import importlib.util
    import platform  # noqa: F401

    import zv.constant  # noqa: F401
    import zv.utils  # noqa: F401
    spec = importlib.util.find_spec("c_sdk")
    results = []
    module = None
    for k in ks:
        stop = 0 if mode == "from" else k + 1
        _testcapi.set_nomemory(k, stop)
        try:
            m = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(m)
        except BaseException as exc:  # noqa: BLE001
            _testcapi.remove_mem_hooks()
            sys.modules.pop("c_sdk", None)
            results.append((k, type(exc).__name__))
            del exc
            continue
        _testcapi.remove_mem_hooks()
        results.append((k, "ok"))
        module = m
        break
    if module is None:
        sys.modules.pop("c_sdk", None)
        import c_sdk as module  # a plain import after the failures
    import zvsdk_standin
    sdk = zvsdk_standin.StandIn()
    sdk.reset()
    names = [n for n in vars(module) if not n.startswith("__")]
    checks = {
        "names": len(names),
        "stop_error_code": module.py_zvi_get_stop_error_code(),
        "orders": repr(module.py_zvi_get_orders("r")),
        "record": module.BarLikeDict2({"close": 3}).close,
        "direct": module.zvi_strerror(3).decode(),
    }
    print(json.dumps({"results": results, "checks": checks}))


# ---- the parent side ----

def run_child(code, timeout=300):
    from conftest import run_child as run  # the parent's helper; the child imports this file without it
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS)] + [p for p in sys.path if p]))
    proc = run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)], env=env, timeout=timeout,
               cwd=TESTS.parent)
    assert proc.returncode == 0, f"child exited with {proc.returncode}\n{proc.stderr[-4000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("family", list(FAMILIES))
def test_calls_under_allocation_failure(family):
    summary = run_child(f"import test_nomemory as t; t.main({family!r})")
    assert summary, "no cases"
    faults = {label: [f for m in modes.values() for f in m["faults"]] for label, modes in summary.items()}
    faults = {label: f for label, f in faults.items() if f}
    assert not faults, json.dumps(faults, indent=1)[:4000]
    # Allocation failures were actually met: some calls needed attempts before they
    # behaved (the records' fast paths allocate nothing at all, so not every one does).
    assert any(modes["from"]["first_ok"] for modes in summary.values()), "no call met a failing allocation"


def expected_names():
    import c_sdk
    return len([n for n in vars(c_sdk) if not n.startswith("__")])


@pytest.mark.skipif(sys.version_info[:2] == (3, 13), reason=(
    "3.13's interpreter does not survive repeated failed imports under failing allocations: "
    "the standard library's own array, _pickle, _decimal and _elementtree crash the same way"))
def test_initialisation_retried_until_it_succeeds():
    """Every k from 0 on, in one interpreter: each failed initialisation is retried at the
    next k (a single failing allocation may be absorbed, so this sweep fails all of them
    from k on; the other mode runs in fresh interpreters below)."""
    out = run_child("import test_nomemory as t; t.init_sweep('from', range(20000))")
    results = out["results"]
    assert results[-1][1] == "ok", results[-5:]
    outcomes = Counter(r for _, r in results[:-1])
    assert set(outcomes) <= {"MemoryError", "ImportError"}, outcomes
    assert outcomes["MemoryError"] > 100  # the sweep went through the whole initialisation
    checks = out["checks"]
    assert checks == {"names": expected_names(), "stop_error_code": 0, "orders": "(0, b'')", "record": 3,
                      "direct": "zvsdk error 3"}


def init_once(k, mode):
    return run_child(f"import test_nomemory as t; t.init_sweep({mode!r}, [{k}])")


@pytest.mark.slow
def test_initialisation_in_fresh_interpreters():
    # Where initialisation succeeds: found by bisection, each probe a fresh interpreter.
    lo, hi = 0, 1
    while init_once(hi, "from")["results"][0][1] != "ok":
        lo, hi = hi, hi * 4
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if init_once(mid, "from")["results"][0][1] == "ok":
            hi = mid
        else:
            lo = mid
    needed = hi
    samples = sorted({0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, needed - 1, needed}
                     | {needed * i // 12 for i in range(1, 12)})
    if SANITIZED:
        samples = samples[::2] + [needed - 1, needed]
    bad = {}
    for mode in ("from", "only"):
        for k in samples:
            out = init_once(k, mode)
            outcome = out["results"][0][1]
            if outcome not in ("ok", "MemoryError", "ImportError"):
                bad[(mode, k)] = outcome
            if out["checks"]["names"] != expected_names():
                bad[(mode, k, "names")] = out["checks"]["names"]
    assert not bad, bad
