"""Benchmarks of c_sdk against the floor (a minimal hand-written C extension) and the
bindings a user would write instead (Cython, pybind11, cffi, ctypes), all calling the
same stand-in libzvsdk.so. Run through bench/run.sh, which builds what this needs.

    python bench/run.py [--quick] [--cases B1,B3] [--json FILE] [--no-soak]
    python bench/run.py --callgrind [--quick]

Every time is the median over repeated timed loops (each loop timed whole, the
statement unrolled ten times per iteration, the collector off), taken round-robin over
the implementations so drift hits all of them alike; every ratio uses the floor (B4: a
plain dict) of the same run. "net" subtracts the SDK's own cost per call, measured in the
same run by driving the stand-in from C without any Python object ("SDK alone"): the
stand-in records every call, which costs the same for every binding and would otherwise
dilute the ratios. Before timing, every binding's result and the calls the stand-in
recorded are checked against c_sdk's for the same arguments.

--callgrind runs each case under valgrind (collection switched on around the operations
only, by the floor's cg_toggle) and reports instructions per operation instead.
"""
import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads as W  # noqa: E402

UNROLL = 10

# The stand-in allocates for every call it records and every event it queues. With
# glibc's defaults the freed memory goes back to the kernel after most loops and comes
# back as page faults in the next, which made "SDK alone" vary by a factor of two between
# loops; these settings keep it in the process for the timings (the soak runs with the
# defaults, as users do).
MALLOC_TUNABLES = ("glibc.malloc.trim_threshold=1073741824:glibc.malloc.mmap_threshold=33554432:"
                   "glibc.malloc.top_pad=67108864")

# ---- timing ----


def compile_loop(stmt, names, unroll=UNROLL):
    """A function loop(n) running stmt n * unroll times with names bound as locals."""
    params = "".join(f", {k}" for k in names)
    body = "".join(f"        {stmt}\n" for _ in range(unroll))
    ns = {}
    exec(f"def loop(n{params}):\n    for _ in range(n):\n{body}", ns)
    fn = ns["loop"]
    return lambda n: fn(n, **names)


def timed(fn, *args):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        fn(*args)
        return time.perf_counter_ns() - t0
    finally:
        gc.enable()


def record(sdk):
    """The stand-in's record of calls."""
    return list(sdk.calls())


class Case:
    """One benchmark: for each implementation, a setup and a timed run giving ns per op."""

    key = title = ""
    impls = ()

    def __init__(self, sdk, mods, scale):
        self.sdk, self.mods, self.scale = sdk, mods, scale

    def run_once(self, impl):
        """ns per operation of one timed loop."""
        raise NotImplementedError

    def check(self, impl):
        """Asserts that impl does the same work as c_sdk (result and what the SDK saw)."""


class CallCase(Case):
    loops = 2000  # iterations of the unrolled loop

    def __init__(self, sdk, mods, scale):
        super().__init__(sdk, mods, scale)
        self.n = max(50, int(self.loops * scale))
        self._loops = {}

    def prepare(self):
        raise NotImplementedError

    def make(self, impl):
        """("py", loop(n) of n unrolled iterations) or ("c", run(calls)) for the SDK alone."""
        raise NotImplementedError

    @property
    def ops_per_loop(self):
        return self.n * UNROLL

    def run_once(self, impl):
        self.prepare()
        if impl not in self._loops:
            self._loops[impl] = self.make(impl)
        kind, fn = self._loops[impl]
        calls = self.n * UNROLL
        ns = timed(fn, self.n if kind == "py" else calls)
        return ns / calls


