"""The SMA crossover on every symbol of a folder of CSV files, as one portfolio.

    python examples/portfolio_csv.py FOLDER --fast 10 --slow 20 --cash 10000
        --commission 0.002 [--json OUT.json] [--report DIR] [--adjusted] [--quiet]

FOLDER holds one CSV file per symbol, `<SYMBOL>.csv` (the layouts sma_cross_csv.py
reads; docs/simulation.md gives the format). The stand-in's simulated session replays
them all (`sim:data=FOLDER`) over the period from the first bar of any file to the last,
each symbol at its own bar length, and the strategy trades every symbol on the rules of
examples/sma_cross_csv.py (long-only: enter on a cross up of the fast average, exit on a
cross down, market orders at the next bar's open, commission on both legs).

Allocation: equal weights of the equity. Each of the N symbols has a slot of 1/N of the
portfolio. An entry signal sets its symbol to its weight: a market buy for 1/N of the
portfolio's equity at the signal's close (an order by value, sized at its fill at the
next open with commission, and never beyond the cash free then); an exit signal sets it
to nothing, selling the whole position. A signal trades only its own symbol: the other
positions are left as they are, so their weights drift with their prices between their
own signals. Cash never goes negative, so the positions' weights (market value / equity)
sum to at most 1. With one file, the portfolio is sma_cross_csv.py's session, trade for
trade.

The run prints the portfolio's summary and statistics (backtest_report.py defines them)
and a table per symbol: its trades, win rate, profit and commissions, and its slot's
return (its profit on 1/N of the initial cash). --json writes the portfolio's result
with every trade and, per symbol, the same statistics computed on its slot (1/N of the
initial cash plus its profit so far). --report DIR writes the portfolio's chart,
trades.csv and equity.csv (as sma_cross_csv.py does, with the prices of the first
symbols), symbols.csv (the per-symbol table), weights.csv (each symbol's weight and the
cash at every bar time) and symbols.png: each slot's equity next to the portfolio's, the
weights stacked with the cash, and each symbol's profit. An unusable --json or --report
path is refused before the session runs; Ctrl-C stops the session and reports what ran.
"""
from __future__ import annotations

import argparse
import csv
import json
import math
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import c_sdk

from backtest_report import (STAT_KEYS, EquityPoint, PriceSeries, ReportData, buy_and_hold_return,
                             close_curve, report_files_line, report_lines, statistics_of, time_text,
                             trade_record, write_report)
from session_control import Progress, SessionError, StopOnInterrupt, exit_status, parse_crossover_args, run_state
from sma_cross_csv import (BUY, CLOSE, MARKET, SELL, _session_lock, check, cross, ignore_event, query,
                           reset_standin, sma)


@dataclass
class Slot:
    """One symbol's part of the portfolio."""
    symbol: str
    frequency: str
    closes: list[float] = field(default_factory=list)
    position: int = 0
    flows: float = 0.0  # the cash its fills moved: sales less purchases less commissions
    commission: float = 0.0
    curve: list[EquityPoint] = field(default_factory=list)  # the slot's equity per sample
    market_values: list[float] = field(default_factory=list)  # its position's value per sample
    # At its last bar: its position's value at the close and the slot's equity. Kept
    # from there, because the fills at the next bar time's open come before that
    # time's first bar, where the sample is taken.
    value: float = 0.0
    equity: float = 0.0

    def mark(self, slot_cash: float) -> None:
        self.value = self.position * self.closes[-1] if self.position else 0.0
        self.equity = slot_cash + self.flows + self.value


