"""Repeated map_graph calls leak nothing: allocated blocks and the inputs' reference counts
stay flat, for mappings and for each kind of failure."""

from __future__ import annotations

import gc
import sys

import numpy as np
import pytest

from tests.helpers import Spec, leaked_blocks, make_graph, make_hw
from tests.mapping.graphs import ring
from zerav import ir
from zerav.graph.mapping import map_graph


def recurrent_graph():
    names, edges = ring(40)
    nodes = {"in": ir.Input(), **{n: ir.LIF(tau=np.zeros(3)) for n in names}, "out": ir.Output()}
    return make_graph(nodes, [("in", names[0]), *edges, (names[5], "out"), ("r1", "ghost")])


GRAPH = recurrent_graph()
HW = make_hw(max_neurons_per_core=4, num_cores=16, core_mesh_topology=(4, 4), max_feedback_delay=2)


def expect(exc, *args, **kwargs):
    def call():
        with pytest.raises(exc):
            map_graph(*args, **kwargs)

    return call


CALLS = {
    "mapping": lambda: map_graph(GRAPH, HW),
    "mapping with sram": lambda: map_graph(GRAPH, HW, 3, True),
    "capacity": expect(
        ValueError, GRAPH, make_hw(max_neurons_per_core=1, num_cores=4, core_mesh_topology=(2, 2))
    ),
    "delay": expect(
        ValueError,
        GRAPH,
        make_hw(max_neurons_per_core=4, num_cores=16, core_mesh_topology=(4, 4), max_feedback_delay=0),
    ),
    "sram": expect(
        ValueError, GRAPH, make_hw(num_cores=16, core_mesh_topology=(4, 4), sram_bytes_per_core=5), sram=True
    ),
    "binding": expect(TypeError, GRAPH),
    "bad mesh": expect(
        ValueError,
        GRAPH,
        Spec(num_cores=4, max_neurons_per_core=64, core_mesh_topology=(1, 2, 3), max_feedback_delay=-1),
    ),
    "bad edge": expect(ValueError, make_graph("ab", [("a", "b", "c")]), HW),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_no_blocks_leak(name):
    assert leaked_blocks(CALLS[name], rounds=100, warmup=20) <= 25  # one block per call would show 100


@pytest.mark.parametrize("name", ["mapping", "mapping with sram", "capacity", "delay"])
def test_input_refcounts_stay_flat(name):
    objects = [GRAPH, GRAPH.nodes, GRAPH.edges, HW, *GRAPH.nodes, *GRAPH.nodes.values(), *GRAPH.edges]
    CALLS[name]()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        CALLS[name]()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
