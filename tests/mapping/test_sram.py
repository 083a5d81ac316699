"""The SRAM constraint counts bytes exactly as allocate does: allocate finds every core within
sram_bytes_per_core after map_graph(..., sram=True), also where a count that differs from
allocate's by a byte would not fit, and when the resource module's helpers are replaced."""

from __future__ import annotations

import numpy as np
import pytest
import rustworkx as rx
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from tests.helpers import make_graph, make_hw
from tests.mapping.graphs import check_mapping, sized
from zerav import ir
from zerav.graph import mapping, resource
from zerav.graph.mapping import MappingError, map_graph


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


def test_an_edge_inside_one_core_needs_no_routing_bytes():
    # Both 16-byte nodes on the one core is exactly 32 bytes; the search charged the edge's
    # routing buffer as well and found no packing.
    graph = make_graph({"a": sized(3), "b": sized(3)}, [("a", "b")])
    hw = make_hw(num_cores=1, max_neurons_per_core=2, core_mesh_topology=(1, 1), sram_bytes_per_core=32)
    map_graph(graph, hw, sram=True)
    assert budgets(graph, hw) == {0: 32}


def test_a_ring_folded_onto_a_line_fills_each_core_by_its_exact_bytes():
    # 16 nodes of 20 bytes in a ring, a 1-hop delay, a 1 x 6 line: folded, a core holds three
    # nodes and the buffers of the two edges entering them, 76 bytes. The banded layout charged
    # each node its own buffer (28 bytes), fitted two per core and ran out of cores.
    graph = make_graph(
        {f"r{i}": sized(4) for i in range(16)}, [(f"r{i}", f"r{(i + 1) % 16}") for i in range(16)]
    )
    hw = make_hw(
        num_cores=6,
        max_neurons_per_core=3,
        core_mesh_topology=(1, 6),
        max_feedback_delay=1,
        sram_bytes_per_core=76,
    )
    check_mapping(graph, hw, map_graph(graph, hw, sram=True))
    assert max(budgets(graph, hw).values()) <= 76


@pytest.mark.parametrize(("rows", "cols", "per_core"), [(2, 2, 8), (4, 4, 3), (2, 4, 20)])
def test_a_chain_cut_into_cores_with_one_buffer_each_fits(rows, cols, per_core):
    # Cut into runs of `per_core` nodes, each core holds its nodes and the buffer of the one edge
    # entering it: the bisection must count a side's bytes with the edges inside it unbuffered.
    node = allocate_bytes(sized(5))
    names = [f"a{i}" for i in range(rows * cols * per_core)]
    graph = make_graph({name: sized(5) for name in names}, list(zip(names, names[1:])))
    sram = per_core * node + 8
    hw = make_hw(
        num_cores=rows * cols,
        max_neurons_per_core=per_core,
        core_mesh_topology=(rows, cols),
        sram_bytes_per_core=sram,
    )
    check_mapping(graph, hw, map_graph(graph, hw, sram=True))
    assert max(budgets(graph, hw).values()) <= sram


@pytest.mark.parametrize(
    ("nodes", "edges", "capacity", "cores", "sram", "config"),
    [
        # Only with the Input node beside the larger of the two nodes it feeds does every core
        # fit (the small graph's exact packing is off, to show the search's own step).
        (
            {"a": sized(1), "b": sized(2), "c": sized(1), "in": ir.Input(), "free": ir.Input()},
            [("in", "a"), ("in", "b")],
            1,
            3,
            16,
            {"cores.exact_vertices": 0},
        ),
        # 8 + 16 bytes on each core: the two 16-byte nodes must part, no single move does it.
        ({"a": sized(1), "b": sized(3), "c": sized(3), "d": sized(1)}, [], 2, 2, 24, {}),
    ],
)
def test_packings_that_single_moves_out_of_a_full_core_miss(nodes, edges, capacity, cores, sram, config):
    graph = make_graph(nodes, edges)
    hw = make_hw(
        num_cores=cores,
        max_neurons_per_core=capacity,
        core_mesh_topology=(1, cores),
        sram_bytes_per_core=sram,
    )
    mapping._map_graph_with_config(graph, hw, config, 0, True)
    assert max(budgets(graph, hw).values()) <= sram


