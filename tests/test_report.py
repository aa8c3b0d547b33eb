"""The backtest report's statistics: annualised on calendar time whatever the sampling,
checked against empyrical on synthetic equity curves, the trade figures and their edge
cases by hand, and end to end against backtesting.py's own statistics of the same
crossover on daily, weekly and hourly bars; and the sweep's heat maps on awkward grids."""
import json
import math
import os
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SMA_CROSS = ROOT / "examples" / "sma_cross_csv.py"

sys.path.insert(0, str(ROOT / "examples"))
try:
    import backtest_report as report
    import sweep
finally:
    sys.path.remove(str(ROOT / "examples"))


# ---- annualised statistics against empyrical ----

def sample_times(pd, sampling, rng):
    """A year or more of sample times of one kind, as a market's data has them."""
    if sampling == "daily":
        return pd.bdate_range("2019-01-02", periods=600) + pd.Timedelta(hours=15)
    if sampling == "weekly":
        return pd.date_range("2015-01-02", periods=300, freq="W-FRI")
    if sampling == "hourly":  # FX-like: every hour on weekdays
        times = pd.date_range("2021-03-01 00:00", "2022-06-30 23:00", freq="h")
        return times[times.day_of_week < 5]
    if sampling == "minute":  # a stock market's minutes over two months
        times = pd.date_range("2023-01-02 09:31", "2023-02-28 15:00", freq="min")
        return times[(times.day_of_week < 5) & (times.hour >= 9) & (times.hour < 15)]
    # tick-driven: irregular times, any day of the week, up to a few hours apart
    gaps = rng.exponential(1800, size=9000).round() + 1
    return pd.Timestamp("2022-01-03 00:00:01") + pd.to_timedelta(gaps.cumsum(), unit="s")


@pytest.mark.parametrize("sampling", ["daily", "weekly", "hourly", "minute", "tick"])
def test_annualised_statistics_match_empyrical(sampling):
    empyrical = pytest.importorskip("empyrical")
    pd = pytest.importorskip("pandas")
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(11)
    times = sample_times(pd, sampling, rng)
    steps = rng.normal(0.0002, 0.004, size=len(times))
    steps[0] = 0.0  # the first sample is the initial cash
    equity = pd.Series(10_000 * np.exp(np.cumsum(steps)), index=times)
    curve = [report.EquityPoint(t.strftime("%Y-%m-%d %H:%M:%S"), float(v), False)
             for t, v in equity.items()]
    stats = report.statistics_of(curve, float(equity.iloc[0]), [], 0.0)

    # The same definitions built with pandas: day-end equity, its returns, and as many
    # of them a year as the calendar period holds.
    years = (times[-1] - times[0]) / pd.Timedelta(days=365.25)
    day_end = equity.resample("D").last().dropna()
    returns = day_end.pct_change().dropna()
    per_year = len(returns) / years
    per_sample = equity.pct_change().dropna()
    cagr = empyrical.annual_return(per_sample, annualization=len(per_sample) / years)
    max_dd = -empyrical.max_drawdown(per_sample)
    expected = {
        "annualised_return": cagr,
        "annualised_volatility": empyrical.annual_volatility(returns, annualization=per_year),
        "sharpe_ratio": empyrical.sharpe_ratio(returns, annualization=per_year),
        "sortino_ratio": empyrical.sortino_ratio(returns, annualization=per_year),
        "calmar_ratio": cagr / max_dd,
        "max_drawdown": max_dd,
        "returns_per_year": per_year,
        "years": years,
    }
    assert {k: stats[k] for k in expected} == pytest.approx(expected, rel=1e-9)
    if sampling in ("daily", "weekly"):  # one sample a day: empyrical's own Calmar applies
        assert stats["calmar_ratio"] == pytest.approx(empyrical.calmar_ratio(returns, annualization=per_year))
    # The annualisation is the calendar's, not a fixed count of trading days.
    bounds = {"daily": (245, 265), "weekly": (51, 53.5), "hourly": (255, 265), "minute": (240, 262),
              "tick": (330, 366)}[sampling]
    assert bounds[0] < stats["returns_per_year"] < bounds[1]


