"""Hostile inputs and repeated calls for the resource module."""

from __future__ import annotations

import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

resource = pytest.importorskip("zerav.graph.resource")

from tests.robustness.hostile import ALLOWED, EXAMPLES, Boom, RaisingAttr, edge_item, hw_specs, odd_names  # noqa: E402
from zerav import ir  # noqa: E402

SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))


class RaisingArray:
    """A plain node whose weight read raises."""

    @property
    def weight(self):
        raise Boom("weight")


values = st.one_of(
    st.none(),
    st.integers(-2, 5),
    st.just(2**70),
    st.just(np.zeros(3)),
    st.just(np.ones((2, 2))),
    st.just([1, 2]),
    st.text(max_size=4),
    st.booleans(),
    st.floats(allow_nan=True),
)
precisions = st.one_of(
    st.none(),
    st.sampled_from(["fp32", "fp16", "int8", "int4", "bf16", ""]),
    st.integers(),
    st.builds(lambda s: type("S", (str,), {})(s), st.just("fp16")),
)


@st.composite
def nodes(draw):
    kind = draw(st.integers(0, 6))
    if kind == 0:
        return ir.Input()
    if kind == 1:
        return ir.Output()
    if kind == 2:
        return RaisingAttr()
    if kind == 3:
        return RaisingArray()
    node = types.SimpleNamespace()
    for name in draw(
        st.lists(st.sampled_from(["weight", "bias", "tau", "r", "gamma", "core_id", "precision"]), max_size=5)
    ):
        setattr(node, name, draw(precisions) if name == "precision" else draw(values))
    if kind == 4:
        node.__dataclass_fields__ = draw(
            st.one_of(st.none(), st.lists(st.sampled_from(["weight", "tau", "x"])), st.integers())
        )
    return node


@st.composite
def graphs(draw):
    g = ir.Graph()
    g.nodes = {f"n{i}": draw(nodes()) for i in range(draw(st.integers(0, 6)))}
    filled = st.fixed_dictionaries(
        {},
        optional={
            "cross_core_edges": st.lists(edge_item(odd_names), max_size=5),
            "assignments": st.dictionaries(st.sampled_from(["a", "b", "c"]), values),
        },
    )
    meta = draw(st.one_of(st.none(), st.just({}), filled, st.integers()))
    if meta is not None or draw(st.booleans()):
        g.partition_metadata = meta
    return g


@SETTINGS
@given(graphs(), hw_specs())
def test_allocate_ends_cleanly(graph, hw):
    try:
        result = resource.allocate(graph, hw)
    except ALLOWED:
        return
    assert isinstance(result, resource.ResourceMap)


@SETTINGS
@given(st.one_of(precisions, values))
def test_precision_to_bytes_ends_cleanly(value):
    try:
        assert resource._precision_to_bytes(value) in (1, 2, 4)
    except TypeError:
        assert type(value) is not str
