"""Each group's share of its layer's arrays.

The synapse steps between two spiking tensors live with the neurons they feed. For a chain into
a neuron layer, the last dense, convolution or pooling step decides the cut: a dense step's
weight rows and bias entries of the group's neurons, a convolution's kernels and bias of the
group's output channels. Elementwise steps after it (Scale, Delay, BatchNorm) give their
entries of the group's neurons (or channels, for per-channel arrays); every array earlier on
the chain (a convolution before a Flatten and a dense step, say) is needed whole by each group
and is repeated on every group that the chain feeds.

Neuron parameters become state arrays under the four names the back end counts as neuron state
(4 bytes an element whatever the weight precision): time constants under ``tau``, thresholds
under ``v_threshold``, leak and reset potentials under ``v_leak``, everything else (resistance,
input weights, ...) under ``r``. A name that gathers several parameters holds them stacked,
one row each; a scalar parameter is broadcast to one value per neuron without copying.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

import numpy as np

from zerav_map.lowering.layers import Chain, Inconsistent, arrays_of
from zerav_map.lowering.tiling import Tiling

_STATE_NAMES = {
    "tau": "tau",
    "tau_mem": "tau",
    "tau_syn": "tau",
    "v_threshold": "v_threshold",
    "threshold": "v_threshold",
    "v_leak": "v_leak",
    "v_reset": "v_leak",
}
STATE_FIELDS = ("tau", "v_threshold", "v_leak", "r")
_STRUCTURAL = ("dense", "conv", "pool")
# The arrays each kind of step keeps on the chip; pooling and Flatten keep none (their kernel
# size, stride and padding are geometry, not data).
_KEPT = {"dense": ("weight", "bias"), "conv": ("weight", "bias"), "pool": (), "flatten": ()}


@dataclass
class Field:
    """One array of a group node and how the layer's array is cut among the groups."""

    name: str
    array: np.ndarray  # "neurons": lead + tiled shape + trail; otherwise as stored
    cut: str  # "neurons", "channels" or "whole"
    lead: int = 0  # leading axes before the neuron axes ("neurons")
    channel_span: int = 1  # elements per channel, for "channels" on a 1-D tiling
    precision: str | None = None  # None: neuron state
    channels: int = 1

    def view(self, tiling: Tiling, box: tuple[slice, ...]) -> np.ndarray:
        if self.cut == "whole":
            return self.array
        if self.cut == "neurons":
            return self.array[(slice(None),) * self.lead + box]
        return self.array[_channel_slice(tiling, box, self.channel_span)]

    def sizes(self, tiling: Tiling) -> np.ndarray:
        """Elements of this field on every group, in group order."""
        if self.cut == "whole":
            return np.full(tiling.groups, self.array.size, dtype=np.int64)
        if self.cut == "neurons":
            return tiling.counts() * (self.array.size // tiling.size)
        return channels_per_group(tiling, self.channel_span) * (self.array.size // self.channels)

    def copies(self, tiling: Tiling) -> int:
        """How many groups hold each element of the array, at most."""
        if self.cut == "whole":
            return tiling.groups
        if self.cut == "neurons":
            return 1
        if len(tiling.shape) == 3:
            return tiling.grid[1] * tiling.grid[2]
        runs = tiling.tile_ranges(0)
        cover = np.zeros(self.channels + 1, dtype=np.int64)
        np.add.at(cover, runs[:, 0] // self.channel_span, 1)
        np.add.at(cover, (runs[:, 1] - 1) // self.channel_span + 1, -1)
        return int(np.cumsum(cover).max())


def _channel_slice(tiling: Tiling, box, span: int) -> slice:
    if len(tiling.shape) == 3:
        return box[0]
    run = box[0]
    return slice(run.start // span, (run.stop - 1) // span + 1)


def channels_per_group(tiling: Tiling, span: int) -> np.ndarray:
    if len(tiling.shape) == 3:
        return np.repeat(tiling.extents(0), tiling.grid[1] * tiling.grid[2])
    runs = tiling.tile_ranges(0)
    return (runs[:, 1] - 1) // span - runs[:, 0] // span + 1


def state_fields(node, tiling: Tiling) -> list[Field]:
    slots: dict[str, list[np.ndarray]] = {}
    for name, value in arrays_of(node).items():
        slots.setdefault(_STATE_NAMES.get(name, "r"), []).append(_per_neuron(name, value, tiling))
    out = []
    for slot in STATE_FIELDS:
        values = slots.get(slot)
        if not values:
            continue
        if len(values) == 1:
            out.append(Field(slot, values[0], "neurons"))
            continue
        if all(v.strides == (0,) * v.ndim for v in values):
            firsts = np.array([v.reshape(-1)[0] for v in values])
            stacked = np.broadcast_to(
                firsts.reshape((-1,) + (1,) * len(tiling.shape)), (len(values),) + tiling.shape
            )
        else:
            stacked = np.stack(values)
        out.append(Field(slot, stacked, "neurons", lead=1))
    return out


def _per_neuron(name: str, value: np.ndarray, tiling: Tiling) -> np.ndarray:
    if value.size == 1:
        return np.broadcast_to(value.reshape(()), tiling.shape)
    if value.size == tiling.size:
        return value.reshape(tiling.shape)
    raise Inconsistent(f"neuron parameter {name!r} has {value.size} values for {tiling.size} neurons")


def synapse_fields(chain: Chain, tiling: Tiling, taken: set[str]) -> list[Field]:
    """The fields a chain adds to its destination's groups (arrays already taken are skipped)."""
    steps = chain.steps
    last = max((i for i, s in enumerate(steps) if s.role in _STRUCTURAL), default=-1)
    out = []
    # Steps folded into one matrix: their arrays are in it, but for the last step's own bias.
    folded = range(0)
    fold = _folded_dense(steps, last, tiling, taken)
    if fold is not None:
        fields, first = fold
        out += fields
        folded = range(first, last)
    for i, step in enumerate(steps):
        if i in folded:
            continue
        precision = getattr(step.node, "precision", None) or "fp32"
        for aname, value in arrays_of(step.node).items():
            if step.role in _KEPT and aname not in _KEPT[step.role]:
                continue
            if fold is not None and i == last and aname == "weight":
                continue
            if aname == "weight" and step.weight is not None:
                value = step.weight
            fname = field_name(step.name, aname)
            if fname in taken:
                continue
            taken.add(fname)
            if i < last:
                out.append(Field(fname, value, "whole", precision=precision))
            elif i == last and step.role == "dense":
                rows = (
                    value.reshape(tiling.shape + value.shape[1:])
                    if value.shape[:1] == (tiling.size,)
                    else None
                )
                out.append(_dense_field(fname, value, rows, precision))
            elif i == last and step.role == "conv":
                c, h, w = step.out_shape
                if value.shape[:1] != (c,):
                    out.append(Field(fname, value, "whole", precision=precision))
                else:
                    out.append(
                        Field(fname, value, "channels", channel_span=h * w, precision=precision, channels=c)
                    )
            else:
                out.append(_elementwise_field(fname, value, tiling, precision))
    return out


def _folded_dense(steps, last: int, tiling: Tiling, taken: set[str]):
    """Two or more dense steps in a row (Flatten between them allowed) that end the chain's
    structure, folded into one matrix, as (its fields, the index of the run's first step), or
    None where there is no such run or repeating the earlier steps' arrays whole on every
    group is no larger at this tiling's group size.

    Dense steps with no neuron between them compose into one linear map: a group needs the
    product's rows for its neurons (and the earlier biases carried through the later
    matrices), where keeping the steps apart needs every earlier matrix whole on every group.
    An exporter that feeds a recurrent layer's input through its recurrent weight (Spyx does)
    makes such a run: repeated whole, a 700 x 512 input matrix sat on each group of a
    512-neuron layer."""
    if last < 1 or steps[last].role != "dense" or steps[last].weight is None:
        return None
    first = last
    while first > 0 and steps[first - 1].role in ("dense", "flatten"):
        first -= 1
    while steps[first].role != "dense":
        first += 1
    run = [s for s in steps[first : last + 1] if s.role == "dense"]
    if len(run) < 2 or any(s.weight is None for s in run):
        return None
    if run[-1].weight.shape[0] != tiling.size:
        return None
    names = "_".join(s.name for s in run)
    wname, bname = field_name(names, "weight"), field_name(names, "bias")
    if wname in taken:
        return [], first
    # Elements added per group: folded rows, or the earlier arrays whole plus the last rows.
    largest = int(tiling.counts().max()) if tiling.groups else 0
    earlier = sum(
        value.size
        for s in run[:-1]
        for aname, value in arrays_of(s.node).items()
        if aname in _KEPT["dense"] and field_name(s.name, aname) not in taken
    )
    last_rows = 0 if field_name(run[-1].name, "weight") in taken else largest * run[-1].weight.shape[1]
    biased = int(any(_bias_of(s) is not None for s in run[:-1]))
    if largest * (run[0].weight.shape[1] + biased) >= earlier + last_rows:
        return None
    # The product, and the earlier biases carried through the later matrices (fp32: only the
    # shapes count for the budget, and the arrays stay in memory with the lowered model).
    weight = run[0].weight.astype(np.float32)
    bias = _bias_of(run[0])
    for s in run[1:]:
        w = s.weight.astype(np.float32)
        weight = w @ weight
        bias = None if bias is None else w @ bias
        own = _bias_of(s) if s is not run[-1] else None
        if own is not None:
            bias = own if bias is None else bias + own
    precision = getattr(run[-1].node, "precision", None) or "fp32"
    taken.add(wname)
    fields = [Field(wname, weight.reshape(tiling.shape + weight.shape[1:]), "neurons", precision=precision)]
    if bias is not None:
        taken.add(bname)
        fields.append(Field(bname, bias.reshape(tiling.shape), "neurons", precision=precision))
    return fields, first


def _bias_of(step) -> np.ndarray | None:
    bias = arrays_of(step.node).get("bias")
    return None if bias is None else np.asarray(bias, np.float32).reshape(-1)


def _dense_field(fname, value, rows, precision) -> Field:
    if rows is None:
        return Field(fname, value, "whole", precision=precision)
    return Field(fname, rows, "neurons", precision=precision)


def _elementwise_field(fname, value, tiling: Tiling, precision) -> Field:
    if value.size == tiling.size:
        return Field(fname, value.reshape(tiling.shape), "neurons", precision=precision)
    if len(tiling.shape) == 3 and value.size == tiling.shape[0]:
        return Field(fname, value.reshape(-1), "channels", precision=precision, channels=value.size)
    return Field(fname, value, "whole", precision=precision)


def field_name(step: str, array: str) -> str:
    name = re.sub(r"\W", "_", f"{step}_{array}")
    if not name.isidentifier() or name in STATE_FIELDS or name in ("core_id", "precision"):
        name = "w_" + name
    return name


def group_bytes(fields: list[Field], tiling: Tiling, precision_bytes) -> np.ndarray:
    """Bytes of every group as the SRAM budget counts them: weights at the group's precision,
    state at 4 bytes an element."""
    precision = group_precision(fields)
    per = precision_bytes(precision or "fp32")
    total = np.zeros(tiling.groups, dtype=np.int64)
    for f in fields:
        total += f.sizes(tiling) * (4 if f.precision is None else per)
    return total


def group_precision(fields: list[Field]) -> str | None:
    """The precision of the largest weight array (the one the budget applies to every weight)."""
    weights = [f for f in fields if f.precision is not None]
    if not weights:
        return None
    return max(weights, key=lambda f: f.array.size).precision


def kernel_copies(fields: list[Field], tiling: Tiling) -> int:
    weights = [f for f in fields if f.precision is not None and f.cut != "neurons"]
    return max((f.copies(tiling) for f in weights), default=1) if math.prod(tiling.shape) else 0
