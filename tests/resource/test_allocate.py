"""allocate: nodes, arrays, precisions, core ids and cross-core edges turned into bytes, with
the host's reads, orders and arithmetic; plus a differential test against the plain-Python
model of the same steps."""

from __future__ import annotations

import dataclasses
import fractions
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.helpers import Spec, make_graph, make_hw
from zerav import ir
from zerav.graph import resource

from . import reference

allocate = resource.allocate
NS = types.SimpleNamespace
WEIGHTS = ["weight", "bias", "running_mean", "running_var", "gamma", "beta"]


def arr(n):
    """An ndarray of n elements that takes no memory."""
    return np.broadcast_to(np.int8(0), (n,))


def budget(nodes, core=0, **hw):
    return allocate(make_graph(nodes), make_hw(**hw)).budgets[core]


@dataclasses.dataclass
class Delayed:
    weight: object = None
    delays: object = None
    tau: object = None
    precision: object = "fp32"


def test_boundary_nodes_only_give_an_empty_map():
    g = make_graph({"in": ir.Input(core_id=3), "out": ir.Output(core_id=5)})
    g.partition_metadata = {"cross_core_edges": [("in", "out")], "assignments": {"in": 3, "out": 5}}
    r = allocate(g, make_hw())
    assert r == resource.ResourceMap() and type(r.peak_core_utilization) is float
    assert allocate(g, Spec()) == r  # no core, so the SRAM size is never read


@pytest.mark.parametrize("core", [None, 0, 0.0, False, np.int64(0), "missing"])
def test_falsy_or_missing_core_id_is_core_zero(core):
    node = NS(weight=arr(3)) if core == "missing" else NS(weight=arr(3), core_id=core)
    lif = ir.LIF() if core == "missing" else ir.LIF(core_id=core)
    [(key, b)] = allocate(make_graph({"n": node, "m": lif}), make_hw()).budgets.items()
    assert type(key) is int and key == 0 and (b.neuron_count, b.weight_bytes, b.state_bytes) == (2, 12, 16)


@pytest.mark.parametrize(
    "precision, cost",
    [
        ("fp32", 40),
        ("fp16", 20),
        ("int32", 40),
        ("int16", 20),
        ("int8", 10),
        ("int4", 10),
        ("bf16", 40),
        ("FP16", 40),
        ("int8\x00", 40),
        ("\udcff", 40),
        ("", 40),
        (None, 40),
        (0, 40),
    ],
)
def test_precision_prices_a_ten_element_weight(precision, cost):
    assert resource._precision_to_bytes(precision or "fp32") * 10 == cost
    assert budget({"n": NS(weight=arr(10), precision=precision)}).weight_bytes == cost
    assert budget({"n": ir.Linear(weight=arr(10), precision=precision)}).weight_bytes == cost


def test_state_arrays_cost_four_bytes_whatever_the_precision():
    lif = ir.LIF(tau=arr(5), v_threshold=arr(6), v_leak=arr(7), r=arr(8), precision="int8")
    plain = NS(tau=arr(5), v_threshold=arr(6), v_leak=arr(7), r=arr(8), precision="int4")
    assert budget({"a": lif, "b": plain}).state_bytes == 2 * 26 * 4


def test_data_records_count_every_array_field_and_plain_nodes_only_the_named_ones():
    rec = Delayed(weight=np.zeros((3, 4)), delays=arr(7), tau=arr(2), precision="fp16")
    rec.bias = arr(100)  # an instance attribute, not a field
    plain = NS(
        weight=np.zeros((3, 4)),
        delays=arr(7),
        tau=arr(2),
        precision="fp16",
        bias=arr(1),
        running_mean=arr(1),
        running_var=arr(1),
        gamma=arr(1),
        beta=arr(1),
    )
    assert (budget({"n": rec}).weight_bytes, budget({"n": rec}).state_bytes) == ((12 + 7) * 2, 8)
    assert (budget({"n": plain}).weight_bytes, budget({"n": plain}).state_bytes) == ((12 + 5) * 2, 8)


