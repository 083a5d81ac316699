"""`place` on hostile and odd inputs: malformed topologies and edges, core ids of other types
and sizes, degenerate and huge meshes, host errors passing through, and no leaks."""

from __future__ import annotations

import functools
import itertools
import signal

import numpy as np
import pytest

from tests.helpers import Spec, make_graph, placed_graph
from tests.helpers import placement_outcome as outcome
from zerav.graph.placement import place


def mesh(rows, cols, **members):
    return Spec(core_mesh_topology=(rows, cols), **members)


PAIR = {"a": 0, "b": 1}


@pytest.mark.parametrize(
    "topology, error, message",
    [
        ((4,), ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
        (iter((1, 2, 3)), ValueError, "too many values to unpack (expected 2)"),
        (5, TypeError, "'int' object is not iterable"),
        ((2.0, 2), TypeError, "'float' object cannot be interpreted as an integer"),
        ((2, "2"), TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_bad_topology(topology, error, message):
    with pytest.raises(error) as info:
        place(placed_graph(PAIR, [("a", "b")], 2), Spec(core_mesh_topology=topology))
    assert str(info.value) == message


def test_topology_of_any_two_item_iterable():
    graph = placed_graph(PAIR, [("a", "b")], 2)
    assert outcome(place(graph, Spec(core_mesh_topology=[2, 2]))) == ([(0, (1, 1)), (1, (0, 1))], 1, 0.0)
    assert outcome(place(graph, Spec(core_mesh_topology=iter((2, 2))))) == (
        [(0, (1, 1)), (1, (0, 1))],
        1,
        0.0,
    )


@pytest.mark.parametrize(
    "edges, error, message",
    [
        (5, TypeError, "'int' object is not iterable"),
        ([("a",)], ValueError, "need more than 1 value to unpack"),
        ([("a", "b", "c")], ValueError, "too many values to unpack (expected 2)"),
        ([("a", "b"), 7], TypeError, "'int' object is not iterable"),
        ([("a", "b"), "abc"], ValueError, "too many values to unpack (expected 2)"),
    ],
)
def test_bad_edges(edges, error, message):
    graph = placed_graph(PAIR, [], 2)
    graph.edges = edges
    with pytest.raises(error) as info:
        place(graph, mesh(3, 3))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "assignments, used, error, message",
    [
        ({"a": "x", "b": "y"}, 2, TypeError, "Expected int, got str"),
        ({"a": b"x", "b": b"y"}, 2, TypeError, "Expected int, got bytes"),
        ({"a": 1, "b": "x"}, 2, TypeError, "'<' not supported between instances of 'str' and 'int'"),
        ({"a": 1, "b": 1 + 2j}, 2, TypeError, "'<' not supported between instances of 'complex' and 'int'"),
        ({"a": [1], "b": [2]}, 2, TypeError, "unhashable type: 'list'"),
        ({"a": float("nan"), "b": 2.0}, 2, ValueError, "cannot convert float NaN to integer"),
        (PAIR, 2.5, TypeError, "'float' object cannot be interpreted as an integer"),
        (PAIR, "3", TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_core_values_that_fail(assignments, used, error, message):
    with pytest.raises(error) as info:
        place(placed_graph(assignments, [("a", "b")], used), mesh(3, 3))
    assert str(info.value) == message


def test_equal_unhashable_ids_make_no_pair():
    result = place(placed_graph({"a": [1], "b": [1]}, [("a", "b")], 2), mesh(3, 3))
    assert outcome(result) == ([(0, (0, 1)), (1, (1, 2))], 0, 0.0)


@pytest.mark.parametrize(
    "a, b, keys",
    [
        (1.9, 3.2, [1, 3]),  # floats truncate toward zero
        (-1.5, 2.0, [-1, 2]),
        (True, np.int64(3), [1, 3]),  # bool and numpy integers convert to plain ints
        (np.int32(2), 2.0**70, [2, 2**70]),
    ],
)
def test_core_ids_of_other_types_become_plain_ints(a, b, keys):
    graph = placed_graph({"a": a, "b": b}, [("a", "b")], 0)
    result = place(graph, mesh(3, 3))
    assert list(result.logical_to_physical) == keys
    assert all(type(k) is int for k in result.logical_to_physical)


def test_numpy_mesh_sizes_follow_host_arithmetic():
    graph = placed_graph(PAIR, [("a", "b")], 3)
    result = place(graph, mesh(np.int64(3), np.int64(3)))
    centre = result.logical_to_physical[0]
    assert centre == (1, 1) and type(centre[0]) is np.int64
    assert list(result.logical_to_physical.items()) == [(0, (1, 1)), (1, (0, 1)), (2, (1, 2))]
    assert type(result.total_hop_distance) is np.int64 and result.total_hop_distance == 1


@pytest.mark.parametrize(
    "a, b, cols, baseline",
    [
        (-(2**63), 2**63 - 1, 1, 2**64 - 1),
        (0, 2**54 + 3, 1, 2**54 + 3),
        (0, 2**80, 3, 2**80 // 3 + 1),
    ],
)
def test_hop_totals_are_exact_ints(a, b, cols, baseline):
    graph = placed_graph({"a": a, "b": b}, [("a", "b")], 0)
    result = place(graph, mesh(2, cols))
    assert result.total_hop_distance == 1 and type(result.total_hop_distance) is int
    assert result.improvement == (baseline - 1) / baseline * 100.0


@pytest.mark.parametrize("used, count", [(np.int64(3), 3), (True, 1), (-4, 0), (2**80, 4)])
def test_num_cores_used_of_other_types(used, count):
    result = place(placed_graph(PAIR, [], used), mesh(2, 2))
    assert len(result.logical_to_physical) == count


def test_zero_columns():
    with pytest.raises(ZeroDivisionError) as info:
        place(placed_graph(PAIR, [("a", "b")], 2), mesh(3, 0))
    assert str(info.value) == "integer division or modulo by zero"
    assert outcome(place(placed_graph(PAIR, [], 2), mesh(3, 0))) == ([], 0, 0.0)
    assert outcome(place(make_graph([]), mesh(3, 0))) == ([], 0, 0.0)
    # No cell exists, so no row count is too large.
    assert outcome(place(placed_graph(PAIR, [], 2), mesh(10**30, 0))) == ([], 0, 0.0)


@pytest.mark.parametrize(
    "graph, spec",
    [
        (placed_graph(PAIR, [("a", "b")], 2), mesh(10**6, 10**6)),
        (placed_graph(PAIR, [], 2), mesh(60000, 60000)),  # fits the cell numbering, not the machine
        (placed_graph(PAIR, [], 2), mesh(2**40, 2**40)),
        (make_graph([]), mesh(10**6, 10**6)),  # the row-major layout of every cell
        (make_graph([]), Spec(core_mesh_topology=None, num_cores=10**12)),
        (make_graph([]), Spec(core_mesh_topology=None, num_cores=2**70)),
    ],
)
def test_too_large_to_allocate_is_memory_error(graph, spec):
    with pytest.raises(MemoryError):
        place(graph, spec)


def test_host_errors_pass_through():
    graph = placed_graph(PAIR, [("a", "b")], 2)
    with pytest.raises(AttributeError, match="core_mesh_topology"):
        place(graph, object())
    with pytest.raises(AttributeError, match="num_cores"):
        place(graph, Spec(core_mesh_topology=None))
    graph.partition_metadata = ["not", "a", "mapping"]
    with pytest.raises(AttributeError, match="'list' object has no attribute 'get'"):
        place(graph, mesh(2, 2))
    graph.partition_metadata = {"assignments": 5}
    with pytest.raises(AttributeError, match="'int' object has no attribute 'get'"):
        place(graph, mesh(2, 2))
    del graph.edges
    graph.partition_metadata = {}
    with pytest.raises(AttributeError, match="edges"):
        place(graph, mesh(2, 2))


def index_probe(value):
    """An index-only value and a test of whether `place` took it (how far it got). Its
    `__index__` is C code only, so Ctrl-C cannot be taken inside it."""
    counter = itertools.count(value)
    probe = type("IndexProbe", (), {"__index__": staticmethod(functools.partial(next, counter))})()
    return probe, lambda: next(counter) != value


def interrupted(call, delay=0.02):
    """Runs `call` with Ctrl-C's handler on a timer signal that the kernel delivers after `delay`
    seconds (no host thread needs the interpreter lock to send it)."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        call()
    except KeyboardInterrupt:
        return True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return False


def test_ctrl_c_stops_the_edge_pass():
    rows, taken = index_probe(2)
    graph = placed_graph({"a": 0, "b": 0}, [("a", "b")] * 12_000_000, 2)
    assert interrupted(lambda: place(graph, mesh(rows, 2)))
    assert not taken()  # the mesh comes after the edges


def test_ctrl_c_stops_the_free_cell_fill():
    used, taken = index_probe(1)
    graph = placed_graph({}, [], used)
    assert interrupted(lambda: place(graph, mesh(4000, 4000)))
    assert not taken()  # the expansion comes after the fill