def trade(symbol, entry, exit, bought, sold, commission):
    t = report.Trade(symbol, entry, bought / 10, 10, exit, None if exit is None else sold / 10,
                     entered=bought, exited=sold, exit_volume=10 if exit else 0, commission=commission)
    return t


def points(*pairs):
    return [report.EquityPoint(t, v, False) for t, v in pairs]


@pytest.mark.parametrize("case", [
    dict(  # two wins, a loss and an open trade, which only trade_count counts
        trades=[trade("A", "2024-01-02", "2024-01-05", 100, 120, 2), trade("A", "2024-01-08", "2024-01-10", 100, 80, 2),
                trade("B", "2024-01-03", "2024-01-13", 200, 230, 4), trade("A", "2024-01-15", None, 100, 0, 1)],
        expected=dict(trade_count=4, closed_trades=3, win_rate=2 / 3, best_trade=0.18, worst_trade=-0.22,
                      profit_factor=(18 + 26) / 22, expectancy=(18 - 22 + 26) / 3,
                      sqn=math.sqrt(3) * (22 / 3) / math.sqrt(((18 - 22 / 3) ** 2 + (-22 - 22 / 3) ** 2
                                                               + (26 - 22 / 3) ** 2) / 2),
                      avg_trade_days=5.0, max_trade_days=10.0)),
    dict(  # no losing trade, one closed trade: no profit factor, no SQN
        trades=[trade("A", "2024-01-02 10:00:00", "2024-01-02 16:00:00", 100, 110, 0)],
        expected=dict(trade_count=1, closed_trades=1, win_rate=1.0, profit_factor=None, sqn=None,
                      expectancy=10.0, avg_trade_days=0.25, max_trade_days=0.25)),
    dict(  # only an open trade: no trade figure at all
        trades=[trade("A", "2024-01-02", None, 100, 0, 1)],
        expected=dict(trade_count=1, closed_trades=0, win_rate=None, best_trade=None, worst_trade=None,
                      profit_factor=None, expectancy=None, sqn=None, avg_trade_days=None, max_trade_days=None)),
])
def test_trade_figures_by_hand(case):
    curve = points(("2024-01-02 15:00:00", 100.0), ("2024-01-20 15:00:00", 100.0))
    stats = report.statistics_of(curve, 100.0, case["trades"], 0.0)
    assert {k: stats[k] for k in case["expected"]} == pytest.approx(case["expected"])


def fill(day, side, volume, price, commission):
    return {"symbol": "A", "side": side, "price": price, "volume": volume, "amount": price * volume,
            "commission": commission, "created_at": f"2024-01-{day:02d} 00:00:00"}


LONG_THEN_SHORT = [  # (entry, size, entry price, exit, exit price, profit)
    ("2024-01-02", 10, 10.0, "2024-01-03", 12.0, 120 - 100 - 2.2),
    ("2024-01-03", -5, 12.0, "2024-01-04", 11.0, 60 - 55 - 1.15)]