@pytest.mark.parametrize(
    "value, cost",
    [
        ([1.0, 2.0], 0),
        (3.5, 0),
        (None, 0),
        (np.float32(1.0), 0),
        (np.array(2.0), 4),
        (np.zeros((0, 5)), 0),
        (np.zeros((2, 3, 4)), 96),
        (np.ma.masked_array(np.zeros(5)), 20),
        (np.zeros(50)[::5], 40),
    ],
)
def test_only_ndarrays_cost_by_element_count(value, cost):
    assert budget({"a": NS(weight=value), "b": Delayed(weight=value)}).weight_bytes == 2 * cost


def test_sram_boundaries():
    r = allocate(make_graph({"n": NS(weight=arr(25))}), make_hw(sram_bytes_per_core=100))
    assert (r.budgets[0].utilization, r.peak_core_utilization, r.fits_hardware, r.violations) == (
        1.0,
        1.0,
        True,
        [],
    )
    assert allocate(make_graph({"n": NS(weight=arr(25))}), make_hw(sram_bytes_per_core=99)).violations == [0]
    g = make_graph({"a": NS(weight=arr(3), core_id=1), "b": NS(core_id=2), "c": NS(tau=arr(1), core_id=3)})
    for sram, violations in ((0, [1, 3]), (-7, [1, 2, 3])):  # the divisor is never below 1
        r = allocate(g, make_hw(sram_bytes_per_core=sram))
        assert [(b.total_bytes, b.utilization) for b in r.budgets.values()] == [
            (12, 12.0),
            (0, 0.0),
            (4, 4.0),
        ]
        assert (r.violations, r.fits_hardware, r.peak_core_utilization) == (violations, False, 12.0)


def test_budgets_totals_and_violations_follow_first_appearance():
    nodes = {f"n{i}": NS(weight=arr(10 + i), core_id=c) for i, c in enumerate([3, 1, 3, 2, 1, 0])}
    nodes["in"] = ir.Input(core_id=7)
    r = allocate(make_graph(nodes), make_hw(sram_bytes_per_core=55))
    assert [(k, b.core_id, b.neuron_count, b.weight_bytes, b.utilization) for k, b in r.budgets.items()] == [
        (3, 3, 2, 88, 1.6),
        (1, 1, 2, 100, 100 / 55),
        (2, 2, 1, 52, 52 / 55),
        (0, 0, 1, 60, 60 / 55),
    ]
    assert (r.violations, r.total_weight_bytes, r.total_state_bytes) == ([3, 1, 0], 300, 0)
    assert r.peak_core_utilization == 100 / 55


ROUTED = {
    "a": NS(weight=arr(1), core_id=1),
    "b": NS(weight=arr(1), core_id=2),
    "c": NS(weight=arr(1), core_id=2),
}


@pytest.mark.parametrize(
    "metadata, routing",
    [
        (None, [0, 0]),
        ({}, [0, 0]),
        (
            {
                "cross_core_edges": [("a", "b"), ("a", "c"), ("x", "b")],
                "assignments": {"a": 1, "b": 2, "c": 2},
            },
            [0, 24],
        ),
        (
            {"cross_core_edges": [("b", "a"), ("b", "ghost"), ("c", "z")], "assignments": {"a": 1, "z": 9}},
            [8, 0],
        ),
        ({"cross_core_edges": [("b", "a")], "assignments": {"a": None}}, [0, 0]),
        ({"cross_core_edges": [("b", "a")]}, [0, 0]),
        ({"cross_core_edges": [["b", "a"], "ba"], "assignments": {"a": 1.0}}, [16, 0]),  # 1.0 == 1
        ({"cross_core_edges": (e for e in [("b", "a")]), "assignments": {"a": 1}}, [8, 0]),
    ],
)
def test_routing_bytes_from_incoming_cross_core_edges(metadata, routing):
    g = make_graph(ROUTED)
    if metadata is None:
        del g.partition_metadata
    else:
        g.partition_metadata = metadata
    r = allocate(g, make_hw())
    assert list(r.budgets) == [1, 2] and [b.routing_bytes for b in r.budgets.values()] == routing
    assert [b.total_bytes for b in r.budgets.values()] == [4 + routing[0], 8 + routing[1]]


