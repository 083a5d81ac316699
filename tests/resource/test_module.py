"""The module frame: attributes in order, records, docstrings, signatures, pickling, the
re-initialisation guard and late binding of the names allocate looks up per call."""

from __future__ import annotations

import dataclasses
import importlib.util
import inspect
import pickle
import types

import numpy
import pytest

from tests.helpers import make_graph, make_hw
from zerav import ir
from zerav.graph import resource
from zerav.graph.constraints import HardwareSpec

NS = types.SimpleNamespace


def test_attributes_in_definition_order():
    assert [n for n in vars(resource) if not n.startswith("__")] == [
        "dataclass",
        "field",
        "Dict",
        "List",
        "np",
        "ir",
        "HardwareSpec",
        "CoreBudget",
        "ResourceMap",
        "_STATE_ATTRS",
        "_precision_to_bytes",
        "allocate",
    ]
    assert (resource.np, resource.ir, resource.HardwareSpec, resource.field) == (
        numpy,
        ir,
        HardwareSpec,
        dataclasses.field,
    )
    assert resource.__doc__ == "Resource allocation and budget checking for partitioned graphs."
    built = set()
    for name in ("tau", "v_threshold", "v_leak", "r"):
        built.add(name)
    assert type(resource._STATE_ATTRS) is set and list(resource._STATE_ATTRS) == list(built)


@pytest.mark.parametrize(
    "cls, fields, doc",
    [
        (
            resource.CoreBudget,
            [
                ("core_id", "int", 0),
                ("neuron_count", "int", 0),
                ("weight_bytes", "int", 0),
                ("state_bytes", "int", 0),
                ("routing_bytes", "int", 0),
                ("total_bytes", "int", 0),
                ("utilization", "float", 0.0),
            ],
            "Resource usage for a single core.",
        ),
        (
            resource.ResourceMap,
            [
                ("budgets", "Dict[int, CoreBudget]", {}),
                ("total_weight_bytes", "int", 0),
                ("total_state_bytes", "int", 0),
                ("peak_core_utilization", "float", 0.0),
                ("fits_hardware", "bool", True),
                ("violations", "List[int]", []),
            ],
            "Per-core resource allocation for the entire graph.",
        ),
    ],
)
def test_records(cls, fields, doc):
    assert dataclasses.is_dataclass(cls) and (cls.__module__, cls.__doc__) == ("zerav.graph.resource", doc)
    assert [(f.name, f.type) for f in dataclasses.fields(cls)] == [f[:2] for f in fields]
    a, b = cls(), cls()
    assert [(getattr(a, n), type(getattr(a, n))) for n, _, _ in fields] == [
        (v, type(v)) for _, _, v in fields
    ]
    assert a == b and cls.__hash__ is None
    for n, _, v in fields:
        if isinstance(v, (dict, list)):
            assert getattr(a, n) is not getattr(b, n)
    c = cls(*range(len(fields)))
    assert [getattr(c, n) for n, _, _ in fields] == list(range(len(fields))) and c != a
    c.total_bytes = 5  # mutable
    assert repr(cls(1)).startswith(f"{cls.__name__}({fields[0][0]}=1, {fields[1][0]}=")
    assert pickle.loads(pickle.dumps(c)) == c


@pytest.mark.parametrize(
    "fn, params, ret, doc",
    [
        (
            resource.allocate,
            [("graph", "ir.Graph"), ("hw_spec", "HardwareSpec")],
            "ResourceMap",
            "allocate(graph: ir.Graph, hw_spec: HardwareSpec) -> ResourceMap\n\n"
            "Compute resource allocation for a partitioned graph.\n\n",
        ),
        (
            resource._precision_to_bytes,
            [("precision", "str")],
            "int",
            "_precision_to_bytes(str precision: str) -> int\n\nConvert precision string to bytes per element.",
        ),
    ],
)
def test_function_metadata(fn, params, ret, doc):
    name = doc.split("(")[0]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "zerav.graph.resource")
    assert fn.__doc__.startswith(doc) and fn.__annotations__ == {**dict(params), "return": ret}
    assert fn.__defaults__ is None and pickle.loads(pickle.dumps(fn)) is fn
    sig = inspect.signature(fn)
    assert [(p.name, p.annotation, p.kind) for p in sig.parameters.values()] == [
        (n, a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for n, a in params
    ]
    assert sig.return_annotation == ret


def test_reinitialisation_is_refused():
    with pytest.raises(
        ImportError,
        match=r"^Module 'resource' has already been imported\. "
        r"Re-initialisation is not supported\.$",
    ):
        importlib.util.module_from_spec(importlib.util.find_spec("zerav.graph.resource"))


def graph():
    return make_graph(
        {
            "in": ir.Input(),
            "a": ir.Linear(weight=numpy.zeros(10), precision="int8"),
            "b": NS(weight=numpy.zeros(3)),
            "c": NS(precision="fp16"),
        }
    )


def test_precision_helper_is_looked_up_per_counted_node(monkeypatch):
    seen = []
    monkeypatch.setattr(resource, "_precision_to_bytes", lambda p: seen.append(p) or 3)
    assert resource.allocate(graph(), make_hw()).budgets[0].weight_bytes == 3 * 13
    assert seen == ["int8", "fp32", "fp16"]
    monkeypatch.undo()
    assert resource.allocate(graph(), make_hw()).budgets[0].weight_bytes == 10 + 12
    monkeypatch.delattr(resource, "_precision_to_bytes")
    with pytest.raises(NameError, match=r"^name '_precision_to_bytes' is not defined$"):
        resource.allocate(graph(), make_hw())


def test_state_names_and_records_are_looked_up_in_the_module(monkeypatch):
    made = []

    class Budget(resource.CoreBudget):
        def __init__(self, **kw):
            made.append(kw)
            super().__init__(**kw)

    monkeypatch.setattr(resource, "CoreBudget", Budget)
    monkeypatch.setattr(resource, "_STATE_ATTRS", ["r", "delays"])
    lif = ir.LIF(
        tau=numpy.zeros(2),
        v_threshold=numpy.zeros(3),
        v_leak=numpy.zeros(4),
        r=numpy.zeros(5),
        precision="int8",
        core_id=1,
    )
    r = resource.allocate(
        make_graph({"a": lif, "b": NS(tau=numpy.zeros(2), delays=numpy.zeros(6))}), make_hw()
    )
    assert [(k, type(b), b.weight_bytes, b.state_bytes) for k, b in r.budgets.items()] == [
        (1, Budget, 2 + 3 + 4, 20),
        (0, Budget, 0, 24),
    ]
    assert made == [{"core_id": 1}, {"core_id": 0}]
