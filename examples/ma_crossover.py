"""A moving-average crossover strategy run as a simulated backtest session.

Everything goes through c_sdk the way the host package drives it: the session is
configured, the event handler registered, market data subscribed, and py_zvi_run
replays the period, calling the handler for every event. Bars and ticks are wrapped in
the record classes; every status is judged with c_status_ok / c_status_fail.

    python examples/ma_crossover.py [--start 2024-01-02] [--end 2024-01-31]
        [--symbols SHSE.600000,SZSE.000001] [--seed 7] [--fast 10] [--slow 30]

The stand-in SDK answers with a deterministic simulation, so the same options print
the same session, line for line.
"""
from __future__ import annotations

import argparse
import json
import sys
from collections import Counter, deque
from dataclasses import dataclass, field
from typing import Any, Callable, ClassVar

import c_sdk

BUY, SELL = 1, 2
LIMIT, MARKET = 1, 2
FINAL_STATUSES = {3: "filled", 5: "canceled", 8: "rejected"}


class SessionError(RuntimeError):
    pass


def sdk_error(status: int) -> str:
    """The SDK's text for a failed status, with its detail when it gives one."""
    text = c_sdk.py_zvi_strerror(status).decode("utf-8", "replace")
    detail = c_sdk.py_zvi_get_ext_errormsg().decode("utf-8", "replace")
    return f"{text}: {detail}" if detail else text


def check(status: int, what: str) -> None:
    """Raises when an SDK call failed; c_status_fail also logs it to the host logger."""
    if c_sdk.c_status_fail(status, what):
        raise SessionError(f"{what} failed with status {status} ({sdk_error(status)})")


def query(fn: Callable[[Any], tuple[int, bytes | None]], request: dict[str, Any], what: str) -> Any:
    status, body = fn(json.dumps(request))
    check(status, what)
    return json.loads(body) if body else {}


def money(value: float) -> str:
    return f"{value:,.2f}"


@dataclass
class SymbolState:
    closes: deque[float]
    last_price: float = 0.0
    fast_above: bool | None = None


@dataclass
class Strategy:
    symbols: list[str]
    frequency: str
    fast: int
    slow: int
    budget: float  # cash committed per entry
    order_timeout: int  # bars a limit order may stay open before it is canceled
    progress: bool
    state: dict[str, SymbolState] = field(default_factory=dict)
    events: Counter[str] = field(default_factory=Counter)
    open_orders: dict[str, int] = field(default_factory=dict)  # order id -> bars left
    orders_placed: int = 0
    cancels_sent: int = 0
    fills: int = 0
    filled_volume: int = 0
    bars_seen: int = 0
    finished: bool = False
    handler_errors: int = 0

    def __post_init__(self) -> None:
        for symbol in self.symbols:
            self.state[symbol] = SymbolState(deque(maxlen=self.slow))

    # ---- the event handler ----

    def on_event(self, name: str, payload: bytes) -> None:
        self.events[name] += 1
        handler = self.handlers.get(name)
        if handler is None:
            return
        try:
            handler(self, json.loads(payload))
        except SessionError as exc:
            # The bridge would print and swallow it; count it and say so ourselves.
            self.handler_errors += 1
            print(f"  ! {exc}", file=sys.stderr)

    def on_init(self, event: dict[str, Any]) -> None:
        symbols = ",".join(self.symbols)
        check(c_sdk.py_zvi_subscribe(symbols, self.frequency, False), "py_zvi_subscribe")
        check(c_sdk.py_zvi_subscribe(symbols, "tick", False), "py_zvi_subscribe")
        # A daily report shortly before the close.
        check(c_sdk.py_zvi_schedule("1d", "14:59:00"), "py_zvi_schedule")

    def on_tick(self, event: dict[str, Any]) -> None:
        tick = c_sdk.TickLikeDict2(event)
        self.state[tick.symbol].last_price = tick.price

    def on_bar(self, event: dict[str, Any]) -> None:
        bar = c_sdk.BarLikeDict2(event)
        self.bars_seen += 1
        self.age_orders()
        st = self.state[bar.symbol]
        st.closes.append(bar.close)
        if len(st.closes) < self.slow:
            return
        fast = sum(list(st.closes)[-self.fast:]) / self.fast
        slow = sum(st.closes) / self.slow
        above = fast > slow
        crossed = st.fast_above is not None and above != st.fast_above
        st.fast_above = above
        if crossed and above:
            self.enter(bar.symbol, bar.close)
        elif crossed:
            self.exit(bar.symbol)

    def on_schedule(self, event: dict[str, Any]) -> None:
        if not self.progress:
            return
        cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
        total = sum(self.events.values())
        print(f"  {event['created_at'][:10]}  events {total:>9,}  orders {self.orders_placed:>4}"
              f"  fills {self.fills:>4}  nav {money(cash['nav']):>16}", file=sys.stderr)

    def on_execution_report(self, event: dict[str, Any]) -> None:
        self.fills += 1
        self.filled_volume += event["volume"]

    def on_order_status(self, event: dict[str, Any]) -> None:
        if event["status"] in FINAL_STATUSES:
            self.open_orders.pop(event["order_id"], None)

    def on_finished(self, event: dict[str, Any]) -> None:
        self.finished = True

    handlers: ClassVar[dict[str, Callable[[Strategy, dict[str, Any]], None]]] = {
        "init": on_init,
        "tick": on_tick,
        "bar": on_bar,
        "schedule": on_schedule,
        "execution_report": on_execution_report,
        "order_status": on_order_status,
        "backtest_finished": on_finished,
    }

    # ---- orders ----

    def place(self, symbol: str, side: int, volume: int, price: float | None) -> None:
        request: dict[str, Any] = {"symbol": symbol, "side": side, "volume": volume,
                                   "order_type": MARKET if price is None else LIMIT}
        if price is not None:
            request["price"] = price
        order = query(c_sdk.py_zvi_place_order, request, "py_zvi_place_order")
        self.orders_placed += 1
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
        self.cancels_sent += len(expired)
        if not c_sdk.c_status_ok(status):
            # An order may have filled meanwhile; its status event settles it.
            print(f"  ! cancel: {sdk_error(status)}", file=sys.stderr)


