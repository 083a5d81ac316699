"""The joint mapping against METIS k-way (pymetis) repaired to capacity and then placed by
`place`, against partition(edgemap) + `place`, and against the Mt-KaHyPar and KaMinPar peers
(`bench/mapping_*.py`, each repaired to capacity as METIS is), on the same inputs in one run.
Mt-KaHyPar's Steiner-tree mapping runs twice where the input has strongly connected components
that fit one core: as it is (its cell says how many it splits), and with each one vertex, so
that it keeps them whole as the mapping must. Where it runs, the mapping and both Steiner runs
are repeated over `--seeds` seeds (3) and their mean links compared too (`bench/mapping_seeds.py`).

Usage: python -m bench.mapping [--quick] [--no-memory] [--json FILE] [--repeat N] [--seeds N]

Per input: time, cut edges, total hop distance, busiest link (dimension-order routing) and
whether every core is within capacity and every feedback edge within the delay limit; then the
ratios the targets are stated in. METIS gets the same number of cores as the mapping; its time
includes building its adjacency from the graph, as the mapping's includes reading the graph.
Both are timed as the median of `--repeat` calls (3) in this process: one call's time moves by
10 % and more with the machine's other load.
Peak memory growth of one call (child process) is compared with partition(greedy).
Every mapping's spike traffic is measured the same way (`zerav_map.traffic`): multicast links
(each source's tree of x-then-y routes to its distinct destination cores), the busiest directed
link under multicast, lambda - 1 (destination cores per source other than its own), all
weighted by firing rates where the input has them (`rates_for`), else at rate 1."""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
import time
import warnings

from bench import mapping_best, mapping_child
from bench.mapping_child import run_limited
from bench.mapping_hypergraph import initializer, whole_components
from bench.mapping_inputs import cases, chip, delay_for, rates_for
from bench.mapping_kaminpar import kaminpar_partition, kaminpar_setup
from bench.mapping_mtkahypar_km1 import mtkahypar_km1
from bench.mapping_mtkahypar_steiner import mtkahypar_steiner
from bench.mapping_seeds import seed_runs, seeds_summary
from bench.mapping_traffic_table import report_traffic, traffic_summary
from zerav import ir
from zerav.graph.mapping import map_graph
from zerav.graph.partition import _check_feedback_delay, partition
from zerav.graph.placement import place
from zerav_map.traffic import graph_traffic

try:
    import pymetis
except ImportError:  # pragma: no cover - the bench extra installs it
    pymetis = None


REPEAT = 3  # timed calls of the mapping and of METIS per input (--repeat)


def timed(fn, setup=None, repeat=1):
    """fn()'s last result and the median of its `repeat` calls' seconds."""
    if setup is not None:
        setup()
    seconds = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        seconds.append(time.perf_counter() - t0)
    return out, statistics.median(seconds)


def timed_repeatedly(fn, setup=None):
    return timed(fn, setup, REPEAT)


def compute_names(graph):
    return {n for n, node in graph.nodes.items() if not isinstance(node, (ir.Input, ir.Output))}


def feedback_ok(graph, hw, assignments):
    """The driver's own delay check on the cross-core edges inside one SCC."""
    import rustworkx as rx

    g = rx.PyDiGraph()
    index = {name: g.add_node(name) for name in graph.nodes}
    for s, d in graph.edges:
        g.add_edge(index[s], index[d], None)
    comp = {}
    for i, members in enumerate(rx.strongly_connected_components(g)):
        comp.update({g[m]: i for m in members})
    feedback = [(s, d) for s, d in graph.edges if assignments[s] != assignments[d] and comp[s] == comp[d]]
    return not feedback or hw.max_feedback_delay < 0 or not _check_feedback_delay(feedback, assignments, hw)


def quality(graph, hw, assignments, hops):
    compute = compute_names(graph)
    load = {}
    for name in compute:
        load[assignments[name]] = load.get(assignments[name], 0) + 1
    cut = sum(1 for s, d in graph.edges if assignments[s] != assignments[d])
    return dict(
        cut=cut,
        hops=hops,
        capacity_ok=max(load.values(), default=0) <= hw.max_neurons_per_core,
        delay_ok=feedback_ok(graph, hw, assignments),
    )


