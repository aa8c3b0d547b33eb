"""The examples run end to end in fresh interpreters against the simulated session: the
strategy finishes, its summary and report add up, the same options print the same
session, Ctrl-C stops it with a report; the CSV crossover trades as the reference
backtester does; a sweep on a local Dask cluster equals the single runs."""
import csv
import json
import math
import os
import random
import re
import signal
import subprocess
import sys
import time
import warnings
from datetime import date, timedelta
from pathlib import Path

import pytest

from conftest import check_sanitizer_output, run_child, run_python

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "ma_crossover.py"
SMA_CROSS = ROOT / "examples" / "sma_cross_csv.py"
SWEEP = ROOT / "examples" / "sweep.py"
PORTFOLIO = ROOT / "examples" / "portfolio_csv.py"
FIRST_QUERIES = ROOT / "examples" / "first_queries.py"
# Two trading days of one-minute bars and ticks on two symbols: enough for crossovers,
# partial fills and cancels, small enough for the sanitizer run.
SHORT = ["--start", "2024-01-04", "--end", "2024-01-05", "--fast", "3", "--slow", "8",
         "--order-timeout", "2", "--transaction-ratio", "0.02"]


# The CSV crossover and what runs it decode with msgspec, of the examples extra.
NEEDS_MSGSPEC = {SMA_CROSS, SWEEP, PORTFOLIO}


def run_example(*args, timeout=300, script=EXAMPLE, python=(sys.executable,)):
    if script in NEEDS_MSGSPEC:
        pytest.importorskip("msgspec")
    proc = run_child([*python, str(script), *args], timeout=timeout, env=dict(os.environ), cwd=ROOT)
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc


def field(summary, label):
    match = re.search(rf"^  {label}\s+(.*)$", summary, re.MULTILINE)
    assert match, f"no {label!r} line in\n{summary}"
    return match.group(1)


def number(text):
    return float(text.replace(",", ""))


@pytest.fixture(scope="module")
def session():
    return run_example(*SHORT)


def test_runs_to_its_summary(session):
    out = session.stdout
    assert out.startswith("Backtest 2024-01-04 .. 2024-01-05  seed 7  symbols SHSE.600000, SZSE.000001")
    assert field(out, "run status") == "0 (finished)"
    assert "handler errors" not in out
    # Standard error is not a terminal here: no progress bar, only the opening line.
    assert session.stderr == "running 2024-01-04 .. 2024-01-05 on SHSE.600000, SZSE.000001 (seed 7)\n"


def test_event_counts_add_up(session):
    events = field(session.stdout, "events")
    total, detail = re.fullmatch(r"([\d,]+) \((.*)\)", events).groups()
    counts = {name: int(n.replace(",", "")) for name, n in (p.rsplit(" ", 1) for p in detail.split(", "))}
    assert sum(counts.values()) == int(total.replace(",", ""))
    # Two symbols, two days: 240 one-minute bars and 4800 ticks per symbol and day.
    assert counts["bar"] == 2 * 2 * 240
    assert counts["tick"] == 2 * 2 * 4800
    assert counts["init"] == counts["backtest_finished"] == 1
    assert counts["schedule"] == 2


def test_orders_fills_and_money_agree(session):
    out = session.stdout
    placed, detail = re.fullmatch(r"(\d+) placed: (.*)", field(out, "orders")).groups()
    by_state = {k: int(n) for n, k in (p.split(" ") for p in detail.split(", "))}
    assert sum(by_state.values()) == int(placed) > 0
    assert by_state["filled"] > 0 and by_state["canceled"] > 0
    fills = int(field(out, "fills").split(",")[0])
    assert fills >= by_state["filled"]
    initial = number(field(out, "initial cash"))
    nav = number(field(out, "net asset value"))
    profit = number(field(out, "profit").split(" (")[0])
    assert nav - initial == pytest.approx(profit, abs=0.011)
    # The report's return is the summary's profit, its commissions the fills'.
    assert field(out, "return").startswith(field(out, "profit").split(" (")[1].rstrip(")") + " total")
    assert field(out, "commissions") == field(out, "fills").rsplit("commission ", 1)[1]


def test_same_options_same_session(session):
    again = run_example(*SHORT)
    assert again.stdout == session.stdout
    assert again.stderr == session.stderr


def test_seed_changes_the_market(session):
    other = run_example(*SHORT, "--seed", "8", "--quiet")
    assert other.stdout != session.stdout
    assert other.stderr == ""


def test_bad_options_are_refused():
    proc = run_child([sys.executable, str(EXAMPLE), "--fast", "9", "--slow", "3"], timeout=60)
    assert proc.returncode == 2 and "--fast" in proc.stderr
    proc = run_child([sys.executable, str(EXAMPLE), "--start", "2024-02-01", "--end", "2024-01-01"], timeout=60)
    assert proc.returncode == 2 and "py_zvi_set_backtest_config failed" in proc.stderr