def set_partitions(items):
    """Every partition of `items` into blocks."""
    if not items:
        yield []
        return
    first, rest = items[0], items[1:]
    for blocks in set_partitions(rest):
        yield [[first], *blocks]
        for i in range(len(blocks)):
            yield [*blocks[:i], [first, *blocks[i]], *blocks[i + 1 :]]


def least_feasible_sram(nodes, edges, capacity, cores):
    """The smallest SRAM size at which some assignment meets every constraint map_graph keeps,
    by trying them all: at most `capacity` compute nodes per core and `cores` cores, each core
    with a compute node within its bytes as allocate counts them, and a strongly connected
    component kept on one core where its nodes fit one (None when nothing fits)."""
    compute = {n for n, node in nodes.items() if not isinstance(node, ir.Input | ir.Output)}
    own = {n: (allocate_bytes(nodes[n]) if n in compute else 0) for n in nodes}
    digraph = rx.PyDiGraph()
    index = {n: digraph.add_node(n) for n in nodes}
    digraph.add_edges_from_no_data([(index[a], index[b]) for a, b in edges])
    sccs = [[digraph[i] for i in c] for c in rx.strongly_connected_components(digraph)]
    best = None
    for blocks in set_partitions(list(nodes)):
        if len(blocks) > cores or any(len(compute.intersection(b)) > capacity for b in blocks):
            continue
        core = {n: i for i, b in enumerate(blocks) for n in b}
        worst = 0
        for i, b in enumerate(blocks):
            if compute.intersection(b):
                routing = sum(8 for a, d in edges if core[d] == i and core[a] != i)
                worst = max(worst, sum(own[n] for n in b) + routing)
        # A component split here stays whole at any size that holds its nodes: this
        # assignment serves only below that size.
        split = [
            c for c in sccs if len({core[n] for n in c}) > 1 and len(compute.intersection(c)) <= capacity
        ]
        if any(worst >= sum(own[n] for n in c) for c in split):
            continue
        best = worst if best is None else min(best, worst)
    return best


def allocate_bytes(node):
    graph = make_graph({"n": node})
    return resource.allocate(graph, make_hw(sram_bytes_per_core=1)).budgets[0].total_bytes


@st.composite
def small_problems(draw):
    count = draw(st.integers(2, 6))
    kinds = draw(st.lists(st.sampled_from(["c", "c", "c", "in", "out"]), min_size=count, max_size=count))
    sizes = draw(st.lists(st.integers(1, 12), min_size=count, max_size=count))
    nodes = {
        f"n{i}": {"c": lambda s: sized(s), "in": lambda s: ir.Input(), "out": lambda s: ir.Output()}[k](s)
        for i, (k, s) in enumerate(zip(kinds, sizes, strict=True))
    }
    pairs = st.tuples(st.integers(0, count - 1), st.integers(0, count - 1)).filter(lambda p: p[0] != p[1])
    edges = [(f"n{a}", f"n{b}") for a, b in draw(st.lists(pairs, max_size=2 * count))]
    return nodes, edges, draw(st.integers(1, 3)), draw(st.integers(1, count))


@settings(max_examples=150, deadline=None)
@given(small_problems(), st.integers(0, 3))
def test_the_least_feasible_sram_is_found_and_nothing_below_it(problem, seed):
    nodes, edges, capacity, cores = problem
    least = least_feasible_sram(nodes, edges, capacity, cores)
    assume(least is not None)
    hw = make_hw(num_cores=cores, max_neurons_per_core=capacity, core_mesh_topology=(1, cores))
    graph = make_graph(nodes, edges)
    map_graph(graph, make_hw(**{**vars(hw), "sram_bytes_per_core": least}), seed, sram=True)
    assert max(budgets(graph, hw).values(), default=0) <= least
    if least > 0:
        with pytest.raises(MappingError):
            map_graph(
                make_graph(nodes, edges),
                make_hw(**{**vars(hw), "sram_bytes_per_core": least - 1}),
                seed,
                sram=True,
            )
