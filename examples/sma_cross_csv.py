"""An SMA crossover, long-only or long/short, replayed on the bars of one CSV file.

    python examples/sma_cross_csv.py FILE.csv --fast 10 --slow 20 --cash 10000
        --commission 0.002 --json OUT.json [--long-short] [--stop-loss F]
        [--take-profit F] [--adjusted] [--report DIR] [--quiet]

FILE.csv holds one symbol's bars; the symbol is the file's stem. The stand-in SDK's
simulated session reads it (columns found by name in any order: a date or time, Open,
High, Low, Close, optional Volume and Adj Close; comma- or semicolon-separated; any bar
length; see docs/simulation.md) and replays it through c_sdk; the script asks the session
for the file's first and last bar and its bar length rather than reading it itself. The
strategy trades on these rules:

- the simple moving averages of the closes over the last --fast and --slow bars;
- enter when the fast one crosses above the slow one (on the previous bar fast < slow, on
  this bar fast > slow), exit when it crosses below; signals on each bar's close;
- market orders, filled at the next bar's open; an entry buys as many whole shares as
  the cash covers at the fill price, commission included (a market order for the
  available cash, which the session sizes at its fill, whatever the gap to the signal's
  close); an exit sells the whole position;
- with --long-short, every cross reverses: on a cross up close any short and buy, on a
  cross down close any long and sell short. Both orders fill at the next open, the
  close first (a symbol's orders fill oldest first), and the entry is an order for
  the whole margin available at its fill (equity_share 1: after the close, the
  equity), sized there at the fill price with commission to whole shares, as
  backtesting.py sizes its buy() and sell() without a size. This is backtesting.py's
  canonical SmaCross example;
- with --stop-loss F and --take-profit F, every entry carries exits at F from its fill
  price (the order's stop_loss_ratio/take_profit_ratio): a long's stop-loss at
  fill * (1 - F) and take-profit at fill * (1 + F), a short's the other way round. The
  session places them when the entry fills and watches them from the next price step
  (for an entry at a bar's open, from that bar's high on); one cancels the other, and a
  signal that closes the position cancels them first. After an exit the strategy stays
  flat until the next cross. A stop fills at its level, or at the open of a bar that
  gaps through it; a take-profit at its level, or at such an open;
- commission --commission of the traded amount on both legs, no slippage;
- with --adjusted, the prices of the file's Adj Close column (open, high and low scaled
  by Adj Close / Close); without it an Adj Close column is unused, and the run says so.

Against backtesting.py's sl/tp at the same fractions of the fill price the exits agree
trade for trade (tests/test_example.py checks it on GOOG), except where the two tools'
rules differ:
- a long whose stop-loss and take-profit both fall inside one bar (neither gapped
  through at the open): backtesting.py assumes the stop-loss came first; the session
  follows the bar's path, open, high, low, close, so the take-profit (reached on the
  way to the high) fills. For a short both take the stop-loss (the upper level);
- the entry's own bar: both watch it after the fill at the open, the session from the
  high on, backtesting.py over the bar's whole range with the stop-loss first as above;
- the levels: backtesting.py takes them as prices with the order, at the signal's close
  before the fill price is known (its comparison reads the next open ahead) and refuses
  a stop-loss on the wrong side of that close, which a gap at the next open beyond the
  fraction makes; the session sets them from the fill, gap or not.

The run ends with a summary and the report's statistics; --json writes the final equity
(cash plus the position at the last close), the trades and the statistics; --report DIR
the equity chart, trades.csv and equity.csv. An unusable --json or --report path is
refused before the session runs. Ctrl-C stops the session and reports what ran.
run_session() is the same session as a function (the parameter sweep uses it).
"""
from __future__ import annotations

import argparse
import gc
import json
import math
import sys
import threading
from collections import deque
from math import floor
from pathlib import Path
from typing import Any

import c_sdk
import msgspec

import session_control
from backtest_report import EquityPoint, ReportData, report_files_line, report_lines, time_text, write_report
from session_control import Progress, SessionError, StopOnInterrupt, exit_status, parse_crossover_args, run_state