class B1(CallCase):
    key = "B1"
    title = "py_zvi_get_orders: 16-byte request, success, 64-byte response"
    impls = tuple(W.BINDINGS) + ("sdk",)

    def prepare(self):
        W.prepare_orders(self.sdk)

    def make(self, impl):
        if impl == "sdk":
            return "c", lambda n: self.mods["floor"].sdk_get_orders(W.REQUEST, n)
        return "py", compile_loop("f(req)", {"f": self.mods[impl].py_zvi_get_orders, "req": W.REQUEST})

    def check(self, impl):
        for status, body in [(0, W.RESPONSE), (7, None)]:
            seen = []
            for name in ("c_sdk", impl):
                W.prepare_orders(self.sdk, status)
                got = self.mods[name].py_zvi_get_orders(W.REQUEST)
                assert got == (status, body), f"{name}: {got!r}"
                seen.append(record(self.sdk))
            assert seen[0] == seen[1] and len(seen[0]) == 1, f"{impl} called the SDK as {seen[1]}, c_sdk as {seen[0]}"


class B1s(B1):
    key = "B1s"
    title = "py_zvi_get_orders with a str request (c_sdk: through adapt_to_python3; floor: bytes)"
    # The floor and the peers take bytes only: the figure is c_sdk's str call against the
    # floor's bytes call doing the same SDK work.
    impls = ("floor", "c_sdk", "sdk")

    def make(self, impl):
        if impl == "c_sdk":
            return "py", compile_loop("f(req)", {"f": self.mods[impl].py_zvi_get_orders, "req": W.REQUEST_TEXT})
        return super().make(impl)

    def check(self, impl):
        if impl != "c_sdk":
            return super().check(impl)
        seen = []
        for req in (W.REQUEST, W.REQUEST_TEXT):
            W.prepare_orders(self.sdk)
            got = self.mods[impl].py_zvi_get_orders(req)
            assert got == (0, W.RESPONSE), f"{impl}: {got!r}"
            seen.append(record(self.sdk))
        assert seen[0] == seen[1] and len(seen[0]) == 1, f"str request: {seen[1]}, bytes: {seen[0]}"


class B2(CallCase):
    key = "B2"
    title = "py_zvi_subscribe with bytes arguments"
    impls = tuple(W.BINDINGS) + ("sdk",)
    args = (W.SYMBOLS.encode(), W.FREQUENCY.encode())

    def prepare(self):
        self.sdk.reset()

    def make(self, impl):
        if impl == "sdk":
            s, fq = (a.encode() if isinstance(a, str) else a for a in self.args)
            return "c", lambda n: self.mods["floor"].sdk_subscribe(s, fq, n)
        s, fq = self.args
        return "py", compile_loop("f(s, fq, False)", {"f": self.mods[impl].py_zvi_subscribe, "s": s, "fq": fq})

    def check(self, impl):
        seen = []
        for name in ("c_sdk", impl):
            self.sdk.reset()
            got = self.mods[name].py_zvi_subscribe(*self.args, False)
            assert got == 0, f"{name}: {got!r}"
            seen.append(record(self.sdk))
        assert seen[0] == seen[1] and len(seen[0]) == 1, f"{impl} called the SDK as {seen[1]}, c_sdk as {seen[0]}"


class B2s(B2):
    key = "B2s"
    title = "py_zvi_subscribe with str arguments (c_sdk: through adapt_to_python3)"
    args = (W.SYMBOLS, W.FREQUENCY)


