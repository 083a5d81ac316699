"""partition_edgemap: refinement moves, metrics, what never moves, and the feedback edges of
the refined assignment."""

from __future__ import annotations

import pytest

import zerav.graph.partition as partition
from tests.helpers import CountingEdges, make_graph, make_hw
from zerav import ir

edgemap = partition.partition_edgemap
CHAIN = [("p", "q"), ("q", "r"), ("r", "s"), ("s", "t")]


def test_move_lowers_the_cut():
    r = edgemap(make_graph("pqrst", CHAIN + [("r", "t")]), make_hw(max_neurons_per_core=3, num_cores=2))
    assert list(r.assignments.items()) == [("p", 0), ("q", 0), ("r", 1), ("s", 1), ("t", 1)]
    assert r.cross_core_edges == [("q", "r")] and r.num_cores_used == 2
    assert r.metrics == {
        "cut_ratio": 0.2,
        "total_cross_core_edges": 1,
        "total_feedback_edges": 0,
        "refinement_iterations": 2,
        "improvement_over_greedy": 1,
    }
    assert list(r.metrics) == [
        "cut_ratio",
        "total_cross_core_edges",
        "total_feedback_edges",
        "refinement_iterations",
        "improvement_over_greedy",
    ]


def test_no_improving_move_keeps_stage_one():
    r = edgemap(make_graph("pqrst", CHAIN), make_hw(max_neurons_per_core=2, num_cores=3))
    assert list(r.assignments.values()) == [0, 0, 1, 1, 2]
    assert r.metrics["refinement_iterations"] == 1 and r.metrics["improvement_over_greedy"] == 0


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_empty_graph_runs_one_pass():
    r = edgemap(make_graph([]), make_hw())
    assert r.assignments == {} and r.num_cores_used == 0
    assert r.metrics["refinement_iterations"] == 1 and r.metrics["cut_ratio"] == 0.0


def test_boundary_nodes_never_move_but_fill_targets():
    # b would gain by joining core 1, but the Output there leaves no room at limit 2.
    nodes = {"a": ir.LIF(), "b": ir.LIF(), "c": ir.LIF(), "o": ir.Output()}
    g = make_graph(nodes, [("a", "b"), ("b", "c"), ("b", "c"), ("c", "o")])
    hw = make_hw(max_neurons_per_core=2, num_cores=4)
    stage1 = partition.partition_greedy(g, hw).assignments
    r = edgemap(g, hw)
    assert r.assignments["o"] == stage1["o"]
    sizes = {}
    for core in r.assignments.values():
        sizes[core] = sizes.get(core, 0) + 1
    assert max(sizes.values()) <= 2


def test_stage_one_errors_and_results_come_from_the_module(monkeypatch):
    with pytest.raises(ValueError, match="Graph requires more than 1 cores"):
        edgemap(make_graph("pqrst", CHAIN), make_hw(max_neurons_per_core=2, num_cores=1))
    seen = []
    monkeypatch.setattr(
        partition,
        "partition_greedy",
        lambda g, h: seen.append(1) or partition.PartitionResult(assignments={"p": 0, "q": 1}),
    )
    r = edgemap(make_graph("pq", [("p", "q")]), make_hw(max_neurons_per_core=5))
    assert seen == [1] and r.cross_core_edges == [] and r.metrics["improvement_over_greedy"] == -0


def test_stage_one_result_is_not_modified(monkeypatch):
    first = {"p": 0, "q": 1}
    monkeypatch.setattr(
        partition, "partition_greedy", lambda g, h: partition.PartitionResult(assignments=first)
    )
    r = edgemap(make_graph("pq", [("p", "q")]), make_hw(max_neurons_per_core=5))
    assert first == {"p": 0, "q": 1} and r.assignments is not first and r.assignments == {"p": 1, "q": 1}


def test_name_that_is_not_a_string_fails_when_a_move_is_weighed(monkeypatch):
    g = make_graph({1: ir.LIF(), 2: ir.LIF()}, [(1, 2)])
    r = edgemap(g, make_hw(max_neurons_per_core=5))  # one core: no candidate, no evaluation
    assert r.assignments == {1: 0, 2: 0}
    g = make_graph({1: ir.LIF(), 2: ir.LIF(), 3: ir.LIF()}, [(1, 2), (2, 3)])
    with pytest.raises(TypeError) as info:
        edgemap(g, make_hw(max_neurons_per_core=2, num_cores=2))
    assert str(info.value) == "Argument 'node_name' has incorrect type (expected str, got int)"


def cycle_split_graph():
    # A 4-cycle a->b->c->d->a; a and b are pulled towards x's core by a bundle of edges.
    g = make_graph("abcdx", [("a", "b"), ("b", "c"), ("c", "d"), ("d", "a")] + [("x", "a"), ("x", "b")] * 3)
    return g


def test_refinement_that_splits_an_scc_reports_its_feedback_edges():
    g = cycle_split_graph()
    hw = make_hw(max_neurons_per_core=4, num_cores=4)
    stage1 = partition.partition_greedy(g, hw)
    assert stage1.feedback_edges == []
    r = edgemap(g, hw)
    cut_cycle = [e for e in g.edges[:4] if r.assignments[e[0]] != r.assignments[e[1]]]
    assert cut_cycle, "the refinement is expected to split the cycle"
    assert r.feedback_edges == cut_cycle
    assert r.metrics["total_feedback_edges"] == len(cut_cycle)


def test_split_cycle_is_checked_against_the_delay_limit():
    hw = make_hw(max_neurons_per_core=4, num_cores=4, max_feedback_delay=0)
    g = cycle_split_graph()
    with pytest.raises(ValueError, match=r"^Feedback delay constraint violated for \d+ edge\(s\):\n  "):
        partition.partition(g, hw, "edgemap")
    assert g.partition_metadata is None
    assert all(node.core_id is None for node in g.nodes.values())
    partition.partition(g, make_hw(max_neurons_per_core=4, num_cores=4, max_feedback_delay=1), "edgemap")
    assert g.partition_metadata["feedback_edges"]


def test_edges_are_passed_over_as_often_as_the_refinement_reads_them():
    g = make_graph("pqrst")
    g.edges = CountingEdges(CHAIN + [("r", "t")])
    r = edgemap(g, make_hw(max_neurons_per_core=3, num_cores=2))
    # two greedy passes, the working graph, the neighbour lists, the final cut
    assert g.edges.passes == 5
    assert r.cross_core_edges == [("q", "r")]
