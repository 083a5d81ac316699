"""Hypothesis strategies for hostile host objects shared by the robustness tests."""

from __future__ import annotations

import os
import types

from hypothesis import strategies as st

from zerav import ir

# Examples per hostile-input property; ZERAV_HOSTILE_EXAMPLES raises it for a deeper search.
EXAMPLES = int(os.environ.get("ZERAV_HOSTILE_EXAMPLES", "400"))


class Boom(Exception):
    """Raised by hostile host objects; must reach the caller unchanged."""


class BadHash:
    def __hash__(self):
        raise Boom("hash")


class BadEq:
    def __hash__(self):
        return 1

    def __eq__(self, other):
        raise Boom("eq")


class StrSub(str):
    pass


class RaisingAttr:
    def __getattr__(self, name):
        raise Boom(name)


class RaisingMapping:
    def __init__(self, d):
        self.d = d

    def __iter__(self):
        return iter(self.d)

    def items(self):
        return self.d.items()

    def __getitem__(self, key):
        raise Boom("getitem")


ALLOWED = (
    TypeError,
    ValueError,
    KeyError,
    AttributeError,
    ZeroDivisionError,
    OverflowError,
    MemoryError,
    IndexError,
    Boom,
)

plain_names = st.sampled_from(["a", "b", "c", "d", "e"])
odd_names = st.one_of(
    plain_names,
    st.integers(-3, 3),
    st.none(),
    st.just(("a",)),
    st.builds(StrSub, plain_names),
    st.builds(BadHash),
    st.builds(BadEq),
    st.just(["a"]),
    st.floats(allow_nan=True),
    st.just(True),
)
nodes = st.one_of(
    st.builds(ir.LIF),
    st.builds(ir.Input),
    st.builds(ir.Output),
    st.builds(RaisingAttr),
    st.builds(types.SimpleNamespace),
    st.none(),
)


def edge_item(names):
    return st.one_of(
        st.tuples(names, names),
        st.lists(names, min_size=0, max_size=3).map(tuple),
        st.lists(names, min_size=2, max_size=2),
        st.integers(),
        st.none(),
        st.text(max_size=3),
    )


def edges_collection(names):
    base = st.lists(edge_item(names), max_size=8)
    return st.one_of(
        base,
        base.map(tuple),
        base.map(lambda items: iter(items)),
        base.map(lambda items: (e for e in items)),
        st.none(),
        st.integers(),
    )


numbers = st.one_of(
    st.integers(-3, 12),
    st.none(),
    st.floats(-2, 10),
    st.just(float("nan")),
    st.just(2**70),
    st.just(-(2**70)),
    st.just("4"),
    st.booleans(),
)
meshes = st.one_of(
    st.none(),
    st.tuples(numbers, numbers),
    st.tuples(numbers),
    st.just((2, 3, 4)),
    st.integers(),
    st.just((0, 0)),
    st.just((3, -2)),
)


@st.composite
def hw_specs(draw):
    members = {}
    for name in ("num_cores", "max_neurons_per_core", "max_feedback_delay", "sram_bytes_per_core"):
        if draw(st.integers(0, 9)):  # usually present
            members[name] = draw(numbers)
    if draw(st.integers(0, 9)):
        members["core_mesh_topology"] = draw(meshes)
    spec = types.SimpleNamespace(**members)
    spec.validate = lambda: None
    return spec


@st.composite
def graphs(draw, names=odd_names):
    g = ir.Graph()
    keys = draw(st.lists(names, max_size=6))
    d = {}
    for k in keys:
        try:
            d[k] = draw(nodes)
        except (TypeError, Boom):
            pass  # unhashable or raising names cannot be dict keys
    g.nodes = RaisingMapping(d) if draw(st.integers(0, 9)) == 0 else d
    g.edges = draw(edges_collection(names))
    return g