class B3(Case):
    key = "B3"
    title = "events through py_zvi_run to def h(name, payload): pass, per event"
    impls = tuple(W.BINDINGS) + ("sdk",)
    events = 1_000_000  # per implementation, over all loops
    # Events per timed run of py_zvi_run. The stand-in keeps each queued event in its own
    # heap block; with far more than this the blocks outgrow the caches and the times
    # swing by a factor of two between runs with the allocator's free-list order.
    batch = 5000

    def __init__(self, sdk, mods, scale, repeats):
        super().__init__(sdk, mods, scale)
        self.repeats = max(repeats, int(self.events * scale) // self.batch)
        self.ops_per_loop = self.batch

    def run_once(self, impl):
        if impl == "sdk":
            W.prepare_events(self.sdk, None, self.batch)
            ns = timed(self.mods["floor"].sdk_run)
        else:
            mod = self.mods[impl]
            W.prepare_events(self.sdk, mod, self.batch)
            ns = timed(mod.py_zvi_run)
        assert self.sdk.pending_events() == 0
        return ns / self.batch

    def check(self, impl):
        seen = []
        mod = self.mods[impl]
        W.prepare_events(self.sdk, mod, 3, handler=lambda name, payload: seen.append((name, payload)))
        assert mod.py_zvi_run() == 0
        assert seen == [(W.EVENT_NAME.decode(), W.EVENT_PAYLOAD)] * 3, f"{impl}: {seen!r}"


# ---- B4: record reads and writes ----
#
# The operations and the pure-Python model are bench_records.py's (CASES, PyBar); here
# they are timed like every other figure, as medians of round-robin loops.

READS = ("r.close", "r.extra", "r['close']")  # property, __getattr__, item


class B4(Case):
    key = "B4"
    title = "record reads and writes (bench_records.py): BarLikeDict2 vs dict and the pure-Python PyBar"
    loops = 20000

    def __init__(self, sdk, mods, scale):
        super().__init__(sdk, mods, scale)
        import bench_records as BR

        self.n = max(500, int(self.loops * scale))
        self.ops_per_loop = self.n * UNROLL
        data = {name: 1.0 for name in BR.FIELDS}
        data["extra"] = 2.0
        self.ext, self.py = mods["c_sdk"].BarLikeDict2(dict(data)), BR.PyBar(dict(data))
        self.labels = {}
        self.rows = {}
        for label, stmt, baseline in BR.CASES:
            self.labels[stmt] = (label, baseline)
            for side, Bar, r in (("c_sdk", type(self.ext), self.ext), ("python", BR.PyBar, self.py)):
                self.rows[f"{side}: {stmt}"] = compile_loop(stmt, {"r": r, "d": r.data, "Bar": Bar})
            if baseline and f"dict: {baseline}" not in self.rows:
                self.rows[f"dict: {baseline}"] = compile_loop(baseline, {"d": dict(data)})
        self.impls = tuple(self.rows)

    def run_once(self, impl):
        return timed(self.rows[impl], self.n) / (self.n * UNROLL)

    def check(self, impl):
        for r in (self.ext, self.py):
            assert r.close == r["close"] == r.data["close"] and r.extra == 2.0 and r.nothing is None


CASES = {"B1": B1, "B1s": B1s, "B2": B2, "B2s": B2s, "B3": B3, "B4": B4}


def load_average():
    """The one-minute load average, or None where the system has none."""
    try:
        return os.getloadavg()[0]
    except (AttributeError, OSError):
        return None


def measure(cases, repeats, loads=None):
    """{case key: {impl: [ns per op, ...]}} over repeats rounds, rotating the order.
    Appends the load average after each case to loads."""
    out = {c.key: {i: [] for i in c.impls} for c in cases}
    for case in cases:
        for impl in case.impls:
            if impl != "sdk":
                case.check(impl)
        impls = list(case.impls)
        case.run_once(impls[0])  # warm-up of the code paths and the allocator
        for rep in range(getattr(case, "repeats", repeats)):
            k = rep % len(impls)
            for impl in impls[k:] + impls[:k]:
                out[case.key][impl].append(case.run_once(impl))
        if loads is not None:
            loads.append(load_average())
        print(f"  {case.key} done", file=sys.stderr, flush=True)
    return out


# ---- soak ----


def soak(impl, ops, refs):
    cmd = [sys.executable, os.path.join(W.HERE, "soak.py"), "--impl", impl, "--ops", str(ops), "--json"]
    env = dict(os.environ, CSDK_BENCH_REFS=refs)
    if env.get("GLIBC_TUNABLES") == MALLOC_TUNABLES:
        del env["GLIBC_TUNABLES"]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=1800)
    if proc.returncode != 0:
        raise RuntimeError(f"soak {impl} failed:\n{proc.stdout}\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---- callgrind ----

CG_CASES = ["B1", "B1s", "B2", "B2s", "B3"]
CG_IMPLS = {"B1s": B1s.impls}


def cg_worker(case, impl, n, refs):
    """Runs n operations of case with callgrind collecting only around them."""
    W.add_ref_paths(refs)
    floor = W.load("floor")
    sdk = W.standin()
    mod = floor if impl == "sdk" else W.load(impl)
    if case == "B3":
        W.prepare_events(sdk, None if impl == "sdk" else mod, n)
        run = floor.sdk_run if impl == "sdk" else mod.py_zvi_run
    else:
        if case in ("B1", "B1s"):
            W.prepare_orders(sdk)
            req = W.REQUEST_TEXT if case == "B1s" and impl == "c_sdk" else W.REQUEST
            stmt, names = "f(req)", {"f": getattr(mod, "py_zvi_get_orders", None), "req": req}
            c_loop = lambda: floor.sdk_get_orders(W.REQUEST, n)  # noqa: E731
        else:
            sdk.reset()
            args = (W.SYMBOLS, W.FREQUENCY) if case == "B2s" else (W.SYMBOLS.encode(), W.FREQUENCY.encode())
            stmt, names = "f(s, fq, False)", {"f": getattr(mod, "py_zvi_subscribe", None), "s": args[0], "fq": args[1]}
            c_loop = lambda: floor.sdk_subscribe(W.SYMBOLS.encode(), W.FREQUENCY.encode(), n)  # noqa: E731
        if impl == "sdk":
            run = c_loop
        else:
            loop = compile_loop(stmt, names)
            loop(2)  # warm-up: caches, specialised bytecode
            run = lambda: loop(n // UNROLL)  # noqa: E731
    gc.disable()
    floor.cg_toggle()
    run()
    floor.cg_toggle()


def callgrind_ir(out_file):
    with open(out_file) as fh:
        for line in fh:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {out_file}")


def callgrind(refs, quick):
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed (bench/run.sh --callgrind installs it)")
    n = 2000 if quick else 20000
    impls = list(W.BINDINGS) + ["sdk"]
    results = {}
    # Kept for callgrind_annotate: .work/bench-callgrind-<version>/<case>.<impl>.out
    W.add_ref_paths(refs)
    if not W.load("floor").have_callgrind:
        sys.exit("the floor was built without valgrind/callgrind.h: run bench/build_refs.py with --force")
    ver = "%d.%d" % sys.version_info[:2]
    keep = os.environ.get("CSDK_BENCH_CALLGRIND_DIR", os.path.join(W.ROOT, ".work", f"bench-callgrind-{ver}"))
    os.makedirs(keep, exist_ok=True)
    env = dict(os.environ, PYTHONHASHSEED="0", CSDK_BENCH_REFS=refs)
    for case in CG_CASES:
        results[case] = {}
        for impl in CG_IMPLS.get(case, impls):
            out = os.path.join(keep, f"{case}.{impl}.out")
            cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}",
                   sys.executable, os.path.abspath(__file__), "--cg-worker", case, impl, str(n)]
            proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=900)
            if proc.returncode != 0:
                raise RuntimeError(f"callgrind {case} {impl} failed:\n{proc.stderr[-4000:]}")
            ir = callgrind_ir(out)
            if ir == 0:
                raise RuntimeError(f"callgrind {case} {impl}: nothing collected")
            results[case][impl] = ir / n
            print(f"  callgrind {case} {impl}: {results[case][impl]:.0f} Ir/op", file=sys.stderr, flush=True)
    return {"n": n, "ir_per_op": results, "outputs": keep}


