"""The multicast traffic of a mapping against a walk of every spike's route, link by link."""

from __future__ import annotations

import random
from collections import Counter

import pytest

from zerav_map.traffic import graph_traffic, multicast


def walk(a, b):
    """The directed links of the x-then-y route from cell a to cell b, one step at a time."""
    (r, c), links = a, []
    while c != b[1]:
        step = 1 if b[1] > c else -1
        links.append(((r, c), (r, c + step)))
        c += step
    while r != b[0]:
        step = 1 if b[0] > r else -1
        links.append(((r, c), (r + step, c)))
        r += step
    return links


def brute(src, dst, cells, rate):
    trees = {}
    for s, d in zip(src, dst):
        trees.setdefault(s, set()).update(walk(cells[s], cells[d]))
    load = Counter()
    for s, tree in trees.items():
        for link in tree:
            load[link] += rate[s]
    reached = {s: {cells[d] for d in dst_ if cells[d] != cells[s]} for s, dst_ in _targets(src, dst).items()}
    return dict(
        links=sum(rate[s] * len(t) for s, t in trees.items()),
        max_link_load=max(load.values(), default=0),
        lambda_minus_one=sum(rate[s] * len(c) for s, c in reached.items()),
        edge_hops=sum(rate[s] * len(walk(cells[s], cells[d])) for s, d in zip(src, dst)),
    )


def _targets(src, dst):
    out = {}
    for s, d in zip(src, dst):
        out.setdefault(s, []).append(d)
    return out


@pytest.mark.parametrize("seed", range(12))
def test_every_figure_equals_the_walk_of_every_spike(seed):
    rnd = random.Random(seed)
    rows, cols = rnd.randint(1, 5), rnd.randint(1, 6)
    n = rnd.randint(2, 40)
    cells = [(rnd.randrange(rows), rnd.randrange(cols)) for _ in range(n)]
    edges = [(rnd.randrange(n), rnd.randrange(n)) for _ in range(rnd.randint(0, 4 * n))]
    edges += edges[: len(edges) // 4]  # duplicate edges
    src, dst = [e[0] for e in edges], [e[1] for e in edges]
    rate = [rnd.randint(1, 9) if seed % 2 else 1 for _ in range(n)]
    got = multicast(src, dst, cells, rate if seed % 2 else None)
    assert vars(got) == brute(src, dst, cells, rate)


def test_float_rates_weight_each_source_tree_once():
    # a on (0, 0) fires 2.5 times as often as b on (1, 2); a reaches three cells of one column
    # and one of its own row, b reaches a's cell.
    cells = {"a": (0, 0), "b": (1, 2), "t1": (0, 2), "t2": (2, 2), "t3": (1, 2), "t4": (0, 1), "a2": (0, 0)}
    edges = [("a", "t1"), ("a", "t2"), ("a", "t3"), ("a", "t4"), ("a", "a2"), ("a", "t2"), ("b", "a")]
    t = graph_traffic(edges, cells, {"a": 2.5, "b": 0.5})
    # a's tree: (0,0)->(0,1)->(0,2) then down to (2,2): 4 links; b: (1,2)->(1,1)->(1,0)->(0,0): 3.
    assert t.links == 2.5 * 4 + 0.5 * 3
    assert t.lambda_minus_one == 2.5 * 4 + 0.5 * 1
    assert t.edge_hops == 2.5 * (2 + 4 + 3 + 1 + 0 + 4) + 0.5 * 3
    assert t.max_link_load == 2.5  # no link is shared by both trees (b travels west on row 1)
    assert isinstance(graph_traffic(edges, cells).links, int)
