"""Graph builders and an independent checker of the hard constraints of a mapping."""

from __future__ import annotations

import random

import numpy as np
import pytest
import rustworkx as rx

from tests.helpers import METADATA_KEYS, make_graph
from zerav import ir
from zerav.graph.partition import _check_feedback_delay


def ring(n, prefix="r"):
    """One strongly connected component: a directed cycle of n compute nodes with chords."""
    names = [f"{prefix}{i}" for i in range(n)]
    edges = [(names[i], names[(i + 1) % n]) for i in range(n)]
    edges += [(names[i], names[(i + 2) % n]) for i in range(0, n, 3)]
    return names, edges


def layered(layers, width, fan_out=3, seed=1):
    """Feed-forward layers, Input first and Output last."""
    rnd = random.Random(seed)
    nodes = {"in": ir.Input()}
    rows = [[f"L{layer}.{i}" for i in range(width)] for layer in range(layers)]
    for row in rows:
        nodes.update({name: ir.LIF() for name in row})
    nodes["out"] = ir.Output()
    edges = [("in", name) for name in rows[0]]
    for a, b in zip(rows, rows[1:]):
        edges += [(src, rnd.choice(b)) for src in a for _ in range(fan_out)]
    edges += [(name, "out") for name in rows[-1]]
    return make_graph(nodes, edges)


def looped_layers(layers, width, blocks, back_edges, fan_out=4, seed=1):
    """Feed-forward layers whose blocks of layers are each closed into one strongly connected
    component by a few random edges from the block's second half back to its first half, so
    that feedback edges join layers far apart."""
    rnd = random.Random(seed)
    rows = [[f"L{layer}.{i}" for i in range(width)] for layer in range(layers)]
    nodes = {name: ir.LIF() for row in rows for name in row}
    edges = [(src, rnd.choice(b)) for a, b in zip(rows, rows[1:]) for src in a for _ in range(fan_out)]
    size = layers // blocks
    for block in range(blocks):
        first, middle = block * size, block * size + size // 2
        for _ in range(back_edges):
            late = rnd.choice(rows[rnd.randrange(middle, first + size)])
            edges.append((late, rnd.choice(rows[rnd.randrange(first, middle)])))
    return make_graph(nodes, edges)


def sized(weight_elems, precision=None):
    node = ir.Affine(weight=np.zeros(weight_elems, dtype=np.float32), bias=np.zeros(1, dtype=np.float32))
    node.precision = precision
    return node


def walked_trees(edges, cell_of):
    """Every source's multicast tree, by walking each spike's route link by link: along the
    source's row to the target's column, then along that column; the set of directed links
    ((row, col), (row, col)) its routes use."""
    trees = {}
    for s, d in edges:
        (r, c), (r2, c2) = cell_of[s], cell_of[d]
        tree = trees.setdefault(s, set())
        while c != c2:
            step = 1 if c2 > c else -1
            tree.add(((r, c), (r, c + step)))
            c += step
        while r != r2:
            step = 1 if r2 > r else -1
            tree.add(((r, c), (r + step, c)))
            r += step
    return trees


def walked_multicast(edges, cell_of, rates=None):
    """Multicast traffic: each source's tree links counted once, weighted by its rate (1 when
    `rates` lacks it)."""
    rates = rates or {}
    return sum(rates.get(s, 1) * len(tree) for s, tree in walked_trees(edges, cell_of).items())


def walked_busiest_link(edges, cell_of, rates=None):
    """The busiest directed link under multicast: the rates of the trees using it, summed."""
    rates = rates or {}
    load = {}
    for s, tree in walked_trees(edges, cell_of).items():
        for link in tree:
            load[link] = load.get(link, 0) + rates.get(s, 1)
    return max(load.values(), default=0)


def check_mapping(graph, hw, result, rates=None):
    """Asserts every hard constraint and the shape of what map_graph wrote and returned."""
    meta = graph.partition_metadata
    assert list(meta) == METADATA_KEYS
    assert meta["algorithm"] == "mapping"
    assignments = meta["assignments"]
    assert list(assignments) == list(graph.nodes)
    rows, cols = hw.core_mesh_topology or (hw.num_cores, 1)
    limit = min(hw.num_cores, rows * cols)
    load = {}
    for name, core in assignments.items():
        assert type(core) is int and 0 <= core < limit
        if not isinstance(graph.nodes[name], (ir.Input, ir.Output)):
            load[core] = load.get(core, 0) + 1
    assert max(load.values(), default=0) <= hw.max_neurons_per_core
    assert meta["num_cores_used"] == len(set(assignments.values()))
    cross = [
        (s, d)
        for s, d in graph.edges
        if s in assignments and d in assignments and assignments[s] != assignments[d]
    ]
    assert meta["cross_core_edges"] == cross
    # Feedback edges: cross-core edges inside one strongly connected component.
    g = rx.PyDiGraph()
    index = {name: g.add_node(name) for name in graph.nodes}
    for s, d in graph.edges:
        if s in index and d in index:
            g.add_edge(index[s], index[d], None)
    component = {}
    for i, members in enumerate(rx.strongly_connected_components(g)):
        component.update({g[m]: i for m in members})
    assert meta["feedback_edges"] == [(s, d) for s, d in cross if component[s] == component[d]]
    if hw.max_feedback_delay >= 0:
        assert _check_feedback_delay(meta["feedback_edges"], assignments, hw) == []
    if hw.core_mesh_topology is not None:
        hops = sum(
            abs(a // cols - b // cols) + abs(a % cols - b % cols)
            for a, b in ((assignments[s], assignments[d]) for s, d in cross)
        )
        assert result.total_hop_distance == hops == meta["metrics"]["total_hop_distance"]
        cell_of = {name: divmod(core, cols) for name, core in assignments.items()}
        known = [(s, d) for s, d in graph.edges if s in assignments and d in assignments]
        traffic = meta["metrics"]["multicast_traffic"]
        assert type(traffic) is (int if rates is None else float)
        assert traffic == pytest.approx(walked_multicast(known, cell_of, rates), rel=1e-12)
        assert result.logical_to_physical == {
            c: (c // cols, c % cols) for c in sorted(set(assignments.values()))
        }
    return load
