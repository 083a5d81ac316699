"""Hostile inputs to the partition module: every call ends in a result or a documented Python
exception, and a failed partition() leaves the graph as it was."""

from __future__ import annotations

import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zerav.graph.partition as partition
from tests.robustness.hostile import ALLOWED, EXAMPLES, edge_item, graphs, hw_specs, odd_names

SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))


def call(fn, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(*args)
        except ALLOWED as exc:
            return exc


def snapshot(graph):
    nodes = graph.nodes if isinstance(graph.nodes, dict) else graph.nodes.d
    return [
        (k, v.__dict__.get("core_id", "<none>")) for k, v in nodes.items() if hasattr(v, "__dict__")
    ], graph.partition_metadata


@SETTINGS
@given(graphs(), hw_specs(), st.sampled_from(["greedy", "edgemap", "spectral"]))
def test_partitioners_end_cleanly(graph, hw, algorithm):
    fn = getattr(partition, f"partition_{algorithm}")
    result = call(fn, graph, hw)
    if isinstance(result, partition.PartitionResult):
        assert isinstance(result.assignments, dict)


@SETTINGS
@given(graphs(), hw_specs(), st.sampled_from(["greedy", "edgemap", "spectral", "other"]))
def test_partition_writes_all_or_nothing(graph, hw, algorithm):
    before = snapshot(graph)
    result = call(partition.partition, graph, hw, algorithm)
    if isinstance(result, BaseException):
        assert snapshot(graph) == before
    else:
        assert result is graph and list(graph.partition_metadata)[0] == "assignments"


@SETTINGS
@given(
    st.lists(edge_item(odd_names), max_size=6),
    st.dictionaries(
        st.sampled_from(["a", "b", "c", "d", "e"]),
        st.one_of(st.integers(-5, 40), st.floats(), st.none(), st.just(2**80)),
    ),
    hw_specs(),
)
def test_feedback_check_ends_cleanly(edges, assignments, hw):
    result = call(partition._check_feedback_delay, edges, assignments, hw)
    if isinstance(result, list):
        assert all(isinstance(v, tuple) and len(v) == 4 for v in result)
