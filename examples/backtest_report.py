"""The report that ends every example session: round-trip trades built from the fills,
the statistics a trader reads first, and with a report folder a chart of the prices,
the trades, the equity and its drawdown (equity.png), trades.csv and equity.csv.

A session fills a ReportData while it runs (every bar's close and moving averages, one
equity sample per bar time, every execution report) and asks it for the statistics and
the files at the end.

Definitions (all fractions, not percentages; None, printed "n/a", where a value is
undefined):

- Samples: the equity (cash plus positions at their last price) once per bar time, and a
  last one at the end with the session's final equity. The sessions place no order
  before their first sample, so its equity is the initial cash.
- The period: the calendar time from the first equity sample to the last; years = its
  length in days / 365.25 (weekends, nights and holidays count).
- total_return: final equity / initial cash - 1.
- annualised_return: the compound annual growth over the period,
  (final equity / initial cash) ** (1 / years) - 1. None for a period of no length, or
  one so short that the figure overflows a float.
- Returns: day-end returns, whatever the bar length. The equity at the end of each
  calendar day that has a sample, against the previous such day: one return a trading
  day for daily and intraday bars, one a bar for coarser ones (weekly bars give weekly
  returns). returns_per_year is how many of them the session has per calendar year of
  its period (their number / years): about 252 for a stock market's daily or intraday
  bars, about 52 for weekly bars, more for markets open on more days. It, not a fixed
  252, annualises the figures below, so that they agree whatever the bar length.
- annualised_volatility: the returns' sample standard deviation * sqrt(returns_per_year).
- sharpe_ratio: the returns' mean / their sample standard deviation *
  sqrt(returns_per_year), with a risk-free rate of 0.
- sortino_ratio: the returns' mean / their downside deviation * sqrt(returns_per_year);
  the downside deviation is sqrt(mean(min(r, 0) ** 2)) over all the returns (target 0).
- max_drawdown: the largest fall of the equity from its running peak, over every sample,
  as a fraction of that peak; max_drawdown_days: the longest time, in days, from a peak
  until the equity is back at it (or until the end, if it never is).
- calmar_ratio: annualised_return / max_drawdown (None without a drawdown).
- equity_peak: the highest equity sample; equity_peak_time: the time of the first sample
  at that height.
- buy_and_hold_return: holding the session's symbols from their first close in the
  session to their last, without commission: last close / first close - 1 for one
  symbol; for several, an equal-weight basket bought at the first closes and never
  rebalanced (the mean of the symbols' last / first closes, less 1). The chart's
  buy-and-hold line is that basket, worth the initial cash at the start, at each sample.
- exposure: the share of equity samples taken while a position was held; a trade still
  open at the end is held until the end, and counts.
- commissions: every fill's commission, the entry of a trade still open at the end
  included.
- A trade is one round trip of one symbol, from the first fill while flat until the
  position is flat again, long (bought first) or short (sold first): its size is the
  volume it entered with, signed (negative for a short), its entry and exit prices the
  volume-weighted prices of its entry and exit fills, its profit the amount sold less
  the amount bought less the commissions of both legs, its return that profit / the
  amount it entered with (before commission). A fill that takes the position through
  zero (a sell of more than the long) ends the trade with the part that closes it and
  opens the next one, in the other direction, with the rest; its commission is shared
  by volume. A trade still open at the end has no exit, profit or return:
  trade_count counts it, every other trade figure counts the closed trades only:
  - closed_trades: their number; win_rate: the share of them with a positive profit;
  - best_trade, worst_trade: their highest and lowest return;
  - profit_factor: the sum of their profits / the sum of their losses, in money (None
    without a losing trade);
  - expectancy: their mean profit, in money;
  - sqn (System Quality Number): sqrt(closed_trades) * the mean / the sample standard
    deviation of their profits in money (None under two trades, or with no spread);
  - avg_trade_days, max_trade_days: the mean and the longest time from a trade's entry
    fill to its exit fill, in calendar days.
"""
from __future__ import annotations

