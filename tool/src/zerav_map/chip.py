"""The target chip: a built-in default, a chip JSON file, and command-line overrides.

A chip file is one JSON object with any of the ``HardwareSpec`` members (the others keep the
default chip's values)::

    {"num_cores": 64, "nodes_per_core": 16, "core_mesh_topology": [8, 8],
     "sram_bytes_per_core": 524288, "max_feedback_delay": 4}

``core_mesh_topology`` is ``[rows, cols]`` or null for a chip without a mesh; a negative
``max_feedback_delay`` turns the feedback-delay check off. A ``"name"`` key is allowed, and
``"neurons_per_core"``: the neurons one core runs, which the lowering of a model into neuron
groups divides among the core's nodes. ``"nodes_per_core"`` is the number of nodes a core
holds; the back end's member for it is named ``max_neurons_per_core``, which a file may give
instead (its old name, with the same meaning). ``"cost"`` holds the energy and time figures
of the cost model (``cost/params.py``).
"""

from __future__ import annotations

import dataclasses
import json
import re
from typing import Any

from zerav.graph.constraints import HardwareSpec
from zerav_map.cost.params import CostParams, cost_params
from zerav_map.errors import FileProblem, InputError

# Fits the built-in example: 64 cores of 16 nodes and 512 KiB each on an 8 x 8 mesh.
DEFAULT_CHIP = dict(
    num_cores=64,
    max_neurons_per_core=16,
    core_mesh_topology=(8, 8),
    sram_bytes_per_core=512 * 1024,
    max_feedback_delay=4,
)

# Neurons one core runs: 16 nodes of 256 neurons on the default chip.
DEFAULT_NEURONS_PER_CORE = 4096

_MEMBERS = tuple(f.name for f in dataclasses.fields(HardwareSpec))
_SIZE = re.compile(r"^\s*(\d+)\s*(|b|k|kb|kib|m|mb|mib)\s*$", re.IGNORECASE)
_UNITS = {"": 1, "b": 1, "k": 1024, "kb": 1024, "kib": 1024, "m": 1 << 20, "mb": 1 << 20, "mib": 1 << 20}


@dataclasses.dataclass
class Chip:
    hw: HardwareSpec
    name: str = "default chip"
    neurons_per_core: int = DEFAULT_NEURONS_PER_CORE
    cost: CostParams = dataclasses.field(default_factory=CostParams)
    cost_given: tuple[str, ...] = ()  # the cost parameters the chip file sets

    def describe(self) -> str:
        s = self.hw
        mesh = s.core_mesh_topology
        where = f"({mesh[0]}x{mesh[1]} mesh)" if mesh is not None else "(no mesh)"
        delay = (
            f"feedback edges <= {s.max_feedback_delay} hops"
            if s.max_feedback_delay >= 0
            else "no feedback-delay limit"
        )
        return (
            f"{s.num_cores} cores {where}, {self.neurons_per_core} neurons and "
            f"{s.max_neurons_per_core} nodes per core, "
            f"{format_bytes(s.sram_bytes_per_core)} SRAM per core, {delay}"
        )


def format_bytes(n: int) -> str:
    if n >= 1 << 20 and n % (1 << 20) == 0:
        return f"{n >> 20} MiB"
    if n >= 1024 and n % 1024 == 0:
        return f"{n >> 10} KiB"
    if n >= 1024:
        return f"{n / 1024:.1f} KiB"
    return f"{n} B"


def parse_size(text: str) -> int:
    """Bytes from ``262144``, ``256K``, ``256KiB`` or ``1M`` (K and M are powers of 1024)."""
    m = _SIZE.match(text)
    if not m:
        raise ValueError(f"not a size in bytes: {text!r} (examples: 262144, 256K, 1MiB)")
    return int(m.group(1)) * _UNITS[m.group(2).lower()]


