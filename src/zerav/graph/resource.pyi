"""Resource allocation and budget checking for partitioned graphs."""

from dataclasses import dataclass, field

from zerav import ir

from .constraints import HardwareSpec

@dataclass
class CoreBudget:
    """Resource usage for a single core."""

    core_id: int = 0
    neuron_count: int = 0
    weight_bytes: int = 0
    state_bytes: int = 0
    routing_bytes: int = 0
    total_bytes: int = 0
    utilization: float = 0.0

@dataclass
class ResourceMap:
    """Per-core resource allocation for the entire graph."""

    budgets: dict[int, CoreBudget] = field(default_factory=dict)
    total_weight_bytes: int = 0
    total_state_bytes: int = 0
    peak_core_utilization: float = 0.0
    fits_hardware: bool = True
    violations: list[int] = field(default_factory=list)

_STATE_ATTRS: set[str]

def _precision_to_bytes(precision: str) -> int:
    """Convert precision string to bytes per element."""

def allocate(graph: ir.Graph, hw_spec: HardwareSpec) -> ResourceMap:
    """Compute resource allocation for a partitioned graph."""
