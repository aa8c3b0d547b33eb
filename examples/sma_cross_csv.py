"""A long-only SMA crossover replayed on the bars of one CSV file.

    python examples/sma_cross_csv.py FILE.csv --fast 10 --slow 20 --cash 10000
        --commission 0.002 --json OUT.json [--report DIR] [--quiet]

FILE.csv holds one symbol's bars (`Date,Open,High,Low,Close,Volume`, dates or
`YYYY-MM-DD HH:MM:SS` times); the symbol is the file's stem. The stand-in SDK's simulated
session replays them through c_sdk, and the strategy trades on these rules:

- the simple moving averages of the closes over the last --fast and --slow bars;
- enter when the fast one crosses above the slow one (on the previous bar fast < slow, on
  this bar fast > slow), exit when it crosses below; signals on each bar's close;
- market orders, filled at the next bar's open; an entry buys as many whole shares as
  the cash covers at the fill price, commission included (the order asks for more and
  the session cuts it at the fill); an exit sells the whole position;
- commission --commission of the traded amount on both legs, no slippage.

The run ends with a summary and the report's statistics; --json writes the final equity
(cash plus the position at the last close), the trades and the statistics; --report DIR
the equity chart, trades.csv and equity.csv. Ctrl-C stops the session and reports what
ran. run_session() is the same session as a function (the parameter sweep uses it).
"""
from __future__ import annotations

import argparse
import csv
import json
import math
import sys
import threading
from pathlib import Path
from typing import Any

import c_sdk

import session_control
from backtest_report import ReportData, report_files_line, report_lines, write_report
from session_control import Progress, StopOnInterrupt, exit_status, parse_crossover_args, run_state
from session_control import SessionError as SessionError  # sweep.py catches sma_cross_csv.SessionError

BUY, SELL = 1, 2
MARKET = 2
# The SDK keeps one session per process: sessions started from several threads (a Dask
# worker with more than one thread) take turns.
_session_lock = threading.Lock()


def check(status: int, what: str) -> None:
    """session_control.check; this script's message has the ": " after the SDK's text
    even when no detail follows."""
    session_control.check(status, what, always_detail=True)


def query(fn: Any, request: dict[str, Any], what: str) -> Any:
    status, body = fn(json.dumps(request).encode())
    check(status, what)
    return json.loads(body) if body else {}


