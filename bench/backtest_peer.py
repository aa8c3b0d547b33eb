"""The crossover example against backtesting.py, side by side in one run on one machine.

    python bench/backtest_peer.py [--repeats 5] [--grid-repeats 3] [--no-runs] [--no-grid]
        [--scale] [--profile goog|eurusd|minute]

Inside a virtual environment with the project and its `examples` and `reference` extras
(`pip install '.[examples,reference]'`):

- one run: the long-only SMA(10) x SMA(20) crossover of examples/sma_cross_csv.py
  (`run_session`, in this process) against backtesting.py's `Backtest.run` of the same
  rules as its users write them (the averages as indicators, pandas' rolling means;
  entries sized to the whole shares the equity buys at the next open with commission,
  exits of the whole position), on the GOOG daily and the EURUSD hourly bars
  backtesting.py ships and on a generated file of 50,000 one-minute bars, 10,000 cash,
  0.02% commission: medians of --repeats runs after a warm-up, the two interleaved. The
  last column checks the trades against backtesting.py run once more with the example's
  own averages (correctly rounded sums, math.fsum): rolling means round differently, and
  an exact tie of the averages (frequent on one-minute bars of cent prices) then becomes
  a crossing, or a crossing a tie;
- the grid: every (fast, slow) pair with fast < slow of 20 fast and 20 slow lengths on
  the EURUSD hourly bars, examples/sweep.py with two workers against
  `Backtest.optimize` (a process per core, two here) on the same pairs;
- with --scale, the session alone (a handler that only counts the bars) on one-minute
  files of 10,000, 100,000 and 1,000,000 bars, each in a fresh process: the time per bar
  and the peak resident size, and from those the bytes a bar costs;
- with --profile goog|eurusd|minute, the example's run under cProfile: the top entries.

Ratios are backtesting.py's time over the example's: above 1 the example is faster. The
machine's load average is printed at the start and the end: on a shared machine the
figures move with it. Without backtesting.py only the example's side (and --scale) runs,
on the generated file.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from datetime import datetime, timedelta
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

FAST, SLOW = 10, 20
CASH, COMMISSION = 10_000.0, 0.0002
MINUTE_BARS = 50_000
# The grid: 20 fast and 20 slow lengths, the pairs with fast < slow (390 of the 400).
GRID_FAST = list(range(2, 42, 2))
GRID_SLOW = list(range(10, 110, 5))
SCALE_BARS = [10_000, 100_000, 1_000_000]

os.environ.setdefault("TQDM_DISABLE", "1")  # backtesting.py's progress bars
backtesting = None
# The processes of --scale measure the session alone: without pandas and numpy loaded.
if "--replay-child" not in sys.argv:
    try:
        import backtesting
        from backtesting import Backtest, Strategy
    except ImportError:
        pass


def load() -> str:
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def write_minutes(path: Path, bars: int, seed: int = 1) -> Path:
    """A random walk of one-minute bars, 09:30 to 15:59 on weekdays."""
    rng = random.Random(seed)
    price = 100.0
    day = datetime(2020, 1, 6)
    lines = ["Date,Open,High,Low,Close,Volume"]
    while len(lines) <= bars:
        if day.weekday() < 5:
            t = day + timedelta(hours=9, minutes=30)
            for _ in range(390):
                open_ = round(price * (1 + rng.gauss(0, 0.0005)), 2)
                close = round(open_ * (1 + rng.gauss(0, 0.001)), 2)
                high = round(max(open_, close) * (1 + abs(rng.gauss(0, 0.0003))), 2)
                low = round(min(open_, close) * (1 - abs(rng.gauss(0, 0.0003))), 2)
                lines.append(f"{t:%Y-%m-%d %H:%M:%S},{open_},{high},{low},{close},{rng.randrange(100, 9000)}")
                price = close
                t += timedelta(minutes=1)
                if len(lines) > bars:
                    break
        day += timedelta(days=1)
    path.write_text("\n".join(lines) + "\n")
    return path


def data_files(folder: Path) -> dict[str, Path]:
    """The files of the one-run comparison, by name."""
    files = {}
    if backtesting is not None:
        from backtesting.test import EURUSD, GOOG

        files["GOOG daily"] = folder / "GOOG.csv"
        GOOG.to_csv(files["GOOG daily"], index_label="Date", date_format="%Y-%m-%d")
        files["EURUSD hourly"] = folder / "EURUSD.csv"
        EURUSD.to_csv(files["EURUSD hourly"], index_label="Date")
    files["one-minute"] = write_minutes(folder / "MINUTES.csv", MINUTE_BARS)
    return files


def frame(path: Path) -> Any:
    import pandas as pd

    bars = pd.read_csv(path, index_col=0, parse_dates=True)
    return bars[["Open", "High", "Low", "Close", "Volume"]]


# ---- backtesting.py's side ----

def rolling_mean(values: Any, n: int) -> Any:
    import pandas as pd

    return pd.Series(values).rolling(n).mean().to_numpy()


def exact_mean(values: Any, n: int) -> Any:
    """The example's averages: each window's sum correctly rounded (math.fsum), over n."""
    import numpy as np

    v = list(values)
    return np.array([math.nan] * (n - 1) + [math.fsum(v[i - n:i]) / n for i in range(n, len(v) + 1)])


if backtesting is not None:
    class SmaCross(Strategy):  # module level: Backtest.optimize sends it to its processes
        """The example's rules as a backtesting.py user writes them."""
        fast = FAST
        slow = SLOW
        average = staticmethod(rolling_mean)

        def init(self) -> None:
            self.fast_ma = self.I(self.average, self.data.Close, self.fast)
            self.slow_ma = self.I(self.average, self.data.Close, self.slow)
            # init() sees every bar: the opens an entry is sized at.
            self.opens = self.data.Open.tolist()

        def next(self) -> None:
            f, s = self.fast_ma, self.slow_ma
            i = len(self.data) - 1
            if i < self.slow:
                return
            if f[-2] < s[-2] and f[-1] > s[-1] and not self.position and i + 1 < len(self.opens):
                size = int(self.equity // (self.opens[i + 1] * (1 + COMMISSION)))
                if size:
                    self.buy(size=size)
            elif f[-2] > s[-2] and f[-1] < s[-1] and self.position:
                self.position.close()


def reference_run(bars: Any, fast: int = FAST, slow: int = SLOW, exact: bool = False) -> Any:
    """Backtest.run; with exact, on the example's averages (for the trade check)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        bt = Backtest(bars, SmaCross, cash=CASH, commission=COMMISSION)
        if exact:
            return bt.run(fast=fast, slow=slow, average=exact_mean)
        return bt.run(fast=fast, slow=slow)


def reference_grid(bars: Any) -> Any:
    """Backtest.optimize over the grid; the final equity of each pair."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        bt = Backtest(bars, SmaCross, cash=CASH, commission=COMMISSION)
        _, heatmap = bt.optimize(fast=GRID_FAST, slow=GRID_SLOW, constraint=lambda p: p.fast < p.slow,
                                 maximize="Equity Final [$]", return_heatmap=True)
    return heatmap


# ---- the example's side ----

def example_run(path: Path, fast: int = FAST, slow: int = SLOW) -> dict[str, Any]:
    import sma_cross_csv

    return sma_cross_csv.run_session(path, fast, slow, CASH, COMMISSION)


def example_grid(path: Path, workers: int = 2) -> list[dict[str, Any]]:
    """examples/sweep.py end to end in this process (its pool of workers, or Dask as it
    chooses), its table printed into nothing; the entries of its --json output."""
    import contextlib
    import io

    import sweep

    with tempfile.TemporaryDirectory(prefix="sweep-") as tmp:
        out = Path(tmp) / "sweep.json"
        with contextlib.redirect_stdout(io.StringIO()):
            sweep.main([str(path), "--fast", ",".join(map(str, GRID_FAST)), "--slow", ",".join(map(str, GRID_SLOW)),
                        "--workers", str(workers), "--cash", str(CASH), "--commission", str(COMMISSION),
                        "--json", str(out), "--quiet"])
        results: list[dict[str, Any]] = json.loads(out.read_text())["results"]
    return results


# ---- timing ----

def interleaved(cases: dict[str, Callable[[], Any]], repeats: int) -> dict[str, tuple[float, float]]:
    """Median wall-clock and CPU seconds of each case over repeats rounds, the cases taking
    turns, after one warm-up round. (The CPU time is this process's: a fair second
    figure for a run in one process on a shared machine, whose wall clock also waits for
    a core; not for the grid, whose work is in other processes.)"""
    for fn in cases.values():
        fn()
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
    for _ in range(repeats):
        for name, fn in cases.items():
            start, cpu = time.perf_counter(), time.process_time()
            fn()
            times[name].append((time.perf_counter() - start, time.process_time() - cpu))
    return {name: (statistics.median(w for w, _ in t), statistics.median(c for _, c in t))
            for name, t in times.items()}


def same_trades(ours: dict[str, Any], stats: Any) -> str:
    closed = len(stats._trades)
    opened = len(stats._strategy.trades)
    equal = (ours["trade_count"] == closed + opened and ours["closed_trades"] == closed
             and round(ours["final_equity"], 2) == round(stats["Equity Final [$]"], 2))
    return (f"same {closed + opened} trades" if equal
            else f"DIFFERENT: {ours['trade_count']} trades, {ours['final_equity']:.2f}"
                 f" against {closed + opened}, {stats['Equity Final [$]']:.2f}")


def one_runs(files: dict[str, Path], repeats: int) -> None:
    print(f"\nOne run, SMA({FAST}) x SMA({SLOW}), median of {repeats} after a warm-up"
          " (wall clock; CPU time in brackets):")
    print("| bars | this project | backtesting.py | ratio | |")
    print("|---|---|---|---|---|")
    for name, path in files.items():
        ours = example_run(path)
        cases: dict[str, Callable[[], Any]] = {"ours": lambda: example_run(path)}
        check = ""
        if backtesting is not None:
            bars = frame(path)
            cases["reference"] = lambda: reference_run(bars)
            check = same_trades(ours, reference_run(bars, exact=True))
        t = interleaved(cases, repeats)
        (wall, cpu), ref = t["ours"], t.get("reference")
        ours_text = f"{wall * 1000:,.0f} ms ({cpu * 1000:,.0f} ms), {cpu / ours['bars'] * 1e6:.2f} µs CPU a bar"
        ref_text = "" if ref is None else f"{ref[0] * 1000:,.0f} ms ({ref[1] * 1000:,.0f} ms)"
        ratio = "" if ref is None else f"{ref[0] / wall:.2f}x ({ref[1] / cpu:.2f}x)"
        print(f"| {name}, {ours['bars']:,} | {ours_text} | {ref_text} | {ratio} | {check} |", flush=True)


def grid(files: dict[str, Path], repeats: int) -> None:
    path = files["EURUSD hourly"]
    pairs = [(f, s) for f in GRID_FAST for s in GRID_SLOW if f < s]
    print(f"\nThe grid: {len(pairs)} pairs on {path.stem} hourly, two workers, median of {repeats}:")
    bars = frame(path)
    results = example_grid(path)
    heatmap = reference_grid(bars)
    differ = [(e["fast"], e["slow"]) for e in results
              if e.get("error") or round(e["final_equity"], 2) != round(heatmap[e["fast"], e["slow"]], 2)]
    t = {name: wall for name, (wall, _) in
         interleaved({"ours": lambda: example_grid(path), "reference": lambda: reference_grid(bars)},
                     repeats).items()}
    check = ("same final equity in every cell" if not differ
             else f"the final equity of {len(differ)} cells differs (ties of the averages): {differ[:4]}")
    print("| grid | this project | Backtest.optimize | ratio | |")
    print("|---|---|---|---|---|")
    print(f"| {len(pairs)} pairs | {t['ours']:.2f} s | {t['reference']:.2f} s"
          f" | {t['reference'] / t['ours']:.2f}x | {check} |", flush=True)


# ---- the session alone, by size ----

def peak_rss_kib() -> int:
    """This process's peak resident size (VmHWM: getrusage's figure would carry the peak of
    the process that started this one over the exec)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

def replay_child(path: str) -> None:
    """Replays a file with a handler that only counts bars; prints bars, seconds, peak RSS."""
    import c_sdk
    import zvsdk_standin

    zvsdk_standin.StandIn().reset()
    c_sdk.py_zvi_set_serv_addr(f"sim:data={path}".encode())
    status, body = c_sdk.py_zvi_get_symbol_infos(json.dumps({"symbols": [Path(path).stem]}).encode())
    assert status == 0, c_sdk.py_zvi_get_ext_errormsg()
    info = json.loads(body)["symbol_infos"][0]
    read_rss = peak_rss_kib()
    assert c_sdk.py_zvi_set_backtest_config(info["first_bar"].encode(), info["last_bar"].encode(), CASH,
                                            0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0) == 0
    bars = 0

    def handler(name: str, payload: bytes) -> None:
        nonlocal bars
        if name == "bar":
            bars += 1
        elif name == "init":
            c_sdk.py_zvi_subscribe(info["symbol"].encode(), info["frequency"].encode(), False)

    c_sdk.py_zvi_set_data_callback(handler)
    start, cpu = time.perf_counter(), time.process_time()
    c_sdk.py_zvi_run()
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    print(json.dumps({"bars": bars, "seconds": seconds, "cpu": cpu, "read_rss_kib": read_rss,
                      "peak_rss_kib": peak_rss_kib()}))


def scale(folder: Path) -> None:
    print("\nThe session alone (a handler that counts bars), one-minute files, a fresh process each,"
          " median of 3 (CPU time: the wall clock of a shared machine waits for a core):")
    print("| bars | replay (wall) | CPU | CPU a bar | peak RSS after reading the file | after the run |")
    print("|---|---|---|---|---|---|")
    rows = []
    for n in SCALE_BARS:
        path = write_minutes(folder / f"M{n}.csv", n, seed=n)
        runs = [json.loads(subprocess.run([sys.executable, __file__, "--replay-child", str(path)], check=True,
                                          capture_output=True, text=True).stdout) for _ in range(3)]
        row = dict(runs[0], seconds=statistics.median(r["seconds"] for r in runs),
                   cpu=statistics.median(r["cpu"] for r in runs),
                   peak_rss_kib=max(r["peak_rss_kib"] for r in runs))
        rows.append(row)
        print(f"| {row['bars']:,} | {row['seconds'] * 1000:,.0f} ms | {row['cpu'] * 1000:,.0f} ms"
              f" | {row['cpu'] / row['bars'] * 1e9:,.0f} ns | {row['read_rss_kib']:,} KiB"
              f" | {row['peak_rss_kib']:,} KiB |", flush=True)
        path.unlink()
    small, large = rows[0], rows[-1]
    per_bar = (large["peak_rss_kib"] - small["peak_rss_kib"]) * 1024 / (large["bars"] - small["bars"])
    drift = (large["cpu"] / large["bars"]) / (small["cpu"] / small["bars"])
    print(f"peak RSS grows by {per_bar:.0f} bytes a bar from {SCALE_BARS[0]:,} to {SCALE_BARS[-1]:,} bars;"
          f" the CPU time a bar of the largest file is {drift:.2f}x that of the smallest")


def profile(files: dict[str, Path], kind: str) -> None:
    import cProfile
    import pstats

    path = {"goog": files.get("GOOG daily"), "eurusd": files.get("EURUSD hourly"),
            "minute": files["one-minute"]}[kind]
    if path is None:
        sys.exit("--profile goog and eurusd need backtesting.py (its sample data)")
    example_run(path)
    profiler = cProfile.Profile()
    profiler.runcall(example_run, path)
    pstats.Stats(profiler).sort_stats("tottime").print_stats(18)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--repeats", type=int, default=5, help="runs per case for the one-run medians")
    p.add_argument("--grid-repeats", type=int, default=3, help="sweeps per side for the grid's median")
    p.add_argument("--no-runs", action="store_true", help="leave out the one-run comparison")
    p.add_argument("--no-grid", action="store_true", help="leave out the grid")
    p.add_argument("--scale", action="store_true", help="also the session alone on 10k to 1M bars")
    p.add_argument("--profile", choices=["goog", "eurusd", "minute"], help="profile the example's run instead")
    p.add_argument("--replay-child", metavar="FILE", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.replay_child:
        replay_child(args.replay_child)
        return 0
    print(f"CPython {sys.version.split()[0]}, {os.cpu_count()} cores, {load()}")
    if backtesting is None:
        print("backtesting.py is not installed (the reference extra): the example's side only")
    with tempfile.TemporaryDirectory(prefix="backtest-peer-") as tmp:
        folder = Path(tmp)
        files = data_files(folder)
        if args.profile:
            profile(files, args.profile)
            return 0
        if not args.no_runs:
            one_runs(files, args.repeats)
        if not args.no_grid and backtesting is not None:
            grid(files, args.grid_repeats)
        if args.scale:
            scale(folder)
    print(f"\n{load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