def print_callgrind(cg):
    print(f"\nInstructions per operation (callgrind, {cg['n']:,} operations each, collected around them only)")
    print(f"  {'':12}" + "".join(f"{c:^26}" for c in CG_CASES))
    print(f"  {'':12}" + "".join(f"{'Ir':>9}{'x floor':>9}{'net x':>8}" for _ in CG_CASES))
    table = cg["ir_per_op"]
    for impl in list(W.BINDINGS) + ["sdk"]:
        cells = []
        for c in CG_CASES:
            if impl not in table[c]:
                cells.append(f"{'':26}")
                continue
            ir, fl, sdk = table[c][impl], table[c]["floor"], table[c]["sdk"]
            if impl == "sdk":
                cells.append(f"{ir:9.0f}{'':17}")
            else:
                cells.append(f"{ir:9.0f}{ir / fl:9.2f}{(ir - sdk) / (fl - sdk):8.2f}")
        print(f"  {'SDK alone' if impl == 'sdk' else impl:12}" + "".join(cells))
    print("  net x: (Ir - SDK alone) / (floor Ir - SDK alone), the binding's own instructions against the floor's")
    print(f"  profiles: {cg['outputs']}/<case>.<impl>.out (callgrind_annotate --inclusive=yes FILE)")


# ---- report ----


