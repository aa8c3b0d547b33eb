"""A parameter sweep of the SMA crossover, one session per point of a grid, locally or on Dask.

    python examples/sweep.py FILE.csv|FOLDER --fast 5,10,20 --slow 20,30,50 [--cash C]
        [--commission R] [--adjusted] [--long-short [no,yes]] [--stop-loss F,F,...]
        [--take-profit F,F,...] [--portfolio] [--dask | --scheduler tcp://host:port] [--workers N]
        --json OUT.json [--report DIR]

The grid's dimensions are fast and slow, and those asked for: --long-short (alone, the
long/short crossover only; `no,yes` both it and the long-only one), --stop-loss and
--take-profit (fractions, `none` for no such exit: `none,0.02,0.05`), and with a FOLDER
of <SYMBOL>.csv files the file (every file a run of its own) unless --portfolio runs
the folder as one portfolio (examples/portfolio_csv.py, long-only, no exits) at every
point. Every point with fast < slow runs the session of examples/sma_cross_csv.py (or
portfolio_csv.py). The SDK's state belongs to the process, so a process runs one session
at a time. By default the sweep runs on this machine, from the files where they are: a
grid of up to IN_PROCESS_POINTS points (or --workers 1) in its own process, a larger one
in a pool of --workers processes (default: one per core), each keeping its interpreter
and the bars it read from one session to the next. With --dask it starts a local Dask
cluster of --workers processes with one thread each instead, and closes it at the end;
with --scheduler it submits to that running cluster, whose workers should have one
thread each as well (`dask worker ADDRESS --nthreads 1`; several threads only queue
behind one another). On Dask the file's bytes travel with the tasks, so the workers need
no access to it; they need the project installed with its examples extra (`pip install
'.[examples]'`) and a `zv` (the real host package, or `pip install ./host_package`), as
the scheduler does.

A session that fails is reported in its entry with its error, and the others go on.
Ctrl-C cancels the sessions that have not run and reports those that have. An unusable
--json or --report path, or a scheduler that cannot be reached, is refused before any
session runs; the results are written first, so a report that fails loses none. --json writes
`results`, one entry per point (its parameters: fast, slow and the dimensions asked for,
`symbol` for a folder's files; final_equity, trades, the report's statistics, error);
--report DIR adds results.csv and heat maps of the final equity and the Sharpe ratio:
final_equity.png and sharpe_ratio.png over (fast, slow) as without the other dimensions,
and with them one map per pair of dimensions (final_equity-<a>-<b>.png, ...), each cell
the best value over the dimensions not on the map, the parameters of that best written
under it.
"""
from __future__ import annotations

import argparse
import csv
import itertools
import json
import logging
import math
import multiprocessing
import os
import signal
import sys
import tempfile
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
# The modules every worker imports to run a session, in the order they import each other.
SESSION_MODULES = ["backtest_report.py", "session_control.py", "sma_cross_csv.py", "portfolio_csv.py"]
# How long to wait for a --scheduler to answer before giving up.
SCHEDULER_TIMEOUT = "10s"
# Grids of at most this many points run in the sweep's own process: starting a pool (a
# fresh interpreter per worker, a few tenths of a second) would cost more than it saves.
IN_PROCESS_POINTS = 8


class SchedulerError(RuntimeError):
    """The cluster named by --scheduler cannot be reached."""


def fraction_text(value: float | None) -> str:
    return "none" if value is None else f"{value * 100:g}%"


@dataclass(frozen=True)
class Dimension:
    """One axis of the grid: the entries' key, its words, its values in grid order."""
    key: str
    label: str
    values: tuple[Any, ...]
    text: Callable[[Any], str] = str
    tag: str = ""  # before a value named in a cell of another map, e.g. "fast 10"

    def named(self, value: Any) -> str:
        return self.tag + self.text(value)