BUY, SELL = 1, 2
MARKET = 2
OPEN, CLOSE = 1, 2  # position_effect: an order that may open a short; one that only reduces
# The share of the available margin a --long-short entry takes: all of it, commission
# included, as backtesting.py's buy() and sell() without a size do.
ENTRY_SHARE = 1.0
ORDER_OPEN = (1, 2)  # order statuses: new, partially filled
STOP_OUT = "stop-out"  # the cl_ord_id of the session's buy-back of shorts the equity no longer covers
# The SDK keeps one session per process: sessions started from several threads (a Dask
# worker with more than one thread) take turns.
_session_lock = threading.Lock()


def check(status: int, what: str) -> None:
    """session_control.check; this script's message has the ": " after the SDK's text
    even when no detail follows."""
    session_control.check(status, what, always_detail=True)


def query(fn: Any, request: dict[str, Any], what: str) -> Any:
    """An SDK call with a JSON request; its response decoded (msgspec: several times
    the speed of the json module, the same values)."""
    status, body = fn(msgspec.json.encode(request))
    check(status, what)
    return msgspec.json.decode(body) if body else {}


class Bar(msgspec.Struct, gc=False):  # two plain fields: no cycle for the collector to look for
    """What the strategy reads of a bar event; the payload's other fields are skipped."""
    eob: str
    close: float


decode_bar = msgspec.json.Decoder(Bar).decode


def sma(closes: list[float], n: int, back: int = 0) -> float:
    """The mean of n closes ending `back` bars before the last, its sum correctly rounded."""
    end = len(closes) - back
    return math.fsum(closes[end - n:end]) / n


def crossing(fast_before: float, slow_before: float, fast_now: float, slow_now: float) -> int:
    """1 when the fast average crossed above the slow one (before fast < slow, now fast >
    slow), -1 when it crossed below, else 0: an exact tie on either side is no cross."""
    if fast_before < slow_before and fast_now > slow_now:
        return 1
    if fast_before > slow_before and fast_now < slow_now:
        return -1
    return 0


def cross(closes: list[float], fast: int, slow: int) -> int:
    """crossing() at the last close (0 until there are slow + 1 closes)."""
    if len(closes) <= slow:
        return 0
    return crossing(sma(closes, fast, 1), sma(closes, slow, 1), sma(closes, fast), sma(closes, slow))


