"""NIR files (the Neuromorphic Intermediate Representation, read with the ``nir`` package).

The file's top-level Input and Output nodes become the host's ``Input`` and ``Output`` (with
their shape); every other node becomes a host node that keeps all of its arrays: the host
class of the same name when it has every array the NIR node has (Linear, Affine, Conv2d), a
record class of the NIR type's name otherwise (LIF with its reset potential, CubaLIF, IF, LI,
Scale, Threshold, Delay, Flatten, pooling, ...). Nested graphs are flattened: an inner node
``lif`` of subgraph ``block`` becomes ``block.lif``; the subgraph's own Input and Output nodes
are only ports, so edges are joined through them. Each node's precision follows the element
type of its largest non-state array (float16 -> fp16, int8 -> int8, ...; float64 and others
are counted as fp32). Nodes keep the order in which the file lists them.
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any

import numpy as np

from zerav import ir
from zerav_map.errors import BackendMissing, FileProblem
from zerav_map.models import Model
from zerav_map.models import nodes as kinds

# NIR fields that describe the node's ports, not its contents.
_PORT_FIELDS = frozenset({"input_type", "output_type", "metadata"})


def _nir():
    try:
        import nir
    except ImportError:
        raise BackendMissing("reading NIR files needs the 'nir' package: pip install nir") from None
    return nir


def load_nir(path: str) -> Model:
    nir = _nir()
    try:
        doc = read_unchecked(nir, path)
    except Exception as e:  # h5py and nir raise many types for damaged or foreign files
        raise FileProblem(path, f"not a readable NIR file: {type(e).__name__}: {e}") from None
    if not isinstance(doc, nir.NIRGraph):
        raise FileProblem(path, f"the NIR file holds a single {type(doc).__name__} node, not a graph")
    try:
        graph = nir_to_graph(doc)
    except ValueError as e:
        raise FileProblem(path, f"inconsistent model: {e}") from None
    name = (doc.metadata or {}).get("name") if isinstance(doc.metadata, dict) else None
    if not isinstance(name, str) or not name:
        name = os.path.splitext(os.path.basename(path))[0]
    return Model(name=name, graph=graph, source=path, format="nir")


def read_unchecked(nir, path: str):
    """The file's graph, read as ``nir.read`` does but without its type inference in nested
    graphs too: the mapping needs the structure and the arrays, not port shapes that agree
    (exporters write scalar neuron parameters whose shape differs from the layer's). Edges and
    shapes are checked while flattening and lowering."""
    import h5py
    from nir.serialization import hdf2dict

    with h5py.File(path, "r") as f:
        data = hdf2dict(f["node"])

    def unchecked(node):
        if isinstance(node, dict):
            if node.get("type") == "NIRGraph":
                if "type_check" in node:
                    raise ValueError("the graph carries a 'type_check' key")
                node["type_check"] = False
            for value in node.values():
                unchecked(value)

    unchecked(data)
    return nir.dict2NIRNode(data)


def nir_to_graph(doc: Any) -> ir.Graph:
    """The flattened host graph of a NIR graph; ``ValueError`` names what is wrong."""
    nir = _nir()
    nodes: dict[str, Any] = {}
    ports: set = set()  # inner Input/Output nodes, joined through and then dropped
    edges: list[tuple[str, str]] = []
    _flatten(nir, doc, "", nodes, ports, edges, top=True)
    for port in [n for n in nodes if n in ports]:
        edges = _join_through(port, edges)
        del nodes[port]
    graph = ir.Graph()
    graph.nodes = nodes
    graph.edges = edges
    return graph


def _flatten(nir, doc, prefix: str, nodes, ports, edges, top: bool) -> None:
    for name, node in doc.nodes.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"node name {name!r} in {prefix or 'the top graph'} is not a string")
        full = prefix + name
        if full in nodes:
            raise ValueError(f"two nodes flatten to the name {full!r}")
        if isinstance(node, nir.NIRGraph):
            nodes[full] = None  # a placeholder keeping the order; replaced below
            inner: dict[str, Any] = {}
            _flatten(nir, node, full + ".", inner, ports, edges, top=False)
            del nodes[full]
            for iname, inode in inner.items():
                if iname in nodes:
                    raise ValueError(f"two nodes flatten to the name {iname!r}")
                nodes[iname] = inode
        elif isinstance(node, (nir.Input, nir.Output)):
            if top:
                cls = ir.Input if isinstance(node, nir.Input) else ir.Output
                nodes[full] = cls(shape=_port_shape(node))
            else:
                nodes[full] = ir.Output()  # a port; never reaches the graph
                ports.add(full)
        else:
            nodes[full] = _compute_node(node, full)
    for pair in doc.edges:
        try:
            src, dst = pair
        except (TypeError, ValueError):
            raise ValueError(
                f"edge {pair!r} in {prefix[:-1] or 'the top graph'} is not a (source, destination) pair"
            ) from None
        for s in _ends(nir, doc, prefix, src, as_source=True):
            for d in _ends(nir, doc, prefix, dst, as_source=False):
                edges.append((s, d))


def _ends(nir, doc, prefix: str, end: Any, as_source: bool, written: Any = None) -> list[str]:
    """The flattened names an edge endpoint stands for.

    A subgraph named as a destination stands for its Input ports, as a source for its Output
    ports; ``sub.inner`` names a node inside subgraph ``sub``. ``written`` is the endpoint as
    the edge gave it, for messages.
    """
    written = end if written is None else written
    where = prefix[:-1] or "the top graph"
    if not isinstance(end, str):
        raise ValueError(f"edge endpoint {written!r} in {where} is not a node name")
    node = doc.nodes.get(end)
    if node is None and "." in end:
        head, rest = end.split(".", 1)
        sub = doc.nodes.get(head)
        if isinstance(sub, nir.NIRGraph) and (rest in sub.nodes or "." in rest):
            return _ends(nir, sub, prefix + head + ".", rest, as_source, written)
    if node is None:
        raise ValueError(f"edge endpoint {written!r} names no node of {where}")
    if isinstance(node, nir.NIRGraph):
        port_type = nir.Output if as_source else nir.Input
        names = [n for n, v in node.nodes.items() if isinstance(v, port_type)]
        if not names:
            raise ValueError(
                f"subgraph {prefix + end!r} has no {'Output' if as_source else 'Input'} node to connect to"
            )
        return [prefix + end + "." + n for n in names]
    return [prefix + end]


def _join_through(port: str, edges: list[tuple[str, str]]) -> list[tuple[str, str]]:
    """Replace the edges through ``port`` by edges from each of its sources to each target."""
    sources = [s for s, d in edges if d == port and s != port]
    targets = [d for s, d in edges if s == port and d != port]
    out: list[tuple[str, str]] = []
    joined = False
    for s, d in edges:
        if s == port or d == port:
            if not joined:
                out.extend((a, b) for a in sources for b in targets)
                joined = True
            continue
        out.append((s, d))
    return out


def _port_shape(node: Any) -> tuple[int, ...]:
    types = node.input_type if hasattr(node, "input_type") else {}
    if hasattr(node, "output_type") and not types:
        types = node.output_type
    for value in (types or {}).values():
        try:
            return tuple(int(x) for x in np.asarray(value).ravel())
        except (TypeError, ValueError):
            break
    return ()


def _compute_node(node: Any, name: str) -> Any:
    if not dataclasses.is_dataclass(node):
        raise ValueError(f"node {name!r} is a {type(node).__name__}, not a NIR node")
    kind = type(node).__name__
    arrays: dict[str, np.ndarray] = {}
    params: dict[str, Any] = {}
    for f in dataclasses.fields(node):
        if f.name in _PORT_FIELDS:
            continue
        value = getattr(node, f.name)
        # A NIR file stores every field as an array, strides and shapes included; only the
        # fields the NIR type declares as arrays hold data the chip keeps (a plain number there
        # is a scalar parameter, as some exporters write them).
        declared_array = "ndarray" in str(f.type)
        if declared_array and isinstance(value, (int, float, np.generic)) and not isinstance(value, bool):
            value = np.asarray(value)
        if isinstance(value, np.ndarray) and declared_array:
            arrays[f.name] = value
        elif isinstance(value, np.ndarray):
            params[f.name] = value.item() if value.ndim == 0 else tuple(value.tolist())
        else:
            params[f.name] = value
    host = kinds.host_kinds().get(kind)
    if host is not None:
        host_arrays, host_params = kinds.field_roles(host)
        # The host class only when it holds everything: a convolution's dilation, groups and
        # input shape must survive for the lowering and for --export-model.
        if set(arrays) <= set(host_arrays) and set(params) <= set(host_params):
            cls = host
        else:
            host = None
    if host is None:
        if not kind.isidentifier():
            kind = "Node"
        cls = kinds.custom_kind(kind, tuple(arrays), tuple(params))
    made = cls(**arrays, **params)
    made.precision = _precision(arrays)
    return made


def _precision(arrays: dict[str, np.ndarray]):
    weights = [a for n, a in arrays.items() if n not in kinds.STATE_ARRAYS]
    if not weights:
        return None
    largest = max(weights, key=lambda a: a.size)
    return kinds.precision_of_dtype(largest.dtype)
