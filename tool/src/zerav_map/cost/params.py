"""The energy and time figures of the chip's routers, links and synapses.

The defaults are Intel Loihi's (Davies et al., "Loihi: A Neuromorphic Manycore Processor with
On-Chip Learning", IEEE Micro 38(1), 2018, Table 2: pre-silicon SDF and SPICE figures that the
paper calls consistent with early post-silicon characterisation). A chip file sets any of them
under ``"cost"``; the report names the ones left at their default.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any


@dataclasses.dataclass(frozen=True)
class CostParams:
    # A spike passing one router (Loihi: "within-tile spike energy").
    router_energy_pj: float = 1.7
    # A spike crossing one link along a row / along a column ("energy per tile hop", E-W / N-S).
    link_energy_x_pj: float = 3.0
    link_energy_y_pj: float = 4.0
    # The extra energy of a neuron update that fires over one that does not (81 - 52 pJ).
    spike_energy_pj: float = 29.0
    # One synaptic operation: a spike reaching one synapse ("energy per synaptic spike op", min).
    synaptic_event_energy_pj: float = 23.6
    # Time of one hop along a row / along a column ("latency per tile hop", E-W / N-S).
    link_latency_x_ns: float = 4.1
    link_latency_y_ns: float = 6.5
    # Spikes one link carries per nanosecond ("cross-sectional spike bandwidth per tile",
    # 3.44 Gspike/s).
    link_bandwidth_spikes_per_ns: float = 3.44


FIELDS = tuple(f.name for f in dataclasses.fields(CostParams))
SOURCE = "Intel Loihi (Davies et al., IEEE Micro 2018, Table 2)"


def cost_params(given: Any) -> tuple[CostParams, tuple[str, ...]]:
    """The parameters a chip file's ``"cost"`` object sets over the defaults, and the names of
    those it sets. Raises ``ValueError`` naming a member that is unknown or not a positive
    number (a bandwidth) or a non-negative one (the rest)."""
    if given is None:
        return CostParams(), ()
    if not isinstance(given, dict):
        raise ValueError('"cost" must be an object of cost parameters')
    for key, value in given.items():
        if key not in FIELDS:
            raise ValueError(f"unknown cost parameter {key!r} (expected one of {', '.join(FIELDS)})")
        number = not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)
        positive = key == "link_bandwidth_spikes_per_ns"
        if not number or value < 0 or (positive and value == 0):
            need = "a positive number" if positive else "a number >= 0"
            raise ValueError(f"cost parameter {key!r} must be {need}, got {value!r}")
    return CostParams(**{k: float(v) for k, v in given.items()}), tuple(given)