class MovingAverages:
    """The averages of the last `fast` and the last `slow` closes, in constant time a
    close, each the same float as sma(): math.fsum over its window, / n.

    The window sums are kept exact. Every float is an integer multiple of a power of two,
    so each close is held as an integer count of units of 2**-shift (shift grows, and the
    counts with it, when a close has finer bits than any before it), and a window's sum
    is the sum of its counts, in Python's unbounded integers. Reading it is correctly
    rounded, as math.fsum is: the same float, bit for bit, and so the same crossings, an
    exact tie included. It is read as the sum times the float 2**-shift, which is
    int / int's correctly rounded quotient at a fraction of its cost: int times float
    rounds the integer to the nearest float (ties to even), and scaling by a power of two
    is exact while the result stays a normal float, which it does for any nonzero sum
    while 2**-shift is normal (|sum| >= 1 unit). The finest units (shift >= 1000, step
    0.0) and a sum too large for a float take int / int."""

    def __init__(self, fast: int, slow: int) -> None:
        self.fast, self.slow = fast, slow
        self.counts: deque[int] = deque(maxlen=slow)  # the last `slow` closes, in units
        self.fast_sum = self.slow_sum = 0  # in units
        self.shift = 0
        self.unit = 1  # 2**shift: units in 1.0
        self.scale = 1.0  # the same as a float: a close times it is its count, when whole
        self.step = 1.0  # 2**-shift as a float (0.0 where only int / int is exact)

    def add(self, close: float) -> tuple[float | None, float | None]:
        """Adds a close; returns the fast and the slow average at it (None while there
        are fewer closes than its length)."""
        scaled = close * self.scale  # exact: a power of two
        count = floor(scaled) if scaled.is_integer() else self.count_finer(close)
        counts = self.counts
        if len(counts) == self.slow:  # both windows full: every close after the first `slow`
            self.fast_sum += count - counts[-self.fast]
            self.slow_sum += count - counts[0]
            counts.append(count)
            step = self.step
            if step:
                try:
                    return self.fast_sum * step / self.fast, self.slow_sum * step / self.slow
                except OverflowError:  # a sum past the float range, in units: int / int below
                    pass
        else:
            n = len(counts)
            self.fast_sum += count - (counts[-self.fast] if n >= self.fast else 0)
            self.slow_sum += count
            counts.append(count)
        n = len(counts)
        return (self.fast_sum / self.unit / self.fast if n >= self.fast else None,
                self.slow_sum / self.unit / self.slow if n >= self.slow else None)

    def count_finer(self, close: float) -> int:
        """The count of a close with finer bits than the unit (or one the float scale
        does not reach): the unit is made fine enough for it, every count rescaled."""
        numerator, denominator = close.as_integer_ratio()  # the denominator a power of two
        shift = denominator.bit_length() - 1
        if shift > self.shift:
            up = shift - self.shift
            self.counts = deque((c << up for c in self.counts), maxlen=self.slow)
            self.fast_sum <<= up
            self.slow_sum <<= up
            self.shift, self.unit = shift, 1 << shift
            self.scale = math.ldexp(1.0, shift) if shift < 1000 else math.inf
            # Past 2**-1000 a scaled sum could round again as a subnormal: int / int there.
            self.step = math.ldexp(1.0, -shift) if shift < 1000 else 0.0
        return numerator << (self.shift - shift)


def reset_standin() -> None:
    """A fresh stand-in for each session: nothing carries over from an earlier one."""
    try:
        import zvsdk_standin
    except ImportError:  # built against the vendor's library
        return
    zvsdk_standin.StandIn().reset()