import bisect
import csv
import math
import statistics
from dataclasses import dataclass, field
from datetime import datetime
from operator import attrgetter
from pathlib import Path
from typing import Any, Iterable, Mapping, Sequence

try:
    import msgspec
except ImportError:  # the report needs the standard library alone; msgspec only makes it faster
    msgspec = None  # type: ignore[assignment]

DAYS_PER_YEAR = 365.25
BUY = 1  # an execution report's side: 1 buy, 2 sell
# The keys of statistics_of, in the order it returns them (the sweep's results and the
# examples' --json output use them as they are).
STAT_KEYS = ["total_return", "annualised_return", "annualised_volatility", "sharpe_ratio",
             "sortino_ratio", "calmar_ratio", "max_drawdown", "max_drawdown_days",
             "equity_peak", "equity_peak_time", "buy_and_hold_return", "exposure",
             "trade_count", "closed_trades", "win_rate", "best_trade", "worst_trade",
             "profit_factor", "expectancy", "sqn", "avg_trade_days", "max_trade_days",
             "commissions", "years", "returns_per_year"]
# The chart shows the prices of this many symbols at most, one panel each.
MAX_PRICE_PANELS = 3
# An equity or price panel whose values span more than this factor is drawn on a log scale.
LOG_SCALE_SPAN = 4.0


@dataclass
class Trade:
    symbol: str
    entry_time: str
    entry_price: float
    size: int  # the volume entered: > 0 long, < 0 short
    exit_time: str | None = None
    exit_price: float | None = None
    entered: float = 0.0  # amounts of the entry and the exit fills, before commission
    exited: float = 0.0
    exit_volume: int = 0
    commission: float = 0.0

    @property
    def pnl(self) -> float | None:
        if self.exit_time is None:
            return None
        gain = self.exited - self.entered
        return (gain if self.size > 0 else -gain) - self.commission

    @property
    def return_pct(self) -> float | None:
        pnl = self.pnl
        return None if pnl is None or not self.entered else pnl / self.entered


# One per bar time: a msgspec struct is made in C at under half a dataclass's cost, and
# with gc=False (it holds a text, a float and a bool: no cycle) the cyclic collector
# does not walk the samples of a long session again and again.
if msgspec is not None:
    class EquityPoint(msgspec.Struct, gc=False):
        time: str  # YYYY-MM-DD HH:MM:SS
        equity: float
        exposed: bool
else:
    @dataclass(slots=True)
    class EquityPoint:  # type: ignore[no-redef]
        time: str
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
        symbol, volume = fill["symbol"], fill["volume"]
        if volume <= 0:
            return
        when = time_text(fill["created_at"], self.daily)
        step = 1 if fill["side"] == BUY else -1
        trade, position = self.open_by_symbol.get(symbol, (None, 0))
        # The part of the fill that reduces the open trade, then the rest, which opens
        # (or adds to) a trade in the fill's direction.
        closing = min(volume, abs(position)) if position * step < 0 else 0
        if closing and trade is not None:
            amount, commission = self._share(fill, closing)
            trade.exit_price = (fill["price"] if not trade.exit_volume
                                else (trade.exited + amount) / (trade.exit_volume + closing))
            trade.exited += amount
            trade.exit_volume += closing
            trade.commission += commission
            position += step * closing
            if position == 0:
                trade.exit_time = when
                trade = None
        opening = volume - closing
        if opening:
            amount, commission = self._share(fill, opening)
            if trade is None:
                trade = Trade(symbol, when, 0.0, 0)
                self.trades.append(trade)
            # One fill's price as it is; several fills' weighted by volume.
            trade.entry_price = (fill["price"] if not trade.size
                                 else (trade.entered + amount) / (abs(trade.size) + opening))
            trade.size += step * opening
            trade.entered += amount
            trade.commission += commission
            position += step * opening
        if trade is None:
            self.open_by_symbol.pop(symbol, None)
        else:
            self.open_by_symbol[symbol] = (trade, position)

    @staticmethod
    def _share(fill: dict[str, Any], volume: int) -> tuple[float, float]:
        """The amount and commission of `volume` of a fill's units (all of them exactly)."""
        if volume == fill["volume"]:
            return fill["amount"], fill["commission"]
        share = volume / fill["volume"]
        return fill["amount"] * share, fill["commission"] * share


