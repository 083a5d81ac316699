"""Core placement optimization on physical hardware mesh (native module)."""

from dataclasses import dataclass, field

from zerav import ir
from zerav.graph.constraints import HardwareSpec

@dataclass
class PlacementResult:
    logical_to_physical: dict[int, tuple[int, int]] = field(default_factory=dict)
    total_hop_distance: int = 0
    improvement: float = 0.0

def place(graph: ir.Graph, hw_spec: HardwareSpec) -> PlacementResult: ...
