"""partition_greedy: the fill, SCCs, Input/Output nodes, metrics and what it reads."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import zerav.graph.partition as partition
from tests.helpers import Spec, make_graph, make_hw
from zerav import ir

greedy = partition.partition_greedy
CHAIN = [("p", "q"), ("q", "r"), ("r", "s"), ("s", "t")]


def test_chain_fills_cores_in_order():
    r = greedy(make_graph("pqrst", CHAIN), make_hw(max_neurons_per_core=2, num_cores=3))
    assert list(r.assignments.items()) == [("p", 0), ("q", 0), ("r", 1), ("s", 1), ("t", 2)]
    assert r.cross_core_edges == [("q", "r"), ("s", "t")]
    assert r.feedback_edges == [] and r.num_cores_used == 3
    assert r.metrics == {
        "cut_ratio": 0.5,
        "balance_stddev": np.std([2, 2, 1]) / np.mean([2, 2, 1]),
        "total_cross_core_edges": 2,
        "total_feedback_edges": 0,
    }
    assert list(r.metrics) == [
        "cut_ratio",
        "balance_stddev",
        "total_cross_core_edges",
        "total_feedback_edges",
    ]
    assert isinstance(r.metrics["balance_stddev"], np.float64)
    assert r.metrics["balance_stddev"] == pytest.approx(0.28284271247)


def test_capacity_error_names_the_core_count():
    with pytest.raises(ValueError) as info:
        greedy(make_graph("pqrst", CHAIN), make_hw(max_neurons_per_core=2, num_cores=2))
    assert str(info.value) == "Graph requires more than 2 cores. Reduce model size or increase core capacity."


def test_input_and_output_follow_the_current_core():
    g = make_graph(
        {"In": ir.Input(), "p": ir.LIF(), "q": ir.LIF(), "Out": ir.Output()},
        [("In", "p"), ("p", "q"), ("q", "Out")],
    )
    r = greedy(g, make_hw(max_neurons_per_core=1, num_cores=2))
    assert r.assignments == {"In": 0, "p": 0, "q": 1, "Out": 1}
    assert r.cross_core_edges == [("p", "q")]


def test_scc_stays_together_past_the_limit():
    g = make_graph("pqrx", [("p", "q"), ("q", "r"), ("r", "p"), ("x", "p")])
    r = greedy(g, make_hw(max_neurons_per_core=2, num_cores=2))
    assert r.assignments["p"] == r.assignments["q"] == r.assignments["r"] == 0
    assert r.assignments["x"] == 1
    assert list(r.assignments)[:3] != ["x"]  # largest SCC first
    assert r.cross_core_edges == [("x", "p")] and r.feedback_edges == []


def test_feedback_edges_arise_through_boundary_nodes_on_a_cycle():
    # An Output on a cycle takes the current core, not its SCC's core.
    nodes = {"a": ir.LIF(), "b": ir.LIF(), "c": ir.LIF(), "o": ir.Output()}
    g = make_graph(nodes, [("c", "o"), ("o", "c"), ("a", "b")])
    r = greedy(g, make_hw(max_neurons_per_core=1, num_cores=8))
    cores = r.assignments
    expected = [e for e in g.edges if cores[e[0]] != cores[e[1]]]
    assert r.cross_core_edges == expected
    assert r.feedback_edges == [e for e in expected if set(e) == {"c", "o"}]
    assert r.metrics["total_feedback_edges"] == len(r.feedback_edges)


def test_self_loop_is_cyclic_but_never_cut():
    r = greedy(make_graph("ab", [("a", "a"), ("a", "b")]), make_hw(max_neurons_per_core=1, num_cores=2))
    assert ("a", "a") not in r.cross_core_edges and r.feedback_edges == []


def test_unknown_names_count_only_in_the_total():
    g = make_graph("ab", [("a", "b"), ("a", "ghost"), ("ghost", "b"), ("a", "b")])
    r = greedy(g, make_hw(max_neurons_per_core=1, num_cores=2))
    assert r.cross_core_edges == [("a", "b"), ("a", "b")]
    assert r.metrics["cut_ratio"] == 0.5


def test_no_edges_and_no_nodes():
    r = greedy(make_graph("ab"), make_hw())
    assert r.metrics["cut_ratio"] == 0.0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = greedy(make_graph([]), make_hw())
    assert r.assignments == {} and r.num_cores_used == 0 and np.isnan(r.metrics["balance_stddev"])
    messages = [str(w.message) for w in caught]
    assert "Degrees of freedom <= 0 for slice" in messages
    assert any(m.startswith("Mean of empty slice") for m in messages)


def test_limit_zero_opens_a_core_per_compute_node():
    g = make_graph({"i": ir.Input(), "a": ir.LIF(), "b": ir.LIF()}, [("i", "a"), ("a", "b")])
    r = greedy(g, make_hw(max_neurons_per_core=0, num_cores=5))
    assert r.assignments == {"i": 0, "a": 1, "b": 2}
    g = make_graph("ab")
    r = greedy(g, make_hw(max_neurons_per_core=0, num_cores=5))
    assert sorted(r.assignments.values()) == [1, 2] and r.num_cores_used == 2


class CountingSpec(Spec):
    def __init__(self, **kw):
        super().__init__(**kw)
        object.__setattr__(self, "reads", [])

    def __getattribute__(self, name):
        if name not in ("reads", "__dict__", "__class__"):
            object.__getattribute__(self, "reads").append(name)
        return super().__getattribute__(name)


def test_num_cores_is_read_only_when_a_core_opens():
    hw = CountingSpec(max_neurons_per_core=10)  # no num_cores at all
    greedy(make_graph("abc", [("a", "b")]), hw)
    assert hw.reads == ["max_neurons_per_core"] * 3
    hw = CountingSpec(max_neurons_per_core=1, num_cores=2)
    with pytest.raises(ValueError):
        greedy(make_graph("abc", [("a", "b"), ("b", "c")]), hw)
    assert hw.reads.count("num_cores") == 3  # core 1 opens, core 2 fails and is read for the message


def test_edges_must_unpack_into_two():
    for bad, message in [
        (("a", "b", "c"), "too many values to unpack (expected 2)"),
        (("a",), "need more than 1 value to unpack"),
    ]:
        with pytest.raises(ValueError) as info:
            greedy(make_graph("ab", [bad]), make_hw())
        assert str(info.value) == message


def test_edges_need_a_length_and_a_second_pass():
    g = make_graph("ab")
    g.edges = (e for e in [("a", "b")])
    with pytest.raises(TypeError, match="has no len"):
        greedy(g, make_hw(max_neurons_per_core=1))
    g.edges = {("a", "b")}
    assert greedy(g, make_hw(max_neurons_per_core=1)).cross_core_edges == [("a", "b")]


def test_names_keep_their_identity_and_python_equality():
    class Name(str):
        pass

    a, b = Name("a"), "b"
    g = make_graph({a: ir.LIF(), b: ir.LIF()})
    g.edges = [("a", "b")]  # equal to the node names, other objects
    r = greedy(g, make_hw(max_neurons_per_core=1))
    assert [type(k) for k in r.assignments] == [Name, str]
    assert r.cross_core_edges == [("a", "b")] and r.cross_core_edges[0][0] is g.edges[0][0]


def test_unhashable_and_raising_names():
    g = make_graph("ab")
    g.edges = [(["a"], "b")]
    with pytest.raises(TypeError, match="unhashable"):
        greedy(g, make_hw())

    class Bad:
        def __hash__(self):
            raise RuntimeError("no hash")

    g.edges = [(Bad(), "b")]
    with pytest.raises(RuntimeError, match="no hash"):
        greedy(g, make_hw())


def test_generic_node_mappings():
    class Nodes:
        def __init__(self, d):
            self.d = d

        def __iter__(self):
            return iter(self.d)

        def __getitem__(self, k):
            return self.d[k]

    g = make_graph("pqrst", CHAIN)
    expected = greedy(g, make_hw(max_neurons_per_core=2))
    g.nodes = Nodes(g.nodes)
    assert greedy(g, make_hw(max_neurons_per_core=2)) == expected


def test_float_limit_and_node_lookup_errors():
    g = make_graph("pqrst", CHAIN)
    r = greedy(g, make_hw(max_neurons_per_core=1.5, num_cores=3))
    assert list(r.assignments.values()) == [0, 0, 1, 1, 2]

    class Missing(dict):
        def __getitem__(self, k):
            raise LookupError(k)

    g.nodes = Missing(g.nodes)
    with pytest.raises(LookupError):
        greedy(g, make_hw())


def test_nodes_that_claim_another_class():
    class Disguised:
        def __getattribute__(self, name):
            if name == "__class__":
                return ir.Input
            return object.__getattribute__(self, name)

    class Proxy:
        __class__ = property(lambda self: ir.Output)

    g = make_graph({"a": ir.LIF(), "d": Disguised(), "p": Proxy(), "b": ir.LIF()})
    r = greedy(g, make_hw(max_neurons_per_core=1, num_cores=4))
    # Only a and b count (one core each): the disguised nodes are Input/Output to isinstance.
    assert r.num_cores_used == 2