def trades_from_fills(fills: Iterable[dict[str, Any]], daily: bool) -> list[Trade]:
    """Round trips from execution reports, in order of entry."""
    book = TradeBook(daily)
    for fill in fills:
        book.add(fill)
    return book.trades


@dataclass
class PriceSeries:
    """One symbol's bars as the strategy saw them: per bar time, the close and the moving
    averages (NaN where an average is not defined yet)."""
    times: list[str] = field(default_factory=list)
    closes: list[float] = field(default_factory=list)
    averages: dict[str, list[float]] = field(default_factory=dict)  # label -> value per bar

    def close_at(self, time: str) -> float | None:
        """The last close at or before time (None before the first bar)."""
        i = bisect.bisect_right(self.times, time)
        return self.closes[i - 1] if i else None


class ReportData:
    """What a session collects for its report while it runs, and the report made of it.

        report = ReportData(["GOOG"], 10_000.0, commission=0.002,
                            strategy="SMA(10) x SMA(20)", daily=True)
        report.add_bar("GOOG", bar["eob"], bar["close"], {"SMA(10)": fast, "SMA(20)": slow})
        report.add_sample(bar["eob"], nav, position != 0)  # once per bar time
        report.add_fill(execution_report)                  # every one, as it comes
        ...
        report.finish(final_nav, position != 0)            # after the run
        stats = report.statistics(cum_commission)          # STAT_KEYS -> value
        write_report(Path(folder), report)

    Bar times are the SDK's "YYYY-MM-DD HH:MM:SS" texts, in time order per symbol;
    daily=True writes the trades' times as dates.
    """

    def __init__(self, symbols: Sequence[str], initial_cash: float, *, commission: float,
                 strategy: str, daily: bool = False, chart: bool = True) -> None:
        self.symbols = list(symbols)
        self.initial_cash = initial_cash
        self.commission = commission  # the commission ratio, for the chart's title
        self.strategy = strategy  # e.g. "SMA(10) x SMA(20)", for the chart's title
        # Without a chart to draw (chart=False: statistics only, as a sweep wants them) a
        # symbol's bars are not kept: only its first and last close, which the buy and
        # hold return reads.
        self.chart = chart
        self.curve: list[EquityPoint] = []
        self.prices: dict[str, PriceSeries] = {s: PriceSeries() for s in self.symbols}
        self.book = TradeBook(daily)

    @property
    def trades(self) -> list[Trade]:
        return self.book.trades

    def add_bar(self, symbol: str, time: str, close: float,
                averages: Mapping[str, float | None] | None = None) -> None:
        """One bar of symbol: its close and the strategy's averages at its time (None
        while an average is not defined)."""
        series = self.prices.get(symbol)
        if series is None:
            series = self.prices[symbol] = PriceSeries()
            self.symbols.append(symbol)
        n = len(series.closes)
        if not self.chart:
            if n < 2:
                series.closes.append(close)
            else:
                series.closes[-1] = close
            return
        series.times.append(time)
        series.closes.append(close)
        columns = series.averages
        given = averages or {}
        for label, value in given.items():
            column = columns.get(label)
            if column is None:
                column = columns[label] = [math.nan] * n
            column.append(math.nan if value is None else value)
        if len(columns) > len(given):  # some average this bar did not give
            for column in columns.values():
                if len(column) == n:
                    column.append(math.nan)

    def add_sample(self, time: str, equity: float, exposed: bool) -> None:
        """The equity at a bar time, and whether a position was held."""
        self.curve.append(EquityPoint(time, equity, exposed))

    def add_fill(self, fill: dict[str, Any]) -> None:
        """An execution report, as the SDK sent it."""
        self.book.add(fill)

    def finish(self, equity: float, exposed: bool) -> None:
        """Ends the curve with the session's final equity (see close_curve)."""
        close_curve(self.curve, equity, exposed)

    def benchmark(self) -> list[float]:
        """The buy-and-hold basket's value at each equity sample (see buy_and_hold_return)."""
        held = [s for s in self.prices.values() if s.closes]
        values = []
        for point in self.curve:
            growth = 0.0
            for series in held:
                close = series.close_at(point.time)
                growth += 1.0 if close is None else close / series.closes[0]
            values.append(self.initial_cash * growth / len(held) if held else self.initial_cash)
        return values

    def statistics(self, commissions: float) -> dict[str, Any]:
        return statistics_of(self.curve, self.initial_cash, self.trades, commissions,
                             buy_and_hold_return(self.prices.values()))

    def period(self) -> tuple[str, str]:
        """The first and last sample's times (dates for daily sessions), or empty texts."""
        if not self.curve:
            return "", ""
        first, last = self.curve[0].time, self.curve[-1].time
        if self.book.daily or (first.endswith("00:00:00") and last.endswith("00:00:00")):
            return first[:10], last[:10]
        return first[:16], last[:16]

    def title(self) -> str:
        first, last = self.period()
        symbols = ", ".join(self.symbols)
        return (f"{self.strategy} on {symbols}, {first} .. {last}\n"
                f"cash {self.initial_cash:,.2f}, commission {self.commission:.3%} a leg")


