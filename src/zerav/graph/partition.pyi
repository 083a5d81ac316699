"""Graph partitioning algorithms for hardware core mapping (native module)."""

from dataclasses import dataclass, field
from typing import Any

from zerav import ir
from zerav.graph.constraints import HardwareSpec

@dataclass
class PartitionResult:
    assignments: dict[str, int] = field(default_factory=dict)
    num_cores_used: int = 0
    cross_core_edges: list[tuple[str, str]] = field(default_factory=list)
    feedback_edges: list[tuple[str, str]] = field(default_factory=list)
    metrics: dict[str, Any] = field(default_factory=dict)

def partition(graph: ir.Graph, hw_spec: HardwareSpec, algorithm: str = "greedy") -> ir.Graph: ...
def _check_feedback_delay(
    feedback_edges: list[tuple[str, str]], assignments: dict[str, int], hw_spec: HardwareSpec
) -> list[tuple[str, str, int, int]]: ...
def partition_greedy(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult: ...
def partition_edgemap(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult: ...
def partition_spectral(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult: ...
