"""JSON model files: read them into a host graph, and write a model back out.

Format (one object)::

    {
      "name": "tiny",                                    optional, defaults to the file name
      "nodes": [                                         in the order the back end sees them
        {"name": "in", "kind": "Input", "params": {"shape": [2, 16, 16]}},
        {"name": "fc", "kind": "Affine", "precision": "int8",
         "arrays": {"weight": {"shape": [64, 512]}, "bias": [0.0, 0.5, ...]}},
        {"name": "lif", "kind": "LIF", "rate": 3.2},       optional: spikes per step it sends
        {"name": "syn", "kind": "Delay", "custom": true, "arrays": {"delay": {"shape": [64]}}}
      ],
      "edges": [["in", "fc"], ...]                       (source, destination) node names
    }

``kind`` is a node class of ``zerav.ir`` (Input, Output, LIF, Linear, Affine, Conv2d,
BatchNorm, ...); with ``"custom": true`` it is any name (a host kind's name included) and the
node gets exactly the arrays and parameters listed, as a compute node. An array is given by value (nested lists of numbers) or by
shape (``{"shape": [...]}``): every element nonzero, so a weight given by shape is dense and
a kernel given by shape has every tap; ``{"shape": [...], "value": 0}`` is all zeros. Arrays a host kind has but
the file omits keep the kind's defaults. ``precision`` is one of fp32, fp16, int32, int16,
int8, int4; without it the arrays are counted as fp32.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any

import numpy as np

from zerav import ir
from zerav_map.errors import FileProblem, InputError
from zerav_map.models import Model
from zerav_map.models import nodes as kinds
from zerav_map.outputs import write_output

_NODE_KEYS = {"name", "kind", "precision", "arrays", "params", "custom"}


class _Bad(Exception):
    """A problem at one place in the document; the loader adds the file name."""


def load_json_model(path: str) -> Model:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise FileProblem(path, f"cannot read the model file: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise FileProblem(path, "not a JSON model: the file is not UTF-8 text") from None
    try:
        doc = json.loads(text, object_pairs_hook=_no_duplicate_keys)
    except json.JSONDecodeError as e:
        raise FileProblem(path, f"not valid JSON: {e.msg} (line {e.lineno}, column {e.colno})") from None
    except _Bad as e:
        raise FileProblem(path, str(e)) from None
    default_name = os.path.splitext(os.path.basename(path))[0]
    try:
        graph, name, rates = graph_from_document(doc, default_name)
    except _Bad as e:
        raise FileProblem(path, str(e)) from None
    return Model(name=name, graph=graph, source=path, format="json", rates=rates or None)


def _no_duplicate_keys(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise _Bad(f"key {key!r} appears twice in one object")
        seen[key] = value
    return seen


def graph_from_document(doc: Any, default_name: str = "model"):
    """(graph, model name, {node: rate} of the nodes that give one) from a parsed JSON model
    document; raises ``_Bad``."""
    if not isinstance(doc, dict):
        raise _Bad('a JSON model is an object with "nodes" and "edges"')
    unknown = sorted(set(doc) - {"name", "nodes", "edges", "format"})
    if unknown:
        raise _Bad(f"unknown top-level key {unknown[0]!r} (expected name, nodes, edges)")
    name = doc.get("name", default_name)
    if not isinstance(name, str) or not name:
        raise _Bad('"name" must be a non-empty string')
    node_docs = doc.get("nodes")
    if not isinstance(node_docs, list):
        raise _Bad('"nodes" must be a list of node objects')
    edge_docs = doc.get("edges", [])
    if not isinstance(edge_docs, list):
        raise _Bad('"edges" must be a list of [source, destination] pairs')

    graph = ir.Graph()
    host = kinds.host_kinds()
    rates: dict[str, float] = {}
    for i, nd in enumerate(node_docs):
        where = f"node {i}"
        if isinstance(nd, dict) and isinstance(nd.get("name"), str) and nd["name"]:
            where += f" ({nd['name']!r})"
        rate = None
        if isinstance(nd, dict) and "rate" in nd:
            nd = dict(nd)
            rate = nd.pop("rate")
            if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not (0 <= rate < math.inf):
                raise _Bad(f'{where}: "rate" is the spikes per step the node sends, a number >= 0')
        node_name, node = _node_from(nd, host, where)
        if rate is not None:
            rates[node_name] = float(rate)
        if node_name in graph.nodes:
            raise _Bad(f"{where}: duplicate node name {node_name!r}")
        graph.nodes[node_name] = node
    for i, ed in enumerate(edge_docs):
        if not isinstance(ed, list) or len(ed) != 2 or not all(isinstance(x, str) for x in ed):
            raise _Bad(f"edge {i}: expected [source, destination] node names, got {_short(ed)}")
        for end in ed:
            if end not in graph.nodes:
                raise _Bad(
                    f"inconsistent model: edge {i} {_short(ed)} names node {end!r}, which does not exist"
                )
        graph.edges.append((ed[0], ed[1]))
    return graph, name, rates


def _node_from(nd: Any, host: dict[str, type], where: str):
    if not isinstance(nd, dict):
        raise _Bad(f'{where}: a node is an object with "name" and "kind"')
    extra = sorted(set(nd) - _NODE_KEYS)
    if extra:
        raise _Bad(
            f"{where}: unknown key {extra[0]!r} (expected one of {', '.join(sorted(_NODE_KEYS | {'rate'}))})"
        )
    name, kind = nd.get("name"), nd.get("kind")
    if not isinstance(name, str) or not name:
        raise _Bad(f'{where}: "name" must be a non-empty string')
    if not isinstance(kind, str) or not kind:
        raise _Bad(f'{where}: "kind" must be a non-empty string')
    custom = nd.get("custom", False)
    if not isinstance(custom, bool):
        raise _Bad(f'{where}: "custom" must be true or false')
    precision = nd.get("precision")
    if precision is not None and precision not in kinds.PRECISIONS:
        raise _Bad(
            f"{where}: unknown precision {_short(precision)} (expected one of {', '.join(kinds.PRECISIONS)})"
        )
    arrays_doc = nd.get("arrays", {})
    params_doc = nd.get("params", {})
    if not isinstance(arrays_doc, dict):
        raise _Bad(f'{where}: "arrays" must be an object of name: array')
    if not isinstance(params_doc, dict):
        raise _Bad(f'{where}: "params" must be an object of name: value')

    if custom:
        if not kind.isidentifier():
            raise _Bad(f"{where}: a custom kind must be an identifier, got {kind!r}")
        for field in list(arrays_doc) + list(params_doc):
            if not field.isidentifier() or field in ("core_id", "precision"):
                raise _Bad(f"{where}: {field!r} cannot be a field name")
        both = set(arrays_doc) & set(params_doc)
        if both:
            raise _Bad(f"{where}: {sorted(both)[0]!r} is both an array and a parameter")
        cls = kinds.custom_kind(kind, tuple(arrays_doc), tuple(params_doc))
        array_fields, param_fields = tuple(arrays_doc), tuple(params_doc)
    else:
        cls = host.get(kind)
        if cls is None:
            raise _Bad(
                f"{where}: unknown kind {kind!r} (known: {', '.join(host)}; mark "
                f'other kinds with "custom": true)'
            )
        array_fields, param_fields = kinds.field_roles(cls)
    values: dict[str, Any] = {}
    for aname, adoc in arrays_doc.items():
        if aname not in array_fields:
            raise _Bad(
                f"{where}: {kind} has no array {aname!r} (its arrays: {', '.join(array_fields) or 'none'})"
            )
        values[aname] = _array_from(adoc, precision, aname, f"{where}, array {aname!r}")
    for pname, pdoc in params_doc.items():
        if pname not in param_fields:
            raise _Bad(
                f"{where}: {kind} has no parameter {pname!r} (its parameters: "
                f"{', '.join(param_fields) or 'none'})"
            )
        values[pname] = _param_from(pdoc)
    node = cls(**values)
    if precision is not None:
        if not hasattr(node, "precision"):
            raise _Bad(f"{where}: {kind} nodes have no precision")
        node.precision = precision
    return name, node


def _array_from(adoc: Any, precision, aname: str, where: str) -> np.ndarray:
    if isinstance(adoc, dict):
        if not {"shape"} <= set(adoc) <= {"shape", "value"} or adoc.get("value", 0) != 0:
            raise _Bad(
                f'{where}: an array by shape is {{"shape": [sizes]}}, or {{"shape": [sizes], "value": 0}}'
            )
        shape = adoc["shape"]
        if not isinstance(shape, list) or not all(
            isinstance(s, int) and not isinstance(s, bool) and s >= 0 for s in shape
        ):
            raise _Bad(f'{where}: "shape" must be a list of non-negative integers')
        if math.prod(shape) > 1 << 31:
            raise _Bad(f"{where}: shape {shape} is too large ({math.prod(shape)} elements)")
        return kinds.array_for(shape, precision, aname, zero="value" in adoc)
    if isinstance(adoc, (list, int, float)) and not isinstance(adoc, bool):
        try:
            arr = np.asarray(adoc, dtype=np.float64)
        except (ValueError, TypeError):
            raise _Bad(f"{where}: values must be numbers in nested lists of equal length") from None
        return arr.astype(kinds.array_for((), precision, aname).dtype)
    raise _Bad(f'{where}: an array is a list of numbers or {{"shape": [sizes]}}')


def _param_from(pdoc: Any) -> Any:
    if isinstance(pdoc, list):
        return tuple(_param_from(x) for x in pdoc)
    return pdoc


def _short(value: Any) -> str:
    text = json.dumps(value) if not isinstance(value, str) else repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


# Writing ---------------------------------------------------------------------------------


# Arrays of at most this many elements are written by value: geometry (a pooling's kernel size,
# stride and padding) and small weights keep their numbers.
_BY_VALUE = 64


def model_document(model: Model) -> dict[str, Any]:
    """The JSON model document of ``model``, nodes and edges in order. A large array is written
    by shape when every element is nonzero (read back, it is the same dense array to the
    lowering); a small one, or one with zeros (which decide the group edges), by value."""
    host = kinds.host_kinds()
    node_docs: list[dict[str, Any]] = []
    for name, node in model.graph.nodes.items():
        cls = type(node)
        kind = cls.__name__
        nd: dict[str, Any] = {"name": name, "kind": kind}
        if host.get(kind) is not cls:
            nd["custom"] = True
        precision = getattr(node, "precision", None)
        if precision:
            nd["precision"] = precision
        array_fields, param_fields = kinds.field_roles(cls)
        arrays = {
            a: _array_doc(getattr(node, a))
            for a in array_fields
            if isinstance(getattr(node, a, None), np.ndarray)
        }
        params = {p: _param_doc(getattr(node, p)) for p in param_fields if getattr(node, p, None) is not None}
        if arrays:
            nd["arrays"] = arrays
        if params:
            nd["params"] = params
        if model.rates and name in model.rates:
            nd["rate"] = model.rates[name]
        node_docs.append(nd)
    return {
        "format": "zerav-model",
        "name": model.name,
        "nodes": node_docs,
        "edges": [[s, d] for s, d in model.graph.edges],
    }


def _array_doc(array: np.ndarray) -> Any:
    if array.size > _BY_VALUE:
        nonzero = np.count_nonzero(array)
        if nonzero == array.size:
            return {"shape": list(array.shape)}
        if nonzero == 0:
            return {"shape": list(array.shape), "value": 0}
    return array.tolist()


def _param_doc(value: Any) -> Any:
    if isinstance(value, (tuple, list)):
        return [_param_doc(v) for v in value]
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    return value


def write_json_model(model: Model, path: str) -> None:
    try:
        text = json.dumps(model_document(model), indent=1) + "\n"
    except TypeError as e:
        raise InputError(f"{path}: the model has a parameter JSON cannot hold: {e}") from None
    write_output(path, lambda f: f.write(text), what="model file")