class CrossSession:
    def __init__(self, symbol: str, frequency: str, fast: int, slow: int, progress: Progress,
                 report: ReportData, long_short: bool = False, stop_loss: float | None = None,
                 take_profit: float | None = None) -> None:
        self.symbol, self.frequency, self.fast, self.slow = symbol, frequency, fast, slow
        self.long_short = long_short
        # The exits every entry carries, as fractions of its fill price.
        self.exits: dict[str, float] = {}
        if stop_loss is not None:
            self.exits["stop_loss_ratio"] = stop_loss
        if take_profit is not None:
            self.exits["take_profit_ratio"] = take_profit
        self.open_exits: set[str] = set()  # ids of the attached exits still open
        self.progress = progress
        self.report = report  # the bars, equity samples and fills, for the report
        self.averages = MovingAverages(fast, slow)
        self.labels = f"SMA({fast})", f"SMA({slow})"  # the averages' names in the report
        self.before: tuple[float | None, float | None] = (None, None)  # the averages at the bar before
        self.position = 0  # signed: > 0 long, < 0 short
        # The balance, kept from the execution reports (each fill's amount and commission)
        # rather than asked for on every bar: the equity at a bar is it plus the position
        # at the bar's close, as the session values it.
        self.cash = report.initial_cash
        self.bars = 0
        self.last_bar: Bar | None = None
        self.events = 0
        self.orders = 0
        self.finished = False
        self.errors: list[str] = []

    def on_event(self, name: str, payload: bytes) -> None:
        self.events += 1
        try:
            if name == "bar":
                self.on_bar(decode_bar(payload))
            elif name == "execution_report":
                self.on_fill(msgspec.json.decode(payload))
            elif name == "order_status" and self.exits:
                order = msgspec.json.decode(payload)
                if order.get("parent_order_id"):  # an exit attached to an entry
                    if order["status"] in ORDER_OPEN:
                        self.open_exits.add(order["order_id"])
                    else:
                        self.open_exits.discard(order["order_id"])
            elif name == "init":
                check(c_sdk.py_zvi_subscribe(self.symbol.encode(), self.frequency.encode(), False),
                      "py_zvi_subscribe")
            elif name == "backtest_finished":
                self.finished = True
        except SessionError as exc:
            # Stop at the first failure: a session that cannot trade as told is no result.
            self.errors.append(str(exc))
            c_sdk.py_zvi_stop()

    def on_bar(self, bar: Bar) -> None:
        self.bars += 1
        close = bar.close
        fast_before, slow_before = self.before
        self.before = fast, slow = self.averages.add(close)
        if slow_before is not None:  # both averages defined on the bar before, so both now
            # crossing(), written out: this runs on every bar, a call costs a tenth of it.
            if fast_before < slow_before and fast > slow:  # type: ignore[operator]
                self.on_signal(1)
            elif fast_before > slow_before and fast < slow:  # type: ignore[operator]
                self.on_signal(-1)
        report = self.report
        if report.chart:  # the closes and the averages, for the chart
            report.add_bar(self.symbol, bar.eob, close, {self.labels[0]: fast, self.labels[1]: slow})
        elif self.bars == 1:  # without a chart the report keeps the first close and the last
            report.add_bar(self.symbol, bar.eob, close)  # (the last: after the run)
        self.last_bar = bar
        position = self.position
        # report.add_sample's work, without its call
        report.curve.append(EquityPoint(bar.eob, self.cash + position * close, position != 0))
        if self.progress.bar is not None:
            self.progress.advance_to(self.bars)

    def on_signal(self, signal: int) -> None:
        """The orders of a crossing: 1 up, -1 down."""
        if self.long_short:
            self.reverse(BUY if signal > 0 else SELL)
        elif signal > 0 and self.position == 0:
            self.buy_all()
        elif signal < 0 and self.position > 0:
            self.close_position()

    def on_fill(self, fill: dict[str, Any]) -> None:
        self.report.add_fill(fill)
        if fill["side"] == BUY:
            self.position += fill["volume"]
            self.cash -= fill["amount"] + fill["commission"]
        else:
            self.position -= fill["volume"]
            self.cash += fill["amount"] - fill["commission"]
        if fill["cl_ord_id"] == STOP_OUT:
            # A stop-out writes off what the balance cannot pay of the buy-back, which no
            # report says: the balance is asked for (after the session's last fill of the step).
            self.cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")["balance"]

    def buy_all(self) -> None:
        # An order for the available cash: the session sizes it at its fill price (the
        # next open) to the whole shares that cash covers, commission included.
        cash = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")["available"]
        if cash > 0:
            self.place(BUY, {"value": cash, **self.exits})

    def reverse(self, side: int) -> None:
        # Close what is held, then enter on `side` with a share of the equity available
        # when the entry fills: both fill at the next open, the close first, so the
        # entry is sized on the equity the close leaves.
        self.close_position()
        self.place(side, {"equity_share": ENTRY_SHARE, "position_effect": OPEN, **self.exits})

    def close_position(self) -> None:
        if self.open_exits:  # the exits of the position closed here go with it
            request = json.dumps({"order_ids": sorted(self.open_exits)}).encode()
            check(c_sdk.py_zvi_cancel_order(request), "py_zvi_cancel_order")
            self.open_exits.clear()
        if self.position:
            self.place(SELL if self.position > 0 else BUY,
                       {"volume": abs(self.position), "position_effect": CLOSE})

    def place(self, side: int, size: dict[str, Any]) -> None:
        order = {"symbol": self.symbol, "side": side, "order_type": MARKET, **size}
        query(c_sdk.py_zvi_place_order, order, "py_zvi_place_order")
        self.orders += 1


def ignore_event(name: str, payload: bytes) -> None:
    pass