class PortfolioSession:
    def __init__(self, slots: list[Slot], cash: float, fast: int, slow: int, progress: Progress,
                 report: ReportData) -> None:
        self.slots = {slot.symbol: slot for slot in slots}
        self.slot_cash = cash / len(slots)
        for slot in slots:
            slot.equity = self.slot_cash
        self.fast, self.slow = fast, slow
        self.progress = progress
        self.report = report
        self.instant: str | None = None  # the bar time being delivered
        self.nav = cash
        self.cash_samples: list[float] = []  # the account's balance per sample
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
                self.on_fill(json.loads(payload))
            elif name == "init":
                by_frequency: dict[str, list[str]] = {}
                for slot in self.slots.values():
                    by_frequency.setdefault(slot.frequency, []).append(slot.symbol)
                for frequency, symbols in by_frequency.items():
                    check(c_sdk.py_zvi_subscribe(",".join(symbols).encode(), frequency.encode(), False),
                          "py_zvi_subscribe")
            elif name == "backtest_finished":
                self.finished = True
        except SessionError as exc:
            self.errors.append(str(exc))
            c_sdk.py_zvi_stop()

    def on_fill(self, fill: dict[str, Any]) -> None:
        self.report.add_fill(fill)
        slot = self.slots[fill["symbol"]]
        if fill["side"] == BUY:
            slot.position += fill["volume"]
            slot.flows -= fill["amount"]
        else:
            slot.position -= fill["volume"]
            slot.flows += fill["amount"]
        slot.flows -= fill["commission"]
        slot.commission += fill["commission"]

    def on_bar(self, bar: dict[str, Any]) -> None:
        if bar["eob"] != self.instant:
            # The first bar of a bar time: every symbol's prices of that time are in the
            # account, and the bars of the time before are all delivered.
            self.sample_slots()
            self.instant = bar["eob"]
            account = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
            self.nav = account["nav"]
            self.cash_samples.append(account["balance"])
            self.report.add_sample(bar["eob"], self.nav, any(s.position for s in self.slots.values()))
        self.bars += 1
        slot = self.slots[bar["symbol"]]
        slot.closes.append(bar["close"])
        slot.mark(self.slot_cash)
        signal = cross(slot.closes, self.fast, self.slow)
        if signal > 0 and slot.position == 0:
            self.enter(slot)
        elif signal < 0 and slot.position > 0:
            self.place(slot, SELL, {"volume": slot.position, "position_effect": CLOSE})
        n = len(slot.closes)
        self.report.add_bar(slot.symbol, bar["eob"], bar["close"], {
            f"SMA({self.fast})": sma(slot.closes, self.fast) if n >= self.fast else None,
            f"SMA({self.slow})": sma(slot.closes, self.slow) if n >= self.slow else None})
        self.progress.advance_to(self.bars)

    def enter(self, slot: Slot) -> None:
        # Its weight: 1/N of the equity at this close, sized at the fill, never beyond
        # the cash free then.
        available = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")["available"]
        if available > 0:
            self.place(slot, BUY, {"value": self.nav / len(self.slots)})

    def place(self, slot: Slot, side: int, size: dict[str, Any]) -> None:
        order = {"symbol": slot.symbol, "side": side, "order_type": MARKET, **size}
        query(c_sdk.py_zvi_place_order, order, "py_zvi_place_order")
        self.orders += 1

    def sample_slots(self) -> None:
        """Each slot's equity and position value at the last bar time (the bars of one
        time come one symbol after the other, so a time's sample is taken at the next)."""
        if self.instant is None:
            return
        for slot in self.slots.values():
            slot.curve.append(EquityPoint(self.instant, slot.equity if slot.closes else self.slot_cash,
                                          slot.value != 0))
            slot.market_values.append(slot.value)


def folder_infos(folder: Path) -> list[dict[str, Any]]:
    """What the session read of every <SYMBOL>.csv in folder, by symbol. A file it cannot
    read is a SessionError naming the file, the line and the fault."""
    if not folder.is_dir():
        raise SessionError(f"{folder}: not a folder")
    if ";" in str(folder.resolve()):
        raise SessionError(f"{folder}: a data path cannot contain ';'")
    symbols = sorted(p.stem for p in folder.glob("*.csv") if p.is_file() and not p.name.startswith("."))
    if not symbols:
        raise SessionError(f"{folder}: no <SYMBOL>.csv file")
    c_sdk.py_zvi_set_serv_addr(f"sim:data={folder.resolve()}".encode())
    status, body = c_sdk.py_zvi_get_symbol_infos(json.dumps({"symbols": symbols}).encode())
    if not c_sdk.c_status_ok(status):
        detail = c_sdk.py_zvi_get_ext_errormsg().decode("utf-8", "replace")
        raise SessionError(detail.split(": ", 1)[1] if detail.startswith("zvi_") and ": " in detail
                           else detail or f"{folder}: cannot be read")
    infos: list[dict[str, Any]] = json.loads(body or b"{}")["symbol_infos"]
    return infos


