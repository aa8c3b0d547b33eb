"""The pytest plugin pytest_zvsdk, as installed with c_sdk (its pytest11 entry point loads
it): the zvsdk fixture's reset between tests, the zvsdk_sim marker, strict mode, and the
messages of the record's assertions.

The runs under pytester happen in this process, so they load the same installed plugin
and drive the same stand-in as the tests around them; each leaves it reset."""

import pytest

c_sdk = pytest.importorskip("c_sdk")

pytest_plugins = ["pytester"]

ORDER = b'{"symbol": "SHSE.600000", "side": 1, "order_type": 1, "volume": 100, "price": 10.5}'


def outcomes(result):
    return {k: v for k, v in result.parseoutcomes().items() if k in ("passed", "failed", "errors", "skipped")}


# ---- reset between tests ----

DIRTY = """
    import ctypes
    import c_sdk
    import pytest

    @pytest.mark.parametrize("fail", [False, True])
    def test_dirty(zvsdk, fail):
        zvsdk.start_session("sim:seed=4", start_time="2024-03-04", end_time="2024-03-05")
        zvsdk.set_record_limit(1)
        zvsdk.script("zvi_place_order_pb", status=1001, response=b"scripted")
        zvsdk.set_strerror(1001, b"scripted error")
        zvsdk.set_text("zvi_get_orgcode", b"scripted org")
        zvsdk.queue_event(b"left", b"over")
        zvsdk.set_poison(True)
        c_sdk.py_zvi_set_data_callback(lambda name, payload: None)
        c_sdk.CSDK_OPERATE_SUCCESS = 1001
        c_sdk.zvsdklogger = None
        c_sdk.py_zvi_stop()
        assert not fail

    def test_clean(zvsdk):
        assert zvsdk.calls() == [] and zvsdk.pending_events() == 0 and not zvsdk.stop_requested()
        assert not hasattr(c_sdk, "f")
        assert c_sdk.CSDK_OPERATE_SUCCESS == 0 and c_sdk.zvsdklogger.name == "zv.sdk"
        assert c_sdk.py_zvi_place_order(b"{}") == (0, b"")
        assert c_sdk.py_zvi_strerror(1001) == b"zvsdk error 1001"
        assert c_sdk.py_zvi_get_orgcode() == b""
        # No session: the clock keeps its default.
        assert c_sdk.zvi_now() == 0
        # Poison off: a string the SDK returned keeps its bytes after the next call.
        lib = ctypes.CDLL(zvsdk.path)
        lib.zvi_get_c_version.restype = ctypes.c_void_p
        zvsdk.set_text("zvi_get_c_version", b"9.9")
        version = lib.zvi_get_c_version()
        before = ctypes.string_at(version)
        lib.zvi_init()
        assert ctypes.string_at(version) == before == b"9.9"
        # The record limit is back at its default once a session is configured again.
        zvsdk.start_session(start_time="2024-03-04", end_time="2024-03-05")
        for _ in range(3):
            c_sdk.zvi_now()
        assert zvsdk.call_count() == 11 and zvsdk.calls_dropped() == 0
        assert zvsdk.unused_scripts() == []
"""


def test_the_fixture_resets_everything_between_tests(pytester):
    pytester.makepyfile(test_dirty=DIRTY)
    # The clean test after a passing and a failing dirty one, in file order.
    result = pytester.runpytest("-p", "no:xdist")
    assert outcomes(result) == {"passed": 2, "failed": 1}, result.stdout.str()
    result.stdout.fnmatch_lines(["*test_dirty*True*", "*assert not True*"])


def test_tests_that_do_not_ask_for_the_fixture_are_left_alone(pytester):
    # The plugin touches nothing of the stand-in without the fixture: what one test
    # scripts through its own handle is there in the next.
    pytester.makepyfile("""
        import zvsdk_standin

        SDK = zvsdk_standin.StandIn()

        def test_a():
            SDK.reset()
            SDK.set_int("zvi_init", 7)

        def test_b():
            assert SDK.calls() == []
            import c_sdk
            assert c_sdk.zvi_init() == 7
            SDK.reset()
    """)
    assert outcomes(pytester.runpytest("-p", "no:xdist")) == {"passed": 2}


