"""The event callback bridge: SDK events reaching the handler registered as f."""
import builtins
import functools
import gc
import sys
import types
import weakref

import pytest

import c_sdk
from conftest import run_python, tb_names


class Handler:
    """Records every event it is called with."""

    def __init__(self):
        self.events = []

    def __call__(self, *args, **kwargs):
        assert kwargs == {}
        self.events.append(args)


def register(handler):
    assert c_sdk.py_zvi_set_data_callback(handler) is None


def run(sdk, *events):
    """Queues the events (name, payload[, length]) and runs the SDK loop over them."""
    for event in events:
        sdk.queue_event(*event)
    status = c_sdk.py_zvi_run()
    assert sdk.pending_events() == 0
    return status


@pytest.fixture
def reports(monkeypatch, capsys):
    """Captures standard error and the unraisable reports; each report notes what stderr
    held when it was made."""
    err = []

    def stderr():
        err.append(capsys.readouterr().err)
        return "".join(err)

    seen = []

    def hook(u):
        seen.append(types.SimpleNamespace(exc_type=u.exc_type, exc_value=u.exc_value, err_msg=u.err_msg,
                                          object=u.object, stderr_before=stderr()))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    monkeypatch.delattr(sys, "last_value", raising=False)
    return types.SimpleNamespace(seen=seen, stderr=stderr)


# ---- registration ----

def test_registration(sdk):
    first, second = Handler(), Handler()
    register(first)
    assert c_sdk.f is first
    run(sdk, (b"a", b"1"))
    assert c_sdk.py_zvi_set_data_callback(pythonf=second) is None
    assert c_sdk.f is second
    run(sdk, (b"b", b"2"))
    assert first.events == [("a", b"1")] and second.events == [("b", b"2")]
    registrations = sdk.calls_to("zvi_set_event_callback_pb")
    assert len(registrations) == 2 and registrations[0] == registrations[1]
    (address,) = registrations[0]
    assert isinstance(address, int) and address != 0


