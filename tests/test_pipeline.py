"""partition -> place -> allocate on a small layered network, checked against figures worked
out by hand from the rules of each stage."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

from zerav import ir
from zerav.graph.constraints import HardwareSpec

partition = pytest.importorskip("zerav.graph.partition")
placement = pytest.importorskip("zerav.graph.placement")
resource = pytest.importorskip("zerav.graph.resource")


def zeros(*shape):
    return np.zeros(shape, dtype=np.float32)


def network():
    """in -> conv1 -> bn1 -> lif1 -> fc1 -> lif2 -> fc2 -> lif3 -> out, plus three skip edges.

    The chain admits a single topological order, so the greedy fill is fixed by the capacity.
    """
    g = ir.Graph()
    g.add_node("in", ir.Input(shape=(1, 28, 28)))
    g.add_node("conv1", ir.Conv2d(weight=zeros(8, 1, 3, 3), bias=zeros(8)))  # 80 fp32
    g.add_node("bn1", ir.BatchNorm(*(zeros(8) for _ in range(4))))  # 32 fp32
    g.add_node("lif1", ir.LIF(*(zeros(8) for _ in range(4))))  # 32 state
    g.add_node("fc1", ir.Affine(weight=zeros(16, 8), bias=zeros(16), precision="int8"))  # 144 int8
    g.add_node("lif2", ir.LIF(*(zeros(16) for _ in range(4)), precision="int8"))  # 64 state
    g.add_node("fc2", ir.Linear(weight=zeros(10, 16), precision="fp16"))  # 160 fp16
    g.add_node("lif3", ir.LIF(*(zeros(10) for _ in range(4))))  # 40 state
    g.add_node("out", ir.Output(shape=(10,)))
    chain = ["in", "conv1", "bn1", "lif1", "fc1", "lif2", "fc2", "lif3", "out"]
    for src, dst in zip(chain, chain[1:]):
        g.add_edge(src, dst)
    g.add_edge("lif1", "lif2")
    g.add_edge("lif2", "lif3")
    g.add_edge("conv1", "lif3")
    return g


HW = HardwareSpec(
    num_cores=8,
    max_neurons_per_core=2,
    core_mesh_topology=(2, 4),
    sram_bytes_per_core=512,
    max_feedback_delay=4,
)


def test_partition_place_allocate():
    g = network()
    assert partition.partition(g, HW) is g
    meta = g.partition_metadata
    cores = {"in": 0, "conv1": 0, "bn1": 0, "lif1": 1, "fc1": 1, "lif2": 2, "fc2": 2, "lif3": 3, "out": 3}
    assert meta["assignments"] == cores and list(meta["assignments"]) == list(cores)
    assert {name: node.core_id for name, node in g.nodes.items()} == cores
    assert meta["cross_core_edges"] == [
        ("bn1", "lif1"),
        ("fc1", "lif2"),
        ("fc2", "lif3"),
        ("lif1", "lif2"),
        ("lif2", "lif3"),
        ("conv1", "lif3"),
    ]
    assert meta["num_cores_used"] == 4 and meta["feedback_edges"] == []

    # Pairs by first appearance: (0,1) x1, (1,2) x2, (2,3) x2, (0,3) x1; the seed is (1, 2) at the
    # centre (1, 2) and above it; core 0 goes left of core 1, core 3 left of core 2.
    placed = placement.place(g, HW)
    assert placed.logical_to_physical == {1: (1, 2), 2: (0, 2), 0: (1, 1), 3: (0, 1)}
    assert list(placed.logical_to_physical) == [1, 2, 0, 3]
    assert placed.total_hop_distance == 1 + 2 + 2 + 1
    assert placed.improvement == (8 - 6) / 8 * 100.0  # row-major layout: 1 + 2 + 2 + 3

    r = resource.allocate(g, HW)
    figures = [
        (k, b.neuron_count, b.weight_bytes, b.state_bytes, b.routing_bytes, b.total_bytes, b.utilization)
        for k, b in r.budgets.items()
    ]
    assert figures == [
        (0, 2, 80 * 4 + 32 * 4, 0, 0, 448, 448 / 512),
        (1, 2, 144, 32 * 4, 8, 280, 280 / 512),
        (2, 2, 160 * 2, 64 * 4, 16, 592, 592 / 512),
        (3, 1, 0, 40 * 4, 24, 184, 184 / 512),
    ]
    assert (r.total_weight_bytes, r.total_state_bytes) == (448 + 144 + 320, 128 + 256 + 160)
    assert r.peak_core_utilization == 1.15625
    assert r.fits_hardware is False and r.violations == [2]

    # Twice the SRAM fits everything; the results of the earlier stages are untouched.
    roomy = dataclasses.replace(HW, sram_bytes_per_core=1024)
    again = resource.allocate(g, roomy)
    assert again.fits_hardware and again.violations == [] and again.peak_core_utilization == 592 / 1024
    assert g.partition_metadata is meta and placement.place(g, HW) == placed
