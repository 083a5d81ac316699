"""The layer view of a model: spiking tensors, the synapse chains between them, their shapes.

A spiking tensor is an Input node or a neuron layer (LIF, CubaLIF, IF, LI, ...). Every other
node between two of them is a synapse step: dense (Linear, Affine), convolution (Conv2d,
Conv1d), pooling (SumPool2d, AvgPool2d), Flatten, or an elementwise step (Scale, Delay,
BatchNorm). A chain is one path of synapse steps from a spiking tensor to a neuron layer or an
Output node; several chains into one node add up.

Shapes are inferred from the graph, not from parameter sizes alone: a dense step's output is
its weight's row count, a convolution's and a pooling's follow from kernel, stride, padding and
dilation, Flatten merges axes, a neuron layer takes the shape of what feeds it (its parameters
may be scalars). Leading batch axes of size 1 are dropped from file-given shapes.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from zerav import ir
from zerav_map.errors import InputError
from zerav_map.models.nodes import node_arrays as arrays_of

NEURON_KINDS = frozenset({"LIF", "CubaLIF", "IF", "LI", "I", "CubaLI", "Threshold"})
DENSE_KINDS = frozenset({"Linear", "Affine"})
CONV_KINDS = frozenset({"Conv2d", "Conv1d"})
POOL_KINDS = frozenset({"SumPool2d", "AvgPool2d"})
ELEMENTWISE_KINDS = frozenset({"Scale", "Delay", "BatchNorm"})
_MAX_CHAINS = 100_000


class LoweringError(InputError):
    """A model the lowering cannot cut into groups; the message says why and what to do."""


class Inconsistent(LoweringError):
    """A model that is readable but contradicts itself."""

    def __init__(self, message: str) -> None:
        super().__init__(f"inconsistent model: {message}")


@dataclass
class Step:
    """One synapse node on a chain, with its normalised geometry."""

    name: str
    role: str  # "dense", "conv", "pool", "flatten", "elementwise"
    node: Any
    in_shape: tuple[int, ...] = ()
    out_shape: tuple[int, ...] = ()
    # convolution and pooling: per-axis (kernel, stride, pad_lo, dilation) for H and W
    axes: tuple[tuple[int, int, int, int], ...] = ()
    weight: np.ndarray | None = None  # dense (out, in); conv (Cout, Cin/groups, kh, kw)
    groups: int = 1


@dataclass
class Chain:
    source: str
    steps: list[Step]
    target: str


@dataclass
class Layers:
    roles: dict[str, str]  # node -> "input", "neuron", "output" or a step role
    shapes: dict[str, tuple[int, ...]]  # output shape of every node
    chains: list[Chain] = field(default_factory=list)

    @property
    def tensors(self) -> list[str]:
        """Spiking tensors and outputs, nearest to the inputs first (a NIR file does not keep
        its node order), then in model order."""
        names = [n for n, r in self.roles.items() if r in ("input", "neuron", "output")]
        depth = {n: 0 for n in names if self.roles[n] == "input"}
        frontier = list(depth)
        while frontier:
            reached = []
            for chain in self.chains:
                if chain.source in frontier and chain.target not in depth:
                    depth[chain.target] = depth[chain.source] + 1
                    reached.append(chain.target)
            frontier = reached
        position = {n: i for i, n in enumerate(names)}
        return sorted(names, key=lambda n: (depth.get(n, len(names)), position[n]))


def kind_of(node: Any) -> str:
    return type(node).__name__


def role_of(name: str, node: Any) -> str:
    if isinstance(node, ir.Input):
        return "input"
    if isinstance(node, ir.Output):
        return "output"
    kind = kind_of(node)
    for role, kinds in (
        ("neuron", NEURON_KINDS),
        ("dense", DENSE_KINDS),
        ("conv", CONV_KINDS),
        ("pool", POOL_KINDS),
        ("elementwise", ELEMENTWISE_KINDS),
    ):
        if kind in kinds:
            return role
    if kind == "Flatten":
        return "flatten"
    raise LoweringError(
        f"node {name!r} is a {kind}, which cannot be cut into neuron groups; "
        "map the model one node per layer with --no-lower"
    )


def strip_batch(shape: tuple[int, ...], keep: int = 1) -> tuple[int, ...]:
    """Drop leading axes of size 1 while more than ``keep`` axes remain."""
    shape = tuple(int(s) for s in shape)
    while len(shape) > keep and shape[0] == 1:
        shape = shape[1:]
    return shape


def _pair(value: Any, default: int) -> tuple[int, int]:
    if value is None:
        return (default, default)
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, (list, tuple)):
        if len(value) == 1:
            return (int(value[0]), int(value[0]))
        return (int(value[0]), int(value[1]))
    return (int(value), int(value))


def _param(node: Any, name: str, default: Any = None) -> Any:
    value = getattr(node, name, default)
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value.item()
    if isinstance(value, bytes):
        value = value.decode()
    return default if value is None else value


def read_layers(graph: ir.Graph) -> Layers:
    roles = {name: role_of(name, node) for name, node in graph.nodes.items()}
    preds: dict[str, list[str]] = {n: [] for n in graph.nodes}
    succs: dict[str, list[str]] = {n: [] for n in graph.nodes}
    for src, dst in graph.edges:
        for end in (src, dst):
            if end not in graph.nodes:
                raise Inconsistent(f"edge ({src!r}, {dst!r}) names node {end!r}, which does not exist")
        if dst not in succs[src]:
            succs[src].append(dst)
            preds[dst].append(src)
    steps = {
        n: Step(n, r, graph.nodes[n]) for n, r in roles.items() if r not in ("input", "neuron", "output")
    }
    shapes = _infer_shapes(graph, roles, preds, steps)
    layers = Layers(roles=roles, shapes=shapes)
    for name, role in roles.items():
        if role in ("input", "neuron"):
            _chains_from(name, succs, roles, steps, layers.chains)
    return layers


def _chains_from(source, succs, roles, steps, out: list[Chain]) -> None:
    stack: list[tuple[str, list[Step]]] = [(d, []) for d in reversed(succs[source])]
    while stack:
        node, path = stack.pop()
        role = roles[node]
        if role == "input":
            raise Inconsistent(f"edge into Input node {node!r}")
        if role in ("neuron", "output"):
            out.append(Chain(source, path, node))
            if len(out) > _MAX_CHAINS:
                raise LoweringError(f"more than {_MAX_CHAINS} synapse paths; map with --no-lower")
            continue
        if any(s.name == node for s in path):
            raise Inconsistent(f"synapse nodes form a loop without neurons through {node!r}")
        step = steps[node]
        stack.extend((d, path + [step]) for d in reversed(succs[node]))


def neurons_of(graph: ir.Graph) -> dict[str, int]:
    """Neurons in each neuron-layer node: the size of its inferred shape; in a model the layer
    view cannot read, the size of the node's largest array."""
    try:
        layers = read_layers(graph)
    except LoweringError:
        return {
            name: max((a.size for a in arrays_of(node).values()), default=1)
            for name, node in graph.nodes.items()
            if kind_of(node) in NEURON_KINDS
        }
    return {n: math.prod(layers.shapes[n]) for n, role in layers.roles.items() if role == "neuron"}