def test_registration_stores_any_object_unadapted(sdk):
    c_sdk.py_zvi_set_data_callback("not callable")
    assert c_sdk.f == "not callable" and type(c_sdk.f) is str
    assert c_sdk.py_zvi_set_data_callback.__name__ == "py_zvi_set_data_callback"


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "py_zvi_set_data_callback() takes exactly 1 positional argument (0 given)"),
    ((len, len), {}, "py_zvi_set_data_callback() takes exactly 1 positional argument (2 given)"),
    ((), {"handler": len}, "py_zvi_set_data_callback() takes exactly 1 positional argument (0 given)"),
    ((len,), {"pythonf": len}, "py_zvi_set_data_callback() got multiple values for keyword argument 'pythonf'"),
    ((len,), {"x": 1}, "py_zvi_set_data_callback() got an unexpected keyword argument 'x'"),
])
def test_registration_arguments(sdk, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        c_sdk.py_zvi_set_data_callback(*args, **kwargs)
    assert str(excinfo.value) == message
    assert tb_names(excinfo) == ["c_sdk.py_zvi_set_data_callback"]
    assert sdk.calls() == [] and not hasattr(c_sdk, "f")


# ---- what the handler receives ----

BIG = bytes(range(256)) * 4096

EVENTS = [
    # id, (name, payload[, length]), name received, payload received
    ("plain", (b"tick", b"body"), "tick", b"body"),
    ("empty", (b"", b""), "", b""),
    ("zeros-in-payload", (b"ev", b"\0a\0\0b\0"), "ev", b"\0a\0\0b\0"),
    ("length-shorter", (b"ev", b"abcdef", 3), "ev", b"abc"),
    ("length-longer", (b"ev", b"ab", 4), "ev", b"ab\0\0"),  # the SDK's buffer holds 4 bytes
    ("null-payload-no-length", (b"ev", None, 0), "ev", b""),
    ("utf8-name", ("行情".encode(), b"x"), "行情", b"x"),
    ("name-ends-at-nul", (b"ab\0cd", b"x"), "ab", b"x"),
    ("megabyte", (b"big", BIG), "big", BIG),
]


@pytest.mark.parametrize("event,name,payload", [r[1:] for r in EVENTS], ids=[r[0] for r in EVENTS])
def test_event_contents(sdk, event, name, payload):
    h = Handler()
    register(h)
    assert run(sdk, event) == 0
    assert h.events == [(name, payload)]
    assert type(h.events[0][0]) is str and type(h.events[0][1]) is bytes


def test_events_arrive_in_order_as_copies(sdk):
    h = Handler()
    register(h)
    run(sdk, *[(f"e{i}".encode(), bytes([i]) * i) for i in range(50)])
    # The SDK's buffers are gone by now; the handler's objects are its own.
    assert h.events == [(f"e{i}", bytes([i]) * i) for i in range(50)]


def test_nothing_is_kept_or_leaked(sdk):
    kept = []

    class Result:
        pass

    results = []

    def handler(name, payload):
        kept.append((name, payload))
        r = Result()
        results.append(weakref.ref(r))
        return r

    register(handler)
    before = sys.getrefcount(handler)
    run(sdk, *[(b"name-%d" % i, b"payload-%d" % i) for i in range(200)])
    assert sys.getrefcount(handler) == before
    assert all(ref() is None for ref in results)  # results are dropped at once
    assert kept[-1] == ("name-199", b"payload-199")
    # The name and the payload are held by the handler's tuple and nothing else.
    # Held by the handler's tuple and nothing else: counted like a tuple built here.
    control = ("name-" + str(199), b"payload-" + str(199).encode())
    assert [sys.getrefcount(o) for o in kept[-1]] == [sys.getrefcount(o) for o in control]


class Recorder:
    def __init__(self):
        self.got = []

    def method(self, name, payload):
        self.got.append((self, name, payload))

    @classmethod
    def klass(cls, name, payload):
        cls.last = (cls, name, payload)


def plain(tag, name, payload, *, into):
    into.append((tag, name, payload))


def test_handler_kinds(sdk):
    r = Recorder()
    register(r.method)
    run(sdk, (b"m", b"1"))
    assert r.got == [(r, "m", b"1")]

    register(Recorder.klass)
    run(sdk, (b"c", b"2"))
    assert Recorder.last == (Recorder, "c", b"2")

    into = []
    register(functools.partial(plain, "tag", into=into))
    run(sdk, (b"p", b"3"))
    assert into == [("tag", "p", b"3")]

    d = {}
    register(d.__setitem__)  # a method implemented in C
    run(sdk, (b"k", b"4"), (b"k2", b"5"))
    assert d == {"k": b"4", "k2": b"5"}

    received = []
    register(lambda *args, **kwargs: received.append((args, kwargs)))
    run(sdk, (b"l", b"6"))
    assert received == [(("l", b"6"), {})]


@pytest.mark.parametrize("flag,as_bytes", [
    (True, True), (1, True), ("yes", True), (False, False), (0, False), (None, False), ([], False),
])
def test_is_py2_chooses_the_name_type(sdk, flag, as_bytes):
    h = Handler()
    register(h)
    c_sdk.IS_PY2 = flag
    run(sdk, ("行情".encode(), b"x"))
    assert h.events == [("行情".encode() if as_bytes else "行情", b"x")]


def test_is_py2_is_read_at_every_event(sdk, monkeypatch):
    names = []

    def handler(name, payload):
        names.append(name)
        c_sdk.IS_PY2 = not c_sdk.IS_PY2

    register(handler)
    run(sdk, (b"a", b""), (b"\xff", b""), (b"c", b""))  # not UTF-8, but delivered as bytes
    assert names == ["a", b"\xff", "c"]

    c_sdk.IS_PY2 = False
    register(Handler())
    del c_sdk.IS_PY2
    monkeypatch.setattr(builtins, "IS_PY2", True, raising=False)
    run(sdk, (b"b1", b""))
    builtins.IS_PY2 = False  # a change in the builtins is seen at once
    run(sdk, (b"b2", b""))
    c_sdk.IS_PY2 = True  # the module's own name wins over the builtins
    run(sdk, (b"b3", b""))
    assert c_sdk.f.events == [(b"b1", b""), ("b2", b""), (b"b3", b"")]


def test_f_is_read_at_every_event(sdk, monkeypatch):
    first, second, third = Handler(), Handler(), Handler()

    def switch(name, payload):
        first(name, payload)
        c_sdk.f = second  # a plain rebinding takes effect at the next event

    register(switch)
    run(sdk, (b"1", b""), (b"2", b""))
    del c_sdk.f
    monkeypatch.setattr(builtins, "f", third, raising=False)
    run(sdk, (b"3", b""))
    builtins.f = first
    run(sdk, (b"4", b""))
    assert first.events == [("1", b""), ("4", b"")]
    assert second.events == [("2", b"")] and third.events == [("3", b"")]


def test_reregistration_inside_a_handler(sdk):
    log = []

    def second(name, payload):
        log.append(("second", name))

    def make_first():
        tag = ["first"]

        def first(name, payload):
            c_sdk.py_zvi_set_data_callback(second)
            gc.collect()
            # Only the bridge's own reference keeps this handler alive now.
            log.append((tag[0], name, payload))
        return first

    first = make_first()
    gone = weakref.ref(first)
    register(first)
    del first
    run(sdk, (b"e1", b"p1"), (b"e2", b"p2"))
    assert log == [("first", "e1", b"p1"), ("second", "e2")]
    assert gone() is None
    assert len(set(sdk.calls_to("zvi_set_event_callback_pb"))) == 1


# ---- failures ----

class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("flag")


def delete_f():
    del c_sdk.f


def delete_is_py2():
    del c_sdk.IS_PY2


FAILURES = [
    # id, setup, event, exception, message
    ("undecodable-name", None, (b"\xffev", b"p"), UnicodeDecodeError,
     "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    ("negative-length", None, (b"ev", b"p", -1), SystemError, "Negative size passed to PyBytes_FromStringAndSize"),
    ("null-name", None, (None, b"p"), RuntimeError, "zvsdk delivered an event with a null name"),
    ("null-payload", None, (b"ev", None, 5), RuntimeError, "zvsdk delivered a null payload of 5 bytes"),
    ("f-deleted", delete_f, (b"ev", b"p"), NameError, "name 'f' is not defined"),
    ("f-not-callable", lambda: setattr(c_sdk, "f", None), (b"ev", b"p"), TypeError,
     "'NoneType' object is not callable"),
    ("is-py2-deleted", delete_is_py2, (b"ev", b"p"), NameError, "name 'IS_PY2' is not defined"),
    ("is-py2-untestable", lambda: setattr(c_sdk, "IS_PY2", BadBool()), (b"ev", b"p"), ZeroDivisionError, "flag"),
    # The steps run in order: flag, name, handler, payload.
    ("flag-before-name", delete_is_py2, (b"\xff", b"p"), NameError, "name 'IS_PY2' is not defined"),
    ("name-before-f", delete_f, (b"\xff", b"p"), UnicodeDecodeError,
     "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    ("f-before-payload", delete_f, (b"ev", b"p", -1), NameError, "name 'f' is not defined"),
]


@pytest.mark.parametrize("setup,event,exc,message", [r[1:] for r in FAILURES], ids=[r[0] for r in FAILURES])
def test_failures_are_reported_and_swallowed(sdk, reports, setup, event, exc, message):
    h = Handler()
    register(h)
    if setup:
        setup()
    sdk.set_int("zvi_run", 11)
    assert run(sdk, event) == 11
    assert h.events == []
    [report] = reports.seen
    assert report.exc_type is exc and str(report.exc_value) == message
    assert report.object == "c_sdk.callback_wrapper"
    assert f"{exc.__name__}: {message}" in report.stderr_before
    # Nothing sticks: with the setup undone the next event goes through.
    c_sdk.IS_PY2 = False
    register(h)
    run(sdk, (b"next", b"n"))
    assert h.events == [("next", b"n")] and len(reports.seen) == 1


@pytest.mark.parametrize("error,last_line", [
    (ValueError("boom"), "ValueError: boom"),
    (KeyboardInterrupt(), "KeyboardInterrupt"),
    (GeneratorExit("bye"), "GeneratorExit: bye"),
], ids=["ValueError", "KeyboardInterrupt", "GeneratorExit"])
def test_handler_exception_report(sdk, reports, error, last_line):
    received = []

    def failing_handler(name, payload):
        received.append(name)
        if name == "bad":
            raise error

    register(failing_handler)
    try:
        raise KeyError("outer")
    except KeyError:
        status = run(sdk, (b"bad", b""), (b"good", b""))
        assert sys.exc_info()[0] is KeyError  # the exception being handled is left alone
    assert status == 0 and received == ["bad", "good"]

    [report] = reports.seen
    assert report.exc_type is type(error) and report.exc_value is error
    assert report.object == "c_sdk.callback_wrapper" and report.err_msg is None
    # First the traceback on stderr, complete, then the unraisable report.
    printed = report.stderr_before
    assert printed.startswith("Traceback (most recent call last):\n")
    assert printed.count("Traceback") == 2  # with the KeyError it happened under, as chained
    assert "in failing_handler" in printed and printed.endswith(last_line + "\n")
    assert reports.stderr() == printed  # the report added nothing of its own
    assert not hasattr(sys, "last_value")  # printed without being recorded as the last exception
    assert sys.exc_info() == (None, None, None)


def test_failures_do_not_reach_zvi_poll(sdk, reports):
    """zvi_poll raises whatever Python error is pending when it returns: there must be none."""
    def handler(name, payload):
        raise ValueError(name)

    register(handler)
    sdk.queue_event(b"one", b"")
    sdk.queue_event(b"\xff", b"")
    sdk.set_int("zvi_poll", 5)
    assert c_sdk.zvi_poll() == 5
    assert [r.exc_type for r in reports.seen] == [ValueError, UnicodeDecodeError]


HOOKS = {
    "default": "",
    # The first stage goes through sys.excepthook, whatever it is.
    "replaced": "sys.excepthook = lambda t, v, tb: print('hook', t.__name__, v, file=sys.stderr)",
    # A failing hook: both exceptions are printed, and the run goes on.
    "failing": "def hook(t, v, tb):\n    raise LookupError('in hook')\nsys.excepthook = hook",
    "missing": "del sys.excepthook",
    # An audit hook's RuntimeError on the hook's event cancels the printing.
    "vetoed": "def veto(event, args):\n    if event == 'sys.excepthook':\n        raise RuntimeError\n"
              "sys.addaudithook(veto)",
}


@pytest.mark.parametrize("hook", HOOKS)
@pytest.mark.parametrize("error,last_line", [
    ('ValueError("boom")', "ValueError: boom"),
    ("KeyboardInterrupt", "KeyboardInterrupt"),
], ids=["ValueError", "KeyboardInterrupt"])
def test_default_report_output(error, last_line, hook):
    """The report leaves the exit status alone: 0 here, as the run finishes normally."""
    proc = run_python(f"""
        import sys, c_sdk, zvsdk_standin
        exec({HOOKS[hook]!r})
        sdk = zvsdk_standin.StandIn()
        sdk.reset()
        def handler(name, payload):
            if name == "bad":
                raise {error}
            print("delivered", name)
        c_sdk.py_zvi_set_data_callback(handler)
        sdk.queue_event(b"bad", b"")
        sdk.queue_event(b"good", b"")
        print("status", c_sdk.py_zvi_run())
    """)
    assert proc.returncode == 0 and proc.stdout == "delivered good\nstatus 0\n"
    printed, _, reported = proc.stderr.partition("Exception ignored in: 'c_sdk.callback_wrapper'\n")
    # (3.14's hook for unraisable exceptions writes an empty message after a colon)
    assert reported.startswith("Traceback") and reported.rstrip(": \n").endswith(last_line)
    assert reported.count("Traceback (most recent call last):\n") == 1
    if hook == "vetoed":
        assert printed == ""
        return
    if hook == "replaced":
        assert printed == "hook %s %s\n" % (error.partition("(")[0], last_line.partition(": ")[2])
        return
    if hook == "failing":
        head, _, printed = printed.partition("\nOriginal exception was:\n")
        assert head.startswith("Error in sys.excepthook:\nTraceback") and head.endswith("LookupError: in hook\n")
    if hook == "missing":
        head, _, printed = printed.partition("sys.excepthook is missing\n")
        assert head == ""
    assert printed.startswith("Traceback") and printed.endswith(last_line + "\n")
    assert printed.count("Traceback (most recent call last):\n") == 1


# Who asks to exit on the "quit" event: the handler itself, or a "log and exit"
# sys.excepthook while the bridge prints the handler's ordinary exception.
EXITS = {
    "handler": ("", "sys.exit({code!r})"),
    "hook": ("def hook(t, v, tb):\n    sys.exit({code!r})\nsys.excepthook = hook", "raise ValueError('boom')"),
}


@pytest.mark.parametrize("source", EXITS)
@pytest.mark.parametrize("code,status,stderr", [(7, 7, ""), ("bye", 1, "bye\n"), (None, 0, "")],
                         ids=["int", "message", "None"])
def test_system_exit_ends_the_process(code, status, stderr, source):
    setup, action = (part.format(code=code) for part in EXITS[source])
    proc = run_python(f"""
        import sys, c_sdk, zvsdk_standin
        exec({setup!r})
        sdk = zvsdk_standin.StandIn()
        sdk.reset()
        sys.unraisablehook = lambda u: print("reported", file=sys.stderr)
        def handler(name, payload):
            print("event", name, flush=True)
            if name == "quit":
                {action}
        c_sdk.py_zvi_set_data_callback(handler)
        for name in (b"first", b"quit", b"never"):
            sdk.queue_event(name, b"")
        c_sdk.py_zvi_run()
        print("after the run")
    """, check=False, timeout=60)
    assert proc.returncode == status
    assert proc.stdout == "event first\nevent quit\n"
    assert proc.stderr == stderr


# What keeps the bridge from telling that it runs on the main thread: nothing, a
# threading.main_thread that fails, or a threading module that cannot be imported (set
# while the run goes on, put back after it).
THREAD_CHECKS = {
    "known": ("", ""),
    "main_thread broken": ("threading.main_thread = None", ""),
    "threading blocked": ("sys.modules['threading'] = None", "sys.modules['threading'] = threading"),
}


@pytest.mark.parametrize("check", THREAD_CHECKS)
@pytest.mark.parametrize("source", EXITS)
def test_system_exit_off_the_main_thread_is_reported_and_the_run_goes_on(source, check):
    # Ending the process from there would finalise the interpreter underneath the SDK
    # call and the main thread (a hang, or a crash): the exit request is reported like
    # any other handler exception instead. When the bridge cannot tell which thread it
    # is on, it does the same.
    setup, action = (part.format(code=7) for part in EXITS[source])
    block, unblock = THREAD_CHECKS[check]
    proc = run_python(f"""
        import sys, threading, c_sdk, zvsdk_standin
        exec({setup!r})
        sdk = zvsdk_standin.StandIn()
        sdk.reset()
        sys.unraisablehook = lambda u: print("reported", u.exc_type.__name__, u.object, flush=True)
        def handler(name, payload):
            print("event", name, flush=True)
            if name == "quit":
                {action}
        c_sdk.py_zvi_set_data_callback(handler)
        for name in (b"first", b"quit", b"next"):
            sdk.queue_event(name, b"")
        t = threading.Thread(target=lambda: print("status", c_sdk.py_zvi_run(), flush=True))
        {block}
        t.start()
        t.join()
        {unblock}
        print("after the run")
    """, check=False, timeout=30)
    assert proc.returncode == 0, proc.stderr
    reported = "SystemExit" if source == "handler" else "ValueError"
    assert proc.stdout == (f"event first\nevent quit\nreported {reported} c_sdk.callback_wrapper\nevent next\n"
                           "status 0\nafter the run\n")
    if source == "hook":
        # Printed as any failure of the hook is: the hook's exit request, then what it
        # was given.
        hook_error, _, original = proc.stderr.partition("\nOriginal exception was:\n")
        assert hook_error.startswith("Error in sys.excepthook:\nTraceback") and hook_error.endswith("SystemExit: 7\n")
        assert original.startswith("Traceback") and original.endswith("ValueError: boom\n")
    else:
        assert proc.stderr.startswith("Traceback") and proc.stderr.endswith("SystemExit: 7\n")


@pytest.mark.parametrize("through", ["py_zvi_run", "zvi_poll"])
def test_exit_while_a_daemon_thread_runs_a_handler(through):
    # At exit the interpreter ends the daemon thread with a forced unwind through the
    # SDK call's frames; the process must still exit normally.
    proc = run_python(f"""
        import threading, time, c_sdk, zvsdk_standin
        sdk = zvsdk_standin.StandIn()
        sdk.reset()
        for _ in range(100000):
            sdk.queue_event(b"tick", b"x")
        inside = threading.Event()
        def handler(name, payload):
            inside.set()
            time.sleep(0.001)
        c_sdk.py_zvi_set_data_callback(handler)
        threading.Thread(target=c_sdk.{through}, daemon=True).start()
        inside.wait()
        print("exiting", flush=True)
    """, check=False, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "exiting\n"), proc.stderr
    assert "terminate" not in proc.stderr


# ---- handlers that call back into the module ----

def test_handler_drives_a_session(sdk):
    sdk.set_response("zvi_get_orders_pb", b"orders")
    sdk.set_int("zvi_run", 3)
    sdk.set_int("zvi_stop", 4)
    seen = []

    def on_event(name, payload):
        seen.append((name, payload))
        if name == "tick":
            seen.append(c_sdk.py_zvi_get_orders(payload))
            seen.append(c_sdk.c_status_ok(c_sdk.py_zvi_log(payload)))
        elif name == "stop":
            seen.append(c_sdk.py_zvi_stop())

    register(on_event)
    for event in [(b"tick", b"q1"), (b"tick", b"q2"), (b"stop", b""), (b"tick", b"late")]:
        sdk.queue_event(*event)
    assert c_sdk.py_zvi_run() == 3
    assert seen == [("tick", b"q1"), (0, b"orders"), True, ("tick", b"q2"), (0, b"orders"), True, ("stop", b""), 4]
    assert sdk.pending_events() == 1
    assert [c.fn for c in sdk.calls()] == [
        "zvi_set_event_callback_pb", "zvi_run", "zvi_get_orders_pb", "zvi_log_pb", "zvi_get_orders_pb",
        "zvi_log_pb", "zvi_stop"]
    assert sdk.calls_to("zvi_get_orders_pb") == [(b"q1", 2, True, True), (b"q2", 2, True, True)]
    seen.clear()
    assert c_sdk.py_zvi_run() == 3  # the next run picks up where the stop left off
    assert seen == [("tick", b"late"), (0, b"orders"), True]


def test_nested_delivery_inside_a_handler(sdk):
    log = []

    def handler(name, payload):
        log.append(("start", name, payload))
        if name == "outer":
            assert c_sdk.zvi_poll() == 0  # delivers the rest from inside this event
        log.append(("end", name, payload))

    register(handler)
    run(sdk, (b"outer", b"o"), (b"inner1", b"i1"), (b"inner2", b"i2"))
    assert log == [("start", "outer", b"o"), ("start", "inner1", b"i1"), ("end", "inner1", b"i1"),
                   ("start", "inner2", b"i2"), ("end", "inner2", b"i2"), ("end", "outer", b"o")]


def test_zvi_poll_delivers_pending_events(sdk):
    h = Handler()
    now = []

    def handler(name, payload):
        h(name, payload)
        now.append(c_sdk.zvi_now())

    register(handler)
    assert c_sdk.zvi_poll() == 0  # nothing pending
    sdk.set_int("zvi_now", 1_700_000_000_000)
    sdk.set_int("zvi_poll", -2)
    sdk.queue_event(b"a", b"1")
    sdk.queue_event(b"b", b"2")
    assert c_sdk.zvi_poll() == -2
    assert h.events == [("a", b"1"), ("b", b"2")] and now == [1_700_000_000_000] * 2
    assert sdk.pending_events() == 0
    assert [c.fn for c in sdk.calls()] == ["zvi_set_event_callback_pb", "zvi_poll", "zvi_poll", "zvi_now",
                                           "zvi_now"]


# ---- repeated event names ----

NAMES = ["tick", "bar", "order_status", "execution_report", "timer", "tick", "bar", "€vent", "x" * 47,
         "x" * 48, "x" * 49, "y" * 200, "", "tick", "€vent", "x" * 48, "bus_message", "tick"]


def test_repeated_names_arrive_equal_and_never_shared_with_a_kept_one(sdk):
    kept = []
    register(lambda name, payload: kept.append(name))
    run(sdk, *[(n.encode(), b"p") for n in NAMES * 3])
    assert kept == NAMES * 3
    assert all(type(n) is str for n in kept)
    # The handler keeps every name: none of them may be handed out again (the empty
    # string is the interpreter's own singleton).
    nonempty = [n for n in kept if n]
    assert len({id(n) for n in nonempty}) == len(nonempty)


def test_names_the_handler_drops_stay_correct_across_many_distinct_names(sdk):
    seen = []
    register(lambda name, payload: seen.append(name.encode()))
    names = [f"n{i % 7}".encode() for i in range(100)] + [b"tick"] * 10
    run(sdk, *[(n, b"") for n in names])
    assert seen == names


def test_an_invalid_name_after_a_valid_one_with_the_same_prefix_is_still_refused(sdk, reports):
    seen = []
    register(lambda name, payload: seen.append(name))
    run(sdk, (b"tick", b""), (b"tick\xff", b""), (b"tick", b""))
    assert seen == ["tick", "tick"]
    assert len(reports.seen) == 1 and isinstance(reports.seen[0].exc_value, UnicodeDecodeError)


def test_is_py2_switched_mid_stream_changes_the_name_type(sdk):
    seen = []

    def handler(name, payload):
        seen.append(name)
        c_sdk.IS_PY2 = not c_sdk.IS_PY2

    register(handler)
    run(sdk, *[(b"tick", b"")] * 4)
    assert seen == ["tick", b"tick", "tick", b"tick"]


def test_a_nested_run_gets_its_own_names(sdk):
    seen = []

    def handler(name, payload):
        seen.append(name)
        if payload == b"outer":
            sdk.queue_event(b"bar", b"inner")
            sdk.queue_event(b"tick", b"inner")
            c_sdk.zvi_poll()
            seen.append(name)  # the outer name is unchanged by the nested delivery

    register(handler)
    run(sdk, (b"tick", b"outer"))
    run(sdk, (b"tick", b""))
    assert seen == ["tick", "bar", "tick", "tick", "tick"]
