"""Repeated calls leak nothing: allocated blocks and the inputs' reference counts stay flat,
for successful calls and for each kind of failure."""

from __future__ import annotations

import gc
import sys
import warnings

import pytest

import zerav.graph.partition as partition
from tests.helpers import Spec, leaked_blocks, make_graph, make_hw
from zerav import ir


def layered_graph():
    nodes = {"in": ir.Input(), "out": ir.Output()}
    nodes.update({f"n{i}": ir.LIF() for i in range(30)})
    edges = (
        [("in", "n0")]
        + [(f"n{i}", f"n{(i * 7 + 3) % 30}") for i in range(30)]
        + [("n29", "out"), ("n3", "ghost")]
    )
    return make_graph(nodes, edges)


def expect(exc, fn, *args):
    def call():
        with pytest.raises(exc):
            fn(*args)

    return call


def fails_validation():
    class Hw(Spec):
        def validate(self):
            raise RuntimeError("invalid")

    return Hw()


GRAPH = layered_graph()
REREAD_GRAPH = make_graph({**GRAPH.nodes, 7: ir.LIF()}, GRAPH.edges)
HW = make_hw(max_neurons_per_core=4, num_cores=16, core_mesh_topology=(4, 4), max_feedback_delay=-1)


def tight():
    return make_hw(max_neurons_per_core=1, num_cores=2)


CALLS = {
    "greedy": lambda: partition.partition_greedy(GRAPH, HW),
    "edgemap": lambda: partition.partition_edgemap(GRAPH, HW),
    "partition": lambda: partition.partition(GRAPH, HW, "edgemap"),
    # A name that is not a str: EdgeMap cannot reuse the greedy stage's reading and reads again.
    "edgemap re-read": lambda: partition.partition_edgemap(REREAD_GRAPH, HW),
    "check": lambda: partition._check_feedback_delay(
        [("n1", "n2")] * 5,
        {"n1": 0, "n2": 9},
        make_hw(max_feedback_delay=0, core_mesh_topology=(4, 4), num_cores=16),
    ),
    "capacity error": expect(ValueError, partition.partition, GRAPH, tight()),
    "unknown algorithm": expect(ValueError, partition.partition, GRAPH, HW, "nope"),
    "algorithm type": expect(TypeError, partition.partition, GRAPH, HW, 3),
    "validation": expect(RuntimeError, partition.partition, GRAPH, fails_validation()),
    "binding": expect(TypeError, partition.partition_greedy, GRAPH),
    "bad edge": expect(ValueError, partition.partition_greedy, make_graph("ab", [("a", "b", "c")]), HW),
    "unhashable": expect(TypeError, partition.partition_edgemap, make_graph("ab", [(["a"], "b")]), HW),
    "missing key": expect(KeyError, partition._check_feedback_delay, [("x", "y")], {}, make_hw()),
    # The Output on the second cycle stays on the full core 0, its partner opens core 1.
    "delay violation": expect(
        ValueError,
        partition.partition,
        make_graph(
            {"o": ir.Output(), "a": ir.LIF(), "b": ir.LIF(), "c": ir.LIF()},
            [("a", "b"), ("b", "a"), ("c", "o"), ("o", "c"), ("c", "a")],
        ),
        make_hw(max_neurons_per_core=1, num_cores=4, max_feedback_delay=0),
    ),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_no_blocks_leak(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert leaked_blocks(CALLS[name]) <= 25  # a leak of one block per call would show 200


@pytest.mark.parametrize(
    "name", ["greedy", "edgemap", "partition", "edgemap re-read", "capacity error", "delay violation"]
)
def test_input_refcounts_stay_flat(name):
    names = list(GRAPH.nodes)
    objects = [GRAPH, GRAPH.nodes, GRAPH.edges, HW, *names, *GRAPH.nodes.values(), *GRAPH.edges]
    CALLS[name]()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        CALLS[name]()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
