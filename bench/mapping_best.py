"""The best hop total found for each input of the mapping benchmark, as a reference for the
joint mapping: Scotch's static mapping (`scotch_gmap` of Debian's `scotch` package) of the same
graph onto a block of as many cores as the joint mapping used, repaired to capacity like METIS.

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
AMK_GRF = "amk_grf"


def available() -> bool:
    return shutil.which(GMAP) is not None and shutil.which(AMK_GRF) is not None


def block(k: int) -> list[tuple[int, int]]:
    """k cells in the most compact block: rows of equal width, the last one possibly shorter."""
    width = math.ceil(math.sqrt(k))
    return [(i // width, i % width) for i in range(k)]


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


def write_target(folder: str, cells: list[tuple[int, int]]) -> str:
    """The block as a Scotch target: its grid graph (neighbouring cells joined), decomposed by
    amk_grf, so that target distances are hops inside the block."""
    at = {cell: i for i, cell in enumerate(cells)}
    adjacency = [
        [at[(r + dr, c + dc)] for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)) if (r + dr, c + dc) in at]
        for r, c in cells
    ]
    grid = os.path.join(folder, "block.grf")
    with open(grid, "w") as fh:
        fh.write(f"0\n{len(cells)} {sum(map(len, adjacency))}\n0 000\n")
        for nbrs in adjacency:
            fh.write(f"{len(nbrs)} " + " ".join(map(str, nbrs)) + "\n")
    target = os.path.join(folder, "block.tgt")
    subprocess.run([AMK_GRF, grid, target], check=True, capture_output=True)
    return target


def scotch_run(graph: ir.Graph, hw, k: int) -> dict:
    """Scotch's mapping onto k cells, repaired to capacity; hops measured on the chip."""
    from bench.mapping import adjacency_of, quality, repair

    names = list(graph.nodes)
    src, dst = edge_arrays(graph, names)
    load = np.array([0 if isinstance(graph.nodes[n], (ir.Input, ir.Output)) else 1 for n in names])
    cells = block(k)
    with tempfile.TemporaryDirectory() as folder:
        grf, out = os.path.join(folder, "g.grf"), os.path.join(folder, "g.map")
        write_graph(grf, len(names), src, dst, load)
        target = write_target(folder, cells)
        # The imbalance Scotch may leave: the room the cores have above the average load.
        slack = max(0.0, k * hw.max_neurons_per_core / max(1, int(load.sum())) - 1)
        t0 = time.perf_counter()
        subprocess.run([GMAP, f"-b{slack:.4f}", grf, target, out], check=True, capture_output=True)
        seconds = time.perf_counter() - t0
        mapped = np.loadtxt(out, dtype=np.int64, skiprows=1, ndmin=2)
    parts = np.empty(len(names), dtype=np.int64)
    parts[mapped[:, 0]] = mapped[:, 1]
    _, adjacency = adjacency_of(graph)
    parts = np.array(repair(parts.tolist(), k, graph, names, adjacency, hw.max_neurons_per_core))
    cols = hw.core_mesh_topology[1]
    row = np.array([r for r, _ in cells])[parts]
    col = np.array([c for _, c in cells])[parts]
    hops = int(np.abs(row[src] - row[dst]).sum() + np.abs(col[src] - col[dst]).sum())
    assignments = dict(zip(names, (row * cols + col).tolist()))
    return dict(seconds=seconds, **quality(graph, hw, assignments, hops))


def best_found(row: dict) -> int | None:
    """The fewest hops of the results within capacity and delay: the joint mapping's and its
    peers' (METIS and edgemap placed by `place`, Scotch)."""
    results = [row.get(peer) for peer in ("ours", "metis", "edgemap", "scotch")]
    hops = [
        r["hops"] for r in results if r and r.get("hops") is not None and r["capacity_ok"] and r["delay_ok"]
    ]
    return min(hops, default=None)


def report(rows: list[dict]) -> bool:
    """Prints ours / best found per input; True when every input is within 5 %."""
    print("\nHops against the best found (ours / the fewest of ours, METIS + place, edgemap + place, Scotch)")
    if not available():
        print(f"(Scotch not run: {GMAP} and {AMK_GRF} are not on the PATH; apt-get install scotch)")
    print(f"{'input':<16} {'ours':>10} {'Scotch':>10} {'Scotch s':>8} {'best':>10} {'ours/best':>9}")
    met = True
    for row in rows:
        ours, scotch, best = row["ours"].get("hops"), row.get("scotch"), best_found(row)
        if ours is None or best is None:
            met = False
            continue
        s_hops = (
            "-"
            if not scotch
            else f"{scotch['hops']}{'' if scotch['capacity_ok'] and scotch['delay_ok'] else '*'}"
        )
        s_time = "-" if not scotch else f"{scotch['seconds']:.2f}"
        print(f"{row['input']:<16} {ours:>10} {s_hops:>10} {s_time:>8} {best:>10} {ours / best:>9.3f}")
        met = met and ours <= 1.05 * best
    print("(* over capacity or delay after the repair: not counted as a best)")
    return met
