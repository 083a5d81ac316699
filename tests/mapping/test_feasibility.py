"""Mappings within every hard constraint where the three partitioners give none, and the
errors for inputs no mapping can serve: which constraint, and by how much."""

from __future__ import annotations

import pytest

from tests.helpers import Spec, make_graph, make_hw
from tests.mapping.graphs import check_mapping, layered, looped_layers, ring, sized
from zerav import ir
from zerav.graph.mapping import map_graph
from zerav.graph.partition import partition

CORE = 8


def big_scc_graph():
    """An SCC 40 times a core, fed by an Input and read by an Output."""
    names, edges = ring(40 * CORE)
    nodes = {"in": ir.Input(), **{n: ir.LIF() for n in names}, "out": ir.Output()}
    return make_graph(nodes, [("in", names[0]), *edges, (names[-1], "out")])


@pytest.mark.parametrize(
    ("mesh", "delay"),
    [((8, 8), -1), ((8, 8), 1), ((8, 8), 2), ((1, 64), 1), (None, 1), (None, -1)],
)
def test_scc_forty_times_a_core_is_split_within_capacity_and_delay(mesh, delay):
    hw = make_hw(num_cores=64, max_neurons_per_core=CORE, core_mesh_topology=mesh, max_feedback_delay=delay)
    greedy_graph = big_scc_graph()
    partition(greedy_graph, make_hw(num_cores=64, max_neurons_per_core=CORE), "greedy")
    assert greedy_graph.partition_metadata["num_cores_used"] <= 2  # the SCC overfills one core

    graph = big_scc_graph()
    load = check_mapping(graph, hw, map_graph(graph, hw))
    assert len(load) >= 40
    assert graph.partition_metadata["feedback_edges"]


def test_small_sccs_stay_whole_while_a_big_one_is_split():
    small, small_edges = ring(CORE - 1, prefix="s")
    big, big_edges = ring(5 * CORE, prefix="b")
    graph = make_graph(small + big, small_edges + big_edges + [(small[0], big[0])])
    hw = make_hw(num_cores=16, max_neurons_per_core=CORE, core_mesh_topology=(4, 4), max_feedback_delay=1)
    check_mapping(graph, hw, map_graph(graph, hw))
    assert len({graph.partition_metadata["assignments"][n] for n in small}) == 1


def test_feedback_edges_between_distant_layers_are_brought_within_two_hops():
    # Two components of 24 layers each, closed by edges from a block's late layers back to
    # its early ones: moving one end of such an edge at a time leaves one beyond the limit
    # here; both ends must move.
    graph = looped_layers(48, 48, blocks=2, back_edges=12, seed=4)
    hw = make_hw(num_cores=64, max_neurons_per_core=64, core_mesh_topology=(8, 8), max_feedback_delay=2)
    check_mapping(graph, hw, map_graph(graph, hw))
    assert len(graph.partition_metadata["feedback_edges"]) > 1000


def test_layered_graph_within_capacity_and_ahead_of_edgemap_and_place():
    from zerav.graph.placement import place

    hw = make_hw(num_cores=64, max_neurons_per_core=16, core_mesh_topology=(8, 8))
    graph = layered(24, 20)
    result = map_graph(graph, hw)
    check_mapping(graph, hw, result)
    baseline = layered(24, 20)
    partition(baseline, hw, "edgemap")
    assert result.total_hop_distance < place(baseline, hw).total_hop_distance


def test_core_ids_are_mesh_cells_below_num_cores():
    # 10 cores on a 4 x 4 mesh: ids 0-9 only, so a partial row is used.
    graph = layered(10, 9)
    hw = make_hw(num_cores=10, max_neurons_per_core=10, core_mesh_topology=(4, 4))
    check_mapping(graph, hw, map_graph(graph, hw))


@pytest.mark.parametrize("mesh", [(100_000, 100_000), (3, 2**40), (2**40, 3)])
def test_huge_meshes_map_within_32_bit_ids_and_report_their_hops(mesh):
    # The work stays bound to the cells used, not the mesh. With more than 2**31 - 1 columns
    # only the first row has ids that fit in 32 bits; a mapping that wrapped into a second row
    # of a narrower mesh reported hops the host's mesh does not have.
    graph = layered(12, 10)
    hw = make_hw(num_cores=mesh[0] * mesh[1], max_neurons_per_core=10, core_mesh_topology=mesh)
    check_mapping(graph, hw, map_graph(graph, hw))


