"""Events per second of the main job: the default session of examples/ma_crossover.py,
timed around py_zvi_run (median of --repeats runs, interleaved, in this process):

- as it runs: the payloads it handles decoded with msgspec, ticks and schedule events
  only counted;
- the same example as it was before: every payload decoded with json.loads (the module's
  own fallback when msgspec is missing, and ticks and schedule events decoded too);
- the same subscriptions with a handler that only counts events (the SDK and bridge).

    python bench/example_session.py [--repeats 5] [example options]

The target is twice the events per second of json.loads decoding on the same machine at
the same time; the script exits with status 1 below it.
"""
from __future__ import annotations

import argparse
import contextlib
import importlib.util
import io
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

import c_sdk  # noqa: E402
import ma_crossover  # noqa: E402
import zvsdk_standin  # noqa: E402

# Subscriptions and schedules outlive a reconfiguration: each session starts afresh.
STANDIN = zvsdk_standin.StandIn()


def json_example() -> object:
    """A second copy of the example module that finds no msgspec."""
    saved = sys.modules.get("msgspec")
    sys.modules["msgspec"] = None  # type: ignore[assignment]  # makes its import fail
    try:
        spec = importlib.util.find_spec("ma_crossover")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules["ma_crossover_json"] = module
        spec.loader.exec_module(module)
    finally:
        if saved is None:
            del sys.modules["msgspec"]
        else:
            sys.modules["msgspec"] = saved
    assert module.msgspec is None  # type: ignore[attr-defined]
    handled = module.Strategy.on_event  # type: ignore[attr-defined]

    def on_event(self: object, name: str, payload: bytes) -> None:
        if name in ("tick", "schedule"):
            module.json.loads(payload)  # type: ignore[attr-defined]
        handled(self, name, payload)

    module.Strategy.on_event = on_event  # type: ignore[attr-defined]
    return module


def timed_session(example: object, argv: list[str]) -> tuple[int, float]:
    """One run of the example; (events delivered, seconds inside py_zvi_run)."""
    run = c_sdk.py_zvi_run
    spent = []

    def timed_run() -> int:
        start = time.perf_counter()
        status = run()
        spent.append(time.perf_counter() - start)
        return status

    c_sdk.py_zvi_run = timed_run
    try:
        with contextlib.redirect_stdout(io.StringIO()) as out:
            example.main(["--quiet", *argv])  # type: ignore[attr-defined]
    finally:
        c_sdk.py_zvi_run = run
    events = int(out.getvalue().split("  events", 1)[1].split("(")[0].replace(",", ""))
    return events, spent[0]


def floor_session(example: object, argv: list[str]) -> tuple[int, float]:
    """The same subscriptions with a handler that only counts."""
    args = ma_crossover.parse_args(["--quiet", *argv])
    ma_crossover.configure(args)
    count = 0

    def handler(name: str, payload: bytes) -> None:
        nonlocal count
        count += 1
        if name == "init":
            c_sdk.py_zvi_subscribe(args.symbols, args.frequency, False)
            c_sdk.py_zvi_schedule("1d", "14:59:00")
            c_sdk.py_zvi_subscribe(args.symbols, "tick", False)

    c_sdk.py_zvi_set_data_callback(handler)
    start = time.perf_counter()
    c_sdk.py_zvi_run()
    return count, time.perf_counter() - start


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--repeats", type=int, default=5)
    args, rest = p.parse_known_args()
    cases = [("msgspec decoding", timed_session, ma_crossover),
             ("json.loads decoding", timed_session, json_example()),
             ("counting handler only", floor_session, ma_crossover)]
    runs: dict[str, list[tuple[int, float]]] = {name: [] for name, _, _ in cases}
    for _ in range(args.repeats):
        for name, fn, example in cases:
            STANDIN.reset()
            runs[name].append(fn(example, rest))
    rate = {}
    for name, _, _ in cases:
        events = runs[name][0][0]
        seconds = statistics.median(s for _, s in runs[name])
        rate[name] = events / seconds
        print(f"{name:<22} {events:>10,} events  {seconds * 1000:>9.1f} ms  {rate[name]:>12,.0f} events/s")
    ratio = rate["msgspec decoding"] / rate["json.loads decoding"]
    ok = ratio >= 2
    print(f"msgspec / json.loads: {ratio:.2f}x (target 2x): {'met' if ok else 'NOT met'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