def run_portfolio(folder: str | Path, fast: int, slow: int, cash: float, commission: float,
                  progress: bool = False, report_dir: str | Path | None = None,
                  adjusted: bool = False) -> dict[str, Any]:
    """Runs the crossover on every file of folder as one portfolio and returns its result
    (what --json writes). Raises SessionError when the session cannot be set up or trade
    as told."""
    with _session_lock:
        return _run_portfolio(Path(folder), fast, slow, cash, commission, progress, report_dir, adjusted)


def _run_portfolio(folder: Path, fast: int, slow: int, cash: float, commission: float, progress: bool,
                   report_dir: str | Path | None, adjusted: bool) -> dict[str, Any]:
    if not 0 < fast < slow:
        raise SessionError(f"need 0 < fast < slow, not fast {fast}, slow {slow}")
    if not cash > 0 or not 0 <= commission < 1:
        raise SessionError(f"need cash > 0 and 0 <= commission < 1, not {cash}, {commission}")
    reset_standin()
    infos = folder_infos(folder)
    if adjusted:
        missing = [i["symbol"] for i in infos if not i["adj_close"]]
        if missing:
            raise SessionError(f"{folder}: --adjusted needs an Adj Close column, which "
                               f"{', '.join(missing)} lack")
    first = min(i["first_bar"] for i in infos)
    last = max(i["last_bar"] for i in infos)
    daily = all(i["frequency"] == "1d" for i in infos) and first.endswith(" 00:00:00") \
        and last.endswith(" 00:00:00")
    c_sdk.py_zvi_set_strategy_id(b"sma-portfolio")
    status = c_sdk.py_zvi_set_backtest_config(
        first.encode(), last.encode(), cash, transaction_ratio=0.0,
        commission_ratio=commission, commission_unit=0.0, slippage_ratio=0.0,
        option_float_margin_ratio1=0.0, option_float_margin_ratio2=0.0, adjust=int(adjusted),
        match_mode=0, check_cache=0)
    check(status, "py_zvi_set_backtest_config")

    symbols = [i["symbol"] for i in infos]
    bar = Progress(sum(i["bars"] for i in infos), "bar", folder.name, enabled=progress)
    report = ReportData(symbols, cash, commission=commission, daily=daily,
                        strategy=f"SMA({fast}) x SMA({slow}), equal weights")
    slots = [Slot(i["symbol"], i["frequency"]) for i in infos]
    session = PortfolioSession(slots, cash, fast, slow, bar, report)
    c_sdk.py_zvi_set_data_callback(session.on_event)
    try:
        with StopOnInterrupt() as interrupt:
            run_status = c_sdk.py_zvi_run()
    finally:
        bar.close()
        c_sdk.py_zvi_set_data_callback(ignore_event)
    if session.errors:
        raise SessionError(session.errors[0])
    session.sample_slots()

    account = query(c_sdk.py_zvi_get_cash, {}, "py_zvi_get_cash")
    held = any(slot.position for slot in slots)
    report.finish(account["nav"], held)
    for slot in slots:  # the slots end as the portfolio does, at their last close
        if slot.curve:
            close_curve(slot.curve, slot.curve[-1].equity, slot.position != 0)
    stats = report.statistics(account["cum_commission"])
    per_symbol = {slot.symbol: slot_result(slot, session.slot_cash, report) for slot in slots}
    if report_dir is not None:
        write_portfolio_report(Path(report_dir), report, slots, session, per_symbol)
    return {
        "folder": str(folder),
        "symbols": symbols,
        "fast": fast,
        "slow": slow,
        "cash": cash,
        "commission": commission,
        "adjusted": adjusted,
        "allocation": "equal weights: an entry buys 1/N of the equity",
        "first_bar": time_text(first, daily),
        "last_bar": time_text(last, daily),
        "frequencies": sorted({i["frequency"] for i in infos}),
        "bars": session.bars,
        "events": session.events,
        "orders": session.orders,
        "run_status": run_status,
        "finished": session.finished,
        "interrupted": interrupt.interrupted,
        "final_equity": account["nav"],
        "final_cash": account["balance"],
        "trades": [trade_record(t) for t in report.trades],
        **stats,
        "per_symbol": per_symbol,
    }


