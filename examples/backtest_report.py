"""The report that ends every example session: round-trip trades built from the fills,
the statistics a trader reads first, and with a report folder the equity curve and its
drawdown as a PNG chart, trades.csv and equity.csv.

Definitions (all fractions, not percentages; None where a value is undefined):

- total_return: final equity / initial cash - 1.
- Daily returns: the equity at the end of each calendar day that has a sample, against
  the previous such day (the first against the initial cash). A year is 252 of them.
- annualised_return: (1 + total_return) ** (252 / days) - 1.
- annualised_volatility: the daily returns' sample standard deviation * sqrt(252).
- sharpe_ratio: mean / standard deviation of the daily returns * sqrt(252), with a
  risk-free rate of 0.
- max_drawdown: the largest fall of the equity from its running peak, as a fraction of
  that peak; max_drawdown_days: the longest time, in days, from a peak until the equity
  is back at it (or until the end, if it never is).
- exposure: the share of equity samples taken while a position was held.
- A trade is one round trip of one symbol, from the first buy while flat until the
  position is flat again: its size is the volume bought, its entry and exit prices the
  volume-weighted prices of its buys and sells, its profit the sells less the buys less
  the commissions of both legs. A trade still open at the end has no exit and no profit
  (it is left out of the win rate and the best and worst trade; the final equity holds
  its position at the last price).
"""
from __future__ import annotations

import csv
import math
import statistics
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any, Iterable

TRADING_DAYS = 252
# The keys of statistics_of, in the order it returns them.
STAT_KEYS = ["total_return", "annualised_return", "annualised_volatility", "sharpe_ratio",
             "max_drawdown", "max_drawdown_days", "exposure", "trade_count", "closed_trades",
             "win_rate", "best_trade", "worst_trade", "commissions"]


@dataclass
class Trade:
    symbol: str
    entry_time: str
    entry_price: float
    size: int
    exit_time: str | None = None
    exit_price: float | None = None
    bought: float = 0.0  # amounts paid and received, before commission
    sold: float = 0.0
    sold_volume: int = 0
    commission: float = 0.0

    @property
    def pnl(self) -> float | None:
        return None if self.exit_time is None else self.sold - self.bought - self.commission

    @property
    def return_pct(self) -> float | None:
        pnl = self.pnl
        return None if pnl is None or not self.bought else pnl / self.bought


@dataclass(slots=True)  # one per bar time: kept small
class EquityPoint:
    time: str  # YYYY-MM-DD HH:MM:SS
    equity: float
    exposed: bool


def time_text(created_at: str, daily: bool) -> str:
    return created_at[:10] if daily else created_at


class TradeBook:
    """Round trips built from execution reports (as the SDK sends them) as they come, so
    a long session keeps its trades, not every fill."""

    def __init__(self, daily: bool) -> None:
        self.daily = daily
        self.trades: list[Trade] = []  # in order of entry
        self.open_by_symbol: dict[str, tuple[Trade, int]] = {}  # symbol -> (trade, position)

    def add(self, fill: dict[str, Any]) -> None:
        symbol, volume, amount = fill["symbol"], fill["volume"], fill["amount"]
        when = time_text(fill["created_at"], self.daily)
        trade, position = self.open_by_symbol.get(symbol, (None, 0))
        if fill["side"] == 1:
            if trade is None:
                trade = Trade(symbol, when, 0.0, 0)
                self.trades.append(trade)
            # One fill's price as it is; several fills' weighted by volume.
            trade.entry_price = (fill["price"] if not trade.size
                                 else (trade.bought + amount) / (trade.size + volume))
            trade.size += volume
            trade.bought += amount
            position += volume
        else:
            if trade is None:  # a sell of a position held before the session
                return
            trade.exit_price = (fill["price"] if not trade.sold_volume
                                else (trade.sold + amount) / (trade.sold_volume + volume))
            trade.sold += amount
            trade.sold_volume += volume
            position -= volume
        trade.commission += fill["commission"]
        if position <= 0:
            trade.exit_time = when
            self.open_by_symbol.pop(symbol, None)
        else:
            self.open_by_symbol[symbol] = (trade, position)


def trades_from_fills(fills: Iterable[dict[str, Any]], daily: bool) -> list[Trade]:
    """Round trips from execution reports, in order of entry."""
    book = TradeBook(daily)
    for fill in fills:
        book.add(fill)
    return book.trades