def repair(parts, k, graph, names, adjacency, capacity):
    """Moves compute nodes out of over-full parts into the connected part with room (else the
    emptiest part), fewest connections to home first."""
    compute = compute_names(graph)
    load = [0] * k
    for i, name in enumerate(names):
        load[parts[i]] += name in compute
    for i in sorted(range(len(names)), key=lambda i: len(adjacency[i])):
        p = parts[i]
        if load[p] <= capacity or names[i] not in compute:
            continue
        links = {}
        for j in adjacency[i]:
            links[parts[j]] = links.get(parts[j], 0) + 1
        target = max((q for q in links if load[q] < capacity), key=lambda q: links[q], default=None)
        if target is None:
            target = min(range(k), key=lambda q: load[q])
        load[p] -= 1
        load[target] += 1
        parts[i] = target
    return parts


def adjacency_of(graph):
    """The node names and METIS's adjacency lists (both directions, no self-loops)."""
    names = list(graph.nodes)
    index = {n: i for i, n in enumerate(names)}
    adjacency = [[] for _ in names]
    for s, d in graph.edges:
        a, b = index[s], index[d]
        if a != b:
            adjacency[a].append(b)
            adjacency[b].append(a)
    return names, adjacency


def multicast(graph, cells, rates):
    """The traffic figures of a mapping whose node `n` sits on mesh cell `cells[n]`."""
    t = graph_traffic(graph.edges, cells, rates)
    return dict(mc_links=t.links, mc_load=t.max_link_load, km1=t.lambda_minus_one)


def metis_parts(graph, hw, k, rates=None):
    names, adjacency = adjacency_of(graph)
    _, parts = pymetis.part_graph(k, adjacency=adjacency)
    return names, list(parts)


PEER_ERRORS = (ValueError, RuntimeError, MemoryError)  # what a peer raises when it refuses or fails


def placed_run(graph, hw, k, partitioner, rates=None, runner=run_limited, setup=None):
    """A peer's k-way partition, repaired to capacity, laid on the mesh by `place`. The peer
    runs in a child process with a time limit (`bench.mapping_child`); METIS runs in this
    process, as the mapping does, since the targets compare their times."""
    try:
        (names, parts), seconds = runner(lambda: partitioner(graph, hw, k, rates), setup)
    except PEER_ERRORS as e:
        return dict(seconds=None, error=str(e).strip().splitlines()[0])
    names, adjacency = adjacency_of(graph)
    parts = repair(list(parts), k, graph, names, adjacency, hw.max_neurons_per_core)
    assignments = dict(zip(names, parts))
    graph.partition_metadata = {"assignments": assignments, "num_cores_used": k}
    placed = place(graph, hw)
    cells = {n: placed.logical_to_physical[p] for n, p in assignments.items()}
    return dict(
        seconds=seconds,
        **quality(graph, hw, assignments, placed.total_hop_distance),
        **multicast(graph, cells, rates),
    )


def metis_run(graph, hw, k, rates=None):
    return placed_run(graph, hw, k, metis_parts, rates, runner=timed_repeatedly)


def steiner_run(graph, hw, k, rates=None, components=(), whole=False, seed=0):
    """Mt-KaHyPar's own mapping onto the mesh: its blocks sit on its target graph's cells.
    `components` are the input's strongly connected components that fit one core (as
    `whole_components` finds them): the result says how many it splits. With `whole`, it keeps
    them whole, as the mapping does; on an input without such a component that is the same
    run, and it is left out."""
    if whole and not components:
        return dict(seconds=None, error="no component to keep whole", same=True)
    try:
        (names, parts, block_cells), seconds = run_limited(
            lambda: mtkahypar_steiner(graph, hw, k, rates, components if whole else (), seed), initializer
        )
    except PEER_ERRORS as e:
        return dict(seconds=None, error=str(e).strip().splitlines()[0])
    names, adjacency = adjacency_of(graph)
    parts = repair(list(parts), k, graph, names, adjacency, hw.max_neurons_per_core)
    cols = hw.core_mesh_topology[1]
    cells = {n: block_cells[p] for n, p in zip(names, parts)}
    assignments = {n: r * cols + c for n, (r, c) in cells.items()}
    hops = graph_traffic(graph.edges, cells).edge_hops
    split = sum(len({parts[i] for i in c}) > 1 for c in components)  # the repair may split one
    return dict(
        seconds=seconds,
        components=len(components),
        components_split=split,
        **quality(graph, hw, assignments, hops),
        **multicast(graph, cells, rates),
    )


