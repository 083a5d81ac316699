"""partition_spectral: the Laplacian handed to the solver, the median, tie and NaN rules, the
part ids, the solver fallback and its warning, edge lists and metrics, and the plain-Python model
(`spectral` in tests/partition/reference.py) run against the native code."""

from __future__ import annotations

import random
import warnings

import numpy as np
import pytest
import scipy.sparse.linalg

import zerav.graph.partition as partition
from tests.helpers import CountingEdges, Spec, make_graph, make_hw
from tests.partition import reference
from tests.partition.random_graphs import random_graph
from zerav import ir

spectral = partition.partition_spectral


class Solver:
    """Stands in for eigsh: records each call; returns `vector(sub_n)` as the last column, or raises."""

    def __init__(self, vector=None, error=None):
        self.vector, self.error, self.calls = vector, error, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        vectors = np.zeros((args[0].shape[0], 2))
        vectors[:, 1] = self.vector(args[0].shape[0])
        return np.zeros(2), vectors


def dense_solver(matrix, k, which):
    values, vectors = np.linalg.eigh(matrix.toarray())
    return values[:k], vectors[:, :k]


def scrambled(sub_n):
    return np.array([(7 * i) % sub_n for i in range(sub_n)], dtype=np.float64)


@pytest.fixture
def solver(monkeypatch):
    def install(fn=None, **kwargs):
        fn = fn or Solver(**kwargs)
        monkeypatch.setattr(scipy.sparse.linalg, "eigsh", fn)
        return fn

    return install


def path(n):
    return make_graph([f"p{i}" for i in range(n)], [(f"p{i}", f"p{i + 1}") for i in range(n - 1)])


def cores(result):
    return list(result.assignments.values())


def path_laplacian(n):
    return np.diag([1.0] + [2.0] * (n - 2) + [1.0]) - np.eye(n, k=1) - np.eye(n, k=-1)


@pytest.mark.parametrize("nodes", [{}, {"i": ir.Input(), "o": ir.Output()}])
def test_no_compute_nodes(solver, nodes):
    s = solver(error=AssertionError("solver called"))
    r = spectral(make_graph(nodes, [("i", "o"), ("o", "i")]), Spec())  # hw_spec is not read
    assert r == partition.PartitionResult(assignments=dict.fromkeys(nodes, 0), num_cores_used=1)
    assert s.calls == []


@pytest.mark.parametrize("edges", [[], [("i", "a"), ("b", "o"), ("a", "ghost")]])
def test_no_edge_between_compute_nodes_is_the_greedy_result(monkeypatch, edges):
    g = make_graph({"i": ir.Input(), "a": ir.LIF(), "b": ir.LIF(), "o": ir.Output()}, edges)
    hw = make_hw(max_neurons_per_core=1)
    assert spectral(g, hw) == partition.partition_greedy(g, hw)
    sentinel = object()
    monkeypatch.setattr(partition, "partition_greedy", lambda graph, hw_spec: sentinel)
    assert spectral(g, hw) is sentinel


@pytest.mark.parametrize("m, num_cores, parts", [(10, 64, 1), (2, 1, 1), (2, 0, 0), (3, -3, -3)])
def test_one_part_without_the_solver(solver, m, num_cores, parts):
    s = solver(error=AssertionError("solver called"))
    r = spectral(path(10), make_hw(max_neurons_per_core=m, num_cores=num_cores))
    assert cores(r) == [0] * 10 and r.num_cores_used == 1 and r.cross_core_edges == []
    assert r.metrics == {"cut_ratio": 0.0, "total_cross_core_edges": 0, "num_partitions": parts}
    assert s.calls == []


def test_ten_nodes_capacity_four(solver):
    s = solver(vector=scrambled)
    r = spectral(path(10), make_hw(max_neurons_per_core=4))
    # 7i mod 10 puts positions 0, 2, 3, 6, 9 at or below the median: all five take core 0
    # (above the capacity); the other five split again into 1, 4, 7 and 5, 8.
    assert cores(r) == [0, 1, 0, 0, 1, 2, 0, 1, 2, 0] and r.num_cores_used == 3
    assert (
        r.cross_core_edges == [(f"p{i}", f"p{i + 1}") for i in range(9) if i != 2] and r.feedback_edges == []
    )
    assert r.metrics == {"cut_ratio": 8 / 9, "total_cross_core_edges": 8, "num_partitions": 3}
    assert [(len(args), kwargs) for args, kwargs in s.calls] == [(1, {"k": 2, "which": "SM"})] * 2
    full, piece = path_laplacian(10), [1, 4, 5, 7, 8]
    assert np.array_equal(s.calls[0][0][0].toarray(), full)
    assert np.array_equal(s.calls[1][0][0].toarray(), full[np.ix_(piece, piece)])  # whole-graph degrees


