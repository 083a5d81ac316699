"""Peer of the mapping benchmark: KaMinPar's k-way partition of the graph (edges taken both
ways, a pair's weight the rates of its sources summed; compute nodes weigh 1, Input / Output 0),
each block at most the chip's capacity; `place` lays the blocks on the mesh. The Python
bindings read graphs from files only: the graph is written in METIS format to a temporary
file, which counts in its time as building METIS's adjacency counts in METIS's."""

from __future__ import annotations

import os
import tempfile

import numpy as np

from zerav import ir


def _write_metis(path, graph, names, rates):
    index = {n: i for i, n in enumerate(names)}
    n = len(names)
    pairs = np.array([(index[s], index[d]) for s, d in graph.edges], dtype=np.int64).reshape(-1, 2)
    rate = np.array([1 if rates is None else rates.get(name, 1) for name in names], dtype=np.float64)
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    weight = rate[pairs[:, 0]]
    lo, hi = pairs.min(axis=1), pairs.max(axis=1)
    keys, inverse = np.unique(lo * n + hi, return_inverse=True)
    total = np.maximum(1, np.rint(np.bincount(inverse, weight, len(keys)))).astype(np.int64)
    a, b = keys // n, keys % n
    src = np.r_[a, b]
    order = np.argsort(src, kind="stable")
    dst, wgt = np.r_[b, a][order], np.r_[total, total][order]
    starts = np.searchsorted(src[order], np.arange(n + 1))
    node_weight = [0 if isinstance(graph.nodes[name], (ir.Input, ir.Output)) else 1 for name in names]
    with open(path, "w") as fh:
        fh.write(f"{n} {len(keys)} 11\n")
        for v in range(n):
            lo_, hi_ = starts[v], starts[v + 1]
            cells = np.empty(2 * (hi_ - lo_), dtype=np.int64)
            cells[0::2], cells[1::2] = dst[lo_:hi_] + 1, wgt[lo_:hi_]
            fh.write(f"{node_weight[v]} {' '.join(map(str, cells.tolist()))}\n")


def kaminpar_setup():
    import kaminpar  # noqa: F401 - imported before the clock starts


def kaminpar_partition(graph, hw, k, rates=None):
    """(node names, block per node)."""
    import kaminpar

    names = list(graph.nodes)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "graph.metis")
        _write_metis(path, graph, names, rates)
        g = kaminpar.load_graph(path, kaminpar.GraphFileFormat.METIS)
    kaminpar.reseed(0)
    solver = kaminpar.KaMinPar(1, kaminpar.default_context())
    return names, solver.compute_partition(g, [hw.max_neurons_per_core] * k)