def summarize(raw):
    return {case: {impl: statistics.median(v) for impl, v in rows.items()} for case, rows in raw.items()}


def print_table(med, raw, info):
    print(f"\nc_sdk benchmarks  CPython {platform.python_version()}  {info['when']}"
          f"{'  (--quick)' if info['quick'] else ''}")
    for key, cls in CASES.items():
        if key not in med:
            continue
        rows = med[key]
        loops, ops = info["shape"][key]
        print(f"\n{key}  {cls.title}\n    median of {loops} timed loops of {ops:,} operations")
        if key == "B4":
            print(f"  {'':36}{'c_sdk':>8}{'Python':>8}{'dict':>8}{'x dict':>8}{'x Python':>9}{'spread':>8}")
            for stmt, (label, baseline) in info["b4_labels"].items():
                ext, py = rows[f"c_sdk: {stmt}"], rows[f"python: {stmt}"]
                base = rows.get(f"dict: {baseline}") if baseline else None
                print(f"  {label:36}{ext:8.1f}{py:8.1f}{(f'{base:8.1f}' if base else ''):>8}"
                      f"{(f'{ext / base:8.2f}' if base else ''):>8}{ext / py:9.2f}"
                      f"{spread(raw[key]['c_sdk: ' + stmt]):>8}")
            continue
        floor, sdk = rows["floor"], rows["sdk"]
        print(f"  {'':28}{'ns/op':>9}{'x floor':>9}{'net ns':>9}{'net x':>8}{'spread':>9}")
        for impl, v in rows.items():
            if impl == "sdk":
                print(f"  {'SDK alone':28}{v:9.1f}{'':34}{spread(raw[key][impl]):>9}")
            else:
                print(f"  {impl:28}{v:9.1f}{v / floor:9.2f}{v - sdk:9.1f}{(v - sdk) / (floor - sdk):8.2f}"
                      f"{spread(raw[key][impl]):>9}")
    print("\n  spread: (max - min) / median over the loops;  net: less the SDK's own cost (SDK alone)")
    busy = busy_note(info.get("loads") or [])
    if busy:
        print(busy)


def busy_note(loads):
    """A warning when other processes shared the CPUs during the timings, else ''.
    The benchmark itself keeps one CPU busy; more than that beyond half a CPU is others'."""
    known = [x for x in loads if x is not None]
    cpus = os.cpu_count() or 1
    if not known or max(known) - 1 <= 0.5:
        return ""
    return (f"  load average up to {max(known):.1f} on {cpus} CPU{'s' if cpus > 1 else ''} during the timings: other "
            "processes competed for the CPUs,\n  so times and spreads are inflated unevenly (instruction counts, "
            "--callgrind, are not affected)")


def spread(values):
    m = statistics.median(values)
    return f"{(max(values) - min(values)) / m:.0%}" if m else "-"


