"""A parameter sweep of the SMA crossover, one session per (fast, slow) pair, on Dask.

    python examples/sweep.py FILE.csv --fast 5,10,20 --slow 20,30,50 [--cash C]
        [--commission R] [--adjusted] [--scheduler tcp://host:port] [--workers N]
        --json OUT.json [--report DIR]

Every pair with fast < slow runs the session of examples/sma_cross_csv.py in a Dask worker
process. The SDK's state belongs to the process, so a process runs one session at a time:
without --scheduler the sweep starts a local cluster of --workers processes (default: one
per core) with one thread each and closes it at the end; with --scheduler it submits to
that running cluster, whose workers should have one thread each as well (`dask worker
ADDRESS --nthreads 1`; several threads only queue behind one another). The file's bytes
travel with the tasks, so the workers need no access to it; they need the project
installed with its examples extra (`pip install '.[examples]'`) and a `zv` (the real host
package, or `pip install ./host_package`), as the scheduler does.

A session that fails is reported in its entry with its error, and the others go on.
Ctrl-C cancels the sessions that have not run and reports those that have. An unusable
--json or --report path, or a scheduler that cannot be reached, is refused before any
session runs; the results are written first, so a report that fails loses none. --json writes
`results`, one entry per pair (fast, slow, final_equity, trades, the report's statistics,
error); --report DIR adds results.csv and heat maps of the final equity and the Sharpe
ratio over the grid.
"""
from __future__ import annotations

import argparse
import csv
import json
import logging
import math
import os
import signal
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
# The modules every worker imports to run a session, in the order they import each other.
SESSION_MODULES = ["backtest_report.py", "session_control.py", "sma_cross_csv.py"]
# How long to wait for a --scheduler to answer before giving up.
SCHEDULER_TIMEOUT = "10s"


class SchedulerError(RuntimeError):
    """The cluster named by --scheduler cannot be reached."""


def run_pair(file_name: str, data: bytes | None, read_error: str | None, fast: int, slow: int,
             cash: float, commission: float, adjusted: bool = False) -> dict[str, Any]:
    """One session in a worker, from the file's bytes; its result entry, or its error."""
    entry: dict[str, Any] = {"fast": fast, "slow": slow}
    if data is None:
        return {**entry, "error": read_error}
    import sma_cross_csv  # uploaded to every worker by the client
    from backtest_report import STAT_KEYS
    from session_control import SessionError

    try:
        with tempfile.TemporaryDirectory(prefix="sweep-") as folder:
            path = Path(folder) / file_name
            path.write_bytes(data)
            result = sma_cross_csv.run_session(path, fast, slow, cash, commission, adjusted=adjusted)
    except SessionError as exc:
        return {**entry, "error": str(exc)}
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


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("file", metavar="FILE.csv", help="one symbol's bars; the symbol is the file's stem")
    p.add_argument("--fast", type=int_list, required=True, help="fast lengths, e.g. 5,10,20")
    p.add_argument("--slow", type=int_list, required=True, help="slow lengths, e.g. 20,30,50")
    p.add_argument("--cash", type=float, default=10_000.0, help="starting cash")
    p.add_argument("--commission", type=float, default=0.002, help="commission ratio of the traded amount")
    p.add_argument("--adjusted", action="store_true",
                   help="trade on the prices of the file's Adj Close column")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="worker processes of the local cluster (default: the number of cores)")
    p.add_argument("--json", metavar="OUT.json", required=True, help="write the results here")
    p.add_argument("--report", metavar="DIR", help="write results.csv and the heat maps here")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.workers < 1:
        p.error("--workers must be at least 1")
    from session_control import check_output_paths

    check_output_paths(p, args)
    return args


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


def sweep(args: argparse.Namespace, pairs: list[tuple[int, int]], client: Any,
          cluster: Any) -> tuple[list[dict[str, Any]], bool]:
    """Runs the pairs on the client's cluster, which it closes; returns their entries in
    grid order and whether Ctrl-C cut it short."""
    from distributed import as_completed

    from session_control import Progress

    try:
        data: bytes | None = Path(args.file).read_bytes()
        read_error = None
    except OSError as exc:
        data, read_error = None, f"cannot read {args.file}: {exc}"
    entries: dict[tuple[int, int], dict[str, Any]] = {}
    interrupted = False
    try:
        for name in SESSION_MODULES:
            client.upload_file(str(HERE / name))
        shared = client.scatter(data, broadcast=True) if data is not None else None
        futures = {client.submit(run_pair, Path(args.file).name, shared, read_error, fast, slow,
                                 args.cash, args.commission, args.adjusted, pure=False): (fast, slow)
                   for fast, slow in pairs}
        progress = Progress(len(futures), "session", "sweep", enabled=not args.quiet)
        try:
            for future in as_completed(futures):
                fast, slow = futures[future]
                if future.status == "finished":
                    entries[fast, slow] = future.result()
                elif future.status == "error":
                    # The task failed outside the session (its worker died, or it could not
                    # be unpacked there).
                    entries[fast, slow] = {"fast": fast, "slow": slow, "error": repr(future.exception())}
                else:
                    entries[fast, slow] = {"fast": fast, "slow": slow, "error": future.status}
                progress.advance_to(len(entries))
        except KeyboardInterrupt:
            interrupted = True
            client.cancel([f for f, pair in futures.items() if pair not in entries])
        finally:
            progress.close()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    results = [entries.get(pair, {"fast": pair[0], "slow": pair[1], "error": "canceled"}) for pair in pairs]
    return results, interrupted


def number(value: Any, spec: str) -> str:
    return "n/a" if value is None else format(value, spec)


