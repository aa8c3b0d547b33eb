"""The example strategy run end to end in a fresh interpreter against the simulated
session: it finishes, its summary adds up, and the same options print the same session."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "ma_crossover.py"
# Two trading days of one-minute bars and ticks on two symbols: enough for crossovers,
# partial fills and cancels, small enough for the sanitizer run.
SHORT = ["--start", "2024-01-04", "--end", "2024-01-05", "--fast", "3", "--slow", "8",
         "--order-timeout", "2", "--transaction-ratio", "0.02"]


def run_example(*args, timeout=300):
    proc = subprocess.run([sys.executable, str(EXAMPLE), *args], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ), cwd=ROOT)
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


def test_same_options_same_session(session):
    again = run_example(*SHORT)
    assert again.stdout == session.stdout
    assert again.stderr == session.stderr


def test_seed_changes_the_market(session):
    other = run_example(*SHORT, "--seed", "8", "--quiet")
    assert other.stdout != session.stdout
    assert other.stderr == ""


def test_bad_options_are_refused():
    proc = subprocess.run([sys.executable, str(EXAMPLE), "--fast", "9", "--slow", "3"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "--fast" in proc.stderr
    proc = subprocess.run([sys.executable, str(EXAMPLE), "--start", "2024-02-01", "--end", "2024-01-01"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "py_zvi_set_backtest_config failed" in proc.stderr
