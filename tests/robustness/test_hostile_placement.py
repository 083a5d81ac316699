"""Hostile inputs to place(): a result or a documented Python exception, never a crash; the
graph and the hardware description are left as they were."""

from __future__ import annotations

import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

placement = pytest.importorskip("zerav.graph.placement")

from tests.robustness.hostile import ALLOWED, EXAMPLES, BadEq, BadHash, edges_collection, meshes, numbers  # noqa: E402
from zerav import ir  # noqa: E402

SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))

names = st.sampled_from(["a", "b", "c", "d", "e"])
core_ids = st.one_of(
    st.integers(-3, 12),
    st.just(2**70),
    st.floats(-3, 12),
    st.just(float("nan")),
    st.booleans(),
    st.none(),
    st.just("1"),
    st.builds(BadHash),
    st.builds(BadEq),
    st.just([1]),
)
small_meshes = st.one_of(meshes, st.tuples(st.integers(-2, 6), st.integers(-2, 6)))


@st.composite
def graphs(draw):
    g = ir.Graph()
    g.edges = draw(edges_collection(names))
    kind = draw(st.integers(0, 4))
    if kind == 0:
        del g.partition_metadata
    elif kind == 1:
        g.partition_metadata = None
    else:
        meta = {}
        if draw(st.booleans()):
            meta["assignments"] = draw(
                st.one_of(st.dictionaries(names, core_ids, max_size=5), st.none(), st.integers())
            )
        if draw(st.booleans()):
            meta["num_cores_used"] = draw(st.one_of(st.integers(-2, 40), numbers))
        g.partition_metadata = meta if kind < 4 else types.SimpleNamespace(get=lambda k, d: meta.get(k, d))
    return g


@st.composite
def specs(draw):
    spec = types.SimpleNamespace()
    if draw(st.integers(0, 9)):
        spec.core_mesh_topology = draw(small_meshes)
    if draw(st.integers(0, 9)):
        spec.num_cores = draw(st.one_of(st.integers(-2, 50), numbers))
    return spec


@SETTINGS
@given(graphs(), specs())
def test_place_ends_cleanly(graph, spec):
    edges_before = list(graph.edges) if isinstance(graph.edges, (list, tuple)) else None
    meta_before = getattr(graph, "partition_metadata", "<missing>")
    try:
        result = placement.place(graph, spec)
    except ALLOWED:
        result = None
    if result is not None:
        assert isinstance(result, placement.PlacementResult)
        assert all(type(k) is int for k in result.logical_to_physical)
    assert getattr(graph, "partition_metadata", "<missing>") is meta_before
    if edges_before is not None:
        assert list(graph.edges) == edges_before