def dimensions(args: argparse.Namespace, symbols: list[str] | None) -> list[Dimension]:
    """The grid's axes in grid order: the file (a folder's, run one by one), fast, slow,
    then the strategy's options that were asked for."""
    dims = []
    if symbols is not None:
        dims.append(Dimension("symbol", "file", tuple(symbols)))
    dims += [Dimension("fast", "fast (bars)", tuple(args.fast), tag="fast "),
             Dimension("slow", "slow (bars)", tuple(args.slow), tag="slow ")]
    if args.long_short is not None:
        dims.append(Dimension("long_short", "sides", tuple(args.long_short),
                              lambda v: "long/short" if v else "long only"))
    if args.stop_loss is not None:
        dims.append(Dimension("stop_loss", "stop-loss", tuple(args.stop_loss), fraction_text, "SL "))
    if args.take_profit is not None:
        dims.append(Dimension("take_profit", "take-profit", tuple(args.take_profit), fraction_text, "TP "))
    return dims


def grid(dims: list[Dimension]) -> list[dict[str, Any]]:
    """Every point of the grid with fast < slow, in grid order."""
    keys = [d.key for d in dims]
    points = [dict(zip(keys, values)) for values in itertools.product(*(d.values for d in dims))]
    return [p for p in points if p["fast"] < p["slow"]]


def run_point(data_name: str, data: dict[str, bytes] | None, read_error: str | None, point: dict[str, Any],
              cash: float, commission: float, adjusted: bool = False, portfolio: bool = False) -> dict[str, Any]:
    """One session in a Dask worker, from the bytes of the files it needs by name: the file
    named data_name, or point["symbol"]'s file of a folder, or with portfolio all of a
    folder's files as one portfolio. Its result entry, or its error."""
    if data is None:
        return {**point, "error": read_error}
    with tempfile.TemporaryDirectory(prefix="sweep-") as folder:
        needed = data if portfolio else {point_file(data_name, point): data[point_file(data_name, point)]}
        for name, content in needed.items():
            (Path(folder) / name).write_bytes(content)
        return run_point_in(folder, data_name, point, cash, commission, adjusted, portfolio)


def point_file(data_name: str, point: dict[str, Any]) -> str:
    """The file a point runs on: its symbol's in a folder, else the one file."""
    return f"{point['symbol']}.csv" if "symbol" in point else data_name


def run_point_in(folder: str, data_name: str, point: dict[str, Any], cash: float, commission: float,
                 adjusted: bool = False, portfolio: bool = False, fresh: bool = True) -> dict[str, Any]:
    """One session on the files of folder (as run_point); with fresh=False it keeps the
    bars an earlier session of this process read there. A session stopped by Ctrl-C
    raises KeyboardInterrupt: its partial result is no entry."""
    import portfolio_csv  # on the path, or uploaded to every Dask worker by the client
    import sma_cross_csv
    from backtest_report import STAT_KEYS
    from session_control import SessionError

    entry: dict[str, Any] = dict(point)
    try:
        if portfolio:
            result = portfolio_csv.run_portfolio(folder, point["fast"], point["slow"], cash, commission,
                                                 adjusted=adjusted)
        else:
            result = sma_cross_csv.run_session(
                Path(folder) / point_file(data_name, point), point["fast"], point["slow"], cash, commission,
                adjusted=adjusted, long_short=point.get("long_short", False), stop_loss=point.get("stop_loss"),
                take_profit=point.get("take_profit"), fresh=fresh)
    except SessionError as exc:
        return {**entry, "error": str(exc)}
    if result["interrupted"]:
        raise KeyboardInterrupt
    entry.update(final_equity=result["final_equity"], trades=len(result["trades"]),
                 bars=result["bars"], finished=result["finished"])
    entry.update({k: result[k] for k in STAT_KEYS})
    entry["error"] = None
    return entry