def test_without_the_stand_in_the_fixture_says_why(pytester, monkeypatch):
    monkeypatch.setenv("ZVSDK_STANDIN_LIB", str(pytester.path / "missing" / "libzvsdk.so"))
    pytester.makepyfile("def test_host(zvsdk):\n    pass\n\ndef test_other():\n    pass\n")
    result = pytester.runpytest_subprocess("-p", "no:xdist")
    assert outcomes(result) == {"passed": 1, "errors": 1}, result.stdout.str()
    result.stdout.fnmatch_lines(["*the zvsdk fixture needs the stand-in libzvsdk.so and zvsdk_standin*"])


# ---- the simulated session ----

def test_the_sim_marker_starts_a_session(pytester):
    pytester.makepyfile("""
        import json
        import c_sdk
        import pytest

        @pytest.mark.zvsdk_sim("sim:seed=2", config={"start_time": "2024-03-04", "end_time": "2024-03-04"},
                               initial_cash=5000.0)
        def test_session(zvsdk):
            events = []
            c_sdk.py_zvi_set_data_callback(lambda name, payload: events.append(name))
            assert c_sdk.py_zvi_run() == 0
            assert events == ["init", "backtest_finished"]
            status, cash = c_sdk.py_zvi_get_cash(b"{}")
            assert status == 0 and json.loads(cash)["available"] == 5000.0
            assert [c.fn for c in zvsdk.calls()[:2]] == ["zvi_set_serv_addr", "zvi_set_backtest_config"]

        @pytest.mark.zvsdk_sim(start_time="2024-03-05", end_time="2024-03-04")
        def test_refused(zvsdk):
            pass

        def test_off_again(zvsdk):
            assert c_sdk.zvi_now() == 0
    """)
    result = pytester.runpytest("-p", "no:xdist")
    assert outcomes(result) == {"passed": 2, "errors": 1}, result.stdout.str()
    result.stdout.fnmatch_lines(["*SessionError*refused its configuration (1001)*"])


# ---- strict mode ----

STRICT = """
    import c_sdk
    import pytest

    def test_used(zvsdk):
        zvsdk.script("zvi_get_orders_pb", status=0, response=b"[]")
        zvsdk.set_strerror(7, b"seven")
        assert c_sdk.py_zvi_get_orders(b"{}") == (0, b"[]")
        assert c_sdk.c_status_fail(7, "zvi_get_orders_pb")

    def test_unused(zvsdk):
        c_sdk.zvi_init()  # before the script: does not use it
        zvsdk.set_int("zvi_init", 0)
        zvsdk.script("zvi_place_order_pb", status=3)
        zvsdk.set_strerror(8, b"eight")
        c_sdk.py_zvi_strerror(7)
        zvsdk.queue_event(b"e", b"")

    def test_failing_says_only_why(zvsdk):
        zvsdk.script("zvi_place_order_pb", status=3)
        assert False, "the test's own failure"

    @pytest.mark.zvsdk_strict(False)
    def test_opted_out(zvsdk):
        zvsdk.script("zvi_place_order_pb", status=3)
"""


@pytest.mark.parametrize("how", ["option", "ini", "marker", "off"])
def test_strict_mode_fails_a_test_that_left_scripts_unused(pytester, how):
    source = STRICT
    args = ["-p", "no:xdist"]
    if how == "option":
        args.append("--zvsdk-strict")
    elif how == "ini":
        pytester.makeini("[pytest]\nzvsdk_strict = true\n")
    elif how == "marker":
        source = source.replace("\n    def test_", "\n    @pytest.mark.zvsdk_strict\n    def test_").replace(
            "(False)\n    @pytest.mark.zvsdk_strict\n", "(False)\n")
    pytester.makepyfile(source)
    result = pytester.runpytest(*args)
    if how == "off":
        assert outcomes(result) == {"passed": 3, "failed": 1}, result.stdout.str()
        return
    assert outcomes(result) == {"passed": 3, "failed": 1, "errors": 1}, result.stdout.str()
    result.stdout.fnmatch_lines([
        "*ERROR at teardown of test_unused*",
        "*strict zvsdk: scripted but never used: zvi_init, zvi_place_order_pb, zvi_strerror(8), 1 queued event*"])
    assert "ERROR at teardown of test_failing" not in result.stdout.str()


# ---- assertions on the record ----

def place(req=ORDER):
    return c_sdk.py_zvi_place_order(req)


