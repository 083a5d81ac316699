"""Lowering: a model of whole layers becomes a graph of core-sized neuron groups.

Every spiking tensor (Input nodes and neuron layers) is cut into groups of at most ``g``
neurons (``tiling``); the synapse steps between two of them are folded into the destination's
groups with each group's share of the arrays (``shares``); two groups are joined by an edge
exactly when some nonzero synapse joins a neuron of one to a neuron of the other (``edges``).
Duplicate edges merge and edges inside one group are dropped. An Output node stays one node,
with an edge from every group that reaches it.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field

import numpy as np
from scipy.sparse import csgraph, csr_array

from zerav import ir
from zerav_map.choices import DEFAULT_MAX_EDGES
from zerav_map.lowering import edges as group_edges
from zerav_map.lowering import shares
from zerav_map.lowering.layers import Layers, LoweringError, kind_of, read_layers
from zerav_map.lowering.tiling import Tiling, single, tile
from zerav_map.models import Model
from zerav_map.models import nodes as kinds

# The back end counts this many routing bytes per incoming cross-core edge of a core.
ROUTING_BYTES_PER_EDGE = 8


@dataclass
class Options:
    group_size: int  # neurons per group: the most a group holds
    policy: str = "channels"  # block policy for (C, H, W) tensors
    # Bytes one group may use, weights, state and routing counted: a layer's groups get the
    # largest size (up to group_size) whose largest group fits. None: every group has group_size.
    group_budget: int | None = None
    max_edges: int = DEFAULT_MAX_EDGES
    nodes_per_core: int = 1  # for the note on recurrent sets larger than a core


@dataclass
class LayerRow:
    """One line of the per-layer table."""

    name: str
    kind: str
    shape: tuple[int, ...]
    neurons: int
    group_size: int
    groups: int
    bytes_per_group: int  # the largest group's, as the SRAM budget counts it
    kernel_copies: int  # how many groups hold a copy of one kernel (1: none repeated)


@dataclass
class Summary:
    group_size: int
    policy: str
    layers: list[LayerRow] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    derived: list[str] = field(default_factory=list)
    edges: int = 0
    seconds: float = 0.0


@dataclass
class _Tensor:
    name: str
    role: str
    tiling: Tiling
    group_size: int
    fields: list[shares.Field] = field(default_factory=list)
    offset: int = 0


def lower(model: Model, options: Options, precision_bytes) -> tuple[Model, Summary]:
    """The lowered model and what the lowering decided, per layer."""
    start = time.perf_counter()
    layers = read_layers(model.graph)
    tensors = _cut(layers, model.graph, options, precision_bytes)
    cache: dict = {}  # the tile relations of each chain, computed once
    _check_edge_count(layers, tensors, options, cache)
    offset = 0
    for t in tensors.values():
        t.offset = offset
        offset += t.tiling.groups
    src_ids, dst_ids = _all_edges(layers, tensors, cache)
    names, nodes, neurons = _group_nodes(model.graph, tensors)
    graph = ir.Graph(nodes=dict(zip(names, nodes)))
    name_array = np.array(names, dtype=object)
    graph.edges = list(zip(name_array[src_ids].tolist(), name_array[dst_ids].tolist()))
    summary = Summary(group_size=options.group_size, policy=options.policy)
    summary.layers = [_row(model.graph, t, precision_bytes) for t in tensors.values() if t.role != "output"]
    summary.notes = _recurrent_notes(tensors, src_ids, dst_ids, offset, options.nodes_per_core)
    summary.edges = len(graph.edges)
    lowered = Model(name=model.name, graph=graph, source=model.source)
    lowered.edge_ids = (src_ids, dst_ids)
    lowered.neurons = neurons
    lowered.groups = {
        t.name: (names[t.offset : t.offset + t.tiling.groups], t.tiling)
        for t in tensors.values()
        if t.role != "output"
    }
    summary.seconds = time.perf_counter() - start
    return lowered, summary


def _cut(layers: Layers, graph: ir.Graph, options: Options, precision_bytes) -> dict[str, _Tensor]:
    tensors: dict[str, _Tensor] = {}
    for name in layers.tensors:
        role, shape = layers.roles[name], layers.shapes[name]
        if role == "output":
            tensors[name] = _Tensor(name, role, single(shape), math.prod(shape))
            continue
        g = options.group_size
        tiling = tile(shape, g, options.policy)
        t = _Tensor(name, role, tiling, g)
        if role == "neuron":
            t.fields = shares.state_fields(graph.nodes[name], tiling)
            taken: set[str] = set()
            for chain in layers.chains:
                if chain.target == name:
                    t.fields += shares.synapse_fields(chain, tiling, taken)
            if options.group_budget is not None:
                t.group_size = _largest_fitting(t, layers, tensors, options, precision_bytes)
                t.tiling = tile(shape, t.group_size, options.policy)
        tensors[name] = t
    return tensors


def _largest_fitting(t: _Tensor, layers: Layers, tensors, options: Options, precision_bytes) -> int:
    """The largest group size up to ``options.group_size`` whose largest group, with the routing
    bytes of an edge from every group that feeds it, fits ``options.group_budget``; 1 when none
    fits. The feeding groups are counted with the sizes already chosen (inputs and earlier
    layers), this layer's own at each size tried, and later layers' at the most."""
    shape = layers.shapes[t.name]
    fixed = 0
    self_fed = False
    for chain in layers.chains:
        if chain.target != t.name:
            continue
        if chain.source == t.name:
            self_fed = True
        elif chain.source in tensors:
            fixed += tensors[chain.source].tiling.groups
        else:
            fixed += tile(layers.shapes[chain.source], options.group_size, options.policy).groups

    def fits(g: int) -> bool:
        tiling = tile(shape, g, options.policy)
        feeding = fixed + (tiling.groups if self_fed else 0)
        need = _largest(t.fields, tiling, precision_bytes) + ROUTING_BYTES_PER_EDGE * feeding
        return need <= options.group_budget

    if fits(options.group_size):
        return options.group_size
    # Bytes grow with the group size, so the sizes that fit are a prefix: bisect its end.
    lo, hi = 0, options.group_size  # lo fits (0 stands for "none"), hi does not
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if fits(mid):
            lo = mid
        else:
            hi = mid
    return max(1, lo)


def _largest(fields, tiling: Tiling, precision_bytes) -> int:
    sizes = shares.group_bytes(fields, tiling, precision_bytes)
    return int(sizes.max()) if len(sizes) else 0


def _estimate(layers: Layers, tilings: dict[str, Tiling], cache: dict | None = None) -> dict[str, int]:
    """Upper bounds of the group edges feeding each node."""
    per_target: dict[str, int] = {}
    for chain in layers.chains:
        n = group_edges.estimate_edges(chain, tilings[chain.source], tilings[chain.target], cache)
        per_target[chain.target] = per_target.get(chain.target, 0) + n
    return per_target


def _check_edge_count(layers: Layers, tensors: dict[str, _Tensor], options: Options, cache: dict) -> None:
    groups = {n: t.tiling.groups for n, t in tensors.items()}
    if sum(groups.values()) > options.max_edges:
        worst = max(groups, key=groups.get)
        raise LoweringError(
            f"the lowered graph would have {sum(groups.values()):,} groups, more than the limit of "
            f"{options.max_edges:,} (--max-edges); layer {worst!r} alone has {groups[worst]:,}"
        )
    per_target = _estimate(layers, {n: t.tiling for n, t in tensors.items()}, cache)
    total = sum(per_target.values())
    if total <= options.max_edges:
        return
    worst = max(per_target, key=per_target.get)
    message = (
        f"the lowered graph would have up to {total:,} edges, more than the limit of "
        f"{options.max_edges:,} (--max-edges); {per_target[worst]:,} of them feed layer {worst!r}"
    )
    g = options.group_size
    largest = max(math.prod(layers.shapes[n]) for n in tensors)
    while g < largest:
        g *= 2
        tilings = {
            n: t.tiling if t.role == "output" else tile(layers.shapes[n], g, options.policy)
            for n, t in tensors.items()
        }
        if sum(_estimate(layers, tilings).values()) <= options.max_edges:
            raise LoweringError(
                f"{message}. A group size of {g} (--group-size {g}) would stay within the limit"
            )
    raise LoweringError(f"{message}; no group size brings them within the limit")


def _all_edges(layers: Layers, tensors: dict[str, _Tensor], cache: dict) -> tuple[np.ndarray, np.ndarray]:
    """Node ids of every group edge, each once, none inside one group; chain by chain."""
    by_pair: dict[tuple[str, str], list] = {}
    for chain in layers.chains:
        src, dst = tensors[chain.source], tensors[chain.target]
        s, d = group_edges.chain_edges(chain, src.tiling, dst.tiling, cache)
        by_pair.setdefault((chain.source, chain.target), []).append((s + src.offset, d + dst.offset))
    total = sum(t.tiling.groups for t in tensors.values())
    out_s, out_d = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
    for found in by_pair.values():
        s, d = np.concatenate([f[0] for f in found]), np.concatenate([f[1] for f in found])
        if len(found) > 1:  # parallel chains between the same two tensors may repeat edges
            code = np.unique(s * total + d)
            s, d = code // total, code % total
        keep = s != d
        out_s.append(s[keep])
        out_d.append(d[keep])
    return np.concatenate(out_s), np.concatenate(out_d)


def _group_nodes(graph: ir.Graph, tensors: dict[str, _Tensor]) -> tuple[list[str], list, dict[str, int]]:
    """Names and nodes of every group, and the neurons of each neuron-layer group."""
    names: list[str] = []
    nodes: list = []
    neurons: dict[str, int] = {}
    for t in tensors.values():
        n = t.tiling.groups
        first = len(names)
        names += [t.name] if n == 1 else [f"{t.name}#{i}" for i in range(n)]
        if t.role == "neuron":
            neurons.update(zip(names[first:], t.tiling.counts().tolist()))
        if t.role == "output":
            nodes.append(ir.Output(shape=t.tiling.shape))
        elif t.role == "input":
            nodes += [ir.Input(shape=tuple(s.stop - s.start for s in box)) for box in t.tiling.boxes()]
        else:
            cls = kinds.custom_kind(
                f"{kind_of(graph.nodes[t.name])}Group", tuple(f.name for f in t.fields), ()
            )
            precision = shares.group_precision(t.fields)
            tiling = t.tiling
            for box in tiling.boxes():
                node = cls(**{f.name: f.view(tiling, box) for f in t.fields})
                node.precision = precision
                nodes.append(node)
    return names, nodes, neurons


def _row(graph: ir.Graph, t: _Tensor, precision_bytes) -> LayerRow:
    return LayerRow(
        name=t.name,
        kind=kind_of(graph.nodes[t.name]),
        shape=t.tiling.shape,
        neurons=t.tiling.size,
        group_size=t.group_size,
        groups=t.tiling.groups,
        bytes_per_group=_largest(t.fields, t.tiling, precision_bytes),
        kernel_copies=shares.kernel_copies(t.fields, t.tiling),
    )


def _recurrent_notes(tensors, src_ids, dst_ids, n_nodes: int, nodes_per_core: int) -> list[str]:
    """Recurrent sets of groups larger than one core, named with their layers."""
    if len(src_ids) == 0:
        return []
    matrix = csr_array((np.ones(len(src_ids), dtype=np.int8), (src_ids, dst_ids)), shape=(n_nodes, n_nodes))
    count, label = csgraph.connected_components(matrix, directed=True, connection="strong")
    sizes = np.bincount(label, minlength=count)
    notes = []
    for comp in np.flatnonzero(sizes > nodes_per_core):
        members = label == comp
        names = [t.name for t in tensors.values() if members[t.offset : t.offset + t.tiling.groups].any()]
        notes.append(
            f"recurrent layer(s) {', '.join(names)}: {sizes[comp]} groups that reach each other, more than "
            f"the {nodes_per_core} a core holds. greedy keeps them whole on one core (that core is over "
            f"capacity); edgemap starts from that core and moves single groups to neighbouring cores "
            f"where that cuts fewer edges, and the edges it cuts inside the set are feedback edges "
            f"held to the feedback-delay limit"
        )
    return notes