def test_report_files_under_cprofile(tmp_path):
    pytest.importorskip("matplotlib")
    # Run as cProfile's __main__, where a dataclass cannot resolve string annotations.
    proc = run_example(*SHORT, "--quiet", "--report", str(tmp_path),
                       python=(sys.executable, "-m", "cProfile", "-o", str(tmp_path / "profile")))
    assert field(proc.stdout, "run status") == "0 (finished)"
    assert (tmp_path / "equity.png").read_bytes().startswith(b"\x89PNG\r\n")
    trades = (tmp_path / "trades.csv").read_text().splitlines()
    assert trades[0] == "symbol,entry_time,entry_price,size,exit_time,exit_price,pnl,return_pct,commission"
    assert len(trades) - 1 == int(field(proc.stdout, "trades").split(" ")[0])
    equity = (tmp_path / "equity.csv").read_text().splitlines()
    assert equity[0] == "time,equity,drawdown,exposed" and len(equity) > 100


def test_ctrl_c_stops_the_session_and_reports():
    # A year of one-minute bars and ticks: far longer than the test waits.
    proc = subprocess.Popen([sys.executable, str(EXAMPLE), "--end", "2024-12-31"], cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stderr.readline().startswith("running 2024-01-02 .. 2024-12-31")
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    check_sanitizer_output(err)
    assert proc.returncode == 130, err
    assert field(out, "run status") == "0 (interrupted)"
    assert "Traceback" not in err
    assert "backtest_finished" not in field(out, "events")
    assert re.fullmatch(r"-[\d.]+%, [\d.,]+ days", field(out, "max drawdown"))  # the report of what ran


@pytest.mark.parametrize("failing", [None, "zvi_subscribe", "zvi_get_positions_pb", "zvi_get_account_info_pb"])
def test_first_queries_exit_status(failing):
    # The stand-in answers every call with success unless told otherwise; a failing
    # status ends the script with exit status 1 and one line naming the call.
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(FIRST_QUERIES.parent)!r})
        import zvsdk_standin
        if {failing!r}:
            zvsdk_standin.StandIn().set_int({failing!r}, 7)
        import first_queries
        sys.exit(first_queries.main(["--account", "acc-1", "--symbol", "SZSE.000001"]))
    """, check=False, timeout=60)
    if failing is None:
        assert proc.returncode == 0 and proc.stderr == "", proc.stderr
        assert proc.stdout.splitlines()[-1] == "accounts: 0 b''"
        proc = run_child([sys.executable, str(FIRST_QUERIES), "--volume", "many"], timeout=60)
        assert proc.returncode == 2 and "--volume" in proc.stderr
    else:
        assert proc.returncode == 1, proc.stderr
        assert proc.stderr.count("\n") == 1 and "failed with status 7" in proc.stderr, proc.stderr


# ---- the crossover on CSV files ----

def write_walk(path, bars, seed=5):
    """Daily OHLCV bars of a random walk, weekdays only."""
    rng = random.Random(seed)
    day, price = date(2021, 1, 4), 50.0
    lines = ["Date,Open,High,Low,Close,Volume"]
    while len(lines) <= bars:
        if day.weekday() < 5:
            open_ = round(price * (1 + rng.gauss(0, 0.01)), 2)
            close = round(open_ * (1 + rng.gauss(0, 0.02)), 2)
            high = round(max(open_, close) * (1 + abs(rng.gauss(0, 0.005))), 2)
            low = round(min(open_, close) * (1 - abs(rng.gauss(0, 0.005))), 2)
            lines.append(f"{day},{open_},{high},{low},{close},{rng.randrange(1000, 90000)}")
            price = close
        day += timedelta(days=1)
    path.write_text("\n".join(lines) + "\n")
    return path


def run_cross(csv_path, out, *args):
    run_example(str(csv_path), "--json", str(out), "--quiet", *args, script=SMA_CROSS)
    return json.loads(out.read_text())


def reference_run(bars, fast, slow, cash, commission):
    """backtesting.py running the example's rules on a DataFrame of bars: the trades as
    the example's --json writes them (times as dates for daily bars), and its stats."""
    backtesting = pytest.importorskip("backtesting")
    from test_report import reference_session

    stats = reference_session(backtesting, bars, fast, slow, cash, commission)
    return reference_trades(bars, stats), stats


def canonical_long_short(bars, cash, commission, stop_loss=None, take_profit=None):
    """backtesting.py's canonical SmaCross, long/short, with its own SMA and crossover: on
    a cross up close the position and buy, on a cross down close it and sell, with the
    default size. With exit fractions, each entry carries sl/tp at those fractions from
    its fill price, the next open, which the strategy reads ahead in the bars
    (backtesting.py takes absolute exit prices with the order)."""
    backtesting = pytest.importorskip("backtesting")
    from backtesting.lib import crossover
    from backtesting.test import SMA

    opens = bars.Open.tolist()

    def exits(direction, i):
        if i + 1 >= len(opens):  # no bar left to fill on
            return {}
        fill = opens[i + 1]
        return {**({"sl": fill * (1 - direction * stop_loss)} if stop_loss else {}),
                **({"tp": fill * (1 + direction * take_profit)} if take_profit else {})}

    class SmaCross(backtesting.Strategy):
        def init(self):
            self.sma1 = self.I(SMA, self.data.Close, 10)
            self.sma2 = self.I(SMA, self.data.Close, 20)

        def next(self):
            i = len(self.data) - 1
            if crossover(self.sma1, self.sma2):
                self.position.close()
                self.buy(**exits(1, i))
            elif crossover(self.sma2, self.sma1):
                self.position.close()
                self.sell(**exits(-1, i))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the open trade at the end, the progress bar
        stats = backtesting.Backtest(bars, SmaCross, cash=cash, commission=commission).run()
    return reference_trades(bars, stats), stats


