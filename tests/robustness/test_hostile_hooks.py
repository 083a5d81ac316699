"""Every public function against host objects that act during the call (see hooks.py) and
against replaced module globals: each call ends in a result or a documented Python exception,
and a failed partition() that no hook changed the graph under leaves it as it was."""

from __future__ import annotations

import os
import types
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zerav.graph.partition as partition
from tests.robustness import hooks
from tests.robustness.hostile import ALLOWED, Boom, numbers
from zerav.graph import mapping, placement, resource

# A bounded part in every run (100 examples per function); ZERAV_HOSTILE_EXAMPLES sets the depth
# of a deeper search.
PER_FUNCTION = int(os.environ.get("ZERAV_HOSTILE_EXAMPLES", "100"))
SETTINGS = settings(max_examples=PER_FUNCTION, deadline=None, suppress_health_check=list(HealthCheck))
# RuntimeError: a dict changed during iteration, or allocate's budgets dict changed under it.
ENDINGS = (*ALLOWED, RuntimeError)
CHANGES_GRAPH = {"drop", "insert", "replace", "edge", "clear edges", "reenter", "snoop"}


def stage1_replacement(kind):
    if kind == "odd result":
        return lambda g, h: types.SimpleNamespace(assignments={"a": 0, 1: "x"}, metrics=None)
    if kind == "raises":
        return lambda g, h: (_ for _ in ()).throw(Boom("stage 1"))
    return lambda g, h: partition.PartitionResult(assignments=dict.fromkeys(getattr(g, "nodes", {}), 2**70))


# (module, global, value strategy): what a host might put in the module namespace.
REPLACEMENTS = st.sampled_from(["none", "rx", "stage 1", "result class", "np", "precision", "state attrs"])


def replacement_value(draw, which):
    if which == "rx":
        return partition, "rx", draw(hooks.garbage_rx)
    if which == "stage 1":
        kind = draw(st.sampled_from(["odd result", "raises", "huge cores"]))
        return partition, "partition_greedy", stage1_replacement(kind)
    if which == "result class":
        return partition, "PartitionResult", draw(st.sampled_from([types.SimpleNamespace, dict, None]))
    if which == "np":
        return partition, "np", draw(st.sampled_from([None, types.SimpleNamespace()]))
    if which == "precision":
        return (
            resource,
            "_precision_to_bytes",
            draw(st.sampled_from([lambda p: -1, lambda p: 2**80, lambda p: None])),
        )
    if which == "state attrs":
        return (
            resource,
            "_STATE_ATTRS",
            draw(st.sampled_from([None, ["weight", "weight"], {1, "v"}, iter(["r"])])),
        )
    return None


def call(fn, script):
    hooks.HookedName.script = hooks.HookedCore.script = script
    script.reenter = fn
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn()
    except ENDINGS as exc:
        return exc
    finally:
        hooks.HookedName.script = hooks.HookedCore.script = None


def state(graph):
    nodes = graph.nodes
    return [(k, dict(vars(v))) for k, v in list(nodes.items()) if hasattr(v, "__dict__")], getattr(
        graph, "partition_metadata", None
    )


def feedback_args(graph):
    metadata = getattr(graph, "partition_metadata", None) or {}
    return list(graph.edges), dict(metadata.get("assignments", {}))


ALGORITHMS = st.sampled_from(["greedy", "edgemap", "spectral"])
PRECISIONS = st.one_of(
    st.sampled_from(["int8", "float16", "bfloat16"]), st.builds(hooks.HookedName, st.just("int8")), numbers
)

# name -> (graph, hw_spec, draw) -> the call, its arguments drawn beforehand.
FUNCTIONS = {
    "partition": lambda g, hw, d: (lambda a: lambda: partition.partition(g, hw, a))(d(ALGORITHMS)),
    "partition_greedy": lambda g, hw, d: lambda: partition.partition_greedy(g, hw),
    "partition_edgemap": lambda g, hw, d: lambda: partition.partition_edgemap(g, hw),
    "partition_spectral": lambda g, hw, d: lambda: partition.partition_spectral(g, hw),
    "_check_feedback_delay": lambda g, hw, d: (
        lambda args: lambda: partition._check_feedback_delay(*args, hw)
    )(feedback_args(g)),
    "place": lambda g, hw, d: lambda: placement.place(g, hw),
    "allocate": lambda g, hw, d: lambda: resource.allocate(g, hw),
    "_precision_to_bytes": lambda g, hw, d: (lambda p: lambda: resource._precision_to_bytes(p))(
        d(PRECISIONS)
    ),
    "map_graph": lambda g, hw, d: (lambda args: lambda: mapping.map_graph(g, hw, *args))(
        (d(st.integers(0, 3)), d(st.booleans()))
    ),
    "check_feedback_delay": lambda g, hw, d: (lambda args: lambda: mapping.check_feedback_delay(*args, hw))(
        feedback_args(g)
    ),
}
# The functions that write a mapping onto the graph, all or nothing.
WRITERS = {"partition", "map_graph"}


@pytest.mark.parametrize("name", list(FUNCTIONS))
@SETTINGS
@given(world=hooks.hostile_world(), data=st.data())
def test_public_functions_end_cleanly_under_hooks(name, world, data):
    graph, hw, script = world
    replaced = replacement_value(data.draw, data.draw(REPLACEMENTS))
    saved = replaced and getattr(replaced[0], replaced[1])
    actions = set(script.actions)
    before = state(graph)
    if replaced:
        setattr(replaced[0], replaced[1], replaced[2])
    try:
        result = call(FUNCTIONS[name](graph, hw, data.draw), script)
    finally:
        if replaced:
            setattr(replaced[0], replaced[1], saved)
    if name in WRITERS and isinstance(result, BaseException) and not actions & CHANGES_GRAPH:
        assert state(graph) == before