def parse_mesh(text: str):
    """``8x8`` -> (8, 8); ``none`` -> None."""
    if text.strip().lower() == "none":
        return None
    m = re.fullmatch(r"\s*(\d+)\s*[xX*]\s*(\d+)\s*", text)
    if not m:
        raise ValueError(f"not a mesh: {text!r} (expected ROWSxCOLS, e.g. 8x8, or none)")
    return int(m.group(1)), int(m.group(2))


def load_chip_file(path: str) -> dict[str, Any]:
    """The members a chip file sets, plus its name under "name"."""
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except OSError as e:
        raise FileProblem(path, f"cannot read the chip file: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise FileProblem(path, "not a chip file: the file is not UTF-8 text") from None
    except json.JSONDecodeError as e:
        raise FileProblem(path, f"not valid JSON: {e.msg} (line {e.lineno}, column {e.colno})") from None
    if not isinstance(doc, dict):
        raise FileProblem(path, "a chip file is a JSON object of HardwareSpec members")
    out: dict[str, Any] = {}
    if "nodes_per_core" in doc and "max_neurons_per_core" in doc:
        raise FileProblem(
            path, '"nodes_per_core" and "max_neurons_per_core" name the same member: give one of them'
        )
    for given, value in doc.items():
        key = given
        if key == "nodes_per_core":
            key = "max_neurons_per_core"
        if key == "neurons_per_core":
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise FileProblem(
                    path, f"'neurons_per_core' must be a positive integer, got {json.dumps(value)}"
                )
            out[key] = value
        elif key == "cost":
            try:
                out["cost"] = cost_params(value)
            except ValueError as e:
                raise FileProblem(path, str(e)) from None
        elif key == "name":
            if not isinstance(value, str):
                raise FileProblem(path, '"name" must be a string')
            out["name"] = value
        elif key == "core_mesh_topology":
            if value is not None and not (isinstance(value, list) and len(value) == 2):
                raise FileProblem(path, '"core_mesh_topology" must be [rows, cols] or null')
            out[key] = tuple(value) if value is not None else None
        elif key in _MEMBERS:
            if isinstance(value, bool) or not isinstance(value, int):
                raise FileProblem(path, f"{given!r} must be an integer, got {json.dumps(value)}")
            out[key] = value
        else:
            raise FileProblem(
                path,
                f"unknown chip member {key!r} (expected one of {', '.join(_MEMBERS)}, nodes_per_core, "
                "neurons_per_core, cost)",
            )
    return out


def make_chip(chip_file: str | None, overrides: dict[str, Any]) -> Chip:
    """The default chip, updated by the chip file and then by ``overrides`` (the members given
    on the command line, ``neurons_per_core`` included; only those present are changed)."""
    members: dict[str, Any] = dict(DEFAULT_CHIP)
    name = "default chip"
    neurons = DEFAULT_NEURONS_PER_CORE
    cost, cost_given = CostParams(), ()
    if chip_file is not None:
        from_file = load_chip_file(chip_file)
        name = from_file.pop("name", chip_file)
        cost, cost_given = from_file.pop("cost", (cost, cost_given))
        neurons = from_file.pop("neurons_per_core", neurons)
        members.update(from_file)
    if overrides:
        overrides = dict(overrides)
        neurons = overrides.pop("neurons_per_core", neurons)
        members.update(overrides)
        if chip_file is None:
            name = "default chip with overrides"
    hw = HardwareSpec(**members)
    try:
        hw.validate()
    except ValueError as e:
        where = f"{chip_file}: " if chip_file is not None else ""
        raise InputError(f"{where}the chip is not consistent: {e}") from None
    if isinstance(neurons, bool) or not isinstance(neurons, int) or neurons < 1:
        raise InputError(f"neurons per core must be at least 1, got {neurons!r}")
    return Chip(hw=hw, name=name, neurons_per_core=neurons, cost=cost, cost_given=cost_given)


def with_nodes_per_core(chip: Chip, nodes: int) -> Chip:
    """The same chip with another number of nodes per core (a derived one)."""
    return dataclasses.replace(chip, hw=dataclasses.replace(chip.hw, max_neurons_per_core=nodes))