# Shapes ---------------------------------------------------------------------------------


def _infer_shapes(graph, roles, preds, steps) -> dict[str, tuple[int, ...]]:
    shapes: dict[str, tuple[int, ...]] = {}
    for _ in range(len(roles) + 1):
        changed = False
        for name, role in roles.items():
            if name in shapes:
                continue
            incoming = [shapes[p] for p in preds[name] if p in shapes]
            in_shape = _agree(name, incoming)
            shape = _out_shape(name, role, graph.nodes[name], in_shape, steps.get(name))
            if shape is not None:
                shapes[name] = shape
                changed = True
        if not changed:
            break
    for name, role in roles.items():
        if name not in shapes:
            raise LoweringError(
                f"cannot infer the shape of {name!r} ({kind_of(graph.nodes[name])}): nothing feeding it has "
                "a known shape; give the Input nodes their shape"
            )
        if math.prod(shapes[name]) == 0:
            raise Inconsistent(f"{name!r} has no elements (shape {shapes[name]})")
        incoming = [shapes[p] for p in preds[name]]
        _agree(name, incoming)
        if name in steps and incoming:
            again = _out_shape(name, role, graph.nodes[name], _agree(name, incoming), steps[name])
            if again != shapes[name]:
                raise Inconsistent(
                    f"{name!r} gives shape {again} from its input but {shapes[name]} from its parameters"
                )
    return shapes


def _agree(name: str, incoming: list[tuple[int, ...]]) -> tuple[int, ...] | None:
    if not incoming:
        return None
    sizes = {math.prod(s) for s in incoming}
    if len(sizes) > 1:
        raise Inconsistent(f"the inputs of {name!r} differ in size ({', '.join(map(str, sorted(sizes)))})")
    return max(incoming, key=len)