def test_boundary_nodes_do_not_count_against_capacity():
    nodes = {"i1": ir.Input(), "i2": ir.Input(), "a": ir.LIF(), "o": ir.Output()}
    graph = make_graph(nodes, [("i1", "a"), ("i2", "a"), ("a", "o")])
    map_graph(graph, make_hw(num_cores=1, max_neurons_per_core=1, core_mesh_topology=(1, 1)))
    assert set(graph.partition_metadata["assignments"].values()) == {0}


def test_empty_graph():
    graph = make_graph({})
    result = map_graph(graph, make_hw(num_cores=4, core_mesh_topology=(2, 2)))
    assert result.logical_to_physical == {} and graph.partition_metadata["num_cores_used"] == 0


@pytest.mark.parametrize(
    ("graph", "hw", "message"),
    [
        (
            make_graph([f"n{i}" for i in range(17)]),
            make_hw(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(2, 2)),
            "Capacity cannot be met: 17 compute nodes at max_neurons_per_core=4 need 5 cores, "
            "1 more than the 4 available (num_cores=4, a 2x2 mesh).",
        ),
        (
            make_graph([f"n{i}" for i in range(7)]),
            make_hw(num_cores=3, max_neurons_per_core=2, core_mesh_topology=(2, 3)),
            "Capacity cannot be met: 7 compute nodes at max_neurons_per_core=2 need 4 cores, "
            "1 more than the 3 available (num_cores=3, a 2x3 mesh).",
        ),
        (
            make_graph(["a"]),
            Spec(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(0, 3), max_feedback_delay=-1),
            "Core count cannot be met: the chip offers no core (num_cores=4, a 0x3 mesh).",
        ),
        (
            make_graph(*ring(9)),
            make_hw(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(2, 2), max_feedback_delay=0),
            "Feedback delay cannot be met: the strongly connected component of 'r0' has 9 compute nodes, "
            "5 more than max_neurons_per_core=4 (or more bytes than one core holds), and "
            "max_feedback_delay=0 allows no feedback edge between cores.",
        ),
    ],
)
def test_impossible_inputs_say_which_constraint_and_by_how_much(graph, hw, message):
    with pytest.raises(ValueError) as info:
        map_graph(graph, hw)
    assert str(info.value) == message
    assert not hasattr(graph, "partition_metadata") or graph.partition_metadata is None


def test_delay_that_no_mapping_found_meets_is_an_error():
    # A complete digraph on 3 cores' worth of nodes: some feedback edge must span the two
    # cores that are not neighbours on a 1 x 3 mesh... unless only adjacent cores are used.
    names = [f"k{i}" for i in range(12)]
    graph = make_graph(names, [(a, b) for a in names for b in names if a != b])
    hw = make_hw(num_cores=3, max_neurons_per_core=4, core_mesh_topology=(1, 3), max_feedback_delay=1)
    with pytest.raises(
        ValueError,
        match=r"^Feedback delay cannot be met: no mapping found keeps every feedback edge within max_feedback_delay=1 hops; the best found leaves \d+ feedback edge\(s\) longer\.$",
    ):
        map_graph(graph, hw)


def test_sram_errors_name_the_node_or_the_total():
    graph = make_graph({"big": sized(100), "small": sized(10)})
    hw = make_hw(num_cores=4, core_mesh_topology=(2, 2), sram_bytes_per_core=300)
    with pytest.raises(ValueError) as info:
        map_graph(graph, hw, sram=True)
    # 100 fp32 weights and one bias: 404 bytes.
    assert (
        str(info.value)
        == "SRAM cannot be met: node 'big' needs 404 bytes, 104 more than sram_bytes_per_core=300."
    )
    graph = make_graph({f"n{i}": sized(60) for i in range(5)})
    hw = make_hw(num_cores=2, core_mesh_topology=(1, 2), sram_bytes_per_core=300)
    with pytest.raises(ValueError) as info:
        map_graph(graph, hw, sram=True)
    assert str(info.value) == (
        "SRAM cannot be met: the nodes need 1220 bytes, 620 more than 2 cores of sram_bytes_per_core=300 hold "
        "(num_cores=2, a 1x2 mesh)."
    )
    map_graph(graph, hw)  # without sram=True the bytes are not a constraint
