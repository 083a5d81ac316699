"""The best hop total found for each input of the mapping benchmark, as a reference for the
joint mapping: Scotch's static mapping (`scotch_gmap` of Debian's `scotch` package) of the same
graph onto the smallest near-square rectangle of the mesh with at least as many cores as the
joint mapping used (a few more where that count is not a rectangle), repaired to capacity like
METIS.

Scotch minimises the hop total itself (the sum over edges of weight x distance on the target
mesh) under a load balance, so it is a strong joint mapping; it knows neither hard capacity nor
the delay limit. `bench.mapping` runs it beside the other peers and reports, per input, the
joint mapping's hops against the best hops found by any peer whose result is within capacity
and delay (the joint mapping's own included).

Without `scotch_gmap` on the PATH (`apt-get install scotch`) the peer is skipped and says so."""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile
import time

import numpy as np

from zerav import ir

GMAP = "scotch_gmap"
# Scotch's time grows much faster than the graph on a mesh of hundreds of cores (layered 1e5 onto
# 400 cells: minutes); past this it is stopped and the input has no Scotch figure.
TIME_LIMIT = 300.0


def available() -> bool:
    return shutil.which(GMAP) is not None


def block(k: int) -> tuple[int, int]:
    """The width and height of the most compact rectangle of at least k cells."""
    width = math.ceil(math.sqrt(k))
    return width, math.ceil(k / width)


def edge_arrays(graph: ir.Graph, names: list[str]) -> tuple[np.ndarray, np.ndarray]:
    index = {n: i for i, n in enumerate(names)}
    pairs = np.array([(index[s], index[d]) for s, d in graph.edges], dtype=np.int64).reshape(-1, 2)
    return pairs[:, 0], pairs[:, 1]


def write_graph(path: str, n: int, src: np.ndarray, dst: np.ndarray, load: np.ndarray) -> None:
    """Scotch's graph format: both arcs of every undirected pair, weighted by the number of
    edges between the two vertices; vertex loads 1 for compute nodes, 0 for the boundary."""
    keep = src != dst
    low, high = np.minimum(src[keep], dst[keep]), np.maximum(src[keep], dst[keep])
    keys, weights = np.unique(low * n + high, return_counts=True)
    a, b = keys // n, keys % n
    rows = np.concatenate([a, b])
    cols = np.concatenate([b, a])
    w = np.concatenate([weights, weights])
    order = np.lexsort((cols, rows))
    rows, cols, w = rows[order], cols[order], w[order]
    starts = np.searchsorted(rows, np.arange(n + 1))
    with open(path, "w") as fh:
        fh.write(f"0\n{n} {len(rows)}\n0 011\n")
        for v in range(n):
            lo, hi = starts[v], starts[v + 1]
            arcs = np.empty(2 * (hi - lo), dtype=np.int64)
            arcs[0::2], arcs[1::2] = w[lo:hi], cols[lo:hi]  # each arc: its weight, then its end
            fh.write(f"{load[v]} {hi - lo} " + " ".join(map(str, arcs.tolist())) + "\n")


def scotch_run(graph: ir.Graph, hw, k: int) -> dict:
    """Scotch's mapping onto the smallest near-square rectangle of at least k cells (Scotch
    spreads the load over every cell of its target, so it may use a few cores more than k),
    repaired to capacity; hops measured on the chip."""
    from bench.mapping import adjacency_of, quality, repair

    names = list(graph.nodes)
    src, dst = edge_arrays(graph, names)
    load = np.array([0 if isinstance(graph.nodes[n], (ir.Input, ir.Output)) else 1 for n in names])
    width, height = block(k)
    cells = width * height
    with tempfile.TemporaryDirectory() as folder:
        grf, out = os.path.join(folder, "g.grf"), os.path.join(folder, "g.map")
        write_graph(grf, len(names), src, dst, load)
        target = os.path.join(folder, "mesh.tgt")
        with open(target, "w") as fh:
            fh.write(f"mesh2D {width} {height}\n")  # terminal x + y * width sits at (y, x)
        # The imbalance Scotch may leave: the room the cores have above the average load.
        slack = max(0.0, cells * hw.max_neurons_per_core / max(1, int(load.sum())) - 1)
        t0 = time.perf_counter()
        try:
            subprocess.run(
                [GMAP, f"-b{slack:.4f}", grf, target, out],
                check=True,
                capture_output=True,
                timeout=TIME_LIMIT,
            )
        except subprocess.TimeoutExpired:
            return dict(seconds=None, cores=cells, error=f"stopped after {TIME_LIMIT:.0f} s")
        seconds = time.perf_counter() - t0
        mapped = np.loadtxt(out, dtype=np.int64, skiprows=1, ndmin=2)
    parts = np.empty(len(names), dtype=np.int64)
    parts[mapped[:, 0]] = mapped[:, 1]
    _, adjacency = adjacency_of(graph)
    parts = np.array(repair(parts.tolist(), cells, graph, names, adjacency, hw.max_neurons_per_core))
    row, col = parts // width, parts % width
    hops = int(np.abs(row[src] - row[dst]).sum() + np.abs(col[src] - col[dst]).sum())
    assignments = dict(zip(names, (row * hw.core_mesh_topology[1] + col).tolist()))
    return dict(seconds=seconds, cores=cells, **quality(graph, hw, assignments, hops))


def best_found(row: dict) -> int | None:
    """The fewest hops of the results within capacity and delay: the joint mapping's and its
    peers' (METIS and edgemap placed by `place`, Scotch)."""
    results = [row.get(peer) for peer in ("ours", "metis", "edgemap", "scotch")]
    results = [r for r in results if r and r.get("seconds") is not None]
    hops = [
        r["hops"] for r in results if r and r.get("hops") is not None and r["capacity_ok"] and r["delay_ok"]
    ]
    return min(hops, default=None)


def report(rows: list[dict]) -> bool:
    """Prints ours / best found per input; True when every input is within 5 %."""
    print("\nHops against the best found (ours / the fewest of ours, METIS + place, edgemap + place, Scotch)")
    if not available():
        print(f"(Scotch not run: {GMAP} is not on the PATH; apt-get install scotch)")
    print(f"{'input':<16} {'ours':>10} {'Scotch':>10} {'Scotch s':>8} {'best':>10} {'ours/best':>9}")
    met = True
    for row in rows:
        ours, scotch, best = row["ours"].get("hops"), row.get("scotch"), best_found(row)
        if ours is None or best is None:
            met = False
            continue
        scotch = scotch if scotch and scotch.get("seconds") is not None else None
        s_hops = (
            "-"
            if not scotch
            else f"{scotch['hops']}{'' if scotch['capacity_ok'] and scotch['delay_ok'] else '*'}"
        )
        s_time = "-" if not scotch else f"{scotch['seconds']:.2f}"
        print(f"{row['input']:<16} {ours:>10} {s_hops:>10} {s_time:>8} {best:>10} {ours / best:>9.3f}")
        met = met and ours <= 1.05 * best
    print(
        f"(* over capacity or delay after the repair: not counted as a best; - Scotch stopped after {TIME_LIMIT:.0f} s)"
    )
    return met
