"""Mappings within every hard constraint where the three partitioners give none, and the
errors for inputs no mapping can serve: which constraint, and by how much."""

from __future__ import annotations

import re

import pytest

from tests.helpers import Spec, make_graph, make_hw
from tests.mapping.graphs import check_mapping, layered, looped_layers, ring, sized
from zerav import ir
from zerav.graph import resource
from zerav.graph.mapping import MappingError, map_graph
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


def test_boundary_nodes_alone_map_at_zero_capacity():
    # No compute node has to fit, so a core count of 0 nodes per core is no reason to fail
    # (it divided by that capacity: SIGFPE).
    graph = make_graph({"i": ir.Input(), "o": ir.Output()}, [("i", "o")])
    hw = Spec(num_cores=4, max_neurons_per_core=0, core_mesh_topology=(2, 2), max_feedback_delay=-1)
    map_graph(graph, hw)
    assert graph.partition_metadata["num_cores_used"] == 1


def test_a_node_under_two_names_sits_on_one_core():
    # The node has one core_id and allocate counts it once per name, on that core; the names
    # were mapped onto two cores, and allocate found the one it wrote over its SRAM.
    shared = sized(3)
    graph = make_graph({"a": shared, "b": shared, "c": sized(3)}, [("a", "c"), ("c", "b")])
    hw = make_hw(num_cores=4, max_neurons_per_core=2, core_mesh_topology=(2, 2), sram_bytes_per_core=40)
    map_graph(graph, hw, sram=True)
    cores = graph.partition_metadata["assignments"]
    assert cores["a"] == cores["b"] == shared.core_id and resource.allocate(graph, hw).fits_hardware
    graph = make_graph({"a": shared, "b": shared})
    assert failure(graph, make_hw(num_cores=4, max_neurons_per_core=1, core_mesh_topology=(2, 2))) == (
        "Capacity cannot be met: node 'a' is reached under 2 names, which share its one core and count "
        "once each, 1 more than max_neurons_per_core=1.",
        ("capacity", True, "compute nodes", 2, 1),
    )


def boundary_graph():
    return make_graph({"i": ir.Input(), "o": ir.Output()}, [("i", "o")])


@pytest.mark.parametrize(
    ("graph", "members", "sram", "message"),
    [
        # Packing failed at any core count, retried with more cores up to the whole chip.
        (
            boundary_graph(),
            {"max_neurons_per_core": -1},
            False,
            "max_neurons_per_core must not be negative, got -1",
        ),
        (make_graph(["a"]), {"num_cores": -3}, False, "num_cores must not be negative, got -3"),
        (
            make_graph(["a"]),
            {"core_mesh_topology": (3, -2)},
            False,
            "core_mesh_topology must not have a negative row or column count, got (3, -2)",
        ),
        # Read as 0: a node of 0 bytes was mapped onto a core that allocate reports as over.
        (
            make_graph({"a": ir.Input(), "b": ir.LIF()}),
            {"sram_bytes_per_core": -5},
            True,
            "sram_bytes_per_core must not be negative, got -5",
        ),
        (make_graph({"a": sized(1)}), {"sram_bytes_per_core": -(2**70)}, True, None),
    ],
)
def test_negative_members_are_refused_with_the_hosts_value(graph, members, sram, message):
    hw = Spec(**{**vars(make_hw(num_cores=1000, core_mesh_topology=(40, 25))), **members})
    message = message or f"sram_bytes_per_core must not be negative, got {-(2**70)}"
    with pytest.raises(ValueError) as info:
        map_graph(graph, hw, sram=sram)
    assert str(info.value) == message and type(info.value) is ValueError
    assert getattr(graph, "partition_metadata", None) is None


def test_empty_graph():
    graph = make_graph({})
    result = map_graph(graph, make_hw(num_cores=4, core_mesh_topology=(2, 2)))
    assert result.logical_to_physical == {} and graph.partition_metadata["num_cores_used"] == 0


def packed_rings():
    """Five rings of three nodes: 15 nodes fit four cores of four by count, not as whole rings."""
    pairs = [ring(3, prefix=f"s{i}_") for i in range(5)]
    return make_graph([n for names, _ in pairs for n in names], [e for _, edges in pairs for e in edges])


def complete_graph(n):
    names = [f"k{i}" for i in range(n)]
    return make_graph(names, [(a, b) for a in names for b in names if a != b])


def failure(graph, hw, sram=False):
    """The MappingError map_graph raises, and its typed fields."""
    with pytest.raises(MappingError) as info:
        map_graph(graph, hw, sram=sram)
    e = info.value
    assert not hasattr(graph, "partition_metadata") or graph.partition_metadata is None
    return str(e), (e.constraint, e.proven, e.unit, e.needed, e.available)