def targets(med, mem):
    """[(target, figures, holds)] from the figures of this run."""
    out = []

    def ratio(case, a, b, net=False):
        r = med[case]
        if net:
            return (r[a] - r["sdk"]) / (r[b] - r["sdk"])
        return r[a] / r[b]

    for case in ("B1", "B3"):
        if case not in med:
            continue
        g, n = ratio(case, "c_sdk", "floor"), ratio(case, "c_sdk", "floor", net=True)
        out.append((f"{case} c_sdk within 1.15 x floor", f"{g:.2f} (net {n:.2f})", g <= 1.15, n <= 1.15))
        peers = {p: ratio(case, "c_sdk", p) for p in W.PEERS}
        netp = {p: ratio(case, "c_sdk", p, net=True) for p in W.PEERS}
        fig = ", ".join(f"{p} {v:.2f}" for p, v in peers.items())
        out.append((f"{case} c_sdk faster than every peer", "c_sdk/peer " + fig,
                    all(v < 1 for v in peers.values()), all(v < 1 for v in netp.values())))
    if "B1s" in med:
        g, n = ratio("B1s", "c_sdk", "floor"), ratio("B1s", "c_sdk", "floor", net=True)
        out.append(("B1s c_sdk (str) within 1.0 x floor", f"{g:.2f} (net {n:.2f})", g <= 1.0, n <= 1.0))
    if "B2" in med:
        g, n = ratio("B2", "c_sdk", "floor"), ratio("B2", "c_sdk", "floor", net=True)
        out.append(("B2 c_sdk within 1.15 x floor", f"{g:.2f} (net {n:.2f})", g <= 1.15, n <= 1.15))
    if "B2" in med and "B2s" in med:
        g = med["B2s"]["c_sdk"] / med["B2"]["c_sdk"]
        n = (med["B2s"]["c_sdk"] - med["B2s"]["sdk"]) / (med["B2"]["c_sdk"] - med["B2"]["sdk"])
        out.append(("B2s within 1.2 x B2 (c_sdk)", f"{g:.2f} (net {n:.2f})", g <= 1.2, n <= 1.2))
    if "B4" in med:
        r = med["B4"]
        g = r["c_sdk: r.close"] / r["dict: d.get('close')"]
        out.append(("B4 property read within 1.5 x dict.get", f"{g:.2f}", g <= 1.5, None))
        g = r["c_sdk: r.close = 1.0"] / r["dict: d['close'] = 1.0"]
        out.append(("B4 attribute write within 1.5 x d[k] = v", f"{g:.2f}", g <= 1.5, None))
        fig = ", ".join(f"{s} {r['c_sdk: ' + s] / r['python: ' + s]:.2f}" for s in READS)
        out.append(("B4 every read faster than pure Python", "c_sdk/Python " + fig,
                    all(r["c_sdk: " + s] < r["python: " + s] for s in READS), None))
    if mem:
        m = mem["c_sdk"]
        growth = m["end_kib"] - m["start_kib"]
        noise = mem_noise(mem)
        out.append(("memory: no growth beyond noise", f"c_sdk {growth:+d} KiB over {m['ops']:,} ops "
                    f"(noise {noise} KiB)", growth <= noise, None))
    return out


def callgrind_targets(cg):
    """The speed targets read from instruction counts (B4 and memory are timing-mode only)."""
    t = cg["ir_per_op"]
    med = {case: dict(rows) for case, rows in t.items()}
    return targets(med, {})


def mem_noise(mem):
    """The noise bound: the larger of 1 MiB and the floor's own swing over the same soak."""
    f = mem.get("floor")
    swing = max(f["samples_kib"]) - min(f["samples_kib"]) if f else 0
    return max(1024, swing)