def buy_and_hold_return(prices: Iterable[PriceSeries]) -> float | None:
    """The return of the equal-weight basket of the symbols, from their first close to
    their last (None without a bar)."""
    growth = [s.closes[-1] / s.closes[0] for s in prices if s.closes and s.closes[0] > 0]
    return statistics.fmean(growth) - 1 if growth else None


def parse_time(text: str) -> datetime:
    return datetime.fromisoformat(text)


def day_end_returns(curve: list[EquityPoint]) -> list[float]:
    """The returns of the equity at the end of each calendar day that has a sample."""
    day_end = {point.time[:10]: point.equity for point in curve}  # a day's last sample wins
    days = list(day_end.values())
    return [b / a - 1 for a, b in zip(days, days[1:]) if a > 0]


def years_of(curve: list[EquityPoint]) -> float:
    if len(curve) < 2:
        return 0.0
    span = parse_time(curve[-1].time) - parse_time(curve[0].time)
    return span.total_seconds() / 86400 / DAYS_PER_YEAR


def growth_rate(ratio: float, years: float) -> float | None:
    """ratio ** (1 / years) - 1, None where it is undefined or too large for a float."""
    if years <= 0 or ratio <= 0:
        return None
    try:
        return ratio ** (1 / years) - 1
    except OverflowError:
        return None


def drawdown_figures(curve: list[EquityPoint]) -> tuple[float, float]:
    """The largest drawdown and the longest time below a peak, in days."""
    max_dd, longest = 0.0, 0.0
    peak, peak_time, below = -math.inf, "", False  # peak_time: the peak's sample time, as text
    for point in curve:
        if point.equity >= peak:
            # Only a peak left for a while counts: equity that never fell below it has
            # no drawdown, however long since the peak. (Times are parsed only here: a
            # long curve has many samples and few recoveries.)
            if below and peak_time:
                days = (parse_time(point.time) - parse_time(peak_time)).total_seconds() / 86400
                longest = max(longest, days)
            peak, peak_time, below = point.equity, point.time, False
        else:
            below = True
            if peak > 0:
                drawdown = 1 - point.equity / peak
                if drawdown > max_dd:
                    max_dd = drawdown
    if curve and peak_time and curve[-1].equity < peak:
        end = parse_time(curve[-1].time)
        longest = max(longest, (end - parse_time(peak_time)).total_seconds() / 86400)
    return max_dd, longest


