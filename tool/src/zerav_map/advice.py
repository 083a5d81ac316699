"""Why a model does not fit, with the numbers, and the smallest chip change that fits.

The bounds come from the model alone: compute nodes over nodes per core, bytes over SRAM per
core, the largest node against one core's SRAM, the most neurons in one node against one
core's neurons. The change proposed is checked by mapping again with it (``retry``); an
unchecked change is called a hint.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable

from zerav_map.chip import Chip, format_bytes
from zerav_map.mapping import Outcome, node_bytes
from zerav_map.models import Model

# How many larger chips are tried before the tool gives up proposing one.
_TRIES = 3


@dataclasses.dataclass
class Advice:
    constraint: str  # "cores", "sram", "neurons", "feedback-delay", "mapping"
    reason: str  # the binding constraint in one sentence, with its numbers
    change: str | None = None  # command-line flags that make it fit
    checked: bool = False  # the change was tried and the model fits with it

    def lines(self) -> list[str]:
        out = [f"Binding constraint ({self.constraint}): {self.reason}"]
        if self.change and self.checked:
            out.append(f"Change that fits: {self.change} (checked: the model fits with it)")
        elif self.change:
            out.append(f"Change to try: {self.change} (not checked)")
        else:
            out.append("No chip change within reach was found that fits.")
        return out


# retry(changed chip members, algorithm) -> whether the model then fits.
Retry = Callable[[dict, str], bool]


def grown_mesh(mesh: tuple[int, int], cores: int) -> tuple[int, int]:
    """The mesh doubled along its shorter side (columns first) until it has ``cores`` cells."""
    rows, cols = mesh
    while rows * cols < cores:
        if cols <= rows:
            cols *= 2
        else:
            rows *= 2
    return rows, cols


def _of_layer(name: str) -> str:
    """ " (layer 'lif1')" for a group 'lif1#3' of a lowered model; nothing for a plain node."""
    return f" (layer {name.split('#', 1)[0]!r})" if "#" in name else ""


def advise(model: Model, chip: Chip, outcome: Outcome, retry: Retry) -> Advice:
    hw = chip.hw
    sizes = node_bytes(model, hw)
    neurons = model.neurons or {}

    big = {n: b for n, b in sizes.items() if b > hw.sram_bytes_per_core}
    if big:
        name = max(big, key=big.get)
        need = big[name]
        reason = (
            f"node {name!r}{_of_layer(name)} needs {format_bytes(need)} of SRAM on its own, "
            f"a core has {format_bytes(hw.sram_bytes_per_core)}"
            + (f"; {len(big)} nodes are larger than a core" if len(big) > 1 else "")
        )
        sram = 1 << max(need - 1, 1).bit_length()
        base = ({"sram_bytes_per_core": sram}, f"--sram {_size_flag(sram)}")
        if retry(base[0], outcome.algorithm):
            return Advice("sram", reason, base[1], checked=True)
        return _more_cores(Advice("sram", reason), hw.num_cores + 1, hw, outcome, retry, base)

    crowded = {n: k for n, k in neurons.items() if k > chip.neurons_per_core}
    if crowded:
        name = max(crowded, key=crowded.get)
        reason = f"node {name!r} holds {crowded[name]:,} neurons, a core runs {chip.neurons_per_core:,}"
        if model.lowering is None and model.format == "nir":
            return Advice("neurons", reason, "leave out --no-lower, so the layer is cut into groups")
        return Advice("neurons", reason, "--lower, so the layer is cut into groups")

    compute = len(sizes)
    by_nodes = math.ceil(compute / hw.max_neurons_per_core)
    total = sum(sizes.values())
    by_sram = math.ceil(total / hw.sram_bytes_per_core) if hw.sram_bytes_per_core else 0
    need = max(by_nodes, by_sram, 1)
    mesh = hw.core_mesh_topology
    where = f" ({mesh[0]}x{mesh[1]} mesh)" if mesh else ""
    if need > hw.num_cores:
        if by_nodes >= by_sram:
            why = f"{compute:,} compute nodes at {hw.max_neurons_per_core} per core"
        else:
            why = f"{format_bytes(total)} of SRAM at {format_bytes(hw.sram_bytes_per_core)} per core"
        reason = f"the model needs at least {need:,} cores ({why}{_largest_layer(model)}), the chip has {hw.num_cores}{where}"
        return _more_cores(Advice("cores", reason), need, hw, outcome, retry)

    first = outcome.problems[0] if outcome.problems else None
    kind = first.kind if first else "mapping"
    said = first.message if first else "no mapping"
    if kind == "feedback-delay" and hw.max_feedback_delay >= 0:
        advice = Advice("feedback-delay", f"{outcome.algorithm}: {said}")
        limit = max(1, hw.max_feedback_delay)
        for _ in range(_TRIES):
            limit *= 2
            if retry({"max_feedback_delay": limit}, outcome.algorithm):
                return dataclasses.replace(advice, change=f"--feedback-delay {limit}", checked=True)
        return _more_cores(advice, hw.num_cores + 1, hw, outcome, retry)
    reason = (
        f"{outcome.algorithm} found no mapping on {hw.num_cores} cores{where}, although by node "
        f"count and SRAM {need:,} could hold the model ({said})"
    )
    if outcome.algorithm != "mapping" and retry({}, "mapping"):
        return Advice(kind, reason, "-a mapping", checked=True)
    return _more_cores(Advice(kind, reason), hw.num_cores + 1, hw, outcome, retry)


def _largest_layer(model: Model) -> str:
    low = model.lowering
    if low is None or not low.layers:
        return ""
    row = max(low.layers, key=lambda r: r.groups)
    return f"; layer {row.name!r} alone has {row.groups:,} groups of {row.group_size}"


def _more_cores(advice: Advice, need: int, hw, outcome: Outcome, retry: Retry, base=({}, "")) -> Advice:
    """The advice with the first chip of at least ``need`` cores (doubling after each miss)
    that fits, with the change ``base`` (members, flags) made too."""
    mesh = hw.core_mesh_topology
    cores = need
    for _ in range(_TRIES):
        changed: dict = dict(base[0])
        if mesh is not None and mesh[0] * mesh[1] < cores:
            mesh = grown_mesh(mesh, cores)
            cores = mesh[0] * mesh[1]
            changed["core_mesh_topology"] = mesh
            flags = f"--cores {cores} --mesh {mesh[0]}x{mesh[1]}"
        else:
            flags = f"--cores {cores}"
        changed["num_cores"] = cores
        if retry(changed, outcome.algorithm):
            return dataclasses.replace(advice, change=" ".join(filter(None, (base[1], flags))), checked=True)
        cores *= 2
    return advice


def _size_flag(n: int) -> str:
    if n % (1 << 20) == 0:
        return f"{n >> 20}M"
    if n % 1024 == 0:
        return f"{n >> 10}K"
    return str(n)
