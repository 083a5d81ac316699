"""Times every entry point on seeded SNN-shaped inputs against the I/O floor of the same input,
in one run, and writes the table as JSON. Usage: python -m bench [--quick] [--sizes 1e3,1e4]
[--shapes layered,recurrent] [--entries place,allocate] [--no-memory] [--json FILE]"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
import time
import warnings

from bench.cases import ENTRIES
from bench.inputs import SHAPES, chip_for


def median_time(fn, repeats):
    samples = []
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def repeats_for(n):
    return 15 if n <= 1_000 else 7 if n <= 10_000 else 5 if n <= 100_000 else 3


def peak_growth(entry, shape, n):
    out = subprocess.run(
        [sys.executable, "-m", "bench.peak", entry, shape, str(n)], capture_output=True, text=True
    )
    return int(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip() else None


def spectral_split(graph, hw):
    """Share of one spectral call spent outside the eigen-solver."""
    import scipy.sparse.linalg as sla

    real = sla.eigsh
    inside = [0.0]

    def timed(*a, **k):
        t0 = time.perf_counter()
        try:
            return real(*a, **k)
        finally:
            inside[0] += time.perf_counter() - t0

    sla.eigsh = timed
    try:
        t0 = time.perf_counter()
        ENTRIES["partition(spectral)"]["call"](graph, hw)
        total = time.perf_counter() - t0
    finally:
        sla.eigsh = real
    return (total - inside[0]) / total if total else 0.0


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    p.add_argument("--quick", action="store_true", help="small sizes and shapes only: about a minute")
    p.add_argument("--sizes", default=None)
    p.add_argument("--shapes", default=None)
    p.add_argument("--entries", default=None)
    p.add_argument("--no-memory", action="store_true")
    p.add_argument("--json", default="bench/results.json")
    args = p.parse_args(argv)
    sizes = [
        int(float(s)) for s in (args.sizes or ("1e3,1e4" if args.quick else "1e3,1e4,2e4,1e5,1e6")).split(",")
    ]
    shapes = (args.shapes or ("layered,recurrent" if args.quick else ",".join(SHAPES))).split(",")
    entries = (args.entries or ",".join(ENTRIES)).split(",")
    warnings.simplefilter("ignore")
    rows = []
    header = f"{'case':44} {'median ms':>10} {'floor ms':>9} {'ratio':>6} {'ns/(V+E)':>9} {'peak MB':>8}"
    print(header)
    print("-" * len(header))
    for n in sizes:
        for shape in shapes:
            graph, hw = SHAPES[shape](n), chip_for(n)
            v, e = len(graph.nodes), len(graph.edges)
            for entry in entries:
                case = ENTRIES[entry]
                if case["max_n"] and n > case["max_n"]:
                    continue
                if case["prepare"]:
                    case["prepare"](graph, hw)
                reps = repeats_for(n)
                t = median_time(lambda: case["call"](graph, hw), reps)
                f = median_time(lambda: case["floor"](graph, hw), reps)
                peak = None if args.no_memory else peak_growth(entry, shape, n)
                row = dict(
                    entry=entry,
                    shape=shape,
                    n=n,
                    V=v,
                    E=e,
                    median_s=t,
                    floor_s=f,
                    ratio=t / f,
                    ns_per_item=t / (v + e) * 1e9,
                    peak_bytes=peak,
                )
                if entry == "partition(spectral)":
                    row["outside_solver"] = spectral_split(graph, hw)
                rows.append(row)
                name = f"{entry} {shape} n={n:.0e}"
                extra = f"  outside solver {row['outside_solver']:.1%}" if "outside_solver" in row else ""
                peak_txt = f"{peak / 1e6:8.1f}" if peak is not None else "       -"
                print(
                    f"{name:44} {t * 1e3:10.2f} {f * 1e3:9.2f} {t / f:6.2f} {row['ns_per_item']:9.1f} {peak_txt}{extra}",
                    flush=True,
                )
            del graph
    with open(args.json, "w") as fh:
        json.dump(rows, fh, indent=1)
    print(f"\nwrote {args.json}")


if __name__ == "__main__":
    main()
