#!/usr/bin/env python3
"""Tables of MB/s and ratio to memcpy from Google Benchmark JSON output.

usage: ratios.py RESULT.json [FILTER]

Reads the median aggregates when the run had repetitions (the plain runs
otherwise), and prints one Markdown table per operation. Benchmark names are
<op>/<row...>/<input size>: a row per middle part (for instance
<how>/<alphabet>/<padding>), a column per input size, each cell
"MB/s (x memcpy)", where MB is 10^6 bytes of input and memcpy is the
memcpy/<size> figure of the same run. FILTER, a regular expression, keeps
the rows whose name it matches.
"""
import json
import re
import sys
from collections import defaultdict


def load(path):
    """Bytes per second of the benchmarks that count bytes, and nanoseconds
    per iteration of the others."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    medians = [r for r in runs if r.get("aggregate_name") == "median"]
    chosen = medians if medians else [r for r in runs if r.get("run_type", "iteration") == "iteration"]
    rates, times = {}, {}
    for r in chosen:
        name = r.get("run_name", r["name"])
        if r.get("error_occurred"):
            continue
        if "bytes_per_second" in r:
            rates[name] = r["bytes_per_second"]
        else:
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[r.get("time_unit", "ns")]
            times[name] = r["cpu_time"] * scale
    return rates, times


def size_label(n):
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} B"


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    rates, times = load(sys.argv[1])
    keep = re.compile(sys.argv[2]) if len(sys.argv) > 2 else None
    memcpy = {int(n.split("/")[1]): v for n, v in rates.items() if n.startswith("memcpy/")}
    sizes = sorted(memcpy)
    print("| | " + " | ".join(size_label(s) for s in sizes) + " |")
    print("|---" * (len(sizes) + 1) + "|")
    print("| memcpy, MB/s | " + " | ".join(f"{memcpy[s] / 1e6:,.0f}" for s in sizes) + " |")
    for name in sorted({n.rsplit("/", 1)[0] for n in times}):
        cells = [f"{times[f'{name}/{s}']:,.1f}" if f"{name}/{s}" in times else "" for s in sizes]
        print(f"| {name}, ns | " + " | ".join(cells) + " |")
    print()

    tables = defaultdict(dict)  # op -> row -> size -> rate
    for name, rate in rates.items():
        parts = name.split("/")
        if len(parts) < 3 or not parts[-1].isdigit() or parts[-1] not in map(str, sizes):
            continue
        op, row, size = parts[0], "/".join(parts[1:-1]), int(parts[-1])
        if keep and not keep.search(name):
            continue
        tables[op].setdefault(row, {})[size] = rate

    for op in sorted(tables):
        print(f"**{op}**, MB/s of input (x memcpy)\n")
        print("| | " + " | ".join(size_label(s) for s in sizes) + " |")
        print("|---" * (len(sizes) + 1) + "|")
        for row in sorted(tables[op]):
            cells = []
            for s in sizes:
                rate = tables[op][row].get(s)
                cells.append(f"{rate / 1e6:,.0f} ({rate / memcpy[s]:.2f})" if rate else "")
            print(f"| {row} | " + " | ".join(cells) + " |")
        print()


if __name__ == "__main__":
    main()
