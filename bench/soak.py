"""Soak: ten million mixed calls and events through one binding, resident size sampled
at the start, after every million operations and at the end.

    python bench/soak.py [--impl c_sdk] [--ops 10000000] [--json]

The mix, per chunk of 10,000 operations: 4,000 py_zvi_get_orders (one chunk in ten
with a failing status, so the (status, None) path runs too), 1,500 py_zvi_subscribe
with bytes and 1,000 with str, 20 calls refused with TypeError, and 3,480 events
through py_zvi_run to a Python handler. With c_sdk, each chunk also reads and writes a
BarLikeDict2 record 1,000 times (not counted as operations).

The stand-in records every call it receives; it is reset after every chunk (outside the
count), so its record never holds more than one chunk. The start sample is taken after
one warm-up chunk, once the interpreter, the allocator and the stand-in have reached
their working size.
"""
import argparse
import gc
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads as W  # noqa: E402

CHUNK = 10_000
ORDERS, SUB_BYTES, SUB_STR, BAD = 4000, 1500, 1000, 20
EVENTS = CHUNK - ORDERS - SUB_BYTES - SUB_STR - BAD
RECORD_OPS = 1000


def rss_kib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--impl", default="c_sdk", choices=list(W.BINDINGS))
    ap.add_argument("--ops", type=int, default=10_000_000)
    ap.add_argument("--json", action="store_true", help="print the result as one JSON line at the end")
    args = ap.parse_args()

    W.add_ref_paths()
    mod = W.load(args.impl)
    sdk = W.standin()
    queue = W.Queue(sdk)
    get_orders, subscribe, run = mod.py_zvi_get_orders, mod.py_zvi_subscribe, mod.py_zvi_run
    req, sb, fb, ss, fs = W.REQUEST, W.SYMBOLS.encode(), W.FREQUENCY.encode(), W.SYMBOLS, W.FREQUENCY
    bar = mod.BarLikeDict2({"close": 1.0, "open": 2.0}) if hasattr(mod, "BarLikeDict2") else None

    def chunk(i):
        W.prepare_orders(sdk, status=3 if i % 10 == 9 else 0)
        mod.py_zvi_set_data_callback(W.h)
        for _ in range(ORDERS):
            get_orders(req)
        for _ in range(SUB_BYTES):
            subscribe(sb, fb, False)
        for _ in range(SUB_STR):
            subscribe(ss, fs, True)
        for _ in range(BAD):
            try:
                get_orders(12345)
            except TypeError:
                pass
        queue(EVENTS)
        run()
        if bar is not None:
            for _ in range(RECORD_OPS // 4):
                bar.close
                bar.foo
                bar["open"]
                bar.close = 1.5

    chunks = max(1, args.ops // CHUNK)
    chunk(-1)
    gc.collect()
    samples = [rss_kib()]
    t0 = time.perf_counter()
    log = sys.stderr if args.json else sys.stdout
    print(f"{args.impl}: start {samples[0]:,} KiB", file=log, flush=True)
    per_million = 1_000_000 // CHUNK
    for i in range(chunks):
        chunk(i)
        if (i + 1) % per_million == 0 or i + 1 == chunks:
            gc.collect()
            samples.append(rss_kib())
            print(f"{args.impl}: {(i + 1) * CHUNK:>11,} ops  {samples[-1]:>9,} KiB", file=log, flush=True)
    sdk.reset()
    result = {"impl": args.impl, "ops": chunks * CHUNK, "seconds": round(time.perf_counter() - t0, 1),
              "start_kib": samples[0], "end_kib": samples[-1], "samples_kib": samples}
    if args.json:
        print(json.dumps(result))
    else:
        print(f"{args.impl}: end {samples[-1]:,} KiB, growth {samples[-1] - samples[0]:+,} KiB "
              f"over {result['ops']:,} ops in {result['seconds']} s")


if __name__ == "__main__":
    main()
