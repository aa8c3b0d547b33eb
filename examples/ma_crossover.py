"""A moving-average crossover strategy run as a simulated backtest session.

Everything goes through c_sdk the way the host package drives it: the session is
configured, the event handler registered, market data subscribed, and py_zvi_run
replays the period, calling the handler for every event. Bars are wrapped in the record
class BarLikeDict2; every status is judged with c_status_ok / c_status_fail.

    python examples/ma_crossover.py [--start 2024-01-02] [--end 2024-01-31]
        [--symbols SHSE.600000,SZSE.000001] [--seed 7] [--fast 10] [--slow 30]
        [--data FILE_OR_FOLDER] [--report DIR]

The stand-in SDK answers with a deterministic simulation, so the same options print
the same session, line for line. With --data it replays the bars of your CSV files
(one <SYMBOL>.csv per symbol) instead of generated prices. A progress bar runs on
standard error when it is a terminal; Ctrl-C stops the session and reports what ran.
"""
from __future__ import annotations

import argparse
import json
import sys
from collections import Counter, deque
from dataclasses import dataclass, field
from datetime import date
from pathlib import Path
from typing import Any, Callable

import c_sdk

from backtest_report import ReportData, report_files_line, report_lines, write_report
from session_control import (Progress, SessionError, StopOnInterrupt, check, exit_status, parse_crossover_args,
                             run_state, sdk_error)

try:  # msgspec decodes the payloads several times faster than json
    import msgspec
except ImportError:
    msgspec = None  # type: ignore[assignment]

BUY, SELL = 1, 2
LIMIT, MARKET = 1, 2
FINAL_STATUSES = {3: "filled", 5: "canceled", 8: "rejected"}


decode: Callable[[bytes], Any] = json.loads if msgspec is None else msgspec.json.Decoder().decode


def query(fn: Callable[[Any], tuple[int, bytes | None]], request: dict[str, Any], what: str) -> Any:
    status, body = fn(json.dumps(request))
    check(status, what)
    return decode(body) if body else {}


def money(value: float) -> str:
    return f"{value:,.2f}"


@dataclass
class SymbolState:
    closes: deque[float]
    fast_above: bool | None = None


