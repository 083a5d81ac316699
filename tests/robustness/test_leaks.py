"""Repeated calls leak nothing: one table of calls over every entry point (successes and each
kind of failure), one rule for allocated blocks and one for the inputs' reference counts."""

from __future__ import annotations

import gc
import sys
import types
import warnings

import numpy as np
import pytest
import scipy.sparse.linalg

import zerav.graph.partition as partition
from tests.helpers import Spec, leaked_blocks, make_graph, make_hw, placed_graph
from tests.mapping.graphs import ring
from zerav import ir
from zerav.graph import resource
from zerav.graph.mapping import check_feedback_delay, map_graph
from zerav.graph.placement import place

# A leak of one block per call shows ROUNDS blocks in every trial; the interpreter's and the
# libraries' caches grow by a few now and then. The rule for every entry: fewer than half a
# block per call.
ROUNDS = 200
BLOCK_LIMIT = ROUNDS // 2


def layered_graph():
    nodes = {"in": ir.Input(), "out": ir.Output()}
    nodes.update({f"n{i}": ir.LIF() for i in range(30)})
    edges = (
        [("in", "n0")]
        + [(f"n{i}", f"n{(i * 7 + 3) % 30}") for i in range(30)]
        + [("n29", "out"), ("n3", "ghost")]
    )
    return make_graph(nodes, edges)


def path_graph(n):
    return make_graph([f"p{i}" for i in range(n)], [(f"p{i}", f"p{i + 1}") for i in range(n - 1)])


def fails_validation():
    class Hw(Spec):
        def validate(self):
            raise RuntimeError("invalid")

    return Hw()


def mesh(rows, cols):
    return Spec(core_mesh_topology=(rows, cols))


def graph_inputs(graph, hw=None):
    """The objects a call reads: graph, containers, names, nodes, edges, metadata."""
    nodes = graph.nodes if isinstance(graph.nodes, dict) else {}
    metadata = getattr(graph, "partition_metadata", None) or {}
    return [
        graph,
        graph.nodes,
        *([graph.edges] if hasattr(graph, "edges") else []),
        *([hw] if hw is not None else []),
        *nodes,
        *nodes.values(),
        *(a for n in nodes.values() if hasattr(n, "__dict__") for a in vars(n).values()),
        *getattr(graph, "edges", []),
        *([metadata] if metadata else []),
        *dict(metadata).get("assignments", {}).values(),
    ]


class Case(types.SimpleNamespace):
    """call: the call, catching the one failure it is meant to end in; inputs: what it reads."""


def expect(exc, fn, *args):
    def call():
        with pytest.raises(exc):
            fn(*args)

    return call


def ignoring_errors(fn, *args):
    def call():
        try:
            fn(*args)
        except Exception:
            pass

    return call


def with_failing_solver(fn, *args):
    def failing(*a, **k):
        raise ValueError("no convergence")

    def call():
        real = scipy.sparse.linalg.eigsh
        scipy.sparse.linalg.eigsh = failing
        try:
            fn(*args)
        finally:
            scipy.sparse.linalg.eigsh = real

    return call


GRAPH = layered_graph()
HW = make_hw(max_neurons_per_core=4, num_cores=16, core_mesh_topology=(4, 4), max_feedback_delay=-1)
# A name that is not a str: EdgeMap cannot reuse the greedy stage's reading and reads again.
REREAD_GRAPH = make_graph({**GRAPH.nodes, 7: ir.LIF()}, GRAPH.edges)
PATH, PATH_HW = path_graph(12), make_hw(max_neurons_per_core=3)
TIGHT = make_hw(max_neurons_per_core=1, num_cores=2)
DELAY_GRAPH = make_graph(
    {"o": ir.Output(), "a": ir.LIF(), "b": ir.LIF(), "c": ir.LIF()},
    [("a", "b"), ("b", "a"), ("c", "o"), ("o", "c"), ("c", "a")],
)
DELAY_HW = make_hw(max_neurons_per_core=1, num_cores=4, max_feedback_delay=0)
CHECK_HW = make_hw(max_feedback_delay=0, core_mesh_topology=(4, 4), num_cores=16)
PLACED = [
    (placed_graph({"a": 0, "b": 1, "c": 2}, [("a", "b"), ("b", "c")], 4), mesh(3, 3)),
    (
        placed_graph(
            {"a": 1.5, "b": np.int64(2), "c": True, "d": 2**70}, [("a", "b"), ("c", "d"), ("d", "a")], 5
        ),
        mesh(np.int64(3), 3),
    ),
    (placed_graph({"a": "x", "b": "y"}, [("a", "b")], 2), mesh(3, 3)),
    (placed_graph({"a": 0, "b": 1}, [("a", "b")], 2), mesh(3, 0)),
    (placed_graph({"a": 0, "b": 1}, [], 2), mesh(10**6, 10**6)),
    (make_graph([]), mesh(4, 4)),
    (make_graph([]), Spec(core_mesh_topology=None, num_cores=5)),
]


