"""Session soak: a year of one symbol's ticks through the simulated session, with an
account query and a price query on every tick, resident size sampled as it runs.

    python bench/session_soak.py [--days 250] [--json]

The stand-in keeps a bounded record of calls while a session runs, the events are
handed out and forgotten, and the account holds only what was traded, so the resident
size after the first day stays flat (within a few hundred KiB of allocator noise). The
run also prints the events delivered per second of CPU.
"""
import argparse
import datetime
import json
import os
import time

import c_sdk
import zvsdk_standin

SYMBOL = "SHSE.600000"


def rss_kib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=int, default=250, help="trading days to replay (default: about a year)")
    ap.add_argument("--json", action="store_true", help="print the result as one JSON line at the end")
    args = ap.parse_args()

    start = datetime.date(2024, 1, 1)
    end = start + datetime.timedelta(days=args.days * 7 // 5)
    sdk = zvsdk_standin.StandIn()
    sdk.reset()
    c_sdk.py_zvi_set_serv_addr("sim:seed=1")
    status = c_sdk.py_zvi_set_backtest_config(str(start), str(end), 1e6, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0)
    assert status == 0, c_sdk.py_zvi_get_ext_errormsg()
    assert c_sdk.py_zvi_subscribe(SYMBOL, "tick", False) == 0
    price_request = json.dumps({"symbols": [SYMBOL]}).encode()
    samples = []
    count = [0]

    def handler(name, payload):
        count[0] += 1
        if name == "tick":
            c_sdk.py_zvi_get_cash(b"{}")
            c_sdk.py_zvi_current_price(price_request)
        if count[0] % 100_000 == 0:
            samples.append((count[0], rss_kib()))

    c_sdk.py_zvi_set_data_callback(handler)
    cpu = time.process_time()
    c_sdk.py_zvi_run()
    cpu = time.process_time() - cpu
    samples.append((count[0], rss_kib()))
    for n, kib in samples:
        print(f"{n:>10,} events  rss {kib:>8,} KiB")
    growth = samples[-1][1] - samples[min(1, len(samples) - 1)][1]
    print(f"{count[0]:,} events in {cpu:.2f} s of CPU ({count[0] / cpu:,.0f}/s); "
          f"calls recorded {sdk.call_count():,}, dropped {sdk.calls_dropped():,}; "
          f"rss growth after the first sample {growth:+,} KiB")
    if args.json:
        print(json.dumps({"events": count[0], "cpu_s": cpu, "rss_kib": samples, "growth_kib": growth}))


if __name__ == "__main__":
    main()