def write_report(folder: Path, results: list[dict[str, Any]], title: str,
                 fasts: list[int] | None = None, slows: list[int] | None = None) -> None:
    """Writes results.csv and the heat maps of the final equity and the Sharpe ratio into
    folder. The maps' grid is every fast and slow length of the results, and of fasts and
    slows when given (the lengths asked for, including those of no pair that ran)."""
    from backtest_report import STAT_KEYS

    folder.mkdir(parents=True, exist_ok=True)
    fields = ["fast", "slow", "final_equity", "trades", *STAT_KEYS, "error"]
    with open(folder / "results.csv", "w", newline="", encoding="utf-8") as out:
        rows = csv.DictWriter(out, fields, extrasaction="ignore")
        rows.writeheader()
        for entry in results:
            rows.writerow({k: "" if entry.get(k) is None else entry.get(k) for k in fields})
    heat_map(folder / "final_equity.png", results, "final_equity", "final equity", title, ",.0f",
             fasts, slows)
    heat_map(folder / "sharpe_ratio.png", results, "sharpe_ratio", "Sharpe ratio", title, ".2f",
             fasts, slows)


def heat_map(path: Path, results: list[dict[str, Any]], key: str, label: str, title: str, spec: str,
             fasts: list[int] | None = None, slows: list[int] | None = None) -> None:
    """A map of results' key over the (fast, slow) grid: a labelled colour bar, the best
    (highest) cell outlined, and the cells with no value told apart: fast >= slow (not
    run), a failed session, and a session whose value is undefined (n/a)."""
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch, Rectangle
    from matplotlib.ticker import FuncFormatter

    fast_axis = sorted({*(fasts or []), *(e["fast"] for e in results)})
    slow_axis = sorted({*(slows or []), *(e["slow"] for e in results)})
    by_pair = {(e["fast"], e["slow"]): e for e in results}
    grid = [[math.nan] * len(slow_axis) for _ in fast_axis]
    for (fast, slow), e in by_pair.items():
        if not e.get("error") and e.get(key) is not None:
            grid[fast_axis.index(fast)][slow_axis.index(slow)] = e[key]
    finite = [(v, i, j) for i, row in enumerate(grid) for j, v in enumerate(row) if not math.isnan(v)]
    fig, ax = plt.subplots(figsize=(2.4 + 1.3 * len(slow_axis), 2.4 + 0.8 * len(fast_axis)))
    try:
        image = ax.imshow(grid, cmap="viridis", aspect="auto", origin="lower")
        if finite:  # with no value, a colour bar would only show a meaningless scale
            fig.colorbar(image, ax=ax, label=label, format=FuncFormatter(lambda v, _: format(v, spec)))
        ax.set_xticks(range(len(slow_axis)), [str(s) for s in slow_axis])
        ax.set_yticks(range(len(fast_axis)), [str(f) for f in fast_axis])
        ax.set_xlabel("slow (bars)")
        ax.set_ylabel("fast (bars)")
        ax.set_title(f"{label}: {title}", fontsize=10)
        low = min(v for v, _, _ in finite) if finite else 0.0
        high = max(v for v, _, _ in finite) if finite else 0.0
        middle = (low + high) / 2
        kinds: set[str] = set()
        for i, fast in enumerate(fast_axis):
            for j, slow in enumerate(slow_axis):
                value, entry = grid[i][j], by_pair.get((fast, slow))
                if not math.isnan(value):
                    ax.text(j, i, format(value, spec), ha="center", va="center", fontsize=9,
                            color="black" if value > middle else "white")
                    continue
                if entry is None:
                    kind, text = ("excluded", "not run") if fast >= slow else ("missing", "no result")
                elif entry.get("error"):
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
    pairs = [(f, s) for f in args.fast for s in args.slow if f < s]
    if not pairs:
        print("no pair with fast < slow", file=sys.stderr)
        return 2
    try:
        client, cluster = connect(args)
    except SchedulerError as exc:
        print(exc, file=sys.stderr)
        return 2
    results, interrupted = sweep(args, pairs, client, cluster)
    # What ran is written before anything that could still fail: the table, the report.
    failed_steps = 0
    try:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({"file": args.file, "cash": args.cash, "commission": args.commission,
                       "adjusted": args.adjusted, "results": results}, out, indent=1)
            out.write("\n")
    except OSError as exc:
        print(f"cannot write {args.json}: {exc}", file=sys.stderr)
        failed_steps += 1
    failed = [e for e in results if e.get("error")]
    print(f"Sweep of {Path(args.file).name}: {len(results)} sessions, {len(results) - len(failed)} ran"
          + (" (interrupted)" if interrupted else ""))
    print(f"  {'fast':>5} {'slow':>5} {'final equity':>14} {'trades':>7} {'return':>9} {'Sharpe':>7}")
    for e in results:
        if e.get("error"):
            print(f"  {e['fast']:>5} {e['slow']:>5}  error: {e['error']}")
        else:
            print(f"  {e['fast']:>5} {e['slow']:>5} {e['final_equity']:>14,.2f} {e['trades']:>7}"
                  f" {e['total_return']:>+9.2%} {number(e['sharpe_ratio'], '>7.2f')}")
    if args.report:
        try:
            write_report(Path(args.report), results, Path(args.file).name, args.fast, args.slow)
            print(f"  report: {args.report}/final_equity.png, sharpe_ratio.png, results.csv")
        except (OSError, ImportError) as exc:
            print(f"cannot write the report into {args.report}: {exc}", file=sys.stderr)
            failed_steps += 1
    if interrupted:
        return 130
    return 1 if failed or failed_steps else 0


if __name__ == "__main__":
    sys.exit(main())
