#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Tables of MB/s and ratio to memcpy from Google Benchmark JSON output.

usage: ratios.py [--best] RESULT.json... [--filter REGEX]

Prints one Markdown table per operation. Benchmark names are
<op>/<row...>/<input size>: a row per middle part (for instance
<how>/<alphabet>/<padding>), a column per input size, each cell
"MB/s (x memcpy)", where MB is 10^6 bytes of input and memcpy is the
memcpy/<size> figure, taken the same way. Benchmarks that count no bytes
are shown in ns per iteration. --filter keeps the rows whose name matches.

Each figure is the median of the repetitions of all the files given, or
with --best the fastest one. Interference from other work on the machine
only ever slows a run down, so the fastest repetition is the better
estimate of what the code does alone. Run the benchmarks with
--benchmark_repetitions=N --benchmark_display_aggregates_only=true so that
the JSON holds every repetition; with --benchmark_report_aggregates_only
only the medians are there, and they are used as they are.
"""
import json
import re
import statistics
import sys
from collections import defaultdict


def load(paths, best):
    """Bytes per second of the benchmarks that count bytes, and nanoseconds
    per iteration of the others."""
    rates, times = defaultdict(list), defaultdict(list)
    for path in paths:
        with open(path) as f:
            runs = json.load(f)["benchmarks"]
        repetitions = [r for r in runs if r.get("run_type", "iteration") == "iteration"]
        if not repetitions:
            repetitions = [r for r in runs if r.get("aggregate_name") == "median"]
        for r in repetitions:
            if r.get("error_occurred"):
                continue
            name = r.get("run_name", r["name"])
            if "bytes_per_second" in r:
                rates[name].append(r["bytes_per_second"])
            else:
                scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[r.get("time_unit", "ns")]
                times[name].append(r["cpu_time"] * scale)
    pick = max if best else statistics.median
    pick_time = min if best else statistics.median
    return ({n: pick(v) for n, v in rates.items()}, {n: pick_time(v) for n, v in times.items()})


def size_label(n):
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} B"


def main():
    args = sys.argv[1:]
    best = "--best" in args
    keep = None
    if "--filter" in args:
        at = args.index("--filter")
        keep = re.compile(args[at + 1])
        del args[at:at + 2]
    paths = [a for a in args if a != "--best"]
    if not paths:
        sys.exit(__doc__)
    rates, times = load(paths, best)
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