@pytest.mark.parametrize("fills, expected", [
    # A short round trip: sold first, its profit the fall of the price.
    ([fill(2, 2, 10, 20.0, 2.0), fill(3, 1, 10, 15.0, 1.5)],
     [("2024-01-02", -10, 20.0, "2024-01-03", 15.0, 200 - 150 - 3.5)]),
    # A reversal as two fills (closing, then opening) and as one fill through zero, whose
    # commission is shared by volume: the same two trades.
    ([fill(2, 1, 10, 10.0, 1.0), fill(3, 2, 10, 12.0, 1.2), fill(3, 2, 5, 12.0, 0.6), fill(4, 1, 5, 11.0, 0.55)],
     LONG_THEN_SHORT),
    ([fill(2, 1, 10, 10.0, 1.0), fill(3, 2, 15, 12.0, 1.8), fill(4, 1, 5, 11.0, 0.55)], LONG_THEN_SHORT),
    # Scaled in and out: volume-weighted prices, the trade ends when the position is flat.
    ([fill(2, 1, 10, 10.0, 1.0), fill(3, 1, 10, 12.0, 1.2), fill(4, 2, 5, 13.0, 0.65), fill(5, 2, 15, 14.0, 2.1)],
     [("2024-01-02", 20, 11.0, "2024-01-05", 13.75, 275 - 220 - 4.95)]),
    # A short still open at the end: no exit, no profit.
    ([fill(2, 2, 7, 30.0, 0.5)], [("2024-01-02", -7, 30.0, None, None, None)]),
], ids=["short", "reversal-in-two-fills", "reversal-in-one-fill", "scaled", "open-short"])
def test_trades_from_fills_long_and_short(fills, expected):
    trades = report.trades_from_fills(fills, daily=True)
    assert [(t.entry_time, t.size, t.entry_price, t.exit_time, t.exit_price, t.pnl) for t in trades] == \
        [pytest.approx(e) if e[-1] is not None else e for e in expected]
    for t in trades:  # the return is of the amount the trade entered with, either side
        if t.pnl is not None:
            assert t.return_pct == pytest.approx(t.pnl / (abs(t.size) * t.entry_price))


@pytest.mark.parametrize("curve, expected", [
    # A peak left and never regained: the peak is the first sample at the top.
    (points(("2024-01-02 15:00:00", 100.0), ("2024-01-03 15:00:00", 120.0), ("2024-01-04 15:00:00", 120.0),
            ("2024-01-05 15:00:00", 90.0)),
     dict(equity_peak=120.0, equity_peak_time="2024-01-03 15:00:00", max_drawdown=0.25,
          calmar_ratio=(0.9 ** (365.25 / 3) - 1) / 0.25, max_drawdown_days=1.0)),
    # One sample: no period, so nothing is annualised.
    (points(("2024-01-02 15:00:00", 100.0)),
     dict(years=0.0, annualised_return=None, annualised_volatility=None, sharpe_ratio=None,
          sortino_ratio=None, calmar_ratio=None, returns_per_year=None, equity_peak=100.0)),
    # Two days a minute apart: a period far too short to annualise a 30% gain.
    (points(("2024-01-02 23:59:30", 100.0), ("2024-01-03 00:00:30", 130.0)),
     dict(annualised_return=None, annualised_volatility=None, sortino_ratio=None, total_return=0.3)),
    # No sample at all.
    ([], dict(total_return=0.0, annualised_return=None, equity_peak=None, equity_peak_time=None,
              max_drawdown=0.0, exposure=0.0)),
])
def test_curve_edge_cases(curve, expected):
    stats = report.statistics_of(curve, 100.0, [], 0.0)
    assert {k: stats[k] for k in expected} == pytest.approx(expected)
    lines = "\n".join(report.report_lines(stats))  # prints n/a for what is undefined
    assert "None" not in lines and "nan" not in lines


def test_buy_and_hold_basket_and_its_line():
    data = report.ReportData(["A", "B"], 1000.0, commission=0.001, strategy="test")
    for time, a, b in [("2024-01-02 10:00:00", 10.0, None), ("2024-01-02 11:00:00", 12.0, 50.0),
                       ("2024-01-02 12:00:00", 15.0, 25.0)]:
        data.add_bar("A", time, a, {"MA(2)": None if a == 10.0 else a})
        if b is not None:
            data.add_bar("B", time, b)
        data.add_sample(time, 1000.0, False)
    assert data.prices["A"].averages["MA(2)"][1:] == [12.0, 15.0] and math.isnan(data.prices["A"].averages["MA(2)"][0])
    # B enters the basket at its first close: its half of the cash waits until then.
    assert data.benchmark() == pytest.approx([1000.0, 1100.0, 1000.0])
    assert report.buy_and_hold_return(data.prices.values()) == pytest.approx((1.5 + 0.5) / 2 - 1)