def test_nine_nodes_capacity_four_leaves_an_id_unused(solver):
    s = solver(vector=scrambled)
    r = spectral(path(9), make_hw(max_neurons_per_core=4))
    assert cores(r) == [0, 1, 1, 0, 0, 1, 1, 0, 0]
    assert r.num_cores_used == 2 and r.metrics["num_partitions"] == 3 and len(s.calls) == 1


@pytest.mark.parametrize(
    "vector, expected",
    [
        (lambda n: np.ones(n), [0, 0, 1, 2, 2]),  # all tied: split by position
        (lambda n: np.r_[np.arange(n - 1.0), np.nan], [0, 0, 1, 2, 2]),  # NaN median: by position
        (lambda n: np.array([3.0, 1, 1, 1, 0]), [1, 0, 0, 0, 0]),  # ties join the first half
        (lambda n: -np.arange(n * 1.0), [1, 1, 0, 0, 0]),
    ],
)
def test_median_rule(solver, vector, expected):
    solver(vector=vector)
    assert cores(spectral(path(5), make_hw(max_neurons_per_core=2))) == expected


@pytest.mark.parametrize("sign, expected", [(1, [0, 1, 2, 3]), (-1, [2, 3, 0, 1])])
def test_capacity_one_deals_pairs_by_list_position(solver, sign, expected):
    solver(vector=lambda k: sign * np.arange(k * 1.0))
    assert cores(spectral(path(4), make_hw(max_neurons_per_core=1))) == expected


def fails(cls, *args):
    def fn(*a, **k):
        raise cls(*args)

    return fn


@pytest.mark.parametrize(
    "fn, text",
    [
        (fails(np.linalg.LinAlgError, "x"), "LinAlgError: x"),
        (fails(ZeroDivisionError, "x"), "ZeroDivisionError: x"),
        (fails(FloatingPointError, "x"), "FloatingPointError: x"),
        (lambda *a, **k: (1, 2, 3), "ValueError: too many values to unpack (expected 2)"),
    ],
)
def test_recoverable_solver_failure_warns_and_splits_by_position(solver, fn, text):
    solver(fn)
    with pytest.warns(RuntimeWarning) as record:
        r = spectral(path(7), make_hw(max_neurons_per_core=3))
    assert [str(w.message) for w in record] == [f"Spectral bisection fallback (subgraph size 7): {text}"]
    assert cores(r) == [0, 0, 0, 0, 1, 1, 1]


def test_warning_turned_error_propagates_with_the_solver_error_as_context(solver):
    err = np.linalg.LinAlgError("singular")
    solver(error=err)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning) as info:
            spectral(path(7), make_hw(max_neurons_per_core=3))
    assert str(info.value) == "Spectral bisection fallback (subgraph size 7): LinAlgError: singular"
    assert info.value.__context__ is err


@pytest.mark.parametrize(
    "error",
    [
        RuntimeError("boom"),
        KeyError("boom"),
        scipy.sparse.linalg.ArpackNoConvergence("no", np.zeros(0), np.zeros(0)),
    ],
)
def test_other_solver_errors_propagate_unchanged(solver, error):
    solver(error=error)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(type(error)) as info:
            spectral(path(7), make_hw(max_neurons_per_core=3))
    assert info.value is error and info.value.__context__ is None


def test_capacity_is_read_at_every_stop_test_and_the_core_count_once(solver):
    solver(vector=scrambled)
    reads = []

    class Hw:
        max_neurons_per_core = property(lambda self: reads.append("m") or 4)
        num_cores = property(lambda self: reads.append("cores") or 64)

    spectral(path(10), Hw())
    # The part count reads both; the 3-part and the 2-part pieces read the capacity again
    # (1-part pieces stop before reading it).
    assert reads == ["m", "cores", "m", "m"]
    with pytest.raises(ZeroDivisionError):
        spectral(path(10), make_hw(max_neurons_per_core=0))


