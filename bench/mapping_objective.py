"""The joint mapping under variants of its settings, on the mapping benchmark's inputs in one
run: multicast links (rate-weighted where the input has rates), lambda - 1 (distinct cores each
source reaches beyond its own, rate-weighted alike), the busiest link under multicast, edge
hops, cut and time, each variant's figures as ratios of the first variant's.

Usage: python -m bench.mapping_objective [--quick] [--only NAME] [--seeds N] [--cpu] VARIANT [VARIANT ...]
A variant is a comma-separated list of setting=value (e.g. cost.multicast=0), or "default".
With --seeds N every figure is the mean over the seeds 0 .. N-1. With --cpu the time is the
process's CPU time rather than the wall clock: steadier on a machine other jobs share (the
mapping runs on one thread)."""

from __future__ import annotations

import argparse
import time

from bench.mapping_inputs import cases, chip, delay_for, rates_for
from zerav.graph.mapping import _map_graph_with_config
from zerav_map.traffic import graph_traffic


def settings(text: str) -> dict:
    if text == "default":
        return {}
    out = {}
    for item in text.split(","):
        name, value = item.split("=")
        out[name] = float(value) if "." in value.split("e")[0] and not value.isdigit() else int(value)
    return out


def run(graph, hw, config, rates, seed, clock=time.perf_counter):
    t0 = clock()
    _map_graph_with_config(graph, hw, config, seed, False, rates)
    seconds = clock() - t0
    meta = graph.partition_metadata
    cols = hw.core_mesh_topology[1]
    cells = {n: divmod(core, cols) for n, core in meta["assignments"].items()}
    t = graph_traffic(graph.edges, cells, rates)
    m = meta["metrics"]
    return dict(
        links=t.links,
        lam=t.lambda_minus_one,
        load=t.max_link_load,
        hops=m["total_hop_distance"],
        cut=m["total_cross_core_edges"],
        s=seconds,
    )


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m bench.mapping_objective", description=__doc__)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--only", action="append", help="inputs whose name starts with this")
    p.add_argument("--seeds", type=int, default=1)
    p.add_argument("--cpu", action="store_true", help="time by the process's CPU time")
    p.add_argument("variants", nargs="+")
    args = p.parse_args(argv)
    clock = time.process_time if args.cpu else time.perf_counter
    keys = ("links", "lam", "load", "hops", "cut", "s")
    print("| input | variant | " + " | ".join(keys) + " |\n|---|---|" + "---|" * len(keys))
    totals = [dict.fromkeys(keys, 0.0) for _ in args.variants]
    for name, build in cases(args.quick):
        if args.only and not any(name.startswith(o) for o in args.only):
            continue
        first = None
        for i, variant in enumerate(args.variants):
            graph = build()
            hw = chip(graph, delay_for(name))
            rates = rates_for(name, graph)
            runs = [run(graph, hw, settings(variant), rates, seed, clock) for seed in range(args.seeds)]
            r = {k: sum(x[k] for x in runs) / len(runs) for k in keys}
            first = first or r
            ratios = {k: r[k] / first[k] if first[k] else 1.0 for k in keys}
            for k in keys:
                totals[i][k] += ratios[k]
            cells = [
                f"{r[k]:,.0f} ({ratios[k]:.2f})" if k != "s" else f"{r[k]:.3f} ({ratios[k]:.2f})"
                for k in keys
            ]
            print(f"| {name} | {variant} | " + " | ".join(cells) + " |", flush=True)
    count = max(
        1, sum(1 for n, _ in cases(args.quick) if not args.only or any(n.startswith(o) for o in args.only))
    )
    for variant, total in zip(args.variants, totals):
        print(f"mean ratio, {variant}: " + ", ".join(f"{k} {total[k] / count:.3f}" for k in keys))


if __name__ == "__main__":
    main()
