"""partition(): validation, dispatch, the feedback-delay check, write-back and metadata."""

from __future__ import annotations

import pytest

import zerav.graph.partition as partition
from tests.helpers import METADATA_KEYS, Spec, make_graph, make_hw
from zerav import ir

CHAIN = [("p", "q"), ("q", "r"), ("r", "s"), ("s", "t")]


def chain():
    return make_graph("pqrst", CHAIN)


def test_default_is_greedy_and_returns_the_graph():
    g = chain()
    out = partition.partition(g, make_hw(max_neurons_per_core=2))
    assert out is g
    meta = g.partition_metadata
    assert list(meta) == METADATA_KEYS
    assert meta["algorithm"] == "greedy"
    assert [n.core_id for n in g.nodes.values()] == [0, 0, 1, 1, 2]


def test_metadata_holds_the_partitioners_own_objects(monkeypatch):
    result = partition.PartitionResult(
        assignments={"p": 3}, num_cores_used=1, cross_core_edges=[("x", "y")], metrics={"m": 1}
    )
    monkeypatch.setattr(partition, "partition_greedy", lambda g, h: result)
    g = chain()
    partition.partition(g, make_hw())
    meta = g.partition_metadata
    assert meta["assignments"] is result.assignments and meta["metrics"] is result.metrics
    assert (
        meta["cross_core_edges"] is result.cross_core_edges
        and meta["feedback_edges"] is result.feedback_edges
    )
    assert g.nodes["p"].core_id == 3 and g.nodes["q"].core_id is None
    first = meta
    partition.partition(g, make_hw())
    assert g.partition_metadata is not first


@pytest.mark.parametrize("name", ["greedy", "edgemap", "spectral"])
def test_dispatch_looks_the_partitioner_up_at_call_time(monkeypatch, name):
    calls = []

    def fake(graph, hw_spec, *rest):
        calls.append((graph, hw_spec, rest))
        return partition.PartitionResult()

    monkeypatch.setattr(partition, f"partition_{name}", fake)
    g, hw = chain(), make_hw()
    partition.partition(g, hw, name)
    assert calls == [(g, hw, ())]
    assert g.partition_metadata["algorithm"] == name


def test_algorithm_checks_and_validation_order():
    events = []

    class Hw(Spec):
        def validate(self):
            events.append("validate")

    with pytest.raises(TypeError) as info:
        partition.partition(chain(), Hw(), None)
    assert str(info.value) == "Argument 'algorithm' has incorrect type (expected str, got NoneType)"
    assert events == []

    class Name(str):
        pass

    with pytest.raises(TypeError) as info:
        partition.partition(chain(), Hw(), Name("greedy"))
    assert info.value.__notes__ and events == []
    with pytest.raises(ValueError) as info:
        partition.partition(chain(), Hw(), "Greedy")
    assert str(info.value) == "Unknown algorithm: Greedy. Use 'edgemap', 'spectral', or 'greedy'."
    assert events == ["validate"]

    class Invalid(Spec):
        def validate(self):
            raise RuntimeError("bad chip")

    g = chain()
    with pytest.raises(RuntimeError, match="bad chip"):
        partition.partition(g, Invalid(), "nonsense")
    assert g.partition_metadata is None


def feedback_result(cores, feedback):
    return partition.PartitionResult(assignments=dict(cores), feedback_edges=list(feedback))


def test_feedback_violation_message(monkeypatch):
    monkeypatch.setattr(
        partition,
        "partition_greedy",
        lambda g, h: feedback_result({"p": 0, "q": 1, "r": 5}, [("p", "q"), ("q", "r")]),
    )
    g = chain()
    with pytest.raises(ValueError) as info:
        partition.partition(g, make_hw(max_feedback_delay=0))
    assert str(info.value) == (
        "Feedback delay constraint violated for 2 edge(s):\n"
        "  p (core 0) -> q (core 1): 1 hops > max_feedback_delay=0\n"
        "  q (core 1) -> r (core 5): 1 hops > max_feedback_delay=0"
    )
    assert g.partition_metadata is None and g.nodes["p"].core_id is None
    with pytest.raises(ValueError) as info:
        partition.partition(g, make_hw(max_feedback_delay=1, core_mesh_topology=(2, 3), num_cores=6))
    assert str(info.value) == (
        "Feedback delay constraint violated for 1 edge(s):\n"
        "  q (core 1) -> r (core 5): 2 hops > max_feedback_delay=1"
    )


