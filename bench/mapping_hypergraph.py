"""The hypergraph the Mt-KaHyPar peers of the mapping benchmark partition: one net per source
node (the node and its distinct targets, weighted by its firing rate, a whole number of
spikes); compute nodes weigh 1 and Input / Output nodes 0, as the chip's capacity counts them.
With `whole_components` and `contract`, the strongly connected components that fit one core are
each one vertex, so a peer keeps them whole as the mapping does (a hard constraint there)."""

from __future__ import annotations

import numpy as np

from zerav import ir

_initializer = None


def initializer():
    """Mt-KaHyPar's initializer, made once per process, on one thread (as the mapping and METIS
    run), so that the run is reproducible with a seed."""
    global _initializer
    if _initializer is None:
        import mtkahypar

        _initializer = mtkahypar.initialize(1, False)
        mtkahypar.set_seed(0)
    return _initializer


def nets_of(graph, names, rates=None):
    """(nets, net weights, node weights) over `names` (the node order of the result)."""
    index = {n: i for i, n in enumerate(names)}
    pairs = np.array([(index[s], index[d]) for s, d in graph.edges], dtype=np.int64).reshape(-1, 2)
    pairs = np.unique(pairs[pairs[:, 0] != pairs[:, 1]], axis=0)
    first = np.flatnonzero(np.r_[True, pairs[1:, 0] != pairs[:-1, 0]])
    sources = pairs[first, 0]
    nets = [[int(s), *t.tolist()] for s, t in zip(sources, np.split(pairs[:, 1], first[1:]))]
    weights = [1 if rates is None else round(rates.get(names[s], 1)) for s in sources]
    # A source that never fires costs nothing: its net is left out (net weights must be >= 1).
    nets, weights = [n for n, w in zip(nets, weights) if w > 0], [w for w in weights if w > 0]
    node_weights = [0 if isinstance(graph.nodes[n], (ir.Input, ir.Output)) else 1 for n in names]
    return nets, weights, node_weights


def whole_components(graph, names, capacity):
    """The strongly connected components of more than one node whose compute nodes fit one core
    (the mapping keeps each on one core), as lists of indices into `names`."""
    import rustworkx as rx

    index = {n: i for i, n in enumerate(names)}
    g = rx.PyDiGraph()
    g.add_nodes_from(range(len(names)))
    g.add_edges_from_no_data([(index[s], index[d]) for s, d in graph.edges])
    compute = [not isinstance(graph.nodes[n], (ir.Input, ir.Output)) for n in names]
    return [
        sorted(c)
        for c in rx.strongly_connected_components(g)
        if len(c) > 1 and sum(compute[i] for i in c) <= capacity
    ]


def contract(nets, net_weights, node_weights, groups):
    """The hypergraph with each group one vertex: (vertex of each node, nets, net weights, vertex
    weights). A net within one vertex costs nothing under any partition and is left out."""
    vertex = list(range(len(node_weights)))
    for group in groups:
        for i in group:
            vertex[i] = group[0]
    renumber = {v: j for j, v in enumerate(dict.fromkeys(vertex))}
    vertex = [renumber[v] for v in vertex]
    weights = [0] * len(renumber)
    for i, w in enumerate(node_weights):
        weights[vertex[i]] += w
    kept, kept_weights = [], []
    for net, w in zip(nets, net_weights):
        pins = list(dict.fromkeys(vertex[p] for p in net))
        if len(pins) > 1:
            kept.append(pins)
            kept_weights.append(w)
    return vertex, kept, kept_weights, weights