def statistics_of(curve: list[EquityPoint], initial_cash: float, trades: list[Trade],
                  commissions: float, buy_and_hold: float | None = None) -> dict[str, Any]:
    """The report's figures (STAT_KEYS, as the module's header defines them) of an equity
    curve, its session's trades and commissions, and the buy-and-hold return of its bars."""
    final = curve[-1].equity if curve else initial_cash
    total = final / initial_cash - 1
    years = years_of(curve)
    annual = growth_rate(final / initial_cash, years)
    returns = day_end_returns(curve)
    per_year = len(returns) / years if returns and years > 0 else None
    volatility = sharpe = sortino = None
    if per_year is not None:
        mean = statistics.fmean(returns)
        if len(returns) > 1:
            sd = statistics.stdev(returns)
            volatility = sd * math.sqrt(per_year)
            sharpe = mean / sd * math.sqrt(per_year) if sd > 0 else None
        downside = math.sqrt(math.fsum(min(r, 0.0) ** 2 for r in returns) / len(returns))
        sortino = mean / downside * math.sqrt(per_year) if downside > 0 else None
    max_dd, longest = drawdown_figures(curve)
    peak = max(curve, key=attrgetter("equity")) if curve else None  # the first at the top

    closed = [t for t in trades if t.pnl is not None]
    profits = [t.pnl for t in closed if t.pnl is not None]
    rets = [t.return_pct for t in closed if t.return_pct is not None]
    losses = -math.fsum(p for p in profits if p < 0)
    sd_profit = statistics.stdev(profits) if len(profits) > 1 else 0.0
    lengths = [(parse_time(t.exit_time) - parse_time(t.entry_time)).total_seconds() / 86400
               for t in closed if t.exit_time is not None]
    stats: dict[str, Any] = {
        "total_return": total,
        "annualised_return": annual,
        "annualised_volatility": volatility,
        "sharpe_ratio": sharpe,
        "sortino_ratio": sortino,
        "calmar_ratio": annual / max_dd if annual is not None and max_dd > 0 else None,
        "max_drawdown": max_dd,
        "max_drawdown_days": longest,
        "equity_peak": peak.equity if peak else None,
        "equity_peak_time": peak.time if peak else None,
        "buy_and_hold_return": buy_and_hold,
        "exposure": sum(map(attrgetter("exposed"), curve)) / len(curve) if curve else 0.0,
        "trade_count": len(trades),
        "closed_trades": len(closed),
        "win_rate": sum(p > 0 for p in profits) / len(profits) if profits else None,
        "best_trade": max(rets) if rets else None,
        "worst_trade": min(rets) if rets else None,
        "profit_factor": math.fsum(p for p in profits if p > 0) / losses if losses > 0 else None,
        "expectancy": statistics.fmean(profits) if profits else None,
        "sqn": math.sqrt(len(profits)) * statistics.fmean(profits) / sd_profit if sd_profit > 0 else None,
        "avg_trade_days": statistics.fmean(lengths) if lengths else None,
        "max_trade_days": max(lengths) if lengths else None,
        "commissions": commissions,
        "years": years,
        "returns_per_year": per_year,
    }
    # STAT_KEYS is the one list of the keys, in this order (the sweep and the --json output
    # read it): a key added or moved here and not there is a mistake.
    assert list(stats) == STAT_KEYS, "statistics_of and STAT_KEYS disagree"
    return stats


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


def num(value: float | None, spec: str = ".2f") -> str:
    return "n/a" if value is None else format(value, spec)