def test_feedback_check_is_skipped_without_edges_or_with_a_negative_limit(monkeypatch):
    monkeypatch.setattr(partition, "partition_greedy", lambda g, h: feedback_result({"p": 0, "q": 1}, []))
    partition.partition(chain(), Spec(max_feedback_delay=None))  # never read, never compared
    monkeypatch.setattr(
        partition, "partition_greedy", lambda g, h: feedback_result({"p": 0, "q": 1}, [("p", "q")])
    )
    partition.partition(chain(), make_hw(max_feedback_delay=-1))
    with pytest.raises(TypeError, match="'>=' not supported"):
        partition.partition(chain(), Spec(max_feedback_delay=None))


def test_feedback_check_is_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(
        partition, "partition_greedy", lambda g, h: feedback_result({"p": 0, "q": 1}, [("p", "q")])
    )
    seen = []
    monkeypatch.setattr(
        partition, "_check_feedback_delay", lambda e, a, h: seen.append((e, a)) or [("p", "q", 9, 4)]
    )
    with pytest.raises(ValueError, match=r"p \(core 0\) -> q \(core 1\): 9 hops > max_feedback_delay=4"):
        partition.partition(chain(), make_hw(max_feedback_delay=4))
    assert seen == [([("p", "q")], {"p": 0, "q": 1})]


def test_feedback_check_type_errors_reach_the_caller(monkeypatch):
    monkeypatch.setattr(
        partition,
        "partition_greedy",
        lambda g, h: partition.PartitionResult(assignments={"p": 0}, feedback_edges=(("p", "p"),)),
    )
    with pytest.raises(TypeError, match="expected list, got tuple"):
        partition.partition(chain(), make_hw(max_feedback_delay=1))


class Node:
    def __init__(self, core_id=None):
        self.core_id = core_id


class Frozen(Node):
    def __setattr__(self, name, value):
        if getattr(self, "armed", False):
            raise AttributeError("read-only core_id")
        object.__setattr__(self, name, value)


def test_write_back_is_all_or_nothing_when_a_name_is_missing(monkeypatch):
    monkeypatch.setattr(
        partition,
        "partition_greedy",
        lambda g, h: partition.PartitionResult(assignments={"a": 1, "ghost": 2, "b": 3}),
    )
    g = make_graph({"a": Node(7), "b": Node(8)})
    g.partition_metadata = "old"
    with pytest.raises(KeyError):
        partition.partition(g, make_hw())
    assert (g.nodes["a"].core_id, g.nodes["b"].core_id, g.partition_metadata) == (7, 8, "old")


def test_failed_write_restores_the_values_already_written(monkeypatch):
    monkeypatch.setattr(
        partition,
        "partition_greedy",
        lambda g, h: partition.PartitionResult(assignments={"a": 1, "b": 2, "c": 3}),
    )
    frozen = Frozen(9)
    frozen.armed = True
    g = make_graph({"a": Node(7), "b": Node(8), "c": frozen})
    with pytest.raises(AttributeError, match="read-only"):
        partition.partition(g, make_hw())
    assert [n.core_id for n in g.nodes.values()] == [7, 8, 9] and g.partition_metadata is None


def test_nodes_without_core_id_stay_without(monkeypatch):
    class Bare:
        pass

    class Raising:
        @property
        def core_id(self):
            raise RuntimeError("broken node")

    g = make_graph({"a": Bare(), "b": ir.LIF()}, [("a", "b")])
    partition.partition(g, make_hw(max_neurons_per_core=1))
    assert not hasattr(g.nodes["a"], "core_id") and g.partition_metadata["assignments"]["a"] == 0
    g = make_graph({"a": Raising()})
    with pytest.raises(RuntimeError, match="broken node"):
        partition.partition(g, make_hw())
    assert g.partition_metadata is None


def test_assignments_mapping_that_is_not_a_dict(monkeypatch):
    class Pairs:
        def items(self):
            return iter([("a", 4), ["b", 5]])

    monkeypatch.setattr(
        partition, "partition_greedy", lambda g, h: partition.PartitionResult(assignments=Pairs())
    )
    g = make_graph("ab")
    partition.partition(g, make_hw())
    assert (g.nodes["a"].core_id, g.nodes["b"].core_id) == (4, 5)


def test_nothing_to_write_reads_no_nodes(monkeypatch):
    monkeypatch.setattr(partition, "partition_greedy", lambda g, h: partition.PartitionResult())

    class NoNodes:
        pass

    g = NoNodes()
    partition.partition(g, make_hw())
    assert g.partition_metadata["assignments"] == {}