@dataclass
class Strategy:
    symbols: list[str]
    frequency: str
    fast: int
    slow: int
    budget: float  # cash committed per entry
    order_timeout: int  # bars a limit order may stay open before it is canceled
    progress: Progress
    start_day: date
    ticks: bool
    report: ReportData  # the bars, equity samples and fills, for the report
    state: dict[str, SymbolState] = field(default_factory=dict)
    events: Counter[str] = field(default_factory=Counter)
    open_orders: dict[str, int] = field(default_factory=dict)  # order id -> bars left
    fills: int = 0
    filled_volume: int = 0
    finished: bool = False
    handler_errors: int = 0
    last_day: str = ""
    labels: tuple[str, str] = ("", "")
    # Event name -> (bound handler, payload decoder); not a class attribute, so that the
    # dataclass needs no ClassVar annotation (which it cannot resolve when the script runs
    # as another module's __main__, e.g. under python -m cProfile).
    handlers: dict[str, tuple[Callable[[Any], None], Callable[[bytes], Any]]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        for symbol in self.symbols:
            self.state[symbol] = SymbolState(deque(maxlen=self.slow))
        self.report.book.daily = self.frequency == "1d"
        self.labels = (f"MA({self.fast})", f"MA({self.slow})")  # the averages' names in the report
        # Ticks and schedule events have no handler: on_event only counts them.
        self.handlers = {
            "init": (self.on_init, decode),
            "bar": (self.on_bar, decode),
            "execution_report": (self.on_execution_report, decode),
            "order_status": (self.on_order_status, decode),
            "backtest_finished": (self.on_finished, decode),
        }

    # ---- the event handler ----

    def on_event(self, name: str, payload: bytes) -> None:
        self.events[name] += 1
        entry = self.handlers.get(name)
        if entry is None:
            return
        try:
            entry[0](entry[1](payload))
        except SessionError as exc:
            # The bridge would print and swallow it; count it and say so ourselves.
            self.handler_errors += 1
            print(f"  ! {exc}", file=sys.stderr)

    def on_init(self, event: dict[str, Any]) -> None:
        symbols = ",".join(self.symbols)
        check(c_sdk.py_zvi_subscribe(symbols, self.frequency, False), "py_zvi_subscribe")
        check(c_sdk.py_zvi_schedule("1d", "14:59:00"), "py_zvi_schedule")
        if self.ticks:  # bars from files come without ticks
            check(c_sdk.py_zvi_subscribe(symbols, "tick", False), "py_zvi_subscribe")

    def on_bar(self, event: dict[str, Any]) -> None:
        bar = c_sdk.BarLikeDict2(event)
        self.age_orders()
        self.sample(bar.eob)
        st = self.state[bar.symbol]
        st.closes.append(bar.close)
        n = len(st.closes)
        fast = sum(list(st.closes)[-self.fast:]) / self.fast if n >= self.fast else None
        slow = sum(st.closes) / self.slow if n >= self.slow else None
        self.report.add_bar(bar.symbol, bar.eob, bar.close, {self.labels[0]: fast, self.labels[1]: slow})
        if fast is None or slow is None:
            return
        above = fast > slow
        crossed = st.fast_above is not None and above != st.fast_above
        st.fast_above = above
        if crossed and above:
            self.enter(bar.symbol, bar.close)
        elif crossed:
            self.exit(bar.symbol)

    def sample(self, when: str) -> None:
        """One point of the equity curve per bar time; the progress bar counts days."""
        curve = self.report.curve
        if curve and curve[-1].time == when:
            return
        cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
        self.report.add_sample(when, cash["nav"], cash["market_value"] > 0)
        day = when[:10]
        if day != self.last_day:
            self.last_day = day
            self.progress.advance_to((date.fromisoformat(day) - self.start_day).days)

    def on_execution_report(self, event: dict[str, Any]) -> None:
        self.fills += 1
        self.filled_volume += event["volume"]
        self.report.add_fill(event)

    def on_order_status(self, event: dict[str, Any]) -> None:
        if event["status"] in FINAL_STATUSES:
            self.open_orders.pop(event["order_id"], None)

    def on_finished(self, event: dict[str, Any]) -> None:
        self.finished = True

    # ---- orders ----

    def place(self, symbol: str, side: int, volume: int, price: float | None) -> None:
        request: dict[str, Any] = {"symbol": symbol, "side": side, "volume": volume,
                                   "order_type": MARKET if price is None else LIMIT}
        if price is not None:
            request["price"] = price
        order = query(c_sdk.py_zvi_place_order, request, "py_zvi_place_order")
        if order["status"] not in FINAL_STATUSES:
            self.open_orders[order["order_id"]] = self.order_timeout

    def enter(self, symbol: str, close: float) -> None:
        volume = int(self.budget / close) // 100 * 100
        if volume > 0:  # a limit order at the bar's close: it may wait, or never fill
            self.place(symbol, BUY, volume, round(close, 2))

    def exit(self, symbol: str) -> None:
        positions = query(c_sdk.py_zvi_get_positions, {}, "py_zvi_get_positions")["positions"]
        for position in positions:
            if position["symbol"] == symbol and position["available"] > 0:
                self.place(symbol, SELL, position["available"], None)

    def age_orders(self) -> None:
        expired = []
        for order_id in self.open_orders:
            self.open_orders[order_id] -= 1
            if self.open_orders[order_id] <= 0:
                expired.append(order_id)
        if not expired:
            return
        for order_id in expired:
            self.open_orders[order_id] = 1 << 30  # until its cancel is confirmed
        request = json.dumps({"order_ids": expired})
        status = c_sdk.py_zvi_cancel_order(request.encode())
        if not c_sdk.c_status_ok(status):
            # An order may have filled meanwhile; its status event settles it.
            print(f"  ! cancel: {sdk_error(status)}", file=sys.stderr)


def configure(args: argparse.Namespace) -> None:
    address = f"sim:seed={args.seed}" + (f";data={args.data}" if args.data else "")
    c_sdk.py_zvi_set_serv_addr(address)
    c_sdk.py_zvi_set_strategy_id(b"ma-crossover")
    c_sdk.py_zvi_set_token(b"offline")
    status = c_sdk.py_zvi_set_backtest_config(
        args.start, args.end, args.cash,
        transaction_ratio=args.transaction_ratio, commission_ratio=args.commission,
        commission_unit=0.0, slippage_ratio=args.slippage, option_float_margin_ratio1=0.0,
        option_float_margin_ratio2=0.0, adjust=0, match_mode=0, check_cache=0)
    check(status, "py_zvi_set_backtest_config")


def summary(args: argparse.Namespace, strategy: Strategy, run_status: int, interrupted: bool) -> str:
    cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
    positions = query(c_sdk.py_zvi_get_positions, {}, "py_zvi_get_positions")["positions"]
    orders = query(c_sdk.py_zvi_get_orders, {}, "py_zvi_get_orders")["orders"]
    # The fills are counted as their events come: the list of every execution report of a
    # long session is large (a year of this strategy: about 80,000).
    statuses = Counter(FINAL_STATUSES.get(o["status"], "open") for o in orders)
    lines = [
        f"Backtest {args.start} .. {args.end}  seed {args.seed}  symbols {', '.join(strategy.symbols)}",
        f"  strategy        MA({strategy.fast}) x MA({strategy.slow}) on {strategy.frequency} bars",
        f"  run status      {run_status} ({run_state(strategy.finished, interrupted)})",
        f"  events          {sum(strategy.events.values()):,} ("
        + ", ".join(f"{name} {n:,}" for name, n in sorted(strategy.events.items())) + ")",
        f"  orders          {len(orders)} placed: "
        + ", ".join(f"{statuses[k]} {k}" for k in ("filled", "canceled", "rejected", "open")),
        f"  fills           {strategy.fills}, {strategy.filled_volume:,} shares,"
        f" commission {money(cash['cum_commission'])}",
        f"  initial cash    {money(cash['initial_cash'])}",
        f"  final cash      {money(cash['available'])} available, {money(cash['frozen'])} frozen",
        "  positions       " + ("none" if not positions else ""),
    ]
    for p in positions:
        lines.append(f"    {p['symbol']:<14}{p['volume']:>10,} @ {p['vwap']:>10.4f}  last {p['price']:>9.2f}"
                     f"  value {money(p['market_value']):>14}  unrealised {money(p['fpnl'])}")
    pnl = cash["pnl"]
    lines += [
        f"  net asset value {money(cash['nav'])}",
        f"  profit          {money(pnl)} ({pnl / cash['initial_cash']:+.2%})",
    ]
    if strategy.handler_errors:
        lines.append(f"  handler errors  {strategy.handler_errors}")
    report = strategy.report
    report.finish(cash["nav"], cash["market_value"] > 0)
    stats = report.statistics(cash["cum_commission"])
    lines += report_lines(stats)
    if args.report:
        write_report(Path(args.report), report)
        lines.append(report_files_line(args.report))
    return "\n".join(lines)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("--start", default="2024-01-02", help="first day (YYYY-MM-DD)")
    p.add_argument("--end", default="2024-01-31", help="last day (YYYY-MM-DD)")
    p.add_argument("--symbols", default="SHSE.600000,SZSE.000001", help="comma-separated symbols")
    p.add_argument("--seed", type=int, default=7, help="market data generator seed")
    p.add_argument("--frequency", default="60s", help="bar frequency, e.g. 60s, 300s, 1d")
    p.add_argument("--fast", type=int, default=10, help="fast moving-average length (bars)")
    p.add_argument("--slow", type=int, default=30, help="slow moving-average length (bars)")
    p.add_argument("--cash", type=float, default=1_000_000.0, help="starting cash")
    p.add_argument("--commission", type=float, default=0.0003, help="commission ratio of turnover")
    p.add_argument("--slippage", type=float, default=0.0001, help="slippage ratio")
    p.add_argument("--transaction-ratio", type=float, default=0.25,
                   help="share of each price step's volume an order may take")
    p.add_argument("--order-timeout", type=int, default=5, help="bars before an open limit order is canceled")
    p.add_argument("--data", help="replay the bars of this CSV file, or of this folder's <SYMBOL>.csv files")
    return parse_crossover_args(p, argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    symbols = [s.strip() for s in args.symbols.split(",") if s.strip()]
    try:
        configure(args)
    except SessionError as exc:
        print(exc, file=sys.stderr)
        return 2
    start, end = date.fromisoformat(args.start[:10]), date.fromisoformat(args.end[:10])
    progress = Progress((end - start).days + 1, "day", "backtest", enabled=not args.quiet)
    strategy = Strategy(symbols=symbols, frequency=args.frequency, fast=args.fast, slow=args.slow,
                        budget=args.cash / (2 * len(symbols)), order_timeout=args.order_timeout,
                        progress=progress, start_day=start, ticks=not args.data,
                        report=ReportData(symbols, args.cash, commission=args.commission,
                                          strategy=f"MA({args.fast}) x MA({args.slow}) on {args.frequency} bars"))
    c_sdk.py_zvi_set_data_callback(strategy.on_event)
    with StopOnInterrupt() as interrupt:
        # Said once Ctrl-C stops the session: whoever waits for this line may interrupt.
        if not args.quiet:
            print(f"running {args.start} .. {args.end} on {', '.join(symbols)} (seed {args.seed})",
                  file=sys.stderr)
        run_status = c_sdk.py_zvi_run()
    if strategy.finished:
        progress.advance_to((end - start).days + 1)
    progress.close()
    print(summary(args, strategy, run_status, interrupt.interrupted))
    return exit_status(run_status, strategy.finished, interrupt.interrupted)


if __name__ == "__main__":
    sys.exit(main())