@pytest.mark.parametrize(
    "first, second", [(True, 1), (1, True), (np.int64(2), 2), (2, 2.0), ((0, 1), (0, 1))]
)
def test_core_ids_are_dict_keys_under_host_equality(first, second):
    g = make_graph({"a": NS(weight=arr(1), core_id=first), "b": NS(weight=arr(2), core_id=second)})
    g.partition_metadata = {"cross_core_edges": [("a", "b")], "assignments": {"b": second}}
    r = allocate(g, make_hw(sram_bytes_per_core=4))
    [(key, b)] = r.budgets.items()
    assert key is first and b.core_id is first and r.violations[0] is first
    assert (b.neuron_count, b.weight_bytes, b.routing_bytes) == (2, 12, 8)


class Logged:
    """Logs the attribute reads made on it (the interpreter's own dunder lookups aside)."""

    def __init__(self, log, **attrs):
        vars(self).update(attrs, _log=log)

    def __getattribute__(self, name):
        if not name.startswith("_") or name == "__dataclass_fields__":
            object.__getattribute__(self, "_log").append(name)
        return object.__getattribute__(self, name)


def test_attribute_reads_once_each_in_order(monkeypatch):
    log = []
    allocate(make_graph({"n": Logged(log, weight=arr(2), tau=arr(3), core_id=1)}), make_hw())
    assert log == ["core_id", "precision", "__dataclass_fields__", *WEIGHTS, *resource._STATE_ATTRS]
    log.clear()
    record = Logged(log, __dataclass_fields__={"gamma": 0, "tau": 0, "extra": 0}, gamma=arr(2), extra=arr(4))
    r = allocate(make_graph({"n": record}), make_hw())
    assert log == ["core_id", "precision", "__dataclass_fields__", "gamma", "tau", "extra"]
    assert (r.budgets[0].weight_bytes, r.budgets[0].state_bytes) == (24, 0)
    monkeypatch.setattr(resource, "_STATE_ATTRS", ["v_leak", "r", "tau", "v_threshold"])
    log.clear()
    allocate(make_graph({"n": Logged(log)}), make_hw())
    assert log[-4:] == ["v_leak", "r", "tau", "v_threshold"]
    graph_log, hw_log = [], []
    g = Logged(
        graph_log, nodes={"a": NS(core_id=1), "b": NS(core_id=2), "c": NS(core_id=1)}, partition_metadata={}
    )
    allocate(g, Logged(hw_log, sram_bytes_per_core=10))
    assert graph_log == ["nodes", "partition_metadata"]
    assert (
        hw_log == ["sram_bytes_per_core"] * 4
    )  # per core: once for utilisation, once for the violation test


def test_byte_totals_are_exact_beyond_64_bits_and_utilization_correctly_rounded():
    n = 2**62
    g = make_graph(
        {
            "a": NS(weight=np.broadcast_to(np.int8(0), (2**31, 2**31)), core_id=1),
            "b": NS(weight=arr(n), bias=arr(n), tau=arr(n), core_id=1),
            "c": NS(weight=arr(3), core_id=2),
        }
    )
    r = allocate(g, make_hw(sram_bytes_per_core=7))
    b = r.budgets[1]
    assert (b.weight_bytes, b.state_bytes, b.total_bytes, b.utilization) == (
        12 * n,
        4 * n,
        16 * n,
        16 * n / 7,
    )
    assert (r.total_weight_bytes, r.violations) == (12 * n + 12, [1, 2])
    # 2**53 + 1 is no double: dividing doubles would give ...330.5; the exact quotient is ...331.
    assert (
        budget({"a": NS(weight=arr(2**53 + 1), precision="int8")}, sram_bytes_per_core=3).utilization
        == 3002399751580331.0
    )
    assert budget({"a": NS(weight=arr(3))}, sram_bytes_per_core=2**80 + 1).utilization == 12 / (2**80 + 1)


class FloatSize(np.ndarray):
    size = 2.5


