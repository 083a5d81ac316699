"""`place` on host graphs: the worked examples, the fixed layouts, seed and expansion rules,
key order, costs, and exactly which host members are read, how often and in what order."""

from __future__ import annotations

import copy

import pytest

from tests.helpers import Spec, make_graph, make_hw, placed_graph
from tests.helpers import placement_outcome as outcome
from zerav.graph.placement import PlacementResult, place


def mesh(rows, cols):
    return make_hw(core_mesh_topology=(rows, cols))


@pytest.mark.parametrize(
    "assignments, edges, used, shape, mapping, total, improvement",
    [
        (
            {"a": 0, "b": 0, "c": 1, "d": 2},
            [("a", "c"), ("b", "c"), ("c", "d"), ("a", "d")],
            3,
            (4, 4),
            {0: (2, 2), 1: (1, 2), 2: (0, 2)},
            5,
            0.0,
        ),
        (
            {"a": 0, "b": 1, "c": 2, "d": 3},
            [("a", "b"), ("b", "c"), ("c", "d")],
            4,
            (1, 4),
            {0: (0, 2), 1: (0, 1), 2: (0, 0), 3: (0, 3)},
            5,
            -66.66666666666666,
        ),
        ({"a": 0, "b": 1}, [("a", "b")], 2, (1, 1), {0: (0, 0)}, 0, 100.0),
        # A boxed-in partner (core 1) leaves the choice to the next partner in the list.
        (
            {"a": 0, "b": 1, "c": 2},
            [("a", "b")] * 3 + [("c", "b")] * 2 + [("c", "a")],
            3,
            (1, 3),
            {0: (0, 1), 1: (0, 0), 2: (0, 2)},
            8,
            -14.285714285714285,
        ),
        # Direction is ignored and the smaller id of the heaviest pair takes the centre.
        ({"a": 3, "b": 1}, [("a", "b"), ("b", "a")], 0, (3, 3), {1: (1, 1), 3: (0, 1)}, 2, 50.0),
    ],
)
def test_worked_examples(assignments, edges, used, shape, mapping, total, improvement):
    result = place(placed_graph(assignments, edges, used), mesh(*shape))
    assert type(result) is PlacementResult
    assert outcome(result) == (list(mapping.items()), total, improvement)
    assert type(result.total_hop_distance) is int and type(result.improvement) is float


class Untouchable:
    """A graph that must not be consulted."""

    def __getattr__(self, name):
        raise AssertionError(f"graph.{name} read")


@pytest.mark.parametrize(
    "n, mapping", [(0, {}), (1, {0: (0, 0)}), (4, {0: (0, 0), 1: (1, 0), 2: (2, 0), 3: (3, 0)}), (-2, {})]
)
def test_no_mesh_is_one_column(n, mapping):
    result = place(Untouchable(), Spec(core_mesh_topology=None, num_cores=n))
    assert outcome(result) == (list(mapping.items()), 0, 0.0)


