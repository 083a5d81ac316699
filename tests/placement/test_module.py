"""The placement module's frame: attributes and their order, docstrings, the signature and
argument binding of `place`, the result record and the initialisation guards."""

from __future__ import annotations

import dataclasses
import inspect
import pickle
import textwrap
import typing

import pytest

import zerav.graph.placement as placement
from zerav import ir
from zerav.graph.constraints import HardwareSpec


def test_attributes_in_definition_order():
    names = [n for n in vars(placement) if not n.startswith("__")]
    assert names == [
        "dataclass",
        "field",
        "Dict",
        "List",
        "Optional",
        "Tuple",
        "ir",
        "HardwareSpec",
        "PlacementResult",
        "place",
    ]
    assert placement.dataclass is dataclasses.dataclass and placement.field is dataclasses.field
    assert placement.Dict is typing.Dict and placement.Tuple is typing.Tuple  # noqa: UP006
    assert placement.ir is ir and placement.HardwareSpec is HardwareSpec
    assert "numpy" not in vars(placement) and "np" not in vars(placement) and "rx" not in vars(placement)


def test_module_docstring():
    assert placement.__doc__ == (
        "Core placement optimization on physical hardware mesh.\n\n"
        "Minimizes total spike-hop distance by placing heavily-communicating cores\n"
        "near each other on the physical mesh. Uses RustworkX for shortest-path\n"
        "computations.\n"
    )


def test_place_function_object():
    fn = placement.place
    assert (fn.__name__, fn.__qualname__, fn.__module__) == ("place", "place", "zerav.graph.placement")
    assert fn.__annotations__ == {"graph": "ir.Graph", "hw_spec": "HardwareSpec", "return": "PlacementResult"}
    assert list(fn.__annotations__) == ["graph", "hw_spec", "return"]
    assert fn.__defaults__ is None
    sig = inspect.signature(fn)
    assert [(p.name, p.kind, p.annotation) for p in sig.parameters.values()] == [
        ("graph", inspect.Parameter.POSITIONAL_OR_KEYWORD, "ir.Graph"),
        ("hw_spec", inspect.Parameter.POSITIONAL_OR_KEYWORD, "HardwareSpec"),
    ]
    assert sig.return_annotation == "PlacementResult"
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert fn.__doc__ == textwrap.dedent("""\
        place(graph: ir.Graph, hw_spec: HardwareSpec) -> PlacementResult

        Optimize core placement on physical mesh.

        Uses a greedy approach: place the most-communicating core pair
        adjacent on the mesh, then expand outward.

        Args:
            graph: Partitioned ZERAV IR Graph with partition_metadata.
            hw_spec: Hardware constraints with core_mesh_topology.

        Returns:
            PlacementResult with logical-to-physical core mapping.

        Raises:
            None.""")


def test_placement_result_record():
    R = placement.PlacementResult
    assert dataclasses.is_dataclass(R)
    assert (R.__module__, R.__qualname__) == ("zerav.graph.placement", "PlacementResult")
    assert [f.name for f in dataclasses.fields(R)] == [
        "logical_to_physical",
        "total_hop_distance",
        "improvement",
    ]
    assert R.__annotations__ == {
        "logical_to_physical": "Dict[int, Tuple[int, int]]",
        "total_hop_distance": "int",
        "improvement": "float",
    }
    assert R.__doc__ == (
        "Result of core placement optimization.\n\nAttributes:\n"
        "    logical_to_physical: Maps logical core_id to physical mesh position (row, col).\n"
        "    total_hop_distance: Total spike-hop distance after placement.\n"
        "    improvement: Percentage improvement over identity placement.\n"
    )
    a, b = R(), R()
    assert a == b and a.logical_to_physical == {} and a.logical_to_physical is not b.logical_to_physical
    assert type(a.total_hop_distance) is int and type(a.improvement) is float
    assert R({1: (0, 0)}, 3, 1.5) == R(logical_to_physical={1: (0, 0)}, total_hop_distance=3, improvement=1.5)
    assert repr(R({1: (0, 0)}, 3)) == (
        "PlacementResult(logical_to_physical={1: (0, 0)}, total_hop_distance=3, improvement=0.0)"
    )
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    a.total_hop_distance = 7
    assert a != b
    with pytest.raises(TypeError):
        R({}, 0, 0.0, 1)