def allocate_graph(fails):
    ns = types.SimpleNamespace
    g = make_graph(
        {
            "in": ir.Input(),
            "a": ir.Affine(core_id=1),
            "b": ns(weight=np.zeros(3, dtype=np.float32), core_id=(1, 2)),
            "c": ir.LIF(core_id=np.int64(4), precision="int8"),
            "d": ns(core_id=10**40),
        }
    )
    g.partition_metadata = {
        "cross_core_edges": [("a", "b"), ("b", "c"), ("x", "d")] + [("a",)] * fails,
        "assignments": {"b": (1, 2), "c": 4, "d": 10**40},
    }
    return g


ALLOCATE_HW = make_hw(sram_bytes_per_core=3)
ALLOCATE_OK, ALLOCATE_FAILS = allocate_graph(False), allocate_graph(True)
ROUTED = make_graph({f"n{i}": ir.LIF(core_id=i % 3) for i in range(20)} | {"in": ir.Input()})
ROUTED.partition_metadata = {"cross_core_edges": [("n1", "n2")] * 3, "assignments": {"n2": 2}}
SMALL_SRAM = types.SimpleNamespace(sram_bytes_per_core=64)
BAD_PRECISION = make_graph({"x": ir.LIF(precision=7)})


def recurrent_graph():
    names, edges = ring(40)
    nodes = {"in": ir.Input(), **{n: ir.LIF(tau=np.zeros(3)) for n in names}, "out": ir.Output()}
    return make_graph(nodes, [("in", names[0]), *edges, (names[5], "out"), ("r1", "ghost")])


RING = recurrent_graph()
RING_HW = make_hw(max_neurons_per_core=4, num_cores=16, core_mesh_topology=(4, 4), max_feedback_delay=2)
RING_RATES = {f"r{i}": i / 3 for i in range(0, 40, 2)}
BAD_RATES = {"r3": 2.0, "r7": float("nan")}
MAPPING_FAILURES = {
    "capacity": (ValueError, make_hw(max_neurons_per_core=1, num_cores=4, core_mesh_topology=(2, 2)), False),
    "delay": (
        ValueError,
        make_hw(max_neurons_per_core=4, num_cores=16, core_mesh_topology=(4, 4), max_feedback_delay=0),
        False,
    ),
    "sram": (ValueError, make_hw(num_cores=16, core_mesh_topology=(4, 4), sram_bytes_per_core=5), True),
    "bad mesh": (
        ValueError,
        Spec(num_cores=4, max_neurons_per_core=64, core_mesh_topology=(1, 2, 3), max_feedback_delay=-1),
        False,
    ),
}