def _out_shape(name, role, node, in_shape, step):
    if role == "input":
        shape = strip_batch(getattr(node, "shape", ()) or (), keep=3)
        return shape or None
    if role == "output":
        return in_shape
    if role == "neuron":
        own = [a.shape for a in arrays_of(node).values() if a.size > 1]
        own_shape = strip_batch(max(own, key=len), keep=1) if own else None
        if in_shape is not None:
            if own_shape is not None and math.prod(own_shape) != math.prod(in_shape):
                raise Inconsistent(
                    f"neuron layer {name!r} has parameters for {math.prod(own_shape)} neurons "
                    f"but receives {math.prod(in_shape)} values"
                )
            return in_shape
        return own_shape
    if role == "dense":
        weight = np.asarray(node.weight)
        weight = weight.reshape(strip_batch(weight.shape, keep=2))
        if weight.ndim != 2:
            raise Inconsistent(f"dense node {name!r} has a weight of shape {weight.shape}, not (out, in)")
        step.weight = weight
        if in_shape is not None:
            if math.prod(in_shape) != weight.shape[1]:
                raise Inconsistent(
                    f"dense node {name!r} takes {weight.shape[1]} inputs but receives {math.prod(in_shape)}"
                )
            step.in_shape = in_shape
        step.out_shape = (weight.shape[0],)
        return step.out_shape
    if role in ("conv", "pool"):
        return _spatial_shape(name, role, node, in_shape, step)
    if role == "flatten":
        if in_shape is None:
            return None
        start = int(_param(node, "start_dim", 0))
        end = int(_param(node, "end_dim", -1))
        nd = len(in_shape)
        start, end = (start + nd if start < 0 else start), (end + nd if end < 0 else end)
        start, end = max(0, min(start, nd - 1)), max(0, min(end, nd - 1))
        if end < start:
            start, end = end, start
        step.in_shape = in_shape
        step.out_shape = in_shape[:start] + (math.prod(in_shape[start : end + 1]),) + in_shape[end + 1 :]
        return step.out_shape
    # elementwise
    if in_shape is None:
        own = [a.shape for a in arrays_of(node).values() if a.size > 1]
        if not own:
            return None
        in_shape = strip_batch(max(own, key=len))
    step.in_shape = step.out_shape = in_shape
    return in_shape


def _spatial_shape(name, role, node, in_shape, step):
    if role == "conv":
        weight = np.asarray(node.weight)
        if weight.ndim == 3:  # Conv1d: a 2-D convolution over a map of height 1
            weight = weight[:, :, None, :]
        if weight.ndim != 4:
            raise Inconsistent(f"convolution {name!r} has a weight of shape {weight.shape}")
        groups = int(_param(node, "groups", 1))
        if groups < 1 or weight.shape[0] % groups:
            raise Inconsistent(f"convolution {name!r}: {weight.shape[0]} output channels in {groups} groups")
        cin, kh, kw = weight.shape[1] * groups, weight.shape[2], weight.shape[3]
        step.weight, step.groups = weight, groups
        declared = _param(node, "input_shape", None)
        if kind_of(node) == "Conv1d":
            declared = None if declared is None else (1, int(np.asarray(declared).ravel()[0]))
        stride = _param(node, "stride", 1)
        padding = _param(node, "padding", 0)
        dilation = _param(node, "dilation", 1)
        if kind_of(node) == "Conv1d":
            stride, dilation = (1, int(np.ravel(stride)[0])), (1, int(np.ravel(dilation)[0]))
            padding = padding if isinstance(padding, str) else (0, int(np.ravel(padding)[0]))
    else:
        kh, kw = _pair(_param(node, "kernel_size", 1), 1)
        stride = _param(node, "stride", (kh, kw))
        padding = _param(node, "padding", 0)
        dilation = 1
        cin, declared = None, None
    chw = _as_chw(name, in_shape, cin, declared)
    if chw is None:
        return None
    c, h, w = chw
    sh, sw = _pair(stride, 1)
    dh, dw = _pair(dilation, 1)
    geo = []
    for n, k, s, d, axis in ((h, kh, sh, dh, 0), (w, kw, sw, dw, 1)):
        if isinstance(padding, str):
            if padding not in ("same", "valid"):
                raise Inconsistent(f"{name!r}: padding {padding!r} is not 'same', 'valid' or a number")
            total = d * (k - 1) if padding == "same" else 0
            lo, hi = total // 2, total - total // 2
        else:
            lo = hi = _pair(padding, 0)[axis]
        if s < 1 or d < 1 or k < 1 or lo < 0:
            raise Inconsistent(
                f"{name!r}: kernel, stride and dilation must be positive, padding not negative"
            )
        m = (n + lo + hi - d * (k - 1) - 1) // s + 1
        if m < 1:
            raise Inconsistent(f"{name!r}: a {k}-wide kernel does not fit an input of {n} (padding {lo})")
        geo.append((k, s, lo, d, m))
    step.axes = tuple(g[:4] for g in geo)
    step.in_shape = chw
    cout = step.weight.shape[0] if role == "conv" else c
    step.out_shape = (cout, geo[0][4], geo[1][4])
    return step.out_shape


def _as_chw(name, in_shape, cin, declared):
    """The (C, H, W) reading of what feeds a convolution or pooling step."""
    if declared is not None:
        declared = tuple(int(x) for x in np.asarray(declared).ravel())
    if in_shape is None:
        if declared is None or cin is None:
            return None
        return (cin, *declared[-2:])
    shape = strip_batch(in_shape, keep=3)
    if len(shape) == 3:
        chw = shape
    elif len(shape) == 2 and (cin in (None, 1)):
        chw = (1, *shape)
    elif declared is not None and cin is not None and math.prod(shape) == cin * math.prod(declared[-2:]):
        chw = (cin, *declared[-2:])
    else:
        raise Inconsistent(f"{name!r} needs a (channels, height, width) input, got shape {in_shape}")
    if cin is not None and chw[0] != cin:
        raise Inconsistent(f"convolution {name!r} takes {cin} channels but receives {chw[0]}")
    return chw
