"""The partition module's frame: attributes and their order, docstrings, signatures, the
result record, pickling and the initialisation guards."""

from __future__ import annotations

import dataclasses
import inspect
import pickle
import textwrap

import numpy
import pytest
import rustworkx

import zerav.graph.partition as partition
from zerav import ir
from zerav.graph.constraints import HardwareSpec

FUNCTIONS = [
    "partition",
    "_check_feedback_delay",
    "partition_greedy",
    "partition_edgemap",
    "partition_spectral",
]


def test_attributes_in_definition_order():
    names = [n for n in vars(partition) if not n.startswith("__")]
    assert names == [
        "dataclass",
        "field",
        "Any",
        "Dict",
        "List",
        "Optional",
        "Tuple",
        "np",
        "rx",
        "ir",
        "HardwareSpec",
        "PartitionResult",
        *FUNCTIONS,
    ]
    assert partition.np is numpy and partition.rx is rustworkx and partition.ir is ir
    assert partition.HardwareSpec is HardwareSpec and partition.dataclass is dataclasses.dataclass


def test_module_docstring():
    doc = partition.__doc__
    assert doc.startswith("Graph partitioning algorithms for hardware core mapping.\n\n")
    assert doc.endswith("    - greedy: Fast greedy assignment. O(V+E). Good baseline.\n")
    assert len(doc.rstrip("\n").split("\n\n")) == 4


@pytest.mark.parametrize(
    "name, params, ret, defaults",
    [
        (
            "partition",
            [("graph", "ir.Graph"), ("hw_spec", "HardwareSpec"), ("algorithm", "str")],
            "ir.Graph",
            ("greedy",),
        ),
        (
            "_check_feedback_delay",
            [
                ("feedback_edges", "List[Tuple[str, str]]"),
                ("assignments", "Dict[str, int]"),
                ("hw_spec", "HardwareSpec"),
            ],
            "List[Tuple[str, str, int, int]]",
            None,
        ),
        ("partition_greedy", [("graph", "ir.Graph"), ("hw_spec", "HardwareSpec")], "PartitionResult", None),
        ("partition_edgemap", [("graph", "ir.Graph"), ("hw_spec", "HardwareSpec")], "PartitionResult", None),
        ("partition_spectral", [("graph", "ir.Graph"), ("hw_spec", "HardwareSpec")], "PartitionResult", None),
    ],
)
def test_function_objects(name, params, ret, defaults):
    fn = getattr(partition, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "zerav.graph.partition")
    assert fn.__annotations__ == {**dict(params), "return": ret}
    assert list(fn.__annotations__) == [p for p, _ in params] + ["return"]
    assert fn.__defaults__ == defaults
    sig = inspect.signature(fn)
    assert [(p.name, p.annotation) for p in sig.parameters.values()] == params
    assert sig.return_annotation == ret
    first, blank, *_ = fn.__doc__.split("\n")
    assert first.startswith(name + "(") and blank == ""
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert "Args:" in pydoc_text(fn) or name == "_check_feedback_delay"


def pydoc_text(obj):
    import pydoc

    return pydoc.render_doc(obj, renderer=pydoc.plaintext)


def test_docstrings_quoted_exactly():
    assert partition.partition.__doc__.split("\n")[0] == (
        "partition(graph: ir.Graph, hw_spec: HardwareSpec, str algorithm: str = 'greedy') -> ir.Graph"
    )
    assert partition.partition_greedy.__doc__ == textwrap.dedent("""\
        partition_greedy(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult

        Fast greedy partitioning. O(V+E).

        Assigns nodes to cores in topological order (DAG) or BFS order (cyclic),
        filling each core until the neuron limit is reached.

        For cyclic graphs, SCCs are identified first and treated as atomic units
        that must be assigned to the same core.

        Args:
            graph: ZERAV IR Graph object.
            hw_spec: Hardware constraints.

        Returns:
            PartitionResult with core assignments.""")
    doc = partition._check_feedback_delay.__doc__
    assert "between the source and destination cores on the mesh.  Without a mesh,\n" in doc
    assert doc.endswith("Returns:\n    List of (src, dst, hops, limit) tuples for violated edges.")


def test_partition_result_record():
    R = partition.PartitionResult
    assert dataclasses.is_dataclass(R) and (R.__module__, R.__qualname__) == (
        "zerav.graph.partition",
        "PartitionResult",
    )
    assert [f.name for f in dataclasses.fields(R)] == [
        "assignments",
        "num_cores_used",
        "cross_core_edges",
        "feedback_edges",
        "metrics",
    ]
    assert R.__annotations__ == {
        "assignments": "Dict[str, int]",
        "num_cores_used": "int",
        "cross_core_edges": "List[Tuple[str, str]]",
        "feedback_edges": "List[Tuple[str, str]]",
        "metrics": "Dict[str, Any]",
    }
    a, b = R(), R()
    assert a == b and a.assignments is not b.assignments and a.metrics is not b.metrics
    assert R.__match_args__ == (
        "assignments",
        "num_cores_used",
        "cross_core_edges",
        "feedback_edges",
        "metrics",
    )
    assert repr(R({"a": 1}, 1)) == (
        "PartitionResult(assignments={'a': 1}, num_cores_used=1, cross_core_edges=[], "
        "feedback_edges=[], metrics={})"
    )
    assert R.__doc__.startswith("Result of graph partitioning.\n\nAttributes:\n    assignments: ")
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    assert (a == object()) is False
    a.num_cores_used = 5
    assert a != b