def statistics_of(curve: list[EquityPoint], initial_cash: float, trades: list[Trade],
                  commissions: float) -> dict[str, Any]:
    final = curve[-1].equity if curve else initial_cash
    total = final / initial_cash - 1
    day_end: dict[str, float] = {}
    for point in curve:
        day_end[point.time[:10]] = point.equity
    days = list(day_end.values())
    returns = [b / a - 1 for a, b in zip([initial_cash, *days[:-1]], days) if a]
    annual = ((final / initial_cash) ** (TRADING_DAYS / len(days)) - 1
              if days and final > 0 else None)
    sd = statistics.stdev(returns) if len(returns) > 1 else 0.0
    volatility = sd * math.sqrt(TRADING_DAYS) if len(returns) > 1 else None
    sharpe = statistics.fmean(returns) / sd * math.sqrt(TRADING_DAYS) if sd > 0 else None

    max_dd, longest = 0.0, 0.0
    peak, peak_time, below = -math.inf, None, False
    for point in curve:
        now = datetime.fromisoformat(point.time)
        if point.equity >= peak:
            # Only a peak left for a while counts: equity that never fell below it has
            # no drawdown, however long since the peak.
            if below and peak_time is not None:
                longest = max(longest, (now - peak_time).total_seconds() / 86400)
            peak, peak_time, below = point.equity, now, False
        else:
            below = True
            if peak > 0:
                max_dd = max(max_dd, 1 - point.equity / peak)
    if curve and peak_time is not None and curve[-1].equity < peak:
        end = datetime.fromisoformat(curve[-1].time)
        longest = max(longest, (end - peak_time).total_seconds() / 86400)

    closed = [t.return_pct for t in trades if t.exit_time is not None and t.return_pct is not None]
    return dict(zip(STAT_KEYS, [
        total,  # total_return
        annual,  # annualised_return
        volatility,  # annualised_volatility
        sharpe,  # sharpe_ratio
        max_dd,  # max_drawdown
        longest,  # max_drawdown_days
        sum(p.exposed for p in curve) / len(curve) if curve else 0.0,  # exposure
        len(trades),  # trade_count
        len(closed),  # closed_trades
        sum(r > 0 for r in closed) / len(closed) if closed else None,  # win_rate
        max(closed) if closed else None,  # best_trade
        min(closed) if closed else None,  # worst_trade
        commissions,  # commissions
    ], strict=True))


def close_curve(curve: list[EquityPoint], equity: float, exposed: bool) -> None:
    """Ends a session's curve with its last equity, at the last sample's time: the last
    prices, and a stop or fills after the last bar, come after that sample. An empty
    curve stays empty."""
    if curve:
        curve.append(EquityPoint(curve[-1].time, equity, exposed))


def pct(value: float | None, sign: bool = False) -> str:
    if value is None:
        return "n/a"
    return f"{value:+.2%}" if sign else f"{value:.2%}"


def report_lines(stats: dict[str, Any]) -> list[str]:
    sharpe = stats["sharpe_ratio"]
    return [
        f"  return          {pct(stats['total_return'], True)} total,"
        f" {pct(stats['annualised_return'], True)} annualised",
        f"  volatility      {pct(stats['annualised_volatility'])} annualised",
        f"  Sharpe ratio    {'n/a' if sharpe is None else f'{sharpe:.2f}'}",
        f"  max drawdown    {pct(-stats['max_drawdown'])}, {stats['max_drawdown_days']:,.1f} days",
        f"  exposure        {pct(stats['exposure'])} of the samples",
        f"  trades          {stats['trade_count']} ({stats['closed_trades']} closed),"
        f" win rate {pct(stats['win_rate'])}",
        f"  best trade      {pct(stats['best_trade'], True)}",
        f"  worst trade     {pct(stats['worst_trade'], True)}",
        f"  commissions     {stats['commissions']:,.2f}",
    ]


def report_files_line(folder: str) -> str:
    """The summary's line naming what write_report wrote into folder."""
    return f"  report          {folder}/equity.png, trades.csv, equity.csv"


def trade_record(trade: Trade) -> dict[str, Any]:
    return {"symbol": trade.symbol, "entry_time": trade.entry_time, "entry_price": trade.entry_price,
            "size": trade.size, "exit_time": trade.exit_time,
            "exit_price": trade.exit_price if trade.exit_time else None,
            "pnl": trade.pnl, "return_pct": trade.return_pct, "commission": trade.commission}


def drawdowns(curve: list[EquityPoint]) -> list[float]:
    peak, out = -math.inf, []
    for point in curve:
        peak = max(peak, point.equity)
        out.append(point.equity / peak - 1 if peak > 0 else 0.0)
    return out


def write_report(folder: Path, curve: list[EquityPoint], trades: list[Trade], title: str,
                 initial_cash: float) -> None:
    """Writes trades.csv, equity.csv and equity.png into folder (made if missing)."""
    folder.mkdir(parents=True, exist_ok=True)
    fields = ["symbol", "entry_time", "entry_price", "size", "exit_time", "exit_price",
              "pnl", "return_pct", "commission"]
    with open(folder / "trades.csv", "w", newline="", encoding="utf-8") as out:
        rows = csv.DictWriter(out, fields)
        rows.writeheader()
        for trade in trades:
            rows.writerow({k: "" if v is None else v for k, v in trade_record(trade).items()})
    dd = drawdowns(curve)
    with open(folder / "equity.csv", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["time", "equity", "drawdown", "exposed"])
        for point, d in zip(curve, dd):
            writer.writerow([point.time, repr(point.equity), repr(d), int(point.exposed)])
    plot_equity(folder / "equity.png", curve, dd, title, initial_cash)


def plot_equity(path: Path, curve: list[EquityPoint], dd: list[float], title: str,
                initial_cash: float) -> None:
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt

    times = [datetime.fromisoformat(p.time) for p in curve]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(11, 6.5),
                                      gridspec_kw={"height_ratios": [3, 1]})
    try:
        top.plot(times, [p.equity for p in curve], color="tab:blue", linewidth=1.2, label="equity")
        top.axhline(initial_cash, color="grey", linewidth=0.8, linestyle="--", label="initial cash")
        top.set_ylabel("equity")
        top.set_title(title)
        top.grid(True, alpha=0.3)
        top.legend(loc="upper left")
        top.ticklabel_format(axis="y", style="plain", useOffset=False)
        bottom.fill_between(times, [100 * d for d in dd], 0, color="tab:red", alpha=0.4, linewidth=0)
        bottom.plot(times, [100 * d for d in dd], color="tab:red", linewidth=0.8)
        bottom.set_ylabel("drawdown %")
        bottom.grid(True, alpha=0.3)
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)
