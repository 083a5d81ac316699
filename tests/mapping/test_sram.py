"""The SRAM constraint counts bytes exactly as allocate does: allocate finds every core within
sram_bytes_per_core after map_graph(..., sram=True), also where a count that differs from
allocate's by a byte would not fit, and when the resource module's helpers are replaced."""

from __future__ import annotations

import numpy as np
import pytest

from tests.helpers import make_graph, make_hw
from zerav import ir
from zerav.graph import resource
from zerav.graph.mapping import map_graph


class Plain:
    """A node that is not a data record: only the six parameter names and the state set count."""

    def __init__(self, weight, tau, precision):
        self.weight, self.tau, self.precision = weight, tau, precision
        self.delays = np.zeros(1000)  # not a parameter name: costs nothing
        self.core_id = None


def mixed_graph():
    nodes = {"in": ir.Input()}
    for i in range(24):
        if i % 3 == 0:
            nodes[f"n{i}"] = ir.LIF(tau=np.zeros(10 + i), v_threshold=np.zeros(3), precision="int8")
        elif i % 3 == 1:
            nodes[f"n{i}"] = ir.Affine(
                weight=np.zeros(40), bias=np.zeros(i), precision="int4" if i % 2 else "bf16"
            )
        else:
            nodes[f"n{i}"] = Plain(np.zeros(30 + i), np.zeros(5), "fp16")
    nodes["out"] = ir.Output()
    edges = [("in", "n0"), ("n23", "out")] + [(f"n{i}", f"n{(i * 5 + 1) % 24}") for i in range(24)]
    edges += [(f"n{i}", f"n{i + 1}") for i in range(23)]
    return make_graph(nodes, edges)


def budgets(graph, hw):
    return {c: b.total_bytes for c, b in resource.allocate(graph, hw).budgets.items()}


def tightest_sram(graph_factory, hw, lo, hi):
    """The smallest SRAM size for which map_graph(sram=True) succeeds, by bisection."""
    while lo < hi:
        mid = (lo + hi) // 2
        try:
            map_graph(graph_factory(), make_hw(**{**vars(hw), "sram_bytes_per_core": mid}), sram=True)
            hi = mid
        except ValueError:
            lo = mid + 1
    return lo


@pytest.mark.parametrize("sram", [300, 400, 1000])
def test_allocate_finds_every_core_within_sram(sram):
    graph = mixed_graph()
    hw = make_hw(num_cores=16, max_neurons_per_core=24, core_mesh_topology=(4, 4), sram_bytes_per_core=sram)
    map_graph(graph, hw, sram=True)
    totals = budgets(graph, hw)
    assert max(totals.values()) <= sram
    assert resource.allocate(graph, hw).fits_hardware
    # Without the constraint the same chip takes one core, far beyond its SRAM.
    unconstrained = mixed_graph()
    map_graph(unconstrained, hw)
    assert len(budgets(unconstrained, hw)) == 1 and not resource.allocate(unconstrained, hw).fits_hardware


def test_the_tightest_size_is_exact_to_the_byte():
    # Each node alone on its core: the largest allocate total of a node with its routing.
    hw = make_hw(num_cores=64, max_neurons_per_core=24, core_mesh_topology=(8, 8))
    limit = tightest_sram(mixed_graph, hw, 1, 4000)
    graph = mixed_graph()
    map_graph(graph, make_hw(**{**vars(hw), "sram_bytes_per_core": limit}), sram=True)
    assert max(budgets(graph, hw).values()) == limit


def test_replaced_helpers_in_the_resource_module_count_too(monkeypatch):
    # allocate looks _precision_to_bytes up in the resource module at each call; so does the
    # SRAM constraint.
    graph = make_graph(
        {"a": ir.Affine(weight=np.zeros(10), bias=np.zeros(1), precision="fp16"), "b": ir.LIF()}
    )
    monkeypatch.setattr(resource, "_precision_to_bytes", lambda precision: 9)
    hw = make_hw(num_cores=4, core_mesh_topology=(2, 2), sram_bytes_per_core=98)
    with pytest.raises(ValueError) as info:
        map_graph(graph, hw, sram=True)
    assert (
        str(info.value) == "SRAM cannot be met: node 'a' needs 99 bytes, 1 more than sram_bytes_per_core=98."
    )
    hw = make_hw(num_cores=4, core_mesh_topology=(2, 2), sram_bytes_per_core=99)
    map_graph(graph, hw, sram=True)
    assert budgets(graph, hw)[graph.nodes["a"].core_id] == 99