def run_session(path: str | Path, fast: int, slow: int, cash: float, commission: float,
                progress: bool = False, report_dir: str | Path | None = None,
                adjusted: bool = False, long_short: bool = False, stop_loss: float | None = None,
                take_profit: float | None = None, fresh: bool = True) -> dict[str, Any]:
    """Runs the crossover on one CSV file and returns its result (what --json writes).

    Each session starts with a fresh stand-in; with fresh=False it keeps the bars an
    earlier session of this process read from the same path (the sweep's workers run
    many sessions on one file, which does not change under them) and drops only the
    subscriptions, the one thing that outlives a reconfiguration.

    Raises SessionError when the session cannot be set up or trade as told."""
    with _session_lock:
        return _run_session(Path(path), fast, slow, cash, commission, progress, report_dir, adjusted,
                            long_short, stop_loss, take_profit, fresh)


def strategy_label(fast: int, slow: int, long_short: bool, stop_loss: float | None,
                   take_profit: float | None) -> str:
    """e.g. "SMA(10) x SMA(20) long/short, stop-loss 2%, take-profit 5%"."""
    parts = [f"SMA({fast}) x SMA({slow})" + (" long/short" if long_short else "")]
    if stop_loss is not None:
        parts.append(f"stop-loss {stop_loss * 100:g}%")
    if take_profit is not None:
        parts.append(f"take-profit {take_profit * 100:g}%")
    return ", ".join(parts)


def exit_fraction_problem(name: str, value: float | None) -> str | None:
    if value is not None and not (0 < value < 1):
        return f"need 0 < {name} < 1, not {value}"
    return None


def file_info(path: Path) -> dict[str, Any]:
    """What the session read of the file: its bars, first and last bar time and bar length.
    A file it cannot read is a SessionError naming the file, the line and the fault."""
    if not path.is_file():
        raise SessionError(f"{path}: no such file")
    # ';' separates the address's settings, so a path holding one cannot be named.
    if ";" in str(path.resolve()):
        raise SessionError(f"{path}: a data path cannot contain ';'")
    c_sdk.py_zvi_set_serv_addr(f"sim:data={path.resolve()}".encode())
    status, body = c_sdk.py_zvi_get_symbol_infos(json.dumps({"symbols": [path.stem]}).encode())
    if not c_sdk.c_status_ok(status):
        # The reader's own words ("<file>, line <n>: <what is wrong>"), without the SDK's
        # function name and status.
        detail = c_sdk.py_zvi_get_ext_errormsg().decode("utf-8", "replace")
        raise SessionError(detail.split(": ", 1)[1] if detail.startswith("zvi_") and ": " in detail
                           else detail or f"{path}: cannot be read")
    info: dict[str, Any] = json.loads(body or b"{}")["symbol_infos"][0]
    return info