@pytest.mark.parametrize(
    ("graph", "hw", "message", "fields"),
    [
        (
            make_graph([f"n{i}" for i in range(17)]),
            make_hw(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(2, 2)),
            "Capacity cannot be met: 17 compute nodes at max_neurons_per_core=4 need 5 cores, "
            "1 more than the 4 available (num_cores=4, a 2x2 mesh).",
            ("capacity", True, "cores", 5, 4),
        ),
        (
            make_graph([f"n{i}" for i in range(7)]),
            make_hw(num_cores=3, max_neurons_per_core=2, core_mesh_topology=(2, 3)),
            "Capacity cannot be met: 7 compute nodes at max_neurons_per_core=2 need 4 cores, "
            "1 more than the 3 available (num_cores=3, a 2x3 mesh).",
            ("capacity", True, "cores", 4, 3),
        ),
        (
            make_graph(["a"]),
            Spec(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(0, 3), max_feedback_delay=-1),
            "Core count cannot be met: the chip offers no core (num_cores=4, a 0x3 mesh).",
            ("capacity", True, "cores", 1, 0),
        ),
        (
            make_graph(["a", "b"]),
            Spec(num_cores=4, max_neurons_per_core=0, core_mesh_topology=(2, 2), max_feedback_delay=-1),
            "Capacity cannot be met: max_neurons_per_core=0 holds no compute node, and the graph has 2.",
            ("capacity", True, "compute nodes", 2, 0),
        ),
        (
            make_graph(*ring(9)),
            make_hw(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(2, 2), max_feedback_delay=0),
            "Feedback delay cannot be met: the strongly connected component of 'r0' has 9 compute nodes, "
            "5 more than max_neurons_per_core=4 (or more bytes than one core holds), and "
            "max_feedback_delay=0 allows no feedback edge between cores.",
            ("delay", True, "hops", 1, 0),
        ),
        (
            packed_rings(),
            make_hw(num_cores=4, max_neurons_per_core=4, core_mesh_topology=(2, 2)),
            "Capacity cannot be met: no packing of the strongly connected components into 4 cores of "
            "max_neurons_per_core=4 was found.",
            ("capacity", False, "cores", None, 4),
        ),
    ],
)
def test_impossible_inputs_say_which_constraint_and_by_how_much(graph, hw, message, fields):
    assert failure(graph, hw) == (message, fields)
    assert issubclass(MappingError, ValueError)


def test_delay_that_no_mapping_found_meets_is_an_error():
    # A complete digraph on 3 cores' worth of nodes: some feedback edge must span the two
    # cores that are not neighbours on a 1 x 3 mesh... unless only adjacent cores are used.
    hw = make_hw(num_cores=3, max_neurons_per_core=4, core_mesh_topology=(1, 3), max_feedback_delay=1)
    message, fields = failure(complete_graph(12), hw)
    assert re.fullmatch(
        r"Feedback delay cannot be met: no mapping found keeps every feedback edge within "
        r"max_feedback_delay=1 hops; the best found leaves \d+ feedback edge\(s\) longer\.",
        message,
    )
    # The best mapping found needs its longest feedback edge, the two ends of the mesh, 2 hops.
    assert fields == ("delay", False, "hops", 2, 1)


def test_sram_errors_name_the_node_or_the_total():
    graph = make_graph({"big": sized(100), "small": sized(10)})
    hw = make_hw(num_cores=4, core_mesh_topology=(2, 2), sram_bytes_per_core=300)
    # 100 fp32 weights and one bias: 404 bytes.
    assert failure(graph, hw, sram=True) == (
        "SRAM cannot be met: node 'big' needs 404 bytes, 104 more than sram_bytes_per_core=300.",
        ("sram", True, "bytes", 404, 300),
    )
    graph = make_graph({f"n{i}": sized(60) for i in range(5)})
    hw = make_hw(num_cores=2, core_mesh_topology=(1, 2), sram_bytes_per_core=300)
    assert failure(graph, hw, sram=True) == (
        "SRAM cannot be met: the nodes need 1220 bytes, 620 more than 2 cores of sram_bytes_per_core=300 hold "
        "(num_cores=2, a 1x2 mesh).",
        ("sram", True, "bytes", 1220, 600),
    )
    map_graph(graph, hw)  # without sram=True the bytes are not a constraint
    # The node fits a core alone, but not with the routing buffer of the edge that enters it;
    # more cores than nodes are no help, however many the chip has.
    for cores, mesh in [(4, (2, 2)), (2**31 - 1, (1, 2**31 - 1))]:
        graph = make_graph({"big": sized(100), "src": sized(1)}, [("src", "big")])
        hw = make_hw(
            num_cores=cores, max_neurons_per_core=1, core_mesh_topology=mesh, sram_bytes_per_core=404
        )
        message, fields = failure(graph, hw, sram=True)
        assert re.fullmatch(
            r"SRAM cannot be met: the mapping found puts 412 bytes on core \d+, 8 more than "
            r"sram_bytes_per_core=404\.",
            message,
        )
        assert fields == ("sram", False, "bytes", 412, 404)