@pytest.mark.parametrize(
    "sram, helper, size_type",
    [
        (12.5, None, None),
        (np.int64(40), None, None),
        (fractions.Fraction(25, 2), None, None),
        (True, None, None),
        (100, lambda p: fractions.Fraction(1, 3), None),
        (100, lambda p: 0.5, None),
        (10**40, None, FloatSize),
        (10**40, lambda p: 10**30, None),
    ],
)
def test_other_numeric_types_follow_host_arithmetic(monkeypatch, sram, helper, size_type):
    if helper:
        monkeypatch.setattr(resource, "_precision_to_bytes", helper)
    w = np.zeros(10).view(size_type) if size_type else arr(10)
    g = make_graph({"a": NS(weight=w, precision="int8"), "b": NS(weight=arr(30), tau=arr(1), core_id=1)})
    assert repr(allocate(g, Spec(sram_bytes_per_core=sram))) == repr(
        reference.allocate(g, Spec(sram_bytes_per_core=sram))
    )


CORES = st.sampled_from([None, 0, 1, 2, 3, True, 2.0, np.int64(3), False])
NAMES = WEIGHTS + ["tau", "v_threshold", "v_leak", "r", "delays"]
VALUES = st.one_of(
    st.builds(lambda s: np.zeros(s), st.lists(st.integers(0, 5), max_size=2).map(tuple)),
    st.sampled_from([[1, 2], 3.0, None]),
)


@st.composite
def nodes(draw):
    kind = draw(st.sampled_from(["plain", "record", "input", "output", "lif", "affine"]))
    core = draw(CORES)
    precision = draw(st.sampled_from([None, "", "fp32", "fp16", "int8", "int4", "bf16", 0]))
    if kind in ("input", "output"):
        return (ir.Input if kind == "input" else ir.Output)(core_id=core)
    if kind in ("lif", "affine"):
        cls = ir.LIF if kind == "lif" else ir.Affine
        return cls(
            **{f.name: draw(VALUES) for f in dataclasses.fields(cls)[:-2]}, core_id=core, precision=precision
        )
    attrs = draw(st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=6))
    if kind == "record":
        cls = dataclasses.make_dataclass("Rec", [*attrs, "core_id", "precision"])
        return cls(**attrs, core_id=core, precision=precision)
    return NS(
        **attrs,
        **draw(st.fixed_dictionaries({}, optional={"core_id": CORES, "precision": st.just(precision)})),
    )


@settings(max_examples=250, deadline=None)
@given(st.lists(nodes(), max_size=10), st.sampled_from([0, 1, 40, 10**6]), st.data())
def test_matches_the_step_by_step_model(members, sram, data):
    names = [f"n{i}" for i in range(len(members))] + ["ghost"]
    g = make_graph(dict(zip(names, members)))
    g.partition_metadata = data.draw(
        st.one_of(
            st.none(),
            st.fixed_dictionaries(
                {},
                optional={
                    "cross_core_edges": st.lists(
                        st.tuples(st.sampled_from(names), st.sampled_from(names)), max_size=12
                    ),
                    "assignments": st.dictionaries(
                        st.sampled_from(names), st.sampled_from([0, 1, 2, 3, None, 2.0])
                    ),
                },
            ),
        )
    )
    hw = make_hw(sram_bytes_per_core=sram)
    native, model = allocate(g, hw), reference.allocate(g, hw)
    assert repr(native) == repr(model)
    assert [type(k) for k in native.budgets] + [type(v) for v in native.violations] == [
        type(k) for k in model.budgets
    ] + [type(v) for v in model.violations]


@pytest.mark.parametrize("fails", [False, True])
def test_repeated_calls_leave_inputs_unchanged(fails):
    g = make_graph(
        {
            "in": ir.Input(),
            "a": ir.Affine(core_id=1),
            "b": NS(weight=arr(3), core_id=(1, 2)),
            "c": ir.LIF(core_id=np.int64(4), precision="int8"),
            "d": NS(core_id=10**40),
        }
    )
    g.partition_metadata = {
        "cross_core_edges": [("a", "b"), ("b", "c"), ("x", "d")] + [("a",)] * fails,
        "assignments": {"b": (1, 2), "c": 4, "d": 10**40},
    }
    hw = make_hw(sram_bytes_per_core=3)
    before = repr(vars(g))

    def run(times):
        for _ in range(times):
            try:
                allocate(g, hw)
            except ValueError:
                assert fails

    run(50)
    assert repr(vars(g)) == before