def reference_trades(bars, stats):
    """A backtesting.py run's trades as the example's --json writes them (times as dates
    for daily bars), the one still open at the end last."""
    daily = all(t.hour == t.minute == t.second == 0 for t in bars.index)

    def when(t):
        return str(t.date()) if daily else str(t)

    expected = [{"entry_time": when(t.EntryTime), "entry_price": t.EntryPrice, "size": t.Size,
                 "exit_time": when(t.ExitTime), "exit_price": t.ExitPrice}
                for t in stats._trades.itertuples()]
    expected += [{"entry_time": when(t.entry_time), "entry_price": t.entry_price, "size": t.size,
                  "exit_time": None, "exit_price": None} for t in stats._strategy.trades]
    return expected


def assert_same_backtest(ours, expected, stats):
    assert ours["trades"] == expected
    assert round(ours["final_equity"], 2) == round(stats["Equity Final [$]"], 2)
    assert ours["trade_count"] == len(expected) and ours["closed_trades"] == len(stats._trades)


def test_csv_crossover_matches_the_reference_backtester(tmp_path):
    """The GOOG daily bars the reference ships, MA(10) x MA(20), 10,000 cash, 0.2%
    commission: the same trades and the same final equity to the cent."""
    pytest.importorskip("backtesting")
    from backtesting.test import GOOG

    csv_path = tmp_path / "GOOG.csv"
    GOOG.to_csv(csv_path, index_label="Date")
    ours = run_cross(csv_path, tmp_path / "out.json", "--fast", "10", "--slow", "20",
                     "--cash", "10000", "--commission", "0.002")
    expected, stats = reference_run(GOOG, 10, 20, 10_000, 0.002)
    assert len(expected) > 40
    assert_same_backtest(ours, expected, stats)


def test_long_short_crossover_matches_the_canonical_example(tmp_path):
    """backtesting.py's canonical SmaCross on its GOOG bars (10/20, 10,000 cash, 0.2%
    commission): 93 closed trades, shorts with a negative size, and one open at the end,
    the same as ours bar for bar, size for size, price for price; the same final
    equity to the cent."""
    pytest.importorskip("backtesting")
    from backtesting.test import GOOG

    csv_path = tmp_path / "GOOG.csv"
    GOOG.to_csv(csv_path, index_label="Date")
    ours = run_cross(csv_path, tmp_path / "out.json", "--long-short", "--fast", "10", "--slow", "20",
                     "--cash", "10000", "--commission", "0.002")
    expected, stats = canonical_long_short(GOOG, 10_000, 0.002)
    assert len(stats._trades) == 93 and sum(t["size"] < 0 for t in expected) > 40
    assert_same_backtest(ours, expected, stats)
    assert ours["long_short"] is True
    # The report's trade figures count the shorts' profits with their sign.
    pnl = stats._trades.PnL
    assert {k: ours[k] for k in ("win_rate", "best_trade", "worst_trade", "sqn", "expectancy", "profit_factor",
                                 "max_drawdown", "equity_peak")} == pytest.approx({
        "win_rate": stats["Win Rate [%]"] / 100, "best_trade": stats["Best Trade [%]"] / 100,
        "worst_trade": stats["Worst Trade [%]"] / 100, "sqn": stats["SQN"], "expectancy": pnl.mean(),
        "profit_factor": pnl[pnl > 0].sum() / -pnl[pnl < 0].sum(),
        "max_drawdown": -stats["Max. Drawdown [%]"] / 100, "equity_peak": stats["Equity Peak [$]"]}, rel=1e-9)


@pytest.mark.parametrize("stop_loss, take_profit", [(0.08, None), (None, 0.1), (0.08, 0.15)])
def test_exits_match_the_reference_where_the_rules_agree(tmp_path, stop_loss, take_profit):
    """--stop-loss/--take-profit on the canonical long/short run against backtesting.py's
    sl/tp at the same fractions of each entry's fill price. On GOOG's bars no long holds
    both levels in one bar (where backtesting.py takes the stop-loss and the session the
    price path's first), and these fractions keep every short's stop above the close
    before a gap (backtesting.py refuses one below). 5 to 22 of the trades end at an exit."""
    pytest.importorskip("backtesting")
    from backtesting.test import GOOG

    csv_path = tmp_path / "GOOG.csv"
    GOOG.to_csv(csv_path, index_label="Date")
    exits = [*(["--stop-loss", str(stop_loss)] if stop_loss else []),
             *(["--take-profit", str(take_profit)] if take_profit else [])]
    ours = run_cross(csv_path, tmp_path / "out.json", "--long-short", *exits)
    expected, stats = canonical_long_short(GOOG, 10_000, 0.002, stop_loss, take_profit)
    closed = stats._trades
    assert ((closed.ExitPrice == closed.SL) | (closed.ExitPrice == closed.TP)).sum() >= 5
    # An exit's level is the entry's fill price times (1 -/+ the fraction) in both tools.
    assert ours["trades"] == expected
    assert round(ours["final_equity"], 2) == round(stats["Equity Final [$]"], 2)
    assert (ours["stop_loss"], ours["take_profit"]) == (stop_loss, take_profit)