def _run_session(path: Path, fast: int, slow: int, cash: float, commission: float,
                 progress: bool, report_dir: str | Path | None, adjusted: bool, long_short: bool,
                 stop_loss: float | None, take_profit: float | None, fresh: bool = True) -> dict[str, Any]:
    if not 0 < fast < slow:
        raise SessionError(f"need 0 < fast < slow, not fast {fast}, slow {slow}")
    if not cash > 0 or not 0 <= commission < 1:
        raise SessionError(f"need cash > 0 and 0 <= commission < 1, not {cash}, {commission}")
    for name, value in [("stop_loss", stop_loss), ("take_profit", take_profit)]:
        problem = exit_fraction_problem(name, value)
        if problem:
            raise SessionError(problem)
    if fresh:
        reset_standin()
    else:
        check(c_sdk.py_zvi_unsubscribe(b"*", b"*"), "py_zvi_unsubscribe")
    info = file_info(path)
    if adjusted and not info["adj_close"]:
        raise SessionError(f"{path}: --adjusted needs an Adj Close column")
    notes = []
    if info["adj_close"] and not adjusted:
        notes.append("the file's Adj Close column is unused (--adjusted trades on it)")
    first, last = info["first_bar"], info["last_bar"]
    daily = info["frequency"] == "1d" and first.endswith(" 00:00:00") and last.endswith(" 00:00:00")
    c_sdk.py_zvi_set_strategy_id(b"sma-cross")
    status = c_sdk.py_zvi_set_backtest_config(
        first.encode(), last.encode(), cash, transaction_ratio=0.0,
        commission_ratio=commission, commission_unit=0.0, slippage_ratio=0.0,
        option_float_margin_ratio1=0.0, option_float_margin_ratio2=0.0, adjust=int(adjusted),
        match_mode=0, check_cache=0)
    check(status, "py_zvi_set_backtest_config")

    bar = Progress(info["bars"], "bar", path.stem, enabled=progress)
    report = ReportData([path.stem], cash, commission=commission, daily=daily, chart=report_dir is not None,
                        strategy=strategy_label(fast, slow, long_short, stop_loss, take_profit))
    session = CrossSession(path.stem, info["frequency"], fast, slow, bar, report, long_short,
                           stop_loss, take_profit)
    c_sdk.py_zvi_set_data_callback(session.on_event)
    # What a session keeps (a sample a bar, trades, closes) holds no reference cycle: the
    # cyclic collector, which would walk every object of the process again and again as
    # the samples pile up, waits until the run is over.
    collecting = gc.isenabled()
    gc.disable()
    try:
        with StopOnInterrupt() as interrupt:
            run_status = c_sdk.py_zvi_run()
    finally:
        if collecting:
            gc.enable()
        bar.close()
        c_sdk.py_zvi_set_data_callback(ignore_event)  # let the session go
    if session.errors:
        raise SessionError(session.errors[0])

    final_bar = session.last_bar
    if not report.chart and final_bar is not None and session.bars > 1:
        report.add_bar(path.stem, final_bar.eob, final_bar.close)
    account = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
    report.finish(account["nav"], session.position != 0)
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
        "adjusted": adjusted,
        "long_short": long_short,
        "stop_loss": stop_loss,
        "take_profit": take_profit,
        "first_bar": time_text(first, daily),
        "last_bar": time_text(last, daily),
        "frequency": info["frequency"],
        "bars": session.bars,
        "events": session.events,
        "orders": session.orders,
        "run_status": run_status,
        "finished": session.finished,
        "interrupted": interrupt.interrupted,
        "notes": notes,
        "final_equity": account["nav"],
        "trades": [{"entry_time": t.entry_time, "entry_price": t.entry_price, "size": t.size,
                    "exit_time": t.exit_time, "exit_price": t.exit_price if t.exit_time else None}
                   for t in trades],
        **stats,
    }


def summary(result: dict[str, Any]) -> str:
    lines = [
        f"Backtest {result['symbol']} {result['first_bar']} .. {result['last_bar']}  "
        + strategy_label(result["fast"], result["slow"], result["long_short"], result["stop_loss"],
                         result["take_profit"])
        + f" on {result['frequency']} bars" + (", adjusted" if result["adjusted"] else ""),
        f"  run status      {result['run_status']} ({run_state(result['finished'], result['interrupted'])})",
        f"  bars            {result['bars']:,} of {result['events']:,} events",
        f"  orders          {result['orders']}",
        f"  initial cash    {result['cash']:,.2f}",
        f"  final equity    {result['final_equity']:,.2f}",
        *(f"  note            {note}" for note in result["notes"]),
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
    p.add_argument("--adjusted", action="store_true",
                   help="trade on the prices of the file's Adj Close column")
    p.add_argument("--long-short", action="store_true",
                   help="reverse on every cross: long after a cross up, short after a cross down")
    p.add_argument("--stop-loss", type=float, metavar="F",
                   help="attach to every entry a stop-loss F (a fraction) from its fill price")
    p.add_argument("--take-profit", type=float, metavar="F",
                   help="attach to every entry a take-profit F (a fraction) from its fill price")
    args = parse_crossover_args(p, argv)
    for name in ("stop_loss", "take_profit"):
        problem = exit_fraction_problem("--" + name.replace("_", "-"), getattr(args, name))
        if problem:
            p.error(problem)
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        result = run_session(args.file, args.fast, args.slow, args.cash, args.commission,
                             progress=not args.quiet, report_dir=args.report, adjusted=args.adjusted,
                             long_short=args.long_short, stop_loss=args.stop_loss,
                             take_profit=args.take_profit)
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