def int_list(text: str) -> list[int]:
    try:
        values = [int(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of integers: {text!r}") from None
    if not values:
        raise argparse.ArgumentTypeError("an empty list")
    return values


def fraction_list(text: str) -> list[float | None]:
    """Exit fractions, e.g. "none,0.02,0.05" (none: no such exit)."""
    values: list[float | None] = []
    for item in (v.strip() for v in text.split(",")):
        if not item:
            continue
        if item.lower() == "none":
            values.append(None)
            continue
        try:
            value = float(item)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a fraction or none: {item!r}") from None
        if not 0 < value < 1:
            raise argparse.ArgumentTypeError(f"an exit fraction is above 0 and below 1, not {item}")
        values.append(value)
    if not values:
        raise argparse.ArgumentTypeError("an empty list")
    return list(dict.fromkeys(values))


def sides_list(text: str) -> list[bool]:
    """--long-short's values: "yes" (long/short), "no" (long only), or both."""
    words = {"yes": True, "no": False}
    values = [v.strip().lower() for v in text.split(",") if v.strip()]
    if not values or any(v not in words for v in values):
        raise argparse.ArgumentTypeError(f"a list of no and yes, not {text!r}")
    return list(dict.fromkeys(words[v] for v in values))


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("file", metavar="FILE.csv|FOLDER",
                   help="one symbol's bars (the symbol is the file's stem), or a folder of <SYMBOL>.csv files")
    p.add_argument("--fast", type=int_list, required=True, help="fast lengths, e.g. 5,10,20")
    p.add_argument("--slow", type=int_list, required=True, help="slow lengths, e.g. 20,30,50")
    p.add_argument("--long-short", type=sides_list, nargs="?", const=[True], metavar="no,yes",
                   help="the long/short crossover (alone, or 'no,yes' for both it and the long-only one)")
    p.add_argument("--stop-loss", type=fraction_list, metavar="F,...",
                   help="stop-loss fractions from the entry's fill price, e.g. none,0.02,0.05")
    p.add_argument("--take-profit", type=fraction_list, metavar="F,...",
                   help="take-profit fractions from the entry's fill price, e.g. none,0.1")
    p.add_argument("--portfolio", action="store_true",
                   help="run a FOLDER as one portfolio (portfolio_csv.py) instead of file by file")
    p.add_argument("--cash", type=float, default=10_000.0, help="starting cash")
    p.add_argument("--commission", type=float, default=0.002, help="commission ratio of the traded amount")
    p.add_argument("--adjusted", action="store_true",
                   help="trade on the prices of the file's Adj Close column")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    p.add_argument("--dask", action="store_true",
                   help="run on a local Dask cluster of --workers processes instead of a process pool")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="worker processes on this machine (default: the number of cores)")
    p.add_argument("--json", metavar="OUT.json", required=True, help="write the results here")
    p.add_argument("--report", metavar="DIR", help="write results.csv and the heat maps here")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.workers < 1:
        p.error("--workers must be at least 1")
    if args.portfolio:
        if not Path(args.file).is_dir():
            p.error("--portfolio runs a folder of <SYMBOL>.csv files")
        if args.long_short or args.stop_loss or args.take_profit:
            p.error("--portfolio runs the long-only crossover, without exits")
    from session_control import check_output_paths

    check_output_paths(p, args)
    return args


def read_data(path: Path, portfolio: bool) -> tuple[dict[str, bytes] | None, str | None, list[str] | None]:
    """The bytes the sessions need by file name (a file, or a folder's <SYMBOL>.csv
    files), or why they cannot be read; and the symbols that are a dimension (a folder
    run file by file), else None."""
    try:
        if path.is_dir():
            files = sorted(f for f in path.glob("*.csv") if f.is_file() and not f.name.startswith("."))
            if not files:
                return None, f"{path}: no <SYMBOL>.csv file", None if portfolio else []
            data = {f.name: f.read_bytes() for f in files}
            return data, None, None if portfolio else [f.stem for f in files]
        return {path.name: path.read_bytes()}, None, None
    except OSError as exc:
        return None, f"cannot read {path}: {exc}", None


def connect(args: argparse.Namespace) -> tuple[Any, Any]:
    """The client of the cluster the sweep runs on, and the local cluster it started (None
    with --scheduler). Raises SchedulerError when the scheduler cannot be reached."""
    from distributed import Client, LocalCluster

    if args.scheduler:
        try:
            return Client(args.scheduler, timeout=SCHEDULER_TIMEOUT), None
        except (OSError, TimeoutError, ValueError, TypeError) as exc:
            raise SchedulerError(f"cannot reach the scheduler {args.scheduler}: {exc}") from None
    # The worker processes inherit an ignored SIGINT: Ctrl-C in a terminal goes to the
    # whole process group, and it is this process that cancels and reports.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        # Quiet below errors: a Ctrl-C cancels running tasks, which Dask warns about.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, previous)
    return Client(cluster), cluster


def sweep(args: argparse.Namespace, points: list[dict[str, Any]], data: dict[str, bytes] | None,
          read_error: str | None, client: Any, cluster: Any) -> tuple[list[dict[str, Any]], bool]:
    """Runs the points on the client's cluster, which it closes; returns their entries in
    grid order and whether Ctrl-C cut it short."""
    from distributed import as_completed

    from session_control import Progress

    entries: dict[int, dict[str, Any]] = {}
    interrupted = False
    try:
        for name in SESSION_MODULES:
            client.upload_file(str(HERE / name))
        # One object for every worker (a dict scattered alone would travel key by key).
        shared = client.scatter([data], broadcast=True)[0] if data is not None else None
        futures = {client.submit(run_point, Path(args.file).name, shared, read_error, point, args.cash,
                                 args.commission, args.adjusted, args.portfolio, pure=False): k
                   for k, point in enumerate(points)}
        progress = Progress(len(futures), "session", "sweep", enabled=not args.quiet)
        try:
            for future in as_completed(futures):
                k = futures[future]
                if future.status == "finished":
                    entries[k] = future.result()
                elif future.status == "error":
                    # The task failed outside the session (its worker died, or it could not
                    # be unpacked there).
                    entries[k] = {**points[k], "error": repr(future.exception())}
                else:
                    entries[k] = {**points[k], "error": future.status}
                progress.advance_to(len(entries))
        except KeyboardInterrupt:
            interrupted = True
            client.cancel([f for f, k in futures.items() if k not in entries])
        finally:
            progress.close()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    results = [entries.get(k, {**point, "error": "canceled"}) for k, point in enumerate(points)]
    return results, interrupted


def ignore_sigint() -> None:
    """A local worker's start: Ctrl-C in a terminal goes to the whole process group, and
    it is the sweep's own process that cancels and reports."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def sweep_local(args: argparse.Namespace, points: list[dict[str, Any]],
                read_error: str | None) -> tuple[list[dict[str, Any]], bool]:
    """Runs the points on this machine, from the files where they are: in this process
    for a small grid or one worker, else in a pool of --workers processes, each keeping
    its interpreter, its imports and the bars it read from one session to the next.
    Returns their entries in grid order and whether Ctrl-C cut it short."""
    from concurrent.futures import ProcessPoolExecutor, as_completed

    from session_control import Progress

    if read_error is not None:
        return [{**point, "error": read_error} for point in points], False
    path = Path(args.file).resolve()
    folder, data_name = (str(path), "") if path.is_dir() else (str(path.parent), path.name)
    settings = (args.cash, args.commission, args.adjusted, args.portfolio)
    entries: dict[int, dict[str, Any]] = {}
    interrupted = False
    progress = Progress(len(points), "session", "sweep", enabled=not args.quiet)
    try:
        if args.workers == 1 or len(points) <= IN_PROCESS_POINTS:
            for k, point in enumerate(points):
                entries[k] = run_point_in(folder, data_name, point, *settings, fresh=k == 0)
                progress.advance_to(len(entries))
        else:
            # Fresh interpreters (spawn): the SDK's state is the process's, and a fork
            # would copy this one's.
            pool = ProcessPoolExecutor(max_workers=min(args.workers, len(points)),
                                       mp_context=multiprocessing.get_context("spawn"), initializer=ignore_sigint)
            try:
                futures = {pool.submit(run_point_in, folder, data_name, point, *settings, False): k
                           for k, point in enumerate(points)}
                for future in as_completed(futures):
                    k = futures[future]
                    try:
                        entries[k] = future.result()
                    except Exception as exc:  # the worker died, or the task could not reach it
                        entries[k] = {**points[k], "error": repr(exc)}
                    progress.advance_to(len(entries))
            finally:
                pool.shutdown(wait=True, cancel_futures=True)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        progress.close()
    results = [entries.get(k, {**point, "error": "canceled"}) for k, point in enumerate(points)]
    return results, interrupted


def number(value: Any, spec: str) -> str:
    return "n/a" if value is None else format(value, spec)


def axes_of(results: list[dict[str, Any]], fasts: list[int] | None, slows: list[int] | None,
            dims: list[Dimension] | None) -> list[Dimension]:
    """The grid's dimensions: those given, or fast and slow from the results (and the
    lengths asked for, including those of no pair that ran)."""
    if dims is not None:
        return dims
    return [Dimension("fast", "fast (bars)", tuple(sorted({*(fasts or []), *(e["fast"] for e in results)})),
                      tag="fast "),
            Dimension("slow", "slow (bars)", tuple(sorted({*(slows or []), *(e["slow"] for e in results)})),
                      tag="slow ")]


def map_pairs(dims: list[Dimension]) -> list[tuple[Dimension, Dimension]]:
    """The pairs of dimensions that get a map: (fast, slow) always, and every pair of
    the dimensions with more than one value."""
    shown = [d for d in dims if d.key in ("fast", "slow") or len(d.values) > 1]
    return [(a, b) for i, a in enumerate(shown) for b in shown[i + 1:]]


def map_name(metric: str, y: Dimension, x: Dimension) -> str:
    if (y.key, x.key) == ("fast", "slow"):
        return f"{metric}.png"
    return f"{metric}-{y.key}-{x.key}.png"


METRICS = [("final_equity", "final equity", ",.0f"), ("sharpe_ratio", "Sharpe ratio", ".2f")]


def write_report(folder: Path, results: list[dict[str, Any]], title: str,
                 fasts: list[int] | None = None, slows: list[int] | None = None,
                 dims: list[Dimension] | None = None) -> list[str]:
    """Writes results.csv and the heat maps of the final equity and the Sharpe ratio into
    folder, one per pair of dimensions (map_pairs); returns the maps' file names. The
    grid is dims, or every fast and slow length of the results and of fasts and slows."""
    from backtest_report import STAT_KEYS

    dims = axes_of(results, fasts, slows, dims)
    folder.mkdir(parents=True, exist_ok=True)
    fields = [*(d.key for d in dims), "final_equity", "trades", *STAT_KEYS, "error"]
    with open(folder / "results.csv", "w", newline="", encoding="utf-8") as out:
        rows = csv.DictWriter(out, fields, extrasaction="ignore")
        rows.writeheader()
        for entry in results:
            rows.writerow({k: "" if entry.get(k) is None else entry.get(k) for k in fields})
    names = []
    for y, x in map_pairs(dims):
        others = [d for d in dims if d not in (y, x) and len(d.values) > 1]
        for key, label, spec in METRICS:
            names.append(map_name(key, y, x))
            heat_map(folder / names[-1], results, key, label, title, spec, y, x, others, dims)
    return names


def cell_excluded(dims: list[Dimension], fixed: dict[str, Any]) -> bool:
    """Whether every point of a cell has fast >= slow (such points are not run)."""
    by_key = {d.key: d.values for d in dims}
    fasts = [fixed["fast"]] if "fast" in fixed else list(by_key["fast"])
    slows = [fixed["slow"]] if "slow" in fixed else list(by_key["slow"])
    return all(f >= s for f in fasts for s in slows)


def heat_map(path: Path, results: list[dict[str, Any]], key: str, label: str, title: str, spec: str,
             y_dim: Dimension, x_dim: Dimension, others: list[Dimension], dims: list[Dimension]) -> None:
    """A map of results' key over two dimensions: in each cell the best (highest) value
    of the points there (over the other dimensions, whose values at that best are
    written under it), a labelled colour bar, the best cell outlined, and the cells with
    no value told apart: fast >= slow (not run), failed sessions, and sessions whose
    value is undefined (n/a)."""
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch, Rectangle
    from matplotlib.ticker import FuncFormatter

    ys, xs = list(y_dim.values), list(x_dim.values)
    grid = [[math.nan] * len(xs) for _ in ys]
    best: dict[tuple[int, int], dict[str, Any]] = {}
    seen: dict[tuple[int, int], list[dict[str, Any]]] = {}
    for e in results:
        if e.get(y_dim.key) not in ys or e.get(x_dim.key) not in xs:
            continue
        cell = (ys.index(e[y_dim.key]), xs.index(e[x_dim.key]))
        seen.setdefault(cell, []).append(e)
        if not e.get("error") and e.get(key) is not None:
            i, j = cell
            if math.isnan(grid[i][j]) or e[key] > grid[i][j]:
                grid[i][j], best[cell] = e[key], e
    finite = [(v, i, j) for i, row in enumerate(grid) for j, v in enumerate(row) if not math.isnan(v)]
    width = 2.4 + (1.3 if not others else 1.7) * len(xs)
    fig, ax = plt.subplots(figsize=(width, 2.4 + 0.8 * len(ys)))
    try:
        image = ax.imshow(grid, cmap="viridis", aspect="auto", origin="lower")
        if finite:  # with no value, a colour bar would only show a meaningless scale
            fig.colorbar(image, ax=ax, label=label, format=FuncFormatter(lambda v, _: format(v, spec)))
        ax.set_xticks(range(len(xs)), [x_dim.text(v) for v in xs])
        ax.set_yticks(range(len(ys)), [y_dim.text(v) for v in ys])
        ax.set_xlabel(x_dim.label)
        ax.set_ylabel(y_dim.label)
        heading = f"{label}: {title}"
        if others:
            # Wrapped to the figure's width (about 9 characters an inch at this size).
            heading += "\n" + textwrap.fill("each cell: the best over " + ", ".join(
                d.label.split(" (")[0] for d in others) + ", at the values under it", int(width * 9), break_on_hyphens=False)
        ax.set_title(heading, fontsize=10)
        low = min(v for v, _, _ in finite) if finite else 0.0
        high = max(v for v, _, _ in finite) if finite else 0.0
        middle = (low + high) / 2
        kinds: set[str] = set()
        for i, yv in enumerate(ys):
            for j, xv in enumerate(xs):
                value, entries = grid[i][j], seen.get((i, j), [])
                if not math.isnan(value):
                    text = format(value, spec)
                    if others:
                        text += "\n" + ", ".join(d.named(best[i, j].get(d.key)) for d in others)
                    ax.text(j, i, text, ha="center", va="center", fontsize=9 if not others else 7.5,
                            color="black" if value > middle else "white")
                    continue
                if not entries:
                    excluded = cell_excluded(dims, {y_dim.key: yv, x_dim.key: xv})
                    kind, text = ("excluded", "not run") if excluded else ("missing", "no result")
                elif all(e.get("error") for e in entries):
                    kind, text = "failed", "failed"
                else:
                    kind, text = "undefined", "n/a"
                kinds.add(kind)
                face, hatch = CELL_STYLES[kind]
                ax.add_patch(Rectangle((j - 0.5, i - 0.5), 1, 1, facecolor=face, hatch=hatch,
                                       edgecolor="grey", linewidth=0))
                ax.text(j, i, text, ha="center", va="center", fontsize=9,
                        color="dimgrey" if kind == "excluded" else "black",
                        bbox={"facecolor": face, "edgecolor": "none", "pad": 1.5})
        handles = []
        if finite:
            _, i, j = max(finite)
            ax.add_patch(Rectangle((j - 0.5, i - 0.5), 1, 1, fill=False, edgecolor="red", linewidth=3))
            handles.append(Patch(fill=False, edgecolor="red", linewidth=3, label=f"best: {format(high, spec)}"))
        for kind in CELL_STYLES:
            if kind in kinds:
                face, hatch = CELL_STYLES[kind]
                handles.append(Patch(facecolor=face, hatch=hatch, edgecolor="grey", label=CELL_LABELS[kind]))
        fig.legend(handles=handles, loc="lower center", ncol=2, fontsize=8, frameon=False)
        rows = math.ceil(len(handles) / 2)
        fig.tight_layout(rect=(0, min(0.3, 0.28 * rows / fig.get_figheight()) + 0.01, 1, 1))
        fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)


# How the heat maps draw the cells without a value: face colour and hatch.
CELL_STYLES = {"excluded": ("white", "//"), "failed": ("mistyrose", "xx"),
               "undefined": ("lightgrey", ""), "missing": ("white", "..")}
CELL_LABELS = {"excluded": "fast >= slow: not run", "failed": "session failed (see its error)",
               "undefined": "ran, value undefined (n/a)", "missing": "no result"}


def main(argv: list[str] | None = None) -> int:
    # A script's folder is on the path already; imported as a module (python -m
    # examples.sweep), session_control and backtest_report are found only with this.
    sys.path.insert(0, str(HERE))
    args = parse_args(argv)
    data, read_error, symbols = read_data(Path(args.file), args.portfolio)
    dims = dimensions(args, symbols or None)
    if symbols == []:  # a folder without a file: nothing to run
        print(read_error, file=sys.stderr)
        return 2
    points = grid(dims)
    if not points:
        print("no pair with fast < slow", file=sys.stderr)
        return 2
    if args.scheduler or args.dask:
        try:
            client, cluster = connect(args)
        except SchedulerError as exc:
            print(exc, file=sys.stderr)
            return 2
        results, interrupted = sweep(args, points, data, read_error, client, cluster)
    else:
        results, interrupted = sweep_local(args, points, read_error)
    # What ran is written before anything that could still fail: the table, the report.
    failed_steps = 0
    options = {"long_short": args.long_short, "stop_loss": args.stop_loss, "take_profit": args.take_profit}
    try:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({"file": args.file, "cash": args.cash, "commission": args.commission,
                       "adjusted": args.adjusted,
                       **({"portfolio": True} if args.portfolio else {}),
                       **{k: v for k, v in options.items() if v is not None},
                       "results": results}, out, indent=1)
            out.write("\n")
    except OSError as exc:
        print(f"cannot write {args.json}: {exc}", file=sys.stderr)
        failed_steps += 1
    failed = [e for e in results if e.get("error")]
    what = Path(args.file).name + (" as one portfolio" if args.portfolio else "")
    print(f"Sweep of {what}: {len(results)} sessions, {len(results) - len(failed)} ran"
          + (" (interrupted)" if interrupted else ""))
    widths = {"symbol": max([6, *(len(str(s)) for s in symbols or [])]), "fast": 5, "slow": 5,
              "long_short": 10, "stop_loss": 9, "take_profit": 11}
    heads = {"symbol": "file", "fast": "fast", "slow": "slow", "long_short": "sides", "stop_loss": "stop-loss",
             "take_profit": "take-profit"}
    print("  " + " ".join(f"{heads[d.key]:>{widths[d.key]}}" for d in dims)
          + f" {'final equity':>14} {'trades':>7} {'return':>9} {'Sharpe':>7}")
    for e in results:
        params = " ".join(f"{d.text(e[d.key]):>{widths[d.key]}}" for d in dims)
        if e.get("error"):
            print(f"  {params}  error: {e['error']}")
        else:
            print(f"  {params} {e['final_equity']:>14,.2f} {e['trades']:>7}"
                  f" {e['total_return']:>+9.2%} {number(e['sharpe_ratio'], '>7.2f')}")
    if args.report:
        try:
            names = write_report(Path(args.report), results, what, dims=dims)
            print(f"  report: {args.report}/{', '.join(names)}, results.csv")
        except (OSError, ImportError) as exc:
            print(f"cannot write the report into {args.report}: {exc}", file=sys.stderr)
            failed_steps += 1
    if interrupted:
        return 130
    return 1 if failed or failed_steps else 0


if __name__ == "__main__":
    sys.exit(main())