def test_report_of_a_session_without_bars(tmp_path):
    pytest.importorskip("matplotlib")
    data = report.ReportData(["A"], 1000.0, commission=0.0, strategy="test")
    data.finish(1000.0, False)
    report.write_report(tmp_path, data)
    assert (tmp_path / "equity.png").read_bytes().startswith(b"\x89PNG\r\n")
    assert (tmp_path / "equity.csv").read_text().splitlines() == ["time,equity,drawdown,exposed"]


# ---- end to end against backtesting.py ----

def goog_daily():
    from backtesting.test import GOOG
    return GOOG


def goog_weekly():
    from backtesting.test import GOOG
    weeks = GOOG.resample("W-FRI").agg({"Open": "first", "High": "max", "Low": "min", "Close": "last",
                                        "Volume": "sum"}).dropna()
    weeks.index = weeks.index.normalize()
    return weeks


def eurusd_hourly():
    from backtesting.test import EURUSD
    return EURUSD


def reference_session(backtesting, bars, fast, slow, cash, commission):
    """backtesting.py running the example's rules; the averages are computed in next() so
    that the run, and its buy and hold, start at the first bar as the example's do."""
    opens = bars.Open.tolist()

    class Cross(backtesting.Strategy):
        def init(self):
            pass

        def next(self):
            closes = self.data.Close
            i = len(closes) - 1
            if i < slow:
                return
            f0, s0 = math.fsum(closes[-fast - 1:-1]) / fast, math.fsum(closes[-slow - 1:-1]) / slow
            f1, s1 = math.fsum(closes[-fast:]) / fast, math.fsum(closes[-slow:]) / slow
            if f0 < s0 and f1 > s1 and not self.position and i + 1 < len(opens):
                # The whole shares the cash buys at the next open, commission included.
                size = int(self.equity // (opens[i + 1] * (1 + commission)))
                if size:
                    self.buy(size=size)
            elif f0 > s0 and f1 < s1 and self.position:
                self.position.close()

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the open trade at the end, the progress bar
        return backtesting.Backtest(bars, Cross, cash=cash, commission=commission).run()


@pytest.mark.parametrize("bars, fast, slow, commission", [
    (goog_daily, 10, 20, 0.002),
    (goog_weekly, 5, 15, 0.002),
    (eurusd_hourly, 10, 30, 0.0002),
], ids=["GOOG-daily", "GOOG-weekly", "EURUSD-hourly"])
def test_statistics_match_backtesting_py(tmp_path, bars, fast, slow, commission):
    backtesting = pytest.importorskip("backtesting")
    pytest.importorskip("msgspec")  # the crossover decodes with it
    frame = bars()
    cash = 10_000
    csv_path = tmp_path / "BARS.csv"
    frame.to_csv(csv_path, index_label="Date", date_format="%Y-%m-%d" if bars is not eurusd_hourly else None)
    out = tmp_path / "out.json"
    proc = subprocess.run([sys.executable, str(SMA_CROSS), str(csv_path), "--fast", str(fast), "--slow", str(slow),
                           "--cash", str(cash), "--commission", str(commission), "--json", str(out), "--quiet"],
                          capture_output=True, text=True, timeout=300, env=dict(os.environ), cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    ours = json.loads(out.read_text())
    stats = reference_session(backtesting, frame, fast, slow, cash, commission)
    closed = stats._trades
    assert len(closed) >= 10
    assert [t["entry_price"] for t in ours["trades"]][:len(closed)] == closed.EntryPrice.tolist()
    assert round(ours["final_equity"], 2) == round(stats["Equity Final [$]"], 2)
    pnl = closed.PnL
    # Where its definitions are ours. Its volatility, Sharpe, Sortino and Calmar rest on
    # its own annualised return and a compounded variance: empyrical checks ours above.
    expected = {
        "total_return": stats["Return [%]"] / 100,
        "annualised_return": stats["CAGR [%]"] / 100,  # the same calendar-time growth
        "equity_peak": stats["Equity Peak [$]"],
        "max_drawdown": -stats["Max. Drawdown [%]"] / 100,
        "buy_and_hold_return": stats["Buy & Hold Return [%]"] / 100,
        "closed_trades": stats["# Trades"],
        "win_rate": stats["Win Rate [%]"] / 100,
        "best_trade": stats["Best Trade [%]"] / 100,
        "worst_trade": stats["Worst Trade [%]"] / 100,
        "sqn": stats["SQN"],
        "max_trade_days": stats["Max. Trade Duration"].total_seconds() / 86400,
        # Its profit factor and expectancy are of the trades' returns; ours of their
        # profits in money, which its trade list gives.
        "profit_factor": pnl[pnl > 0].sum() / -pnl[pnl < 0].sum(),
        "expectancy": pnl.mean(),
        "avg_trade_days": closed.Duration.mean().total_seconds() / 86400,
    }
    assert {k: ours[k] for k in expected} == pytest.approx(expected, rel=1e-6)


# ---- the sweep's heat maps ----

@pytest.mark.parametrize("results", [
    # Excluded cells (fast >= slow), a failed session and a best cell.
    [{"fast": 5, "slow": 10, "final_equity": 11_000.0, "sharpe_ratio": 0.5, "error": None},
     {"fast": 5, "slow": 20, "final_equity": 12_000.0, "sharpe_ratio": None, "error": None},
     {"fast": 10, "slow": 20, "error": "need 0 < fast < slow"},
     {"fast": 20, "slow": 30, "final_equity": 9_000.0, "sharpe_ratio": -0.2, "error": None}],
    # Every session failed: nothing to colour.
    [{"fast": 3, "slow": 8, "error": "boom"}, {"fast": 5, "slow": 8, "error": "boom"}],
])
def test_heat_maps_draw_awkward_grids(tmp_path, results):
    pytest.importorskip("matplotlib")
    assert sweep.write_report(tmp_path, results, "GRID.csv") == ["final_equity.png", "sharpe_ratio.png"]
    for name in ("final_equity.png", "sharpe_ratio.png"):
        assert (tmp_path / name).read_bytes().startswith(b"\x89PNG\r\n")
    assert len((tmp_path / "results.csv").read_text().splitlines()) == len(results) + 1


def test_heat_maps_of_more_dimensions_take_the_best_cell(tmp_path):
    """Sides and a stop-loss besides fast and slow: the grid's points, a map per pair of
    dimensions (failed and undefined points among them), the dimensions in results.csv."""
    pytest.importorskip("matplotlib")
    import argparse

    args = argparse.Namespace(fast=[5, 10], slow=[10, 20], long_short=sweep.sides_list("no,yes"),
                              stop_loss=sweep.fraction_list("none,0.05"), take_profit=None)
    dims = sweep.dimensions(args, None)
    points = sweep.grid(dims)
    assert len(points) == 3 * 2 * 2  # (5, 10), (5, 20), (10, 20)
    results = [{**p, "final_equity": 1000.0 * k, "sharpe_ratio": None if k % 3 else 0.1 * k,
                "error": "boom" if k == 11 else None} for k, p in enumerate(points)]
    names = sweep.write_report(tmp_path, results, "X.csv", dims=dims)
    assert len(names) == 2 * 6 and all((tmp_path / n).is_file() for n in names)
    assert sweep.map_name("final_equity", dims[2], dims[3]) == "final_equity-long_short-stop_loss.png"
    header = (tmp_path / "results.csv").read_text().splitlines()[0]
    assert header.startswith("fast,slow,long_short,stop_loss,final_equity,")
