"""Read and write costs of the record classes, against dict.get and a pure-Python class.

    python bench/bench_records.py            print the table
    python bench/bench_records.py --check    also exit 1 when a target is missed

Every figure is nanoseconds per operation with the cost of the empty timing loop taken
off, the best of several runs. Targets: a property read within 1.5x dict.get on the same
dict; every read (property, __getattr__, item) and the attribute write faster than the
pure-Python class of the same model.
"""

import argparse
import sys
import timeit

import c_sdk

FIELDS = ("symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount",
          "pre_close", "position", "frequency", "receive_local_time")


class PyBar(object):
    """The record model written in Python, as the host would without the extension."""

    __slots__ = ["data"]

    def __init__(self, data):
        self.data = data

    def __getitem__(self, item):
        return self.data.get(item)

    def __setitem__(self, item, value):
        self.data[item] = value

    def __contains__(self, key):
        return key in self.data

    def __getattr__(self, item):
        return self.data.get(item)

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            super(PyBar, self).__setattr__(item, value)

    def __str__(self):
        return self.data.__str__()

    def __repr__(self):
        return self.data.__repr__()

    @property
    def close(self):
        return self.data.get("close")

    @close.setter
    def close(self, value):
        self.data["close"] = value


# (label, statement with `r` the record and `d` its dict, dict baseline or None)
CASES = [
    ("property read     r.close", "r.close", "d.get('close')"),
    ("item read         r['close']", "r['close']", "d.get('close')"),
    ("__getattr__ read  r.extra", "r.extra", "d.get('extra')"),
    ("missing key       r.nothing", "r.nothing", "d.get('nothing')"),
    ("attribute write   r.close = 1.0", "r.close = 1.0", "d['close'] = 1.0"),
    ("item write        r['close'] = 1.0", "r['close'] = 1.0", "d['close'] = 1.0"),
    ("membership        'close' in r", "'close' in r", "'close' in d"),
    ("construction      Bar(d)", "Bar(d)", None),
    ("str               str(r)", "str(r)", "str(d)"),
]


def per_op(stmt, setup, namespace, number, repeat):
    """Best seconds per execution of stmt over `repeat` runs of `number` loops."""
    times = timeit.repeat(stmt, setup, number=number, repeat=repeat, globals=namespace)
    return min(times) / number


def measure(number, repeat):
    d = {name: 1.0 for name in FIELDS}
    d["extra"] = 2.0
    namespace = {"D": d}
    setup_for = {
        "c_sdk": "d = D; Bar = c_sdk.BarLikeDict2; r = Bar(d)",
        "python": "d = D; Bar = PyBar; r = Bar(d)",
    }
    namespace.update(c_sdk=c_sdk, PyBar=PyBar)
    empty = per_op("pass", "d = D", namespace, number, repeat)

    def net(stmt, setup):
        return max(per_op(stmt, setup, namespace, number, repeat) - empty, 0.0) * 1e9

    rows = []
    for label, stmt, baseline in CASES:
        ext = net(stmt, setup_for["c_sdk"])
        py = net(stmt, setup_for["python"])
        base = net(baseline, "d = D") if baseline else None
        rows.append((label, stmt, ext, py, base))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000, help="loops per run")
    parser.add_argument("--repeat", type=int, default=7, help="runs; the best is kept")
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()

    rows = measure(args.number, args.repeat)
    print("CPython %d.%d.%d, ns per operation (loop overhead removed)" % sys.version_info[:3])
    print("%-38s %9s %9s %9s %9s %9s" % ("operation", "c_sdk", "python", "dict", "vs dict", "vs python"))
    missed = []
    for label, stmt, ext, py, base in rows:
        vs_dict = "%8.2fx" % (ext / base) if base else "%9s" % "-"
        base_text = "%9.1f" % base if base is not None else "%9s" % "-"
        print("%-38s %9.1f %9.1f %s %s %8.2fx" % (label, ext, py, base_text, vs_dict, ext / py))
        if stmt in ("r.close", "r.extra", "r['close']", "r.close = 1.0") and ext >= py:
            missed.append("%s is not faster than the pure-Python class" % stmt)
        if stmt == "r.close" and ext > 1.5 * base:
            missed.append("r.close costs %.2fx dict.get (target 1.5x)" % (ext / base))
    for text in missed:
        print("target missed:", text)
    if args.check and missed:
        sys.exit(1)


if __name__ == "__main__":
    main()
