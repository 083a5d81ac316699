"""Joint partitioning and placement of a graph onto the core mesh (native module)."""

from collections.abc import Mapping
from typing import Literal

from zerav import ir
from zerav.graph.constraints import HardwareSpec
from zerav.graph.placement import PlacementResult

class MappingError(ValueError):
    constraint: Literal["capacity", "sram", "delay"]
    proven: bool
    unit: Literal["cores", "compute nodes", "bytes", "hops"]
    needed: int | None
    available: int

def map_graph(
    graph: ir.Graph,
    hw_spec: HardwareSpec,
    seed: int = 0,
    sram: bool = False,
    rates: Mapping[str, float] | None = None,
) -> PlacementResult: ...
def check_feedback_delay(
    feedback_edges: list[tuple[str, str]], assignments: dict[str, int], hw_spec: HardwareSpec
) -> list[tuple[str, str, int, int]]: ...