@pytest.mark.parametrize("metadata", ["missing", None])
def test_mesh_without_metadata_is_row_major(metadata):
    graph = make_graph(["a", "b"], [("a", "b")])
    if metadata is None:
        graph.partition_metadata = None
    elif hasattr(graph, "partition_metadata"):
        del graph.partition_metadata
    result = place(graph, mesh(2, 3))
    assert outcome(result) == ([(i, (i // 3, i % 3)) for i in range(6)], 0, 0.0)


# The host set's iteration order of a fresh 3 x 3 mesh.
ORDER_3X3 = [(0, 1), (1, 2), (2, 1), (0, 0), (1, 1), (2, 0), (0, 2), (2, 2), (1, 0)]


@pytest.mark.parametrize(
    "assignments, edges, used, expected",
    [
        # No keys in the metadata: everything is core 0, no pair, and only core 0 is visited.
        (None, [("a", "b")], None, [(0, ORDER_3X3[0])]),
        # No cross-core edge: every core takes the first free cell in the set's order.
        ({"a": 0, "b": 0, "c": 1}, [("a", "b")], 4, list(enumerate(ORDER_3X3[:4]))),
        # More cores than cells: the surplus is left out.
        ({}, [], 12, list(enumerate(ORDER_3X3))),
    ],
)
def test_free_cell_rule(assignments, edges, used, expected):
    graph = make_graph(["a", "b", "c"], edges)
    graph.partition_metadata = (
        {} if assignments is None else {"assignments": assignments, "num_cores_used": used}
    )
    assert outcome(place(graph, mesh(3, 3))) == (expected, 0, 0.0)


def test_unassigned_endpoint_counts_as_core_0():
    graph = placed_graph({"b": 2}, [("a", "b"), ("ghost", "b")], 1, nodes=["a", "b"])
    # Pair (0, 2) of weight 2: 0 at the centre, 2 above it; identity (0, 0) and (0, 2).
    assert outcome(place(graph, mesh(3, 3))) == ([(0, (1, 1)), (2, (0, 1))], 2, 50.0)


def test_seed_is_first_heaviest_pair_and_key_order():
    edges = [("c", "d"), ("a", "b"), ("e", "a"), ("d", "c"), ("b", "a"), ("f", "e")]
    graph = placed_graph({"a": 0, "b": 1, "c": 2, "d": 3, "e": 4, "f": 5}, edges, 6)
    result = place(graph, mesh(4, 4))
    # (2, 3) and (0, 1) both weigh 2; (2, 3) appeared first. Then 0, 1, 4, 5 in id order:
    # 0 on a free cell, 1 next to 0, 4 next to 0, 5 next to 4.
    assert list(result.logical_to_physical) == [2, 3, 0, 1, 4, 5]
    assert result.logical_to_physical[2] == (2, 2) and result.logical_to_physical[3] == (1, 2)


def test_ids_beyond_num_cores_used_are_placed_only_as_seeds():
    graph = placed_graph(
        {"a": 5, "b": 7, "c": 1, "d": 9}, [("a", "b"), ("a", "b"), ("c", "a"), ("d", "c")], 2
    )
    result = place(graph, mesh(3, 3))
    # 5 and 7 seed; 0 takes a free cell, 1 sits next to its partner 5; 9 is never visited.
    assert list(result.logical_to_physical) == [5, 7, 0, 1]
    assert result.logical_to_physical[1] == (2, 1)


def test_inputs_are_left_unchanged_and_results_are_fresh():
    graph = placed_graph({"a": 0, "b": 1}, [("a", "b")], 2)
    before = copy.deepcopy((graph.partition_metadata, graph.edges))
    first, second = place(graph, mesh(2, 2)), place(graph, mesh(2, 2))
    assert (graph.partition_metadata, graph.edges) == before
    assert first == second and first.logical_to_physical is not second.logical_to_physical


class Recorder:
    """A host object whose attribute reads (of `members`) are logged."""

    def __init__(self, log, **members):
        self._log, self._members = log, members

    def __getattr__(self, name):
        self._log.append(name)
        if name not in self._members:
            raise AttributeError(name)
        return self._members[name]


class Lookup:
    """A mapping-like object with only `get`, whose calls are logged."""

    def __init__(self, log, data):
        self.log, self.data = log, data

    def get(self, key, default):
        self.log.append((key, default))
        return self.data.get(key, default)


def test_host_reads_in_order_and_count():
    log = []
    metadata = Lookup(log, {"assignments": Lookup(log, {"a": 0, "b": 1}), "num_cores_used": 2})
    edges = iter([("a", "b"), ["b", "zz"]])  # an iterator: a second pass would see nothing
    result = place(
        Recorder(log, partition_metadata=metadata, edges=edges),
        Recorder(log, core_mesh_topology=(2, 2), num_cores=3),
    )
    assert log == [
        "core_mesh_topology",
        "core_mesh_topology",
        "partition_metadata",
        "partition_metadata",
        ("assignments", {}),
        "partition_metadata",
        ("num_cores_used", 1),
        "edges",
        ("a", 0),
        ("b", 0),
        ("b", 0),
        ("zz", 0),
    ]
    assert outcome(result) == ([(0, (1, 1)), (1, (0, 1))], 2, 0.0)


@pytest.mark.parametrize(
    "spec, graph_members, reads",
    [
        (dict(core_mesh_topology=None, num_cores=2), {}, ["core_mesh_topology", "num_cores"]),
        (
            dict(core_mesh_topology=(1, 2)),
            {},
            ["core_mesh_topology", "core_mesh_topology", "partition_metadata"],
        ),
        (
            dict(core_mesh_topology=(1, 2)),
            {"partition_metadata": None, "edges": []},
            ["core_mesh_topology", "core_mesh_topology", "partition_metadata"],
        ),
    ],
)
def test_fixed_layouts_read_no_more(spec, graph_members, reads):
    log = []
    place(Recorder(log, **graph_members), Recorder(log, **spec))
    assert log == reads


def test_metadata_attribute_read_afresh():
    class Shifting:
        """partition_metadata differs on each read."""

        edges = [("a", "b")]

        def __init__(self):
            self.versions = [{"num_cores_used": 0}, {"assignments": {"a": 0, "b": 1}}, {"num_cores_used": 2}]

        @property
        def partition_metadata(self):
            return self.versions.pop(0)

    assert outcome(place(Shifting(), mesh(2, 2))) == ([(0, (1, 1)), (1, (0, 1))], 1, 0.0)
