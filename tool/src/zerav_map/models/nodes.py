"""Node kinds: the host's node classes, and record classes made for node kinds it lacks.

A node's arrays are its ``numpy.ndarray`` fields; its other fields (shapes, strides, ...) are
parameters. Every compute-node class has ``core_id`` (written by partitioning) and
``precision`` (the element type of its arrays, read by the SRAM budgets).
"""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np

from zerav import ir

# Element types the chip stores, with the numpy type used for arrays made from a shape.
PRECISIONS = {
    "fp32": np.float32,
    "fp16": np.float16,
    "int32": np.int32,
    "int16": np.int16,
    "int8": np.int8,
    "int4": np.int8,
}
_DTYPE_PRECISION = {
    np.dtype(np.float32): "fp32",
    np.dtype(np.float16): "fp16",
    np.dtype(np.int32): "int32",
    np.dtype(np.int16): "int16",
    np.dtype(np.int8): "int8",
    np.dtype(np.uint8): "int8",
}
# Neuron-state arrays: the chip keeps them in 32 bits whatever the node's precision.
STATE_ARRAYS = frozenset({"tau", "v_threshold", "v_leak", "r"})
_ANNOTATIONS = frozenset({"core_id", "precision"})


def host_kinds() -> dict[str, type]:
    """The node classes of ``zerav.ir`` by name (every exported record class but Graph)."""
    kinds = {}
    for name in getattr(ir, "__all__", ()):
        cls = getattr(ir, name, None)
        if isinstance(cls, type) and dataclasses.is_dataclass(cls) and cls is not ir.Graph:
            kinds[name] = cls
    return kinds


def is_boundary(node: Any) -> bool:
    return isinstance(node, (ir.Input, ir.Output))


def field_roles(cls: type) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """(array field names, parameter field names) of a node record class, in field order."""
    arrays, params = [], []
    for f in dataclasses.fields(cls):
        if f.name in _ANNOTATIONS:
            continue
        default = f.default_factory() if f.default_factory is not dataclasses.MISSING else f.default
        is_array = isinstance(default, np.ndarray) or f.type in ("np.ndarray", np.ndarray)
        (arrays if is_array else params).append(f.name)
    return tuple(arrays), tuple(params)


_custom_classes: dict[tuple[str, tuple[str, ...], tuple[str, ...]], type] = {}


def custom_kind(kind: str, arrays: tuple[str, ...], params: tuple[str, ...]) -> type:
    """A node record class named ``kind`` with these array and parameter fields.

    Used for node kinds the host package does not define (many NIR node types); the class is
    a data record so the SRAM budgets count every array field it has.
    """
    key = (kind, tuple(arrays), tuple(params))
    cls = _custom_classes.get(key)
    if cls is None:
        fields = [(a, np.ndarray, dataclasses.field(default=None)) for a in arrays]
        fields += [(p, Any, dataclasses.field(default=None)) for p in params]
        fields += [
            ("core_id", int | None, dataclasses.field(default=None)),
            ("precision", str | None, dataclasses.field(default=None)),
        ]
        cls = dataclasses.make_dataclass(kind, fields, namespace={"__custom_kind__": True})
        cls.__module__ = __name__
        _custom_classes[key] = cls
    return cls


def is_custom(cls: type) -> bool:
    return bool(getattr(cls, "__custom_kind__", False))


def node_arrays(node: Any) -> dict[str, np.ndarray]:
    """The node's array fields that hold arrays, in field order."""
    if not dataclasses.is_dataclass(node):
        return {}
    out = {}
    for f in dataclasses.fields(node):
        value = getattr(node, f.name, None)
        if isinstance(value, np.ndarray):
            out[f.name] = value
    return out


def precision_of_dtype(dtype: np.dtype) -> str | None:
    """The chip precision matching a numpy element type, None when there is none."""
    return _DTYPE_PRECISION.get(np.dtype(dtype))


def array_for(shape, precision: str | None, name: str, zero: bool = False) -> np.ndarray:
    """An array of ``shape`` whose every element is 1 (0 with ``zero``), in the element type the
    node's precision implies: an array known by its shape only is taken as dense (every synapse
    of a weight present, every tap of a kernel), and costs no memory (a read-only broadcast of
    one value)."""
    dtype = np.float32 if name in STATE_ARRAYS else PRECISIONS.get(precision or "fp32", np.float32)
    return np.broadcast_to(np.zeros((), dtype=dtype) if zero else np.ones((), dtype=dtype), tuple(shape))