def test_matrix_weights_and_edge_lists(solver):
    s = solver(vector=lambda n: np.arange(n * 1.0))
    nodes = {"a": ir.LIF(), "i": ir.Input(), "b": ir.LIF(), "c": ir.LIF(), "o": ir.Output(), "d": ir.LIF()}
    edges = [
        ("a", "b"),
        ("b", "a"),
        ("a", "a"),
        ("b", "c"),
        ("c", "d"),
        ("d", "c"),
        ("i", "a"),
        ("c", "i"),
        ("i", "c"),
        ("d", "o"),
        ("a", "ghost"),
    ]
    r = spectral(make_graph(nodes, edges), make_hw(max_neurons_per_core=2))
    # An edge and its reverse weigh 2, the self-loop cancels out, i/o/ghost edges are left out.
    expected = np.array([[2, -2, 0, 0], [-2, 3, -1, 0], [0, -1, 3, -2], [0, 0, -2, 2]])
    assert np.array_equal(s.calls[0][0][0].toarray(), expected)
    assert list(r.assignments.items()) == [("a", 0), ("i", 0), ("b", 0), ("c", 1), ("o", 0), ("d", 1)]
    # a -> b -> c -> i -> a closes one component of a, b, c, d and i; o lies outside it.
    assert r.cross_core_edges == [("b", "c"), ("c", "i"), ("i", "c"), ("d", "o")]
    assert r.feedback_edges == [("b", "c"), ("c", "i"), ("i", "c")]
    assert r.metrics == {"cut_ratio": 4 / 11, "total_cross_core_edges": 4, "num_partitions": 2}


def outcome(fn, graph, hw):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        try:
            r = fn(graph, hw)
        except (ZeroDivisionError, ValueError) as exc:  # zero capacity; greedy's capacity error
            return type(exc), str(exc)
    return (
        list(r.assignments.items()),
        [type(v) for v in r.assignments.values()],
        r.num_cores_used,
        r.cross_core_edges,
        r.feedback_edges,
        list(r.metrics.items()),
        [type(v) for v in r.metrics.values()],
        [str(w.message) for w in record],
    )


@pytest.mark.parametrize("seed", range(80))
def test_matches_model_with_a_deterministic_solver(solver, seed):
    graph, rnd = random_graph(30_000 + seed, max_nodes=60)
    m = rnd.choice([0, 1, 2, 3, 5, 8, np.int64(3), 4.0])  # numpy and float capacities: host arithmetic
    hw = make_hw(max_neurons_per_core=m, num_cores=rnd.choice([1, 2, 3, 5, 64]))
    solver(dense_solver if seed % 4 else fails(np.linalg.LinAlgError, "no"))
    assert outcome(spectral, graph, hw) == outcome(reference.spectral, graph, hw)


@pytest.mark.parametrize("seed", range(3))
def test_properties_on_the_real_solver(seed):
    rnd = random.Random(seed)
    n = 300
    names = [f"v{i}" for i in range(n)]
    nodes = {k: ir.Input() if i < 3 else ir.Output() if i >= n - 3 else ir.LIF() for i, k in enumerate(names)}
    edges = [(names[i], names[min(n - 1, i + rnd.randint(1, 30))]) for i in range(n - 1) for _ in range(2)]
    edges += [(names[rnd.randrange(n)], names[rnd.randrange(n)]) for _ in range(20)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        r = spectral(make_graph(nodes, edges), make_hw(max_neurons_per_core=16))
    assert r.metrics["num_partitions"] == 19 and list(r.assignments) == names
    assert all(0 <= c < 19 for c in r.assignments.values())
    assert r.num_cores_used == len(set(r.assignments.values())) > 1
    assert r.cross_core_edges == [e for e in edges if r.assignments[e[0]] != r.assignments[e[1]]]
    assert set(r.feedback_edges) <= set(r.cross_core_edges)


def test_edges_are_passed_over_three_times():
    g = make_graph("abc")
    g.edges = CountingEdges([("a", "b"), ("b", "c"), ("c", "a")])
    partition.partition_spectral(g, make_hw(max_neurons_per_core=5))
    assert g.edges.passes == 3  # adjacency, the directed graph, the edge lists
