"""Bad input: argument binding, precision types, malformed metadata and host objects that
raise. Errors pass through unchanged and nothing is returned or changed."""

from __future__ import annotations

import types

import numpy as np
import pytest

from tests.helpers import Spec, make_graph, make_hw
from zerav import ir
from zerav.graph import resource

from . import reference

allocate, to_bytes = resource.allocate, resource._precision_to_bytes
NS = types.SimpleNamespace
G, HW = make_graph({"a": NS(weight=np.zeros(2))}), make_hw()


class Text(str):
    pass


@pytest.mark.parametrize(
    "value, got",
    [
        (None, "NoneType"),
        (5, "int"),
        (b"fp16", "bytes"),
        (["fp32"], "list"),
        (np.str_("fp32"), "numpy.str_"),
        (Text("fp32"), "Text"),
    ],
)
def test_precision_must_be_exactly_str(value, got):
    raised = []
    with pytest.raises(TypeError) as e:
        to_bytes(value)
    raised.append(e.value)
    if value is not None:  # a falsy precision means fp32 inside allocate
        with pytest.raises(TypeError) as e:
            allocate(make_graph({"ok": ir.LIF(), "a": NS(precision=value)}), HW)  # even with no arrays
        raised.append(e.value)
    for exc in raised:
        assert str(exc) == f"Argument 'precision' has incorrect type (expected str, got {got})"
        assert getattr(exc, "__notes__", []) == (
            ["subclasses of built-in types are rejected here; pass a plain str (for example str(value))"]
            if isinstance(value, str)
            else []
        )


@pytest.mark.parametrize(
    "entry, message",
    [
        (("a",), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        (("a", "b", "c"), "too many values to unpack (expected 2)"),
        (["a"], "need more than 1 value to unpack"),
        ("abc", "too many values to unpack (expected 2)"),
        (iter("abc"), "too many values to unpack (expected 2)"),
    ],
)
def test_cross_core_entries_must_hold_two_items(entry, message):
    g = make_graph({"a": NS(weight=np.zeros(1), core_id=1)})
    g.partition_metadata = {"cross_core_edges": [("x", "a"), entry], "assignments": {"a": 1}}
    with pytest.raises(ValueError) as e:
        allocate(g, HW)
    assert str(e.value) == message


class Boom(Exception):
    pass


def raising(*names, error=Boom):
    def fail(self):
        raise error("host failure")

    return type("Node", (), {n: property(fail) for n in names})()


class Sized(np.ndarray):
    size = property(lambda self: (_ for _ in ()).throw(Boom("size")))


@pytest.mark.parametrize(
    "node",
    [
        *(raising(n) for n in ("core_id", "precision", "__dataclass_fields__", "weight", "beta", "tau", "r")),
        ir.Linear(weight=np.zeros(3).view(Sized)),
    ],
)
def test_node_errors_pass_through(node):
    with pytest.raises(Boom):
        allocate(make_graph({"ok": ir.Linear(), "bad": node}), HW)


def test_attribute_errors_count_as_absence():
    class Partial:
        def __getattr__(self, name):
            if name == "weight":
                return np.zeros(4)
            raise AttributeError(name)

    r = allocate(
        make_graph({"p": Partial(), "g": raising("core_id", "precision", "bias", error=AttributeError)}), HW
    )
    assert list(r.budgets) == [0] and (r.budgets[0].weight_bytes, r.budgets[0].neuron_count) == (16, 2)


@pytest.mark.parametrize(
    "graph, hw",
    [
        (NS(), HW),
        (NS(nodes=[("a", NS())]), HW),
        (NS(nodes={"a": NS()}), Spec()),
        (NS(nodes={"a": NS()}), Spec(sram_bytes_per_core=None)),
        (NS(nodes={"a": NS(core_id=[1])}), HW),
        (NS(nodes={"a": NS(core_id=np.zeros(2))}), HW),
        (NS(nodes={"a": NS(__dataclass_fields__=["weight", 7])}), HW),
        (NS(nodes={"a": NS()}, partition_metadata=[1]), HW),
        (NS(nodes={"a": NS()}, partition_metadata={"cross_core_edges": None}), HW),
        (
            NS(nodes={"a": NS()}, partition_metadata={"cross_core_edges": [("x", "a")], "assignments": [1]}),
            HW,
        ),
        (
            NS(
                nodes={"a": NS()},
                partition_metadata={"cross_core_edges": [("x", "a")], "assignments": {"a": [0]}},
            ),
            HW,
        ),
        (NS(nodes={"a": NS(weight=np.zeros(1))}), Spec(sram_bytes_per_core=1j)),
    ],
)
def test_host_errors_pass_through_unchanged(graph, hw):
    with pytest.raises(Exception) as expected:
        reference.allocate(graph, hw)
    with pytest.raises(Exception) as e:
        allocate(graph, hw)
    assert (type(e.value), str(e.value)) == (type(expected.value), str(expected.value))


def test_a_non_iterable_cross_core_entry_is_a_type_error():
    with pytest.raises(TypeError):
        allocate(NS(nodes={}, partition_metadata={"cross_core_edges": [5]}), HW)


def test_failed_import_of_node_classes_surfaces_at_the_call(monkeypatch):
    monkeypatch.delattr(ir, "Output")
    with pytest.raises(ImportError, match=r"^cannot import name 'Output' from 'zerav\.ir'") as got:
        allocate(make_graph({}), HW)
    with pytest.raises(ImportError) as host:
        from zerav.ir import Output  # noqa: F401
    # The interpreter's own error, attributes included.
    assert [(str(e), e.name, e.path, e.name_from) for e in (got.value, host.value)] == [
        (str(host.value), "zerav.ir", ir.__file__, "Output")
    ] * 2


def test_a_failure_leaves_the_graph_and_later_calls_intact():
    good = ir.Affine(weight=np.zeros(4), core_id=1)
    g = make_graph({"good": good, "bad": NS(precision=7)})
    g.partition_metadata = {"cross_core_edges": [("bad", "good")], "assignments": {"good": 1}}
    before = repr(vars(g))
    with pytest.raises(TypeError):
        allocate(g, HW)
    assert repr(vars(g)) == before
    del g.nodes["bad"]
    assert allocate(g, HW).budgets[1].total_bytes == 16 + 4 + 8