def scan_file(path: Path) -> tuple[str, str, int, bool]:
    """The first and last bar times, the number of bars and whether they are daily."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = csv.reader(f)
            next(rows, None)  # the header
            first = last = ""
            count = 0
            daily = True
            for row in rows:
                if not row or not row[0].strip():
                    continue
                last = row[0].strip()
                first = first or last
                count += 1
                daily = daily and (len(last) == 10 or last.endswith("00:00:00"))
    except (OSError, UnicodeDecodeError, csv.Error) as exc:
        raise SessionError(f"cannot read {path}: {exc}") from None
    if not count:
        raise SessionError(f"{path} holds no bars")
    return first, last, count, daily


def sma(closes: list[float], n: int, back: int = 0) -> float:
    """The mean of n closes ending `back` bars before the last, its sum correctly rounded."""
    end = len(closes) - back
    return math.fsum(closes[end - n:end]) / n


def reset_standin() -> None:
    """A fresh stand-in for each session: nothing carries over from an earlier one."""
    try:
        import zvsdk_standin
    except ImportError:  # built against the vendor's library
        return
    zvsdk_standin.StandIn().reset()


class CrossSession:
    def __init__(self, symbol: str, frequency: str, fast: int, slow: int, progress: Progress,
                 report: ReportData) -> None:
        self.symbol, self.frequency, self.fast, self.slow = symbol, frequency, fast, slow
        self.progress = progress
        self.report = report  # the bars, equity samples and fills, for the report
        self.closes: list[float] = []
        self.position = 0
        self.bars = 0
        self.events = 0
        self.orders = 0
        self.finished = False
        self.errors: list[str] = []

    def on_event(self, name: str, payload: bytes) -> None:
        self.events += 1
        try:
            if name == "bar":
                self.on_bar(json.loads(payload))
            elif name == "execution_report":
                fill = json.loads(payload)
                self.report.add_fill(fill)
                self.position += fill["volume"] if fill["side"] == BUY else -fill["volume"]
            elif name == "init":
                check(c_sdk.py_zvi_subscribe(self.symbol.encode(), self.frequency.encode(), False),
                      "py_zvi_subscribe")
            elif name == "backtest_finished":
                self.finished = True
        except SessionError as exc:
            # Stop at the first failure: a session that cannot trade as told is no result.
            self.errors.append(str(exc))
            c_sdk.py_zvi_stop()

    def on_bar(self, bar: dict[str, Any]) -> None:
        self.bars += 1
        closes = self.closes
        closes.append(bar["close"])
        if len(closes) > self.slow:
            fast_before, slow_before = sma(closes, self.fast, 1), sma(closes, self.slow, 1)
            fast_now, slow_now = sma(closes, self.fast), sma(closes, self.slow)
            if fast_before < slow_before and fast_now > slow_now and self.position == 0:
                self.buy_all(bar["close"])
            elif fast_before > slow_before and fast_now < slow_now and self.position > 0:
                self.place(SELL, self.position)
        n = len(closes)
        self.report.add_bar(self.symbol, bar["eob"], bar["close"], {
            f"SMA({self.fast})": sma(closes, self.fast) if n >= self.fast else None,
            f"SMA({self.slow})": sma(closes, self.slow) if n >= self.slow else None})
        cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
        self.report.add_sample(bar["eob"], cash["nav"], self.position > 0)
        self.progress.advance_to(self.bars)

    def buy_all(self, close: float) -> None:
        # Twice what the cash buys at this close: the session cuts the order at its fill
        # price (the next open) to the whole shares the cash covers, commission included.
        cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")["available"]
        volume = int(cash / close * 2)
        if volume > 0:
            self.place(BUY, volume)

    def place(self, side: int, volume: int) -> None:
        order = {"symbol": self.symbol, "side": side, "order_type": MARKET, "volume": volume}
        query(c_sdk.py_zvi_place_order, order, "py_zvi_place_order")
        self.orders += 1


def ignore_event(name: str, payload: bytes) -> None:
    pass


def run_session(path: str | Path, fast: int, slow: int, cash: float, commission: float,
                progress: bool = False, report_dir: str | Path | None = None) -> dict[str, Any]:
    """Runs the crossover on one CSV file and returns its result (what --json writes).

    Raises SessionError when the session cannot be set up or trade as told."""
    with _session_lock:
        return _run_session(Path(path), fast, slow, cash, commission, progress, report_dir)


def _run_session(path: Path, fast: int, slow: int, cash: float, commission: float,
                 progress: bool, report_dir: str | Path | None) -> dict[str, Any]:
    if not 0 < fast < slow:
        raise SessionError(f"need 0 < fast < slow, not fast {fast}, slow {slow}")
    if not cash > 0 or not 0 <= commission < 1:
        raise SessionError(f"need cash > 0 and 0 <= commission < 1, not {cash}, {commission}")
    first, last, count, daily = scan_file(path)
    reset_standin()
    # ';' separates the address's settings, so a path holding one cannot be named.
    if ";" in str(path.resolve()):
        raise SessionError(f"{path}: a data path cannot contain ';'")
    c_sdk.py_zvi_set_serv_addr(f"sim:data={path.resolve()}".encode())
    c_sdk.py_zvi_set_strategy_id(b"sma-cross")
    status = c_sdk.py_zvi_set_backtest_config(
        first[:10].encode(), last[:10].encode(), cash, transaction_ratio=0.0,
        commission_ratio=commission, commission_unit=0.0, slippage_ratio=0.0,
        option_float_margin_ratio1=0.0, option_float_margin_ratio2=0.0, adjust=0,
        match_mode=0, check_cache=0)
    check(status, "py_zvi_set_backtest_config")

    bar = Progress(count, "bar", path.stem, enabled=progress)
    report = ReportData([path.stem], cash, commission=commission, strategy=f"SMA({fast}) x SMA({slow})",
                        daily=daily)
    session = CrossSession(path.stem, "1d" if daily else frequency_of(path), fast, slow, bar, report)
    c_sdk.py_zvi_set_data_callback(session.on_event)
    try:
        with StopOnInterrupt() as interrupt:
            run_status = c_sdk.py_zvi_run()
    finally:
        bar.close()
        c_sdk.py_zvi_set_data_callback(ignore_event)  # let the session go
    if session.errors:
        raise SessionError(session.errors[0])

    account = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
    report.finish(account["nav"], session.position > 0)
    trades = report.trades
    stats = report.statistics(account["cum_commission"])
    if report_dir is not None:
        write_report(Path(report_dir), report)
    return {
        "symbol": path.stem,
        "fast": fast,
        "slow": slow,
        "cash": cash,
        "commission": commission,
        "first_bar": first,
        "last_bar": last,
        "bars": session.bars,
        "events": session.events,
        "orders": session.orders,
        "run_status": run_status,
        "finished": session.finished,
        "interrupted": interrupt.interrupted,
        "final_equity": account["nav"],
        "trades": [{"entry_time": t.entry_time, "entry_price": t.entry_price, "size": t.size,
                    "exit_time": t.exit_time, "exit_price": t.exit_price if t.exit_time else None}
                   for t in trades],
        **stats,
    }


def frequency_of(path: Path) -> str:
    """The bar length of an intraday file: the smallest spacing of two bars on one day."""
    from datetime import datetime
    times = []
    with open(path, newline="", encoding="utf-8") as f:
        rows = csv.reader(f)
        next(rows, None)
        for row in rows:
            if row and row[0].strip():
                times.append(datetime.fromisoformat(row[0].strip()))
    gaps = [(b - a).total_seconds() for a, b in zip(times, times[1:]) if a.date() == b.date()]
    return f"{int(min(gaps))}s" if gaps else "1d"


def summary(result: dict[str, Any]) -> str:
    lines = [
        f"Backtest {result['symbol']} {result['first_bar']} .. {result['last_bar']}"
        f"  SMA({result['fast']}) x SMA({result['slow']})",
        f"  run status      {result['run_status']} ({run_state(result['finished'], result['interrupted'])})",
        f"  bars            {result['bars']:,} of {result['events']:,} events",
        f"  orders          {result['orders']}",
        f"  initial cash    {result['cash']:,.2f}",
        f"  final equity    {result['final_equity']:,.2f}",
    ]
    return "\n".join(lines + report_lines(result))


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("file", metavar="FILE.csv", help="one symbol's bars; the symbol is the file's stem")
    p.add_argument("--fast", type=int, default=10, help="fast moving-average length (bars)")
    p.add_argument("--slow", type=int, default=20, help="slow moving-average length (bars)")
    p.add_argument("--cash", type=float, default=10_000.0, help="starting cash")
    p.add_argument("--commission", type=float, default=0.002, help="commission ratio of the traded amount")
    p.add_argument("--json", metavar="OUT.json", help="write the result here")
    return parse_crossover_args(p, argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        result = run_session(args.file, args.fast, args.slow, args.cash, args.commission,
                             progress=not args.quiet, report_dir=args.report)
    except SessionError as exc:
        print(exc, file=sys.stderr)
        return 2
    print(summary(result))
    if args.report:
        print(report_files_line(args.report))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(result, out, indent=1)
            out.write("\n")
    return exit_status(result["run_status"], result["finished"], result["interrupted"])


if __name__ == "__main__":
    sys.exit(main())