CASES = {
    "greedy": Case(call=lambda: partition.partition_greedy(GRAPH, HW), inputs=graph_inputs(GRAPH, HW)),
    "edgemap": Case(call=lambda: partition.partition_edgemap(GRAPH, HW), inputs=graph_inputs(GRAPH, HW)),
    "partition": Case(call=lambda: partition.partition(GRAPH, HW, "edgemap"), inputs=graph_inputs(GRAPH, HW)),
    "edgemap re-read": Case(
        call=lambda: partition.partition_edgemap(REREAD_GRAPH, HW), inputs=graph_inputs(REREAD_GRAPH, HW)
    ),
    "spectral": Case(
        call=lambda: partition.partition_spectral(PATH, PATH_HW), inputs=graph_inputs(PATH, PATH_HW)
    ),
    "spectral solver failure": Case(
        call=with_failing_solver(partition.partition_spectral, PATH, PATH_HW),
        inputs=graph_inputs(PATH, PATH_HW),
    ),
    "check": Case(
        call=lambda: partition._check_feedback_delay([("n1", "n2")] * 5, {"n1": 0, "n2": 9}, CHECK_HW),
        inputs=[CHECK_HW],
    ),
    "capacity error": Case(
        call=expect(ValueError, partition.partition, GRAPH, TIGHT), inputs=graph_inputs(GRAPH)
    ),
    "unknown algorithm": Case(
        call=expect(ValueError, partition.partition, GRAPH, HW, "nope"), inputs=[GRAPH]
    ),
    "algorithm type": Case(call=expect(TypeError, partition.partition, GRAPH, HW, 3), inputs=[GRAPH]),
    "validation": Case(
        call=expect(RuntimeError, partition.partition, GRAPH, fails_validation()), inputs=[GRAPH]
    ),
    "binding": Case(call=expect(TypeError, partition.partition_greedy, GRAPH), inputs=[GRAPH]),
    "bad edge": Case(
        call=expect(ValueError, partition.partition_greedy, make_graph("ab", [("a", "b", "c")]), HW),
        inputs=[HW],
    ),
    "unhashable": Case(
        call=expect(TypeError, partition.partition_edgemap, make_graph("ab", [(["a"], "b")]), HW), inputs=[HW]
    ),
    "missing key": Case(
        call=expect(KeyError, partition._check_feedback_delay, [("x", "y")], {}, make_hw()), inputs=[]
    ),
    # The Output on the second cycle stays on the full core 0, its partner opens core 1.
    "delay violation": Case(
        call=expect(ValueError, partition.partition, DELAY_GRAPH, DELAY_HW), inputs=graph_inputs(DELAY_GRAPH)
    ),
    **{
        f"place {i}": Case(call=ignoring_errors(place, graph, spec), inputs=graph_inputs(graph, spec))
        for i, (graph, spec) in enumerate(PLACED)
    },
    "allocate": Case(
        call=lambda: resource.allocate(ALLOCATE_OK, ALLOCATE_HW),
        inputs=graph_inputs(ALLOCATE_OK, ALLOCATE_HW),
    ),
    "allocate bad edge": Case(
        call=expect(ValueError, resource.allocate, ALLOCATE_FAILS, ALLOCATE_HW),
        inputs=graph_inputs(ALLOCATE_FAILS, ALLOCATE_HW),
    ),
    "allocate routed": Case(
        call=lambda: resource.allocate(ROUTED, SMALL_SRAM), inputs=graph_inputs(ROUTED, SMALL_SRAM)
    ),
    "allocate bad precision": Case(
        call=expect(TypeError, resource.allocate, BAD_PRECISION, SMALL_SRAM),
        inputs=graph_inputs(BAD_PRECISION),
    ),
    "precision": Case(call=lambda: resource._precision_to_bytes("int4"), inputs=[]),
    "map_graph": Case(call=lambda: map_graph(RING, RING_HW), inputs=graph_inputs(RING, RING_HW)),
    "map_graph with sram": Case(
        call=lambda: map_graph(RING, RING_HW, 3, True), inputs=graph_inputs(RING, RING_HW)
    ),
    **{
        f"map_graph {name} error": Case(
            call=expect(exc, map_graph, RING, hw, 0, sram), inputs=graph_inputs(RING)
        )
        for name, (exc, hw, sram) in MAPPING_FAILURES.items()
    },
    "map_graph with rates": Case(
        call=lambda: map_graph(RING, RING_HW, rates=RING_RATES),
        inputs=[*graph_inputs(RING, RING_HW), RING_RATES],
    ),
    "map_graph bad rate": Case(
        call=expect(ValueError, map_graph, RING, RING_HW, 0, False, BAD_RATES), inputs=[RING, BAD_RATES]
    ),
    "map_graph binding": Case(call=expect(TypeError, map_graph, RING), inputs=[RING]),
    "public check": Case(
        call=lambda: check_feedback_delay([("n1", "n2")] * 5, {"n1": 0, "n2": 9}, CHECK_HW), inputs=[CHECK_HW]
    ),
    "map_graph bad edge": Case(
        call=expect(ValueError, map_graph, make_graph("ab", [("a", "b", "c")]), RING_HW), inputs=[RING_HW]
    ),
}


@pytest.mark.parametrize("name", list(CASES))
def test_no_blocks_leak(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert leaked_blocks(CASES[name].call, rounds=ROUNDS) < BLOCK_LIMIT


@pytest.mark.parametrize("name", [name for name, case in CASES.items() if case.inputs])
def test_input_refcounts_stay_flat(name):
    case = CASES[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(20):  # the libraries fill caches of their own at first
            case.call()
        gc.collect()
        before = [sys.getrefcount(o) for o in case.inputs]
        for _ in range(100):
            case.call()
        gc.collect()
    assert [sys.getrefcount(o) for o in case.inputs] == before