def walk_frame(bars, seed=5, hours=None):
    """write_walk's bars as a DataFrame indexed by time (daily, or every `hours` hours
    around the clock)."""
    pd = pytest.importorskip("pandas")
    rng = random.Random(seed)
    rows, times, price = [], [], 50.0
    when = pd.Timestamp("2021-01-04")
    while len(rows) < bars:
        if hours or when.weekday() < 5:
            open_ = round(price * (1 + rng.gauss(0, 0.01)), 2)
            close = round(open_ * (1 + rng.gauss(0, 0.02)), 2)
            high = round(max(open_, close) * (1 + abs(rng.gauss(0, 0.005))), 2)
            low = round(min(open_, close) * (1 - abs(rng.gauss(0, 0.005))), 2)
            rows.append((open_, high, low, close, rng.randrange(1000, 90000)))
            times.append(when)
            price = close
        when += pd.Timedelta(hours=hours or 24)
    return pd.DataFrame(rows, columns=["Open", "High", "Low", "Close", "Volume"],
                        index=pd.DatetimeIndex(times, name="Date"))


def test_an_entry_after_a_gap_buys_what_the_cash_covers_at_the_fill(tmp_path):
    """The bar an entry fills on opens 60% below the signal's close (an unadjusted 2:1
    split and more): the entry still buys every share the cash covers at that open."""
    pytest.importorskip("backtesting")
    bars = walk_frame(300)
    args = ("--fast", "5", "--slow", "15", "--cash", "10000", "--commission", "0.002")
    bars.to_csv(tmp_path / "WALK.csv")
    first_entry = run_cross(tmp_path / "WALK.csv", tmp_path / "plain.json", *args)["trades"][0]["entry_time"]
    gapped = bars.copy()
    after = gapped.index >= first_entry
    gapped.loc[after, ["Open", "High", "Low", "Close"]] = (gapped.loc[after, ["Open", "High", "Low", "Close"]]
                                                           * 0.4).round(2)
    gapped.to_csv(tmp_path / "GAP.csv")
    ours = run_cross(tmp_path / "GAP.csv", tmp_path / "gap.json", *args)
    expected, stats = reference_run(gapped, 5, 15, 10_000, 0.002)
    entry = ours["trades"][0]
    assert entry["entry_time"] == first_entry
    assert entry["size"] == int(10_000 // (entry["entry_price"] * 1.002))
    assert_same_backtest(ours, expected, stats)


LAYOUTS = {
    # pandas' default: an unnamed index column first, the date a column of its own
    "pandas-index": lambda df: df.reset_index().to_csv(),
    "date-last": lambda df: df.reset_index()[["Open", "High", "Low", "Close", "Volume", "Date"]]
    .to_csv(index=False),
    "semicolons": lambda df: df.to_csv(sep=";", decimal=","),
    "lower-case": lambda df: df.rename(columns=str.lower).to_csv(index_label="date"),
    "utc-offset": lambda df: df.tz_localize("UTC").to_csv(),
    "no-volume": lambda df: df.drop(columns="Volume").to_csv(),
    "descending": lambda df: df.iloc[::-1].to_csv(),
    "adj-close-unused": lambda df: df.assign(**{"Adj Close": df.Close * 0.5}).to_csv(),
}


@pytest.fixture(scope="module")
def walk_reference():
    pytest.importorskip("backtesting")
    bars = walk_frame(260, seed=11)
    return bars, *reference_run(bars, 5, 15, 10_000, 0.002)


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_the_files_traders_have_trade_as_the_reference(tmp_path, walk_reference, layout):
    bars, expected, stats = walk_reference
    path = tmp_path / "WALK.csv"
    path.write_text(LAYOUTS[layout](bars))
    proc = run_example(str(path), "--json", str(tmp_path / "out.json"), "--quiet", "--fast", "5",
                       "--slow", "15", "--cash", "10000", "--commission", "0.002", script=SMA_CROSS)
    assert_same_backtest(json.loads((tmp_path / "out.json").read_text()), expected, stats)
    noted = "Adj Close column is unused" in proc.stdout
    assert noted == (layout == "adj-close-unused")


@pytest.mark.parametrize("hours", [2, 4])
def test_bars_of_hours_trade_as_the_reference(tmp_path, hours):
    pytest.importorskip("backtesting")
    bars = walk_frame(400, seed=hours, hours=hours)
    bars.to_csv(tmp_path / "FX.csv")
    ours = run_cross(tmp_path / "FX.csv", tmp_path / "out.json", "--fast", "5", "--slow", "15",
                     "--cash", "10000", "--commission", "0.002")
    assert ours["frequency"] == f"{hours * 3600}s"
    assert_same_backtest(ours, *reference_run(bars, 5, 15, 10_000, 0.002))


def test_adjusted_prices_trade_as_the_reference_on_scaled_bars(tmp_path):
    """--adjusted: open, high and low scaled by Adj Close / Close, the close replaced."""
    pytest.importorskip("backtesting")
    bars = walk_frame(260, seed=3)
    # A dividend-like step: every bar before the 150th adjusted down by 3%.
    factor = [0.97 if i < 150 else 1.0 for i in range(len(bars))]
    bars["Adj Close"] = (bars.Close * factor).round(4)
    bars.to_csv(tmp_path / "DIV.csv")
    ratio = bars["Adj Close"] / bars.Close
    scaled = bars[["Open", "High", "Low"]].mul(ratio, axis=0).assign(Close=bars["Adj Close"],
                                                                     Volume=bars.Volume)
    ours = run_cross(tmp_path / "DIV.csv", tmp_path / "out.json", "--adjusted", "--fast", "5",
                     "--slow", "15", "--cash", "10000", "--commission", "0.002")
    expected, stats = reference_run(scaled[["Open", "High", "Low", "Close", "Volume"]], 5, 15, 10_000, 0.002)
    assert ours["adjusted"] is True
    assert [t["size"] for t in ours["trades"]] == [t["size"] for t in expected]
    for got, want in zip(ours["trades"], expected):
        assert got["entry_time"] == want["entry_time"] and got["exit_time"] == want["exit_time"]
        assert got["entry_price"] == pytest.approx(want["entry_price"], rel=1e-12)
    assert ours["final_equity"] == pytest.approx(stats["Equity Final [$]"], abs=0.01)


def run_failing(script, *args, timeout=120):
    if script in NEEDS_MSGSPEC:
        pytest.importorskip("msgspec")
    proc = subprocess.run([sys.executable, str(script), *args], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT)
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


BAD_FILES = {
    # name: (file text, the line named, words the message holds)
    "high-below-low": ("Date,Open,High,Low,Close,Volume\n2024-01-02,10,11,9,10,5\n2024-01-03,10,9,11,10,5\n",
                       3, "low"),
    "not-a-number": ("Date,Open,High,Low,Close\n2024-01-02,10,11,9,ten\n", 2, "ten"),
    "unordered": ("Date,Open,High,Low,Close\n2024-01-03,10,11,9,10\n2024-01-02,10,11,9,10\n"
                  "2024-01-04,10,11,9,10\n", 4, "2024-01-04"),
    "no-close": ("Date,Open,High,Low\n2024-01-02,10,11,9\n", 1, "Close"),
    "no-rows": ("Date,Open,High,Low,Close,Volume\n", None, "no bars"),
}


@pytest.mark.parametrize("name", list(BAD_FILES))
def test_a_bad_file_is_named_with_its_line(tmp_path, name):
    text, line, words = BAD_FILES[name]
    path = tmp_path / "BAD.csv"
    path.write_text(text)
    proc = run_failing(SMA_CROSS, str(path), "--quiet")
    assert proc.returncode == 2
    message = proc.stderr.strip()
    assert "\n" not in message and str(path) in message and words in message, message
    if line is not None:
        assert f"line {line}" in message
    assert "status" not in message and "invalid symbol" not in message


def test_unusable_output_paths_are_refused_before_the_session(tmp_path):
    data = write_walk(tmp_path / "WALK.csv", 60)
    plain = tmp_path / "plain"
    plain.write_text("")
    cases = [
        (SMA_CROSS, [str(data), "--report", str(plain / "sub")], "report folder"),
        (SMA_CROSS, [str(data), "--report", str(plain)], "not a folder"),
        (SMA_CROSS, [str(data), "--json", str(tmp_path / "missing" / "out.json")], "does not exist"),
        (SMA_CROSS, [str(data), "--json", str(tmp_path)], "a folder"),
        (EXAMPLE, ["--report", str(plain / "sub")], "report folder"),
        (SWEEP, [str(data), "--fast", "3", "--slow", "8", "--json", str(tmp_path / "missing" / "x.json")],
         "does not exist"),
        (PORTFOLIO, [str(tmp_path), "--json", str(tmp_path / "missing" / "out.json")], "does not exist"),
        (PORTFOLIO, [str(tmp_path), "--report", str(plain)], "not a folder"),
        (SWEEP, [str(data), "--fast", "3", "--slow", "8", "--json", str(tmp_path / "x.json"),
                 "--report", str(plain)], "not a folder"),
    ]
    for script, args, words in cases:
        proc = run_failing(script, *args, "--quiet")
        lines = proc.stderr.strip().splitlines()
        assert proc.returncode == 2 and words in lines[-1], (args, proc.stderr)
        assert proc.stdout == ""  # no session ran
    assert not (tmp_path / "x.json").exists()


# ---- the portfolio on a folder of CSV files ----

def goog_folder(folder, inverse=False):
    """backtesting.py's GOOG bars as GOOG.csv in folder and, with inverse, INV.csv: the
    same days at 100,000 / the price (its high from GOOG's low), which crosses the other
    way, so that the two symbols take turns and are sometimes held together."""
    from backtesting.test import GOOG

    folder.mkdir(exist_ok=True)
    GOOG.to_csv(folder / "GOOG.csv", index_label="Date")
    if inverse:
        inv = GOOG.assign(Open=(1e5 / GOOG.Open).round(2), High=(1e5 / GOOG.Low).round(2),
                          Low=(1e5 / GOOG.High).round(2), Close=(1e5 / GOOG.Close).round(2))
        inv.to_csv(folder / "INV.csv", index_label="Date")
    return folder


def run_portfolio(folder, out, *args):
    run_example(str(folder), "--json", str(out), "--quiet", *args, script=PORTFOLIO)
    return json.loads(out.read_text())


def test_a_one_symbol_portfolio_is_the_single_run(tmp_path):
    """With one file, the one slot is the whole equity: the portfolio trades as
    sma_cross_csv.py does, to the same trades, equity and statistics."""
    pytest.importorskip("backtesting")
    folder = goog_folder(tmp_path / "bars")
    args = ("--fast", "10", "--slow", "20", "--cash", "10000", "--commission", "0.002")
    ours = run_portfolio(folder, tmp_path / "p.json", *args)
    single = run_cross(folder / "GOOG.csv", tmp_path / "s.json", *args)
    assert [{k: t[k] for k in single["trades"][0]} for t in ours["trades"]] == single["trades"]
    assert ours["final_equity"] == single["final_equity"]
    shared = [k for k in single if k in ours and k not in ("trades", "first_bar", "last_bar", "events")]
    assert {k: ours[k] for k in shared} == {k: single[k] for k in shared}
    goog = ours["per_symbol"]["GOOG"]
    assert goog["pnl"] == pytest.approx(ours["final_equity"] - 10_000, abs=1e-6)
    assert {k: goog[k] for k in ("total_return", "max_drawdown", "trade_count", "win_rate")} == \
        pytest.approx({k: ours[k] for k in ("total_return", "max_drawdown", "trade_count", "win_rate")})


def test_a_portfolio_of_two_symbols_adds_up(tmp_path):
    """Two symbols, a slot of half the equity each: every symbol trades on its own
    signals (the single runs' entry and exit days), the slots' profits add up to the
    portfolio's, the weights never sum above 1 and the cash never goes negative."""
    pytest.importorskip("backtesting")
    pytest.importorskip("matplotlib")
    folder = goog_folder(tmp_path / "bars", inverse=True)
    args = ("--fast", "10", "--slow", "20", "--cash", "10000", "--commission", "0.002")
    ours = run_portfolio(folder, tmp_path / "p.json", *args, "--report", str(tmp_path / "report"))
    assert ours["symbols"] == ["GOOG", "INV"]
    for symbol in ours["symbols"]:
        single = run_cross(folder / f"{symbol}.csv", tmp_path / f"{symbol}.json", *args)
        mine = [t for t in ours["trades"] if t["symbol"] == symbol]
        assert [(t["entry_time"], t["exit_time"]) for t in mine] == \
            [(t["entry_time"], t["exit_time"]) for t in single["trades"]]
        assert ours["per_symbol"][symbol]["trade_count"] == len(mine)
    assert sum(s["pnl"] for s in ours["per_symbol"].values()) == pytest.approx(ours["final_equity"] - 10_000,
                                                                               abs=0.005)
    report = tmp_path / "report"
    with open(report / "weights.csv", newline="") as rows:
        weights = list(csv.DictReader(rows))
    assert len(weights) == ours["bars"] // 2
    together = 0
    for row in weights:
        held = [float(row[s]) for s in ours["symbols"]]
        assert float(row["cash"]) >= 0 and sum(held) <= 1 + 1e-12
        assert sum(held) + float(row["cash"]) == pytest.approx(1)
        together += all(held)
    assert together > 0  # the two positions overlap on some days
    assert len((report / "symbols.csv").read_text().splitlines()) == 3
    for name in ("equity.png", "symbols.png"):
        assert (report / name).read_bytes().startswith(b"\x89PNG\r\n")


def test_an_unreachable_scheduler_is_refused_before_the_sweep(tmp_path):
    pytest.importorskip("distributed")
    data = write_walk(tmp_path / "WALK.csv", 60)
    proc = run_failing(SWEEP, str(data), "--fast", "3", "--slow", "8", "--json", str(tmp_path / "x.json"),
                       "--scheduler", "tcp://127.0.0.1:9", "--quiet")
    assert proc.returncode == 2
    assert proc.stderr.strip().splitlines()[-1].startswith("cannot reach the scheduler tcp://127.0.0.1:9")
    assert not (tmp_path / "x.json").exists()


@pytest.fixture(scope="module")
def sweep_singles(tmp_path_factory):
    """A walk's file and the single runs of sma_cross_csv.py the sweeps below must equal."""
    folder = tmp_path_factory.mktemp("sweep")
    csv_path = write_walk(folder / "WALK.csv", 160)
    singles = {(fast, slow): run_cross(csv_path, folder / f"{fast}-{slow}.json", "--fast", str(fast),
                                       "--slow", str(slow), "--cash", "5000", "--commission", "0.001")
               for fast in (3, 5) for slow in (8, 13, 21)}
    return csv_path, singles


# How the sweep runs its sessions: nine points (three of them failing) with one worker run
# in its own process, one session after another on the bars it keeps; with two, in a pool
# of two processes, each keeping its bars; with --dask, on a local Dask cluster.
@pytest.mark.parametrize("executor", [["--workers", "1"], ["--workers", "2"], ["--workers", "2", "--dask"]],
                         ids=["in-process", "pool", "dask"])
def test_sweep_equals_the_single_runs(tmp_path, sweep_singles, executor):
    if "--dask" in executor:
        pytest.importorskip("distributed")
    csv_path, singles = sweep_singles
    out = tmp_path / "sweep.json"
    try:
        import matplotlib  # noqa: F401  (the report's heat maps need it)
        charts = True
    except ModuleNotFoundError:
        charts = False
    report = ["--report", str(tmp_path / "report")] if charts else []
    proc = run_child(
        [sys.executable, str(SWEEP), str(csv_path), "--fast", "0,3,5", "--slow", "8,13,21", *executor,
         "--cash", "5000", "--commission", "0.001", "--json", str(out), *report, "--quiet"],
        timeout=120, cwd=ROOT)
    # Three sessions fail on their parameters; the sweep says so and runs the others.
    assert proc.returncode == 1, proc.stderr
    results = {(e["fast"], e["slow"]): e for e in json.loads(out.read_text())["results"]}
    assert list(results) == [(f, s) for f in (0, 3, 5) for s in (8, 13, 21)]
    assert results[0, 8]["error"] == "need 0 < fast < slow, not fast 0, slow 8"
    for (fast, slow), single in singles.items():
        entry = results[fast, slow]
        assert entry["error"] is None and entry["trades"] == len(single["trades"]) > 0
        assert {k: entry[k] for k in entry if k in single and k != "trades"} == \
            {k: single[k] for k in entry if k in single and k != "trades"}
    if charts:
        for name in ("final_equity.png", "sharpe_ratio.png"):
            assert (tmp_path / "report" / name).read_bytes().startswith(b"\x89PNG\r\n")
        assert len((tmp_path / "report" / "results.csv").read_text().splitlines()) == 10


def test_sweep_of_a_folder_over_sides_and_exits(tmp_path):
    """A folder, file by file, with the sides and a stop-loss as dimensions: every point
    equals its single run, and every pair of dimensions gets its maps; then the folder as
    one portfolio, which equals portfolio_csv's run."""
    pytest.importorskip("distributed")
    pytest.importorskip("matplotlib")
    pytest.importorskip("msgspec")
    folder = tmp_path / "bars"
    folder.mkdir()
    for name, seed in [("AAA", 5), ("BBB", 9)]:
        write_walk(folder / f"{name}.csv", 160, seed=seed)
    out = tmp_path / "sweep.json"
    proc = run_child(
        [sys.executable, str(SWEEP), str(folder), "--fast", "3,5", "--slow", "8", "--long-short", "no,yes",
         "--stop-loss", "none,0.03", "--workers", "2", "--cash", "5000", "--commission", "0.001",
         "--json", str(out), "--report", str(tmp_path / "report"), "--quiet"], timeout=180, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(out.read_text())["results"]
    points = [(e["symbol"], e["fast"], e["slow"], e["long_short"], e["stop_loss"]) for e in results]
    assert points == [(f, fast, 8, ls, sl) for f in ("AAA", "BBB") for fast in (3, 5) for ls in (False, True)
                      for sl in (None, 0.03)]
    assert all(e["error"] is None for e in results)
    for entry in (results[3], results[12]):  # AAA 3/8 long/short with the stop; BBB 5/8 long only
        options = [*(["--long-short"] if entry["long_short"] else []),
                   *(["--stop-loss", str(entry["stop_loss"])] if entry["stop_loss"] else [])]
        single = run_cross(folder / f"{entry['symbol']}.csv", tmp_path / "single.json", "--fast", str(entry["fast"]),
                           "--slow", "8", "--cash", "5000", "--commission", "0.001", *options)
        assert entry["trades"] == len(single["trades"]) > 0
        assert {k: entry[k] for k in entry if k in single and k != "trades"} == \
            {k: single[k] for k in entry if k in single and k != "trades"}
    # symbol, fast, slow (one value, but always an axis), sides, stop-loss: ten pairs.
    maps = sorted(p.name for p in (tmp_path / "report").glob("*.png"))
    assert len(maps) == 20 and "final_equity.png" in maps and "sharpe_ratio-long_short-stop_loss.png" in maps
    assert all((tmp_path / "report" / m).read_bytes().startswith(b"\x89PNG\r\n") for m in maps)

    proc = run_child([sys.executable, str(SWEEP), str(folder), "--portfolio", "--fast", "3", "--slow", "8",
                      "--workers", "1", "--json", str(out), "--quiet"], timeout=180, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    [entry] = json.loads(out.read_text())["results"]
    single = run_portfolio(folder, tmp_path / "p.json", "--fast", "3", "--slow", "8")
    assert (entry["final_equity"], entry["trades"]) == (single["final_equity"], len(single["trades"]))
    refused = run_failing(SWEEP, str(folder), "--portfolio", "--long-short", "--fast", "3", "--slow", "8",
                          "--json", str(out))
    assert refused.returncode == 2 and "long-only" in refused.stderr


def example_module(name):
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        return __import__(name)
    finally:
        sys.path.remove(str(ROOT / "examples"))


def check_running_averages(closes, fast, slow):
    """MovingAverages against sma() (math.fsum over the window) after every close: the
    same floats, and so the same crossings."""
    cross = example_module("sma_cross_csv")
    averages = cross.MovingAverages(fast, slow)
    seen, before = [], (None, None)
    for close in closes:
        seen.append(close)
        now = averages.add(close)
        expected = tuple(cross.sma(seen, n) if len(seen) >= n else None for n in (fast, slow))
        assert now == expected, (len(seen), close)
        signal = 0 if before[1] is None else cross.crossing(*before, *now)
        assert signal == cross.cross(seen, fast, slow)
        before = now


WALK = [round(50 * math.exp(0.01 * math.sin(i) + 0.002 * i), 2) for i in range(300)]


@pytest.mark.parametrize("closes, fast, slow", [
    # cent prices: no window sum is exact in floats
    (WALK, 10, 20),
    # a coarse grid: exact ties of the two averages, bar after bar
    ([10 + 0.25 * ((i * 7) % 5 - 2) for i in range(200)], 2, 4),
    ([1.0, 2.0, 3.0, 2.0] * 40, 2, 4),
    # finer bits arriving late, after the counts have a coarser unit (rescaled)
    ([100.0] * 30 + [0.1, 100.0, 1e-9, 3.0] * 10, 3, 7),
    # magnitudes far apart, whose plain running sum loses the small ones
    ([1e16, 1.0, 3.0, 1e-3, 1e16, 7.0] * 20, 2, 5),
    # subnormal and huge closes: counts beyond any float scale
    ([5e-324, 1e300, 2.5e-308, 1.0, 1e-300] * 12, 2, 3),
    # huge closes in fine units: window sums past the float range, counted in units
    ([1e300, 2.0 ** -40, 1.5e300, 3.25] * 12, 2, 3),
], ids=["cents", "quarter-ties", "integer-ties", "finer-late", "magnitudes", "extremes", "huge-fine"])
def test_running_averages_equal_fsum_windows(closes, fast, slow):
    pytest.importorskip("msgspec")
    check_running_averages(closes, fast, slow)


def test_running_averages_equal_fsum_windows_fuzzed():
    pytest.importorskip("msgspec")
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies
    closes = st.lists(st.one_of(st.floats(min_value=1e-300, max_value=1e300),
                                st.integers(1, 400).map(lambda c: c / 4),
                                st.integers(1, 100_000).map(lambda c: c / 100)), max_size=80)

    @hypothesis.settings(max_examples=300, deadline=None)
    @hypothesis.given(closes, st.integers(1, 6), st.integers(1, 10))
    def check(values, fast, longer):
        check_running_averages(values, fast, fast + longer)

    check()


def test_report_statistics_by_hand():
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        import backtest_report as report
    finally:
        sys.path.remove(str(ROOT / "examples"))
    fills = [
        {"symbol": "A", "side": 1, "price": 10.0, "volume": 10, "amount": 100.0, "commission": 1.0,
         "created_at": "2024-01-02 00:00:00"},
        {"symbol": "B", "side": 1, "price": 5.0, "volume": 4, "amount": 20.0, "commission": 0.5,
         "created_at": "2024-01-03 00:00:00"},
        {"symbol": "A", "side": 2, "price": 12.0, "volume": 10, "amount": 120.0, "commission": 1.0,
         "created_at": "2024-01-05 00:00:00"},
    ]
    trades = report.trades_from_fills(fills, daily=True)
    assert [(t.symbol, t.entry_time, t.size, t.exit_time, t.exit_price, t.pnl) for t in trades] == [
        ("A", "2024-01-02", 10, "2024-01-05", 12.0, 18.0), ("B", "2024-01-03", 4, None, None, None)]
    curve = [report.EquityPoint(f"2024-01-0{d} 15:00:00", v, d > 2)
             for d, v in [(2, 100.0), (3, 120.0), (4, 90.0), (5, 130.0)]]
    stats = report.statistics_of(curve, 100.0, trades, 2.5)
    # Three daily returns over three calendar days: 365.25 of them a year.
    returns = [0.2, -0.25, 130 / 90 - 1]
    mean = sum(returns) / 3
    sd = math.sqrt(sum((r - mean) ** 2 for r in returns) / 2)
    assert stats["total_return"] == pytest.approx(0.3)
    assert stats["annualised_return"] == pytest.approx(1.3 ** (365.25 / 3) - 1)
    assert stats["annualised_volatility"] == pytest.approx(sd * math.sqrt(365.25))
    assert stats["sharpe_ratio"] == pytest.approx(mean / sd * math.sqrt(365.25))
    assert stats["max_drawdown"] == pytest.approx(0.25)
    assert stats["max_drawdown_days"] == 2.0  # from the peak on the 3rd back to it on the 5th
    assert stats["exposure"] == 0.75
    assert (stats["trade_count"], stats["closed_trades"], stats["win_rate"]) == (2, 1, 1.0)
    assert stats["best_trade"] == stats["worst_trade"] == pytest.approx(0.18)
    assert stats["commissions"] == 2.5
    # Equity that stays level or rises over weeks has no drawdown, nor any length of one.
    flat = [report.EquityPoint(f"2024-01-{d:02d} 15:00:00", v, False)
            for d, v in [(2, 100.0), (9, 100.0), (16, 110.0)]]
    assert report.statistics_of(flat, 100.0, [], 0.0)["max_drawdown_days"] == 0.0