@pytest.mark.parametrize("calls, check, fragments", [
    # A JSON request: both sides pretty-printed, and their difference.
    ([lambda: place()], lambda z: z.assert_called_once_with("zvi_place_order_pb", ORDER.replace(b"100", b"200")),
     ["expected the one call of zvi_place_order_pb with", '"volume": 200', "but zvi_place_order_pb was called once",
      "call #1 of the record", '"volume": 100', '-    "volume": 200,', '+    "volume": 100,']),
    ([lambda: place(), lambda: place(b"{}")], lambda z: z.assert_called_once_with("zvi_place_order_pb", ORDER),
     ["expected exactly one call of zvi_place_order_pb", "was called 2 times", "call #1", "call #2"]),
    ([], lambda z: z.assert_called_once_with("zvi_place_order_pb", ORDER),
     ["expected exactly one call of zvi_place_order_pb", "but zvi_place_order_pb was not called"]),
    ([], lambda z: z.assert_called_with("zvi_place_order_pb", ORDER), ["zvi_place_order_pb was not called"]),
    # Text as text, other bytes as their repr; the last call is the one compared.
    ([lambda: c_sdk.py_zvi_subscribe(b"SHSE.600000", b"60s", True),
      lambda: c_sdk.py_zvi_subscribe(b"SHSE.600000", b"1d", True)],
     lambda z: z.assert_called_with("zvi_subscribe", b"SHSE.600000", b"\xff1h", True),
     ["expected the last call of zvi_subscribe", "[1] b'\\xff1h'", "[1] bytes, text: 1d", "[1] bytes, text: 60s",
      "-[1] b'\\xff1h'", "+[1] bytes, text: 1d"]),
    ([lambda: place(b"not json {")], lambda z: z.assert_any_call("zvi_place_order_pb", b"x"),
     ["expected a call of zvi_place_order_pb", "bytes, text: not json {"]),
    ([lambda: place()], lambda z: z.assert_not_called("zvi_place_order_pb"),
     ["zvi_place_order_pb was not expected to be called, but was called once", '"symbol": "SHSE.600000"']),
    ([], lambda z: z.assert_called("zvi_run"), ["zvi_run was not called"]),
    ([lambda: c_sdk.py_zvi_strerror(5)], lambda z: z.assert_called_with("zvi_strerror", 6),
     ["[0] 6", "[0] 5"]),
], ids=["json-diff", "twice", "never-once", "never-last", "text-and-binary", "not-json", "not-called", "called",
        "int"])
def test_mismatch_messages_name_the_function_and_show_both_sides(zvsdk, calls, check, fragments):
    for call in calls:
        call()
    with pytest.raises(AssertionError) as excinfo:
        check(zvsdk)
    message = str(excinfo.value)
    missing = [f for f in fragments if f not in message]
    assert not missing, f"{missing} not in:\n{message}"


def test_assertions_take_the_callers_arguments_or_all_the_sdk_received(zvsdk):
    place()
    c_sdk.py_zvi_subscribe(b"SHSE.600000", b"1d", False)
    zvsdk.assert_called_once_with("zvi_place_order_pb", ORDER)
    zvsdk.assert_called_once_with("zvi_place_order_pb", ORDER, len(ORDER), True, True)
    zvsdk.assert_called_with("zvi_subscribe", b"SHSE.600000", b"1d", False)
    zvsdk.assert_any_call("zvi_place_order_pb", ORDER)
    zvsdk.assert_called("zvi_subscribe")
    zvsdk.assert_not_called("zvi_get_orders_pb")
    assert zvsdk.call_count("zvi_place_order_pb") == 1 and zvsdk.call_count() == 2
    # Part of what the SDK received is neither form.
    lib_calls = zvsdk.calls_to("zvi_place_order_pb")
    assert lib_calls == [(ORDER, len(ORDER), True, True)]
    with pytest.raises(AssertionError):
        zvsdk.assert_called_with("zvi_place_order_pb", ORDER, len(ORDER))


@pytest.mark.parametrize("call, message", [
    (lambda z: z.script("zvi_place_order", status=1),
     "unknown SDK function 'zvi_place_order'; did you mean 'zvi_place_order_pb'?"),
    (lambda z: z.set_response("zvi_get_order_pb", b""),
     "unknown SDK function 'zvi_get_order_pb'; did you mean 'zvi_get_orders_pb'?"),
    (lambda z: z.assert_called("zvi_run_"), "unknown SDK function 'zvi_run_'; did you mean 'zvi_run'?"),
    (lambda z: z.assert_not_called("nothing_like_it"), "unknown SDK function 'nothing_like_it'"),
])
def test_names_are_checked_against_the_sdk_when_used(zvsdk, call, message):
    with pytest.raises(ValueError) as excinfo:
        call(zvsdk)
    assert str(excinfo.value) == message
    assert zvsdk.unused_scripts() == []