def slot_result(slot: Slot, slot_cash: float, report: ReportData) -> dict[str, Any]:
    """A symbol's figures: its profit, and the report's statistics of its slot (1/N of
    the initial cash plus its profit) and its trades."""
    trades = [t for t in report.trades if t.symbol == slot.symbol]
    prices: PriceSeries = report.prices[slot.symbol]
    stats = statistics_of(slot.curve, slot_cash, trades, slot.commission, buy_and_hold_return([prices]))
    final = slot.curve[-1].equity if slot.curve else slot_cash
    return {"slot_cash": slot_cash, "final_equity": final, "pnl": final - slot_cash,
            "position": slot.position, **stats}


def weight_rows(slots: list[Slot], session: PortfolioSession) -> list[dict[str, Any]]:
    """Per sample: its time, the cash's and each symbol's share of the equity."""
    rows = []
    for k, point in enumerate(slots[0].curve[:len(session.cash_samples)]):
        equity = session.cash_samples[k] + sum(slot.market_values[k] for slot in slots)
        row: dict[str, Any] = {"time": point.time, "equity": equity,
                               "cash": session.cash_samples[k] / equity if equity else math.nan}
        for slot in slots:
            row[slot.symbol] = slot.market_values[k] / equity if equity else math.nan
        rows.append(row)
    return rows


SYMBOL_FIELDS = ["symbol", "pnl", "final_equity", "slot_cash", "position", *STAT_KEYS]


def write_portfolio_report(folder: Path, report: ReportData, slots: list[Slot], session: PortfolioSession,
                           per_symbol: dict[str, dict[str, Any]]) -> None:
    write_report(folder, report)
    with open(folder / "symbols.csv", "w", newline="", encoding="utf-8") as out:
        rows = csv.DictWriter(out, SYMBOL_FIELDS, extrasaction="ignore")
        rows.writeheader()
        for symbol, figures in per_symbol.items():
            rows.writerow({k: "" if v is None else v for k, v in {"symbol": symbol, **figures}.items()})
    weights = weight_rows(slots, session)
    with open(folder / "weights.csv", "w", newline="", encoding="utf-8") as out:
        rows = csv.DictWriter(out, ["time", "equity", "cash", *(s.symbol for s in slots)])
        rows.writeheader()
        rows.writerows(weights)
    plot_symbols(folder / "symbols.png", report, slots, weights, per_symbol)