def print_memory(mem):
    print("\nmemory  resident size over the soak (bench/soak.py: mixed calls and events)")
    print(f"  {'':12}{'ops':>12}{'start KiB':>12}{'end KiB':>12}{'growth':>10}{'max KiB':>12}{'end x floor':>13}")
    fl = mem.get("floor")
    for impl, m in mem.items():
        ratio = f"{m['end_kib'] / fl['end_kib']:.2f}" if fl else ""
        print(f"  {impl:12}{m['ops']:>12,}{m['start_kib']:>12,}{m['end_kib']:>12,}"
              f"{m['end_kib'] - m['start_kib']:>+10,}{max(m['samples_kib']):>12,}{ratio:>13}")


def print_targets(rows, what="figures of this run"):
    print(f"\ntargets ({what}; net: with the SDK's own cost taken off both sides)")
    for name, fig, holds, holds_net in rows:
        verdict = "holds" if holds else "MISSED"
        if holds_net is not None:
            verdict += f", net {'holds' if holds_net else 'missed'}"
        print(f"  {name:40} {fig:60} {verdict}")


def main():
    ap = argparse.ArgumentParser(description="c_sdk benchmarks (see the module docstring)")
    ap.add_argument("--quick", action="store_true", help="a tenth of the loops, events and soak")
    ap.add_argument("--cases", default=",".join(CASES), help="comma-separated subset of " + ",".join(CASES))
    ap.add_argument("--repeats", type=int, default=None, help="timed loops per figure (default 15, quick 5)")
    ap.add_argument("--no-soak", action="store_true", help="skip the memory soak")
    ap.add_argument("--callgrind", action="store_true", help="instruction counts instead of times")
    ap.add_argument("--json", metavar="FILE", help="also write every figure to FILE")
    ap.add_argument("--refs", default=os.environ.get("CSDK_BENCH_REFS", W.DEFAULT_REFS),
                    help="folder of the built references (bench/build_refs.py)")
    ap.add_argument("--cg-worker", nargs=3, metavar=("CASE", "IMPL", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.cg_worker:
        case, impl, n = args.cg_worker
        return cg_worker(case, impl, int(n), args.refs)

    if "GLIBC_TUNABLES" not in os.environ:
        env = dict(os.environ, GLIBC_TUNABLES=MALLOC_TUNABLES)
        os.execve(sys.executable, [sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env)

    W.add_ref_paths(args.refs)
    report = {"malloc": os.environ["GLIBC_TUNABLES"], "python": platform.python_version(), "quick": args.quick,
              "when": time.strftime("%Y-%m-%d %H:%M")}
    if args.callgrind:
        cg = callgrind(args.refs, args.quick)
        report["callgrind"] = cg
        print_callgrind(cg)
        report["targets"] = callgrind_targets(cg)
        print_targets(report["targets"], "instruction counts of this run")
    else:
        scale = 0.1 if args.quick else 1.0
        repeats = args.repeats or (5 if args.quick else 15)
        report["repeats"] = repeats
        sdk = W.standin()
        mods = {name: W.load(name) for name in W.BINDINGS}
        cases = []
        for key in args.cases.split(","):
            cls = CASES[key]
            cases.append(cls(sdk, mods, scale, repeats) if cls is B3 else cls(sdk, mods, scale))
        loads = [load_average()]
        raw = measure(cases, repeats, loads)
        report["loads"] = loads
        report["b4_labels"] = next((c.labels for c in cases if c.key == "B4"), {})
        report["shape"] = {c.key: [len(raw[c.key][c.impls[0]]), c.ops_per_loop] for c in cases}
        sdk.reset()
        med = summarize(raw)
        mem = {}
        if not args.no_soak:
            ops = 1_000_000 if args.quick else 10_000_000
            for impl in ("c_sdk", "floor"):
                print(f"  soak {impl} ({ops:,} ops)", file=sys.stderr, flush=True)
                mem[impl] = soak(impl, ops, args.refs)
        report.update(raw=raw, median=med, memory=mem)
        print_table(med, raw, report)
        if mem:
            print_memory(mem)
        report["targets"] = targets(med, mem)
        print_targets(report["targets"])
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(report, fh, indent=1)


if __name__ == "__main__":
    sys.exit(main())