def report_lines(stats: dict[str, Any]) -> list[str]:
    peak_time = stats["equity_peak_time"]
    open_trades = stats["trade_count"] - stats["closed_trades"]
    return [
        f"  return          {pct(stats['total_return'], True)} total,"
        f" {pct(stats['annualised_return'], True)} a year (compound, over {stats['years']:.2f} years)",
        f"  buy and hold    {pct(stats['buy_and_hold_return'], True)} over the same bars",
        f"  equity peak     {num(stats['equity_peak'], ',.2f')}"
        # A daily session's samples are at midnight: the date says it all.
        + (f" at {peak_time.removesuffix(' 00:00:00')}" if peak_time else ""),
        f"  volatility      {pct(stats['annualised_volatility'])} annualised"
        f" ({num(stats['returns_per_year'], '.1f')} day-end returns a year)",
        f"  Sharpe ratio    {num(stats['sharpe_ratio'])}",
        f"  Sortino ratio   {num(stats['sortino_ratio'])}",
        f"  Calmar ratio    {num(stats['calmar_ratio'])}",
        f"  max drawdown    {pct(-stats['max_drawdown'])}, {stats['max_drawdown_days']:,.1f} days",
        f"  exposure        {pct(stats['exposure'])} of the samples",
        f"  trades          {stats['trade_count']} ({stats['closed_trades']} closed),"
        f" win rate {pct(stats['win_rate'])}",
        f"  best trade      {pct(stats['best_trade'], True)}",
        f"  worst trade     {pct(stats['worst_trade'], True)}",
        f"  profit factor   {num(stats['profit_factor'])}",
        f"  expectancy      {num(stats['expectancy'], '+,.2f')} a closed trade",
        f"  SQN             {num(stats['sqn'])}",
        f"  trade length    {num(stats['avg_trade_days'], ',.1f')} days on average,"
        f" {num(stats['max_trade_days'], ',.1f')} at most",
        f"  commissions     {stats['commissions']:,.2f}",
        f"  open trades     " + (f"{open_trades} at the end: in the exposure and the commissions"
                                   " (entry), not in the trade figures" if open_trades else "none at the end"),
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


def write_report(folder: Path, report: ReportData) -> None:
    """Writes trades.csv, equity.csv and equity.png into folder (made if missing)."""
    if not report.chart:
        raise ValueError("a report made with chart=False keeps no bars to draw")
    folder.mkdir(parents=True, exist_ok=True)
    fields = ["symbol", "entry_time", "entry_price", "size", "exit_time", "exit_price",
              "pnl", "return_pct", "commission"]
    with open(folder / "trades.csv", "w", newline="", encoding="utf-8") as out:
        rows = csv.DictWriter(out, fields)
        rows.writeheader()
        for trade in report.trades:
            rows.writerow({k: "" if v is None else v for k, v in trade_record(trade).items()})
    dd = drawdowns(report.curve)
    with open(folder / "equity.csv", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(["time", "equity", "drawdown", "exposed"])
        for point, d in zip(report.curve, dd):
            writer.writerow([point.time, repr(point.equity), repr(d), int(point.exposed)])
    plot_equity(folder / "equity.png", report, dd)


def spans_widely(values: Iterable[float]) -> bool:
    finite = [v for v in values if v > 0 and math.isfinite(v)]
    return bool(finite) and max(finite) > LOG_SCALE_SPAN * min(finite)


def axis_number(value: float, _position: Any = None) -> str:
    """A value axis's label: thousands separated, no exponent."""
    return f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.6g}"


def sample_index(times: list[str], when: str) -> int:
    """The position of the last sample at or before when (a time, or a date standing for
    its whole day); 0 before the first."""
    if len(when) == 10:
        when += " 23:59:59"
    return max(bisect.bisect_right(times, when) - 1, 0)


def plot_equity(path: Path, report: ReportData, dd: list[float]) -> None:
    """The chart: a panel per symbol (up to MAX_PRICE_PANELS) with its closes, averages
    and the trades' entry and exit fills, the equity with the buy-and-hold basket, and
    the drawdown. Value axes are on a log scale where their values span more than
    LOG_SCALE_SPAN. The time axis is trading time: one step per equity sample, so that
    nights, weekends and holidays take no room."""
    import matplotlib
    matplotlib.use("Agg")  # files only: no display needed
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, LogLocator, MaxNLocator, NullFormatter

    curve = report.curve
    if not curve:  # a session that ended before its first bar: a chart that says so
        fig = plt.figure(figsize=(8, 2))
        try:
            fig.text(0.5, 0.6, report.title(), ha="center", fontsize=10)
            fig.text(0.5, 0.3, "no equity sample: the session had no bar", ha="center", fontsize=10)
            fig.savefig(path, dpi=100)
        finally:
            plt.close(fig)
        return
    times = [p.time for p in curve]
    steps = range(len(curve))
    shown = [s for s in report.symbols if report.prices[s].closes][:MAX_PRICE_PANELS]
    ratios = [2.0] * len(shown) + [2.6, 1.0]
    fig, axes = plt.subplots(len(ratios), 1, sharex=True, figsize=(12, 1.9 * sum(ratios) + 1.2),
                             gridspec_kw={"height_ratios": ratios}, squeeze=False)
    panels = [row[0] for row in axes]

    def value_axis(ax: Any, values: Iterable[float]) -> None:
        if spans_widely(values):
            ax.set_yscale("log")
            ax.yaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 3.0, 5.0)))
            ax.yaxis.set_minor_formatter(NullFormatter())
        ax.yaxis.set_major_formatter(FuncFormatter(axis_number))
        ax.grid(True, alpha=0.3)

    try:
        for ax, symbol in zip(panels, shown):
            series = report.prices[symbol]
            where = [sample_index(times, t) for t in series.times]
            ax.plot(where, series.closes, color="black", linewidth=0.8, label=f"{symbol} close")
            for (label, column), colour in zip(series.averages.items(), ["tab:orange", "tab:purple", "tab:olive"]):
                ax.plot(where, column, color=colour, linewidth=0.9, label=label)
            # A marker per fill, by its side: up and green a buy, down and red a sell. A
            # reversal's exit and entry are one point (the same time and price).
            trades = [t for t in report.trades if t.symbol == symbol]
            shorts = any(t.size < 0 for t in trades)
            exits = [t for t in trades if t.exit_time is not None and t.exit_price is not None]
            buys = ([(t.entry_time, t.entry_price) for t in trades if t.size > 0]
                    + [(t.exit_time or "", t.exit_price) for t in exits if t.size < 0])
            sells = ([(t.entry_time, t.entry_price) for t in trades if t.size < 0]
                     + [(t.exit_time or "", t.exit_price) for t in exits if t.size > 0])
            for points, marker, colour, label in [
                    (buys, "^", "tab:green", "buy fill (long entry, short exit)" if shorts else "entry fill"),
                    (sells, "v", "tab:red", "sell fill (short entry, long exit)" if shorts else "exit fill")]:
                ax.scatter([sample_index(times, when) for when, _ in points], [price for _, price in points],
                           marker=marker, color=colour, s=24, zorder=3, label=label)
            value_axis(ax, series.closes)
            ax.set_ylabel("price" + (" (log scale)" if ax.get_yscale() == "log" else ""))
            ax.legend(loc="upper left", fontsize=8, ncol=5)
        if len(shown) < len(report.symbols):
            panels[0].text(1.0, 1.02, f"prices of the first {len(shown)} of {len(report.symbols)} symbols",
                           transform=panels[0].transAxes, ha="right", fontsize=8)

        top, bottom = panels[-2], panels[-1]
        equity = [p.equity for p in curve]
        benchmark = report.benchmark()
        basket = "buy and hold" + (" (equal-weight basket)" if len(report.symbols) > 1 else "")
        top.plot(steps, equity, color="tab:blue", linewidth=1.2, label="equity")
        top.plot(steps, benchmark, color="grey", linewidth=1.0, label=basket)
        top.axhline(report.initial_cash, color="grey", linewidth=0.8, linestyle="--", label="initial cash")
        value_axis(top, [*equity, *benchmark])
        top.set_ylabel("equity" + (" (log scale)" if top.get_yscale() == "log" else ""))
        top.legend(loc="upper left", fontsize=8)
        panels[0].set_title(report.title(), fontsize=10)
        bottom.fill_between(steps, [100 * d for d in dd], 0, color="tab:red", alpha=0.4, linewidth=0)
        bottom.plot(steps, [100 * d for d in dd], color="tab:red", linewidth=0.8)
        bottom.set_ylabel("drawdown %")
        bottom.grid(True, alpha=0.3)

        span_days = (parse_time(times[-1]) - parse_time(times[0])).days
        short = 10 if report.book.daily or span_days > 60 else 16

        def time_label(x: float, _position: Any = None) -> str:
            i = int(round(x))
            return times[i][:short] if 0 <= i < len(times) else ""

        bottom.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
        bottom.xaxis.set_major_formatter(FuncFormatter(time_label))
        bottom.set_xlim(0, len(curve) - 1)
        bottom.set_xlabel("trading time: one step per equity sample (closed hours and days take no room)",
                          fontsize=8)
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)