def plot_symbols(path: Path, report: ReportData, slots: list[Slot], weights: list[dict[str, Any]],
                 per_symbol: dict[str, dict[str, Any]]) -> None:
    """Each slot's equity with the portfolio's (per slot, the portfolio / N), the weights
    stacked with the cash, and each symbol's profit, on trading time as equity.png is."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    from backtest_report import axis_number

    fig, (top, middle, bottom) = plt.subplots(3, 1, figsize=(12, 10),
                                              gridspec_kw={"height_ratios": [2.6, 1.6, 1.4]})
    try:
        times = [p.time for p in report.curve]
        n = len(slots)
        steps = range(len(times))
        top.plot(steps, [p.equity / n for p in report.curve], color="black", linewidth=1.4,
                 label=f"portfolio / {n}")
        colours = [f"C{i % 10}" for i in range(n)]  # a symbol's colour in both panels
        for slot, colour in zip(slots, colours):
            top.plot(range(len(slot.curve)), [p.equity for p in slot.curve], color=colour, linewidth=0.9,
                     label=slot.symbol)
        top.axhline(report.initial_cash / n, color="grey", linewidth=0.8, linestyle="--", label="slot's cash")
        top.yaxis.set_major_formatter(FuncFormatter(axis_number))
        top.set_ylabel("equity of a slot")
        top.grid(True, alpha=0.3)
        top.legend(loc="upper left", fontsize=8, ncol=min(n + 2, 6))
        top.set_title(report.title() + f"\neach of the {n} symbols has a slot of 1/{n} of the equity",
                      fontsize=10)

        if weights:
            layers = [[100 * row[s.symbol] for row in weights] for s in slots]
            middle.stackplot(range(len(weights)), *layers, [100 * row["cash"] for row in weights],
                             labels=[*(s.symbol for s in slots), "cash"], alpha=0.8,
                             colors=[*colours, "lightgrey"])
        middle.set_ylim(0, 100)
        middle.set_ylabel("share of equity %")
        middle.legend(loc="upper left", fontsize=8, ncol=n + 1)
        middle.grid(True, alpha=0.3)
        for axis in (top, middle):
            axis.set_xlim(0, max(len(times) - 1, 1))
            axis.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
            axis.xaxis.set_major_formatter(FuncFormatter(
                lambda x, _p: times[int(round(x))][:10] if 0 <= int(round(x)) < len(times) else ""))

        profits = [per_symbol[s.symbol]["pnl"] for s in slots]
        bars = bottom.bar([s.symbol for s in slots], profits,
                          color=["tab:green" if p >= 0 else "tab:red" for p in profits])
        bottom.bar_label(bars, labels=[f"{p:+,.0f}" for p in profits], fontsize=8)
        bottom.axhline(0, color="black", linewidth=0.8)
        bottom.yaxis.set_major_formatter(FuncFormatter(axis_number))
        bottom.set_ylabel("profit")
        bottom.grid(True, axis="y", alpha=0.3)
        bottom.margins(y=0.2)
        fig.tight_layout()
        fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)


def summary(result: dict[str, Any]) -> str:
    lines = [
        f"Portfolio {result['folder']} {result['first_bar']} .. {result['last_bar']}"
        f"  SMA({result['fast']}) x SMA({result['slow']}) on {len(result['symbols'])} symbols,"
        f" equal weights" + (", adjusted" if result["adjusted"] else ""),
        f"  run status      {result['run_status']} ({run_state(result['finished'], result['interrupted'])})",
        f"  bars            {result['bars']:,} of {result['events']:,} events",
        f"  orders          {result['orders']}",
        f"  initial cash    {result['cash']:,.2f}",
        f"  final equity    {result['final_equity']:,.2f}",
    ]
    lines += report_lines(result)
    lines.append(f"  {'symbol':<12} {'trades':>6} {'win rate':>9} {'profit':>12} {'slot return':>12}"
                 f" {'commissions':>12}")
    for symbol, s in result["per_symbol"].items():
        win = "n/a" if s["win_rate"] is None else f"{s['win_rate']:.2%}"
        lines.append(f"  {symbol:<12} {s['trade_count']:>6} {win:>9} {s['pnl']:>+12,.2f}"
                     f" {s['total_return']:>+12.2%} {s['commissions']:>12,.2f}")
    return "\n".join(lines)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("folder", metavar="FOLDER", help="one <SYMBOL>.csv file per symbol")
    p.add_argument("--fast", type=int, default=10, help="fast moving-average length (bars)")
    p.add_argument("--slow", type=int, default=20, help="slow moving-average length (bars)")
    p.add_argument("--cash", type=float, default=10_000.0, help="starting cash of the portfolio")
    p.add_argument("--commission", type=float, default=0.002, help="commission ratio of the traded amount")
    p.add_argument("--adjusted", action="store_true",
                   help="trade on the prices of the files' Adj Close columns")
    p.add_argument("--json", metavar="OUT.json", help="write the result here")
    return parse_crossover_args(
        p, argv, report_help="write equity.png, symbols.png, trades.csv, equity.csv, symbols.csv, weights.csv here")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        result = run_portfolio(args.folder, args.fast, args.slow, args.cash, args.commission,
                               progress=not args.quiet, report_dir=args.report, adjusted=args.adjusted)
    except SessionError as exc:
        print(exc, file=sys.stderr)
        return 2
    print(summary(result))
    if args.report:
        print(report_files_line(args.report) + ", symbols.png, symbols.csv, weights.csv")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(result, out, indent=1)
            out.write("\n")
    return exit_status(result["run_status"], result["finished"], result["interrupted"])


if __name__ == "__main__":
    sys.exit(main())
