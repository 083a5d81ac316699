"""Argument binding of every public function of the modules, in the host's wording: too
many positional arguments first, then a missing required one, then unknown and repeated
keywords; and every parameter binds by position or by keyword."""

from __future__ import annotations

import pytest

import zerav.graph.partition as partition
from tests.helpers import Spec, make_graph, make_hw
from zerav.graph import mapping, placement, resource

GRAPH, HW = make_graph("ab", [("a", "b")]), make_hw(max_feedback_delay=1)
NO_MESH = Spec(core_mesh_topology=None, num_cores=2)

# function, its parameters, how many are required, and valid values for them.
FUNCTIONS = [
    (partition.partition, ("graph", "hw_spec", "algorithm"), 2, (GRAPH, HW, "greedy")),
    (partition._check_feedback_delay, ("feedback_edges", "assignments", "hw_spec"), 3, ([], {}, HW)),
    (partition.partition_greedy, ("graph", "hw_spec"), 2, (GRAPH, HW)),
    (partition.partition_edgemap, ("graph", "hw_spec"), 2, (GRAPH, HW)),
    (partition.partition_spectral, ("graph", "hw_spec"), 2, (GRAPH, HW)),
    (placement.place, ("graph", "hw_spec"), 2, (None, NO_MESH)),
    (resource.allocate, ("graph", "hw_spec"), 2, (GRAPH, HW)),
    (resource._precision_to_bytes, ("precision",), 1, ("int8",)),
    (mapping.check_feedback_delay, ("feedback_edges", "assignments", "hw_spec"), 3, ([], {}, HW)),
]


def count_message(fn, params, required, given, too_many):
    if required == len(params):
        quantity, n = "exactly", required
    elif too_many:
        quantity, n = "at most", len(params)
    else:
        quantity, n = "at least", required
    plural = "" if n == 1 else "s"
    return f"{fn.__name__}() takes {quantity} {n} positional argument{plural} ({given} given)"


def binding_cases():
    for fn, params, required, values in FUNCTIONS:
        name = fn.__name__
        yield fn, (*values, None), {}, count_message(fn, params, required, len(params) + 1, True)
        yield fn, (), {}, count_message(fn, params, required, 0, False)
        yield fn, values[: required - 1], {}, count_message(fn, params, required, required - 1, False)
        # With keywords, the count given is the position of the first missing required parameter.
        if len(params) > 1:
            yield fn, (), {params[-1]: values[-1]}, count_message(fn, params, required, 0, False)
        if required > 1:
            kwargs = {params[0]: values[0]}
            yield fn, (), kwargs, count_message(fn, params, required, 1, False)
            # A missing parameter is reported before an unknown keyword.
            yield fn, values[:1], {"extra": 1}, count_message(fn, params, required, 1, False)
        yield fn, values[:required], {"extra": 1}, f"{name}() got an unexpected keyword argument 'extra'"
        multiple = f"{name}() got multiple values for keyword argument '{params[0]}'"
        yield fn, values[:required], {params[0]: values[0]}, multiple


@pytest.mark.parametrize(
    "fn, args, kwargs, message", list(binding_cases()), ids=lambda v: getattr(v, "__name__", None)
)
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "fn, params, required, values", FUNCTIONS, ids=lambda v: getattr(v, "__name__", None)
)
def test_parameters_bind_by_position_or_keyword(fn, params, required, values):
    by_position = fn(*values)
    by_keyword = fn(**dict(reversed(list(zip(params, values, strict=True)))))
    if fn in (
        partition.partition,
        placement.place,
        resource.allocate,
        resource._precision_to_bytes,
        mapping.check_feedback_delay,
    ):
        assert by_keyword == by_position
    else:
        assert type(by_keyword) is type(by_position)