def edgemap_run(graph, hw):
    try:
        _, seconds = timed(lambda: partition(graph, hw, "edgemap"))
    except ValueError as e:
        return dict(seconds=None, error=str(e).splitlines()[0])
    hops = place(graph, hw).total_hop_distance
    return dict(seconds=seconds, **quality(graph, hw, graph.partition_metadata["assignments"], hops))


def mapping_run(graph, hw, rates=None, seed=0, repeat=None):
    try:
        result, seconds = timed(lambda: map_graph(graph, hw, seed=seed, rates=rates), repeat=repeat or REPEAT)
    except ValueError as e:
        return dict(seconds=None, error=str(e), cores=None)
    meta = graph.partition_metadata
    cols = hw.core_mesh_topology[1]
    cells = {n: divmod(core, cols) for n, core in meta["assignments"].items()}
    return dict(
        seconds=seconds,
        cores=meta["num_cores_used"],
        link=meta["metrics"]["max_link_load"],
        **quality(graph, hw, meta["assignments"], result.total_hop_distance),
        **multicast(graph, cells, rates),
    )


def peak(entry, case, quick):
    out = subprocess.run(
        [sys.executable, "-m", "bench.mapping_peak", entry, case] + (["--quick"] if quick else []),
        capture_output=True,
        text=True,
    )
    return int(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip() else None


def ratio(a, b):
    return None if a is None or not b else a / b


def fmt(x, spec="{:.2f}"):
    return "-" if x is None else spec.format(x)


def main(argv=None):
    global REPEAT
    p = argparse.ArgumentParser(prog="python -m bench.mapping", description=__doc__)
    p.add_argument("--quick", action="store_true", help="inputs up to 1e4 nodes: a minute or two")
    p.add_argument("--no-memory", action="store_true")
    p.add_argument("--json", default="bench/results_mapping.json")
    p.add_argument("--peer-limit", type=float, default=120.0, help="seconds a peer may take on one input")
    p.add_argument(
        "--repeat", type=int, default=REPEAT, help="timed calls of the mapping and of METIS (median)"
    )
    p.add_argument(
        "--seeds", type=int, default=3, help="seeds of the mapping and of the Steiner mapping for their means"
    )
    args = p.parse_args(argv)
    mapping_child.LIMIT_S = args.peer_limit
    REPEAT = max(1, args.repeat)
    warnings.simplefilter("ignore")
    if pymetis is None:
        sys.exit("pymetis is needed: pip install '.[bench]'")
    rows = []
    for name, build in cases(args.quick):
        graph = build()
        hw = chip(graph, delay_for(name))
        rates = rates_for(name, graph)
        ours = mapping_run(graph, hw, rates)
        k = ours["cores"] or hw.num_cores // 2
        metis = metis_run(graph, hw, k, rates)
        edgemap = edgemap_run(build(), hw)
        components = whole_components(graph, list(graph.nodes), hw.max_neurons_per_core)
        peers = {
            "Mt-KaHyPar Steiner": steiner_run(graph, hw, k, rates, components),
            "Mt-KaHyPar Steiner, components whole": steiner_run(graph, hw, k, rates, components, whole=True),
            "Mt-KaHyPar km1 + place": placed_run(graph, hw, k, mtkahypar_km1, rates, setup=initializer),
            "KaMinPar + place": placed_run(graph, hw, k, kaminpar_partition, rates, setup=kaminpar_setup),
        }
        row = dict(
            input=name,
            nodes=len(graph.nodes),
            edges=len(graph.edges),
            ours=ours,
            metis=metis,
            edgemap=edgemap,
            peers=peers,
            rates=rates is not None,
        )
        row["seeds"] = seed_runs(
            row,
            args.seeds,
            lambda seed: mapping_run(graph, hw, rates, seed, repeat=1),
            lambda seed, whole: steiner_run(graph, hw, k, rates, components, whole, seed),
        )
        if mapping_best.available() and ours["cores"]:
            row["scotch"] = mapping_best.scotch_run(build(), hw, ours["cores"])
        if not args.no_memory and (name.endswith("1e+05") or name.endswith("1e+04") and args.quick):
            row["peak_ours"], row["peak_greedy"] = (
                peak("mapping", name, args.quick),
                peak("greedy", name, args.quick),
            )
        rows.append(row)
        report(row)
        report_traffic(row)
    with open(args.json, "w") as fh:
        json.dump(rows, fh, indent=1)
    summary(rows, args.seeds)


def report(row):
    o, m, e = row["ours"], row["metis"], row["edgemap"]
    print(
        f"{row['input']:<16} V={row['nodes']:<6} E={row['edges']:<8} k={o['cores'] or '-':<4}"
        + (
            f" | ours {o['seconds']:.2f}s cut {o['cut']} hops {o['hops']} link {o['link']}"
            f" cap {'ok' if o['capacity_ok'] else 'OVER'} delay {'ok' if o['delay_ok'] else 'LATE'}"
            if o["seconds"] is not None
            else f" | ours fails: {o['error']}"
        )
        + f" | metis {m['seconds']:.2f}s cut {m['cut']} hops {m['hops']} delay {'ok' if m['delay_ok'] else 'LATE'}"
        + (
            f" | edgemap {e['seconds']:.2f}s cut {e['cut']} hops {e['hops']} cap {'ok' if e['capacity_ok'] else 'OVER'}"
            if e.get("seconds") is not None
            else f" | edgemap fails: {e['error'][:60]}"
        ),
        flush=True,
    )


def summary(rows, seeds):
    print("\nRatios (ours / other) and targets")
    print(
        f"{'input':<16} {'cut/METIS':>9} {'hops/METIS+place':>16} {'hops/edgemap+place':>18} {'time/METIS':>10} {'time s':>7} {'peak/greedy':>11}"
    )
    done = [r for r in rows if r["ours"]["seconds"] is not None]
    for row in done:
        o, m, e = row["ours"], row["metis"], row["edgemap"]
        print(
            f"{row['input']:<16} {fmt(ratio(o['cut'], m['cut'])):>9} {fmt(ratio(o['hops'], m['hops'])):>16}"
            f" {fmt(ratio(o['hops'], e.get('hops'))):>18} {fmt(ratio(o['seconds'], m['seconds'])):>10}"
            f" {o['seconds']:>7.2f} {fmt(ratio(row.get('peak_ours'), row.get('peak_greedy'))):>11}"
        )
    within_best = mapping_best.report(rows)
    checks = {
        "hops within 5 % of the best found": within_best,
        "every mapping within capacity and delay": len(done) == len(rows)
        and all(r["ours"]["capacity_ok"] and r["ours"]["delay_ok"] for r in rows),
        "cut <= METIS": all(r["ours"]["cut"] <= r["metis"]["cut"] for r in done),
        "hops <= METIS placed by place": all(r["ours"]["hops"] <= r["metis"]["hops"] for r in done),
        "hops <= 0.5 x edgemap + place (layered, conv)": all(
            r["edgemap"].get("hops") is not None and r["ours"]["hops"] <= 0.5 * r["edgemap"]["hops"]
            for r in done
            if r["input"].startswith(("layered", "conv"))
        ),
        "time <= 2 x METIS": all(r["ours"]["seconds"] <= 2 * r["metis"]["seconds"] for r in done),
        "time <= 2 s at 1e5 nodes": all(r["ours"]["seconds"] <= 2 for r in done if r["nodes"] >= 100_000),
        "peak memory <= 2 x greedy": all(
            r["peak_ours"] <= 2 * r["peak_greedy"]
            for r in done
            if r.get("peak_ours") and r.get("peak_greedy")
        ),
        **traffic_summary(rows),
        **seeds_summary(rows, seeds),
    }
    print()
    for what, met in checks.items():
        print(f"{'met    ' if met else 'NOT MET'} {what}")


if __name__ == "__main__":
    main()