def configure(args: argparse.Namespace) -> None:
    c_sdk.py_zvi_set_serv_addr(f"sim:seed={args.seed}")
    c_sdk.py_zvi_set_strategy_id(b"ma-crossover")
    c_sdk.py_zvi_set_token(b"offline")
    status = c_sdk.py_zvi_set_backtest_config(
        args.start, args.end, args.cash,
        transaction_ratio=args.transaction_ratio, commission_ratio=args.commission,
        commission_unit=0.0, slippage_ratio=args.slippage, option_float_margin_ratio1=0.0,
        option_float_margin_ratio2=0.0, adjust=0, match_mode=0, check_cache=0)
    check(status, "py_zvi_set_backtest_config")


def summary(args: argparse.Namespace, strategy: Strategy, run_status: int) -> str:
    cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
    positions = query(c_sdk.py_zvi_get_positions, {}, "py_zvi_get_positions")["positions"]
    orders = query(c_sdk.py_zvi_get_orders, {}, "py_zvi_get_orders")["orders"]
    reports = query(c_sdk.py_zvi_get_execution_reports, {}, "py_zvi_get_execution_reports")
    fills = reports["execution_reports"]
    statuses = Counter(FINAL_STATUSES.get(o["status"], "open") for o in orders)
    lines = [
        f"Backtest {args.start} .. {args.end}  seed {args.seed}  symbols {', '.join(strategy.symbols)}",
        f"  strategy        MA({strategy.fast}) x MA({strategy.slow}) on {strategy.frequency} bars",
        f"  run status      {run_status} ({'finished' if strategy.finished else 'stopped early'})",
        f"  events          {sum(strategy.events.values()):,} ("
        + ", ".join(f"{name} {n:,}" for name, n in sorted(strategy.events.items())) + ")",
        f"  orders          {len(orders)} placed: "
        + ", ".join(f"{statuses[k]} {k}" for k in ("filled", "canceled", "rejected", "open")),
        f"  fills           {len(fills)}, {sum(f['volume'] for f in fills):,} shares,"
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
    p.add_argument("--quiet", action="store_true", help="no daily progress lines")
    args = p.parse_args(argv)
    if not 0 < args.fast < args.slow:
        p.error("need 0 < --fast < --slow")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    symbols = [s.strip() for s in args.symbols.split(",") if s.strip()]
    strategy = Strategy(symbols=symbols, frequency=args.frequency, fast=args.fast, slow=args.slow,
                        budget=args.cash / (2 * len(symbols)), order_timeout=args.order_timeout,
                        progress=not args.quiet)
    try:
        configure(args)
    except SessionError as exc:
        print(exc, file=sys.stderr)
        return 2
    c_sdk.py_zvi_set_data_callback(strategy.on_event)
    if not args.quiet:
        print(f"running {args.start} .. {args.end} on {', '.join(symbols)} (seed {args.seed})", file=sys.stderr)
    run_status = c_sdk.py_zvi_run()
    print(summary(args, strategy, run_status))
    return 0 if c_sdk.c_status_ok(run_status) and strategy.finished else 1


if __name__ == "__main__":
    sys.exit(main())
