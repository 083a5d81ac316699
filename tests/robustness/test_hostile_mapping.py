"""Hostile inputs to map_graph(): a mapping or a documented Python exception, never a crash;
on failure the graph keeps its metadata and every node its core_id."""

from __future__ import annotations

import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

mapping = pytest.importorskip("zerav.graph.mapping")

from tests.robustness.hostile import ALLOWED, EXAMPLES, graphs, hw_specs  # noqa: E402

SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))

seeds = st.one_of(st.integers(-(2**70), 2**70), st.none(), st.floats(), st.booleans())
srams = st.one_of(st.booleans(), st.none(), st.integers(-1, 2), st.just([]))


def core_ids(graph):
    nodes = graph.nodes if isinstance(graph.nodes, dict) else graph.nodes.d
    return {
        id(n): getattr(n, "core_id", "<none>") for n in nodes.values() if not isinstance(n, types.NoneType)
    }


@SETTINGS
@given(graphs(), hw_specs(), seeds, srams)
def test_map_graph_ends_cleanly(graph, spec, seed, sram):
    graph.partition_metadata = marker = object()
    try:
        before = core_ids(graph)
    except Exception:  # a node whose attribute read raises: compared after the call only
        before = None
    try:
        result = mapping.map_graph(graph, spec, seed, sram)
    except ALLOWED:
        assert graph.partition_metadata is marker
        if before is not None:
            assert core_ids(graph) == before
        return
    assert isinstance(result, mapping.PlacementResult)
    meta = graph.partition_metadata
    assert meta["algorithm"] == "mapping"
    assert all(type(c) is int and c >= 0 for c in meta["assignments"].values())
