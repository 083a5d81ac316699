"""The native placement against real sets and a plain-Python model of the same steps: the
free-cell order over many mesh sizes (the table sizes where the set grows included), and whole
placements with varied traffic, core id types and mesh shapes."""

from __future__ import annotations

import math
import random
import warnings
from fractions import Fraction

import numpy as np
import pytest

from tests.helpers import Spec, make_graph
from tests.placement.reference import place_model
from zerav.graph.placement import place


def free_cell_order(rows, cols):
    cells = set()
    for r in range(rows):
        for c in range(cols):
            cells.add((r, c))
    return list(cells)


# The cell counts at which a set built by adds grows (5, 19, 77, ...) and the ones just below;
# 629145 is the first growth whose trigger 3 * mask / 5 is a whole number.
GROWTH = [4, 5, 18, 19, 76, 77, 306, 307, 1228, 1229, 4914, 4915, 19660, 19661, 78642, 78643]
SHAPES = (
    [(1, n) for n in range(1, 40)]
    + [(n, 1) for n in range(1, 40)]
    + [(r, c) for r in range(2, 18) for c in range(2, 18)]
    + [(1, n) for n in GROWTH]
    + [(n, 1) for n in GROWTH]
    + [
        (2, 38),
        (7, 11),
        (2, 153),
        (3, 409),
        (2, 2457),
        (5, 983),
        (4, 4915),
        (3, 6554),
        (2, 39321),
        (11, 7149),
        (311, 253),
        (256, 256),
        (1, 629145),
    ]
)


@pytest.mark.parametrize("rows, cols", SHAPES)
def test_free_cells_come_in_the_sets_order(rows, cols):
    # Without traffic every core takes "the first free cell": cell after cell in the set's order.
    graph = make_graph([])
    graph.partition_metadata = {"assignments": {}, "num_cores_used": rows * cols + 3}
    result = place(graph, Spec(core_mesh_topology=(rows, cols)))
    assert list(result.logical_to_physical) == list(range(rows * cols))
    assert list(result.logical_to_physical.values()) == free_cell_order(rows, cols)


def assert_same(native, model):
    if isinstance(model, tuple) and len(model) == 2:  # an error
        assert native == model
        return
    mapping, total, improvement = model
    assert list(native.logical_to_physical) == list(mapping)
    for key, pos in mapping.items():
        got = native.logical_to_physical[key]
        assert type(key) is int and [type(v) for v in got] == [type(v) for v in pos] and got == pos
    assert type(native.total_hop_distance) is type(total) and native.total_hop_distance == total
    assert type(native.improvement) is type(improvement)
    assert native.improvement == improvement or (math.isnan(improvement) and math.isnan(native.improvement))


def outcome_of(fn, graph, spec):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(graph, spec)
        except (ArithmeticError, TypeError, ValueError) as exc:
            return type(exc).__name__, str(exc)


def random_case(rnd, kinds, shapes):
    rows, cols = rnd.choice(shapes)
    cores = rnd.randint(1, max(2, min(rows * cols + 3, 60)))
    names = [f"n{i}" for i in range(rnd.randint(0, 2 * cores + 2))]
    kind = [rnd.choice(kinds) for _ in range(2)]
    assignments = {n: rnd.choice(kind)(rnd.randrange(cores)) for n in names if rnd.random() < 0.95}
    edges = (
        [(rnd.choice(names), rnd.choice(names)) for _ in range(rnd.randint(0, 4 * len(names)))]
        if names
        else []
    )
    if names and rnd.random() < 0.2:
        edges.append(("unassigned", rnd.choice(names)))
    graph = make_graph(names, edges)
    used = rnd.choice([cores, rnd.randint(0, 2 * cores), 1, rows * cols + 2])
    graph.partition_metadata = {"assignments": assignments, "num_cores_used": used}
    return graph, Spec(core_mesh_topology=(rows, cols))


SMALL = [(r, c) for r in range(0, 8) for c in range(0, 8)] + [(1, 9), (9, 1), (1, 20), (20, 1)]
AROUND_GROWTH = [(1, 18), (19, 1), (1, 19), (2, 38), (7, 11), (1, 76), (77, 1), (2, 153), (1, 307), (1229, 1)]


@pytest.mark.parametrize("seed", range(400))
def test_plain_placements_match_model(seed):
    rnd = random.Random(seed)
    graph, spec = random_case(rnd, [int], AROUND_GROWTH if seed % 4 == 0 else SMALL)
    assert_same(outcome_of(place, graph, spec), outcome_of(place_model, graph, spec))


OTHER_IDS = [
    int,
    float,
    np.int64,
    np.int32,
    Fraction,
    lambda v: v + 0.5,
    lambda v: bool(v % 2),
    lambda v: -v,
    lambda v: 2**62 + v,
    lambda v: 2**64 + v,
    np.float64,
]


@pytest.mark.parametrize("seed", range(300))
def test_other_id_and_mesh_types_match_model(seed):
    rnd = random.Random(10_000 + seed)
    graph, spec = random_case(rnd, OTHER_IDS, SMALL)
    rows, cols = spec.core_mesh_topology
    as_mesh = rnd.choice([int, int, np.int64, bool])
    spec.core_mesh_topology = (as_mesh(rows), as_mesh(cols))
    assert_same(outcome_of(place, graph, spec), outcome_of(place_model, graph, spec))
