"""Seeded random host graphs with the shapes that stress the partitioners' orders."""

from __future__ import annotations

import random

from zerav import ir


def random_graph(seed: int, *, max_nodes: int = 40, boundary_share: float = 0.15, cyclic: bool | None = None):
    rnd = random.Random(seed)
    n = rnd.randint(0, max_nodes)
    names = [f"n{i}" for i in range(n)]
    rnd.shuffle(names)
    nodes = {}
    for name in names:
        r = rnd.random()
        nodes[name] = (
            ir.Input() if r < boundary_share / 2 else ir.Output() if r < boundary_share else ir.LIF()
        )
    edges = []
    if n:
        cyclic = rnd.random() < 0.6 if cyclic is None else cyclic
        for _ in range(rnd.randint(0, 3 * n)):
            a, b = rnd.randrange(n), rnd.randrange(n)
            if not cyclic and a >= b:
                if a == b:
                    continue
                a, b = b, a
            edges.append((names[a], names[b]))
            if rnd.random() < 0.1:
                edges.append((names[a], names[b]))  # parallel edge
        if cyclic and rnd.random() < 0.3:
            v = names[rnd.randrange(n)]
            edges.append((v, v))
        if rnd.random() < 0.2:
            edges.append((names[0], "ghost"))  # names a node that does not exist
    g = ir.Graph()
    g.nodes, g.edges = nodes, edges
    return g, rnd
