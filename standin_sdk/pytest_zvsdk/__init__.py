"""pytest plugin of the stand-in SDK, registered through the pytest11 entry point of c-sdk.

- The fixture `zvsdk`: a zvsdk_standin.StandIn reset before the test and again after it,
  whatever the test did (calls, scripts, queued events, the simulated session, poison
  mode, the record limit, the registered callback), with c_sdk's module globals (the
  event handler `f` that py_zvi_set_data_callback binds, CSDK_OPERATE_SUCCESS,
  zvsdklogger, ...) put back as they were.
- The marker `zvsdk_sim(addr="sim", config=None, **settings)`: the fixture starts the
  simulated session at addr with zvi_set_backtest_config's parameters by name
  (StandIn.start_session) before the test runs.
- Strict mode (`--zvsdk-strict`, the ini option `zvsdk_strict = true`, or the marker
  `zvsdk_strict`): a test that passed but left an answer it scripted unused, or an event
  queued, errors at teardown. `zvsdk_strict(False)` turns it off for one test.

Nothing happens unless a test asks for `zvsdk`: the plugin imports neither c_sdk nor
zvsdk_standin before that, so it stays out of the way of suites that drive the stand-in
themselves, and of a c_sdk built against the vendor's library, which installs no stand-in.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generator, Optional

import pytest

if TYPE_CHECKING:
    from zvsdk_standin import StandIn

__all__ = ["zvsdk"]

_handle: Optional[StandIn] = None
_CALL_FAILED = pytest.StashKey[bool]()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("zvsdk", "the stand-in SDK (fixture zvsdk)")
    group.addoption("--zvsdk-strict", action="store_true", default=None,
                    help="fail a passing test that leaves an answer it scripted unused or an event queued")
    parser.addini("zvsdk_strict", type="bool", default=False,
                  help="strict mode of the zvsdk fixture for every test (see --zvsdk-strict)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "zvsdk_sim(addr='sim', config=None, **settings): the zvsdk fixture starts the stand-in's "
        "simulated session at addr, configured with zvi_set_backtest_config's parameters by name")
    config.addinivalue_line(
        "markers", "zvsdk_strict(on=True): the zvsdk fixture fails the test if it leaves a scripted answer unused")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    report = outcome.get_result()
    if report.when == "call":
        # The strict check stays quiet after a failure: the test's own report says more.
        item.stash[_CALL_FAILED] = report.failed


def _standin() -> StandIn:
    global _handle
    if _handle is None:
        reason = None
        try:
            from zvsdk_standin import StandIn
            _handle = StandIn()
        except (ImportError, OSError) as exc:
            reason = str(exc)
        if _handle is None:
            # Outside the except block, so that the report is this line alone.
            pytest.fail("the zvsdk fixture needs the stand-in libzvsdk.so and zvsdk_standin, installed with c_sdk "
                        f"built against the stand-in (a build against the vendor's library has neither): {reason}",
                        pytrace=False)
    return _handle


def _strict(request: pytest.FixtureRequest) -> bool:
    marker = request.node.get_closest_marker("zvsdk_strict")
    if marker is not None:
        return bool(marker.args[0]) if marker.args else bool(marker.kwargs.get("on", True))
    option = request.config.getoption("zvsdk_strict")
    if option is not None:
        return bool(option)
    return bool(request.config.getini("zvsdk_strict"))


def _start_session(sdk: StandIn, marker: pytest.Mark) -> None:
    if len(marker.args) > 1:
        raise TypeError("zvsdk_sim takes the address as its one positional argument; the settings go by name")
    settings = dict(marker.kwargs)
    addr = settings.pop("addr", marker.args[0] if marker.args else "sim")
    config = dict(settings.pop("config", None) or {})
    config.update(settings)
    sdk.start_session(addr, **config)


@pytest.fixture
def zvsdk(request: pytest.FixtureRequest) -> Generator[StandIn, None, None]:
    """The stand-in SDK, reset before and after the test; c_sdk's globals restored."""
    sdk = _standin()
    import c_sdk

    saved = dict(vars(c_sdk))
    sdk.reset()
    unused: list[str] = []
    try:
        marker = request.node.get_closest_marker("zvsdk_sim")
        if marker is not None:
            _start_session(sdk, marker)
        yield sdk
        if _strict(request) and not request.node.stash.get(_CALL_FAILED, False):
            unused = sdk.unused_scripts()
    finally:
        sdk.reset()
        namespace = vars(c_sdk)
        now = list(namespace.items())
        # By identity: a global the test bound may compare in any way it likes.
        if len(now) != len(saved) or any(k is not k2 or v is not v2 for (k, v), (k2, v2) in zip(now, saved.items())):
            # Restored in the saved order, so a deleted global does not move to the end.
            namespace.clear()
            namespace.update(saved)
    if unused:
        pytest.fail("strict zvsdk: scripted but never used: " + ", ".join(unused), pytrace=False)
