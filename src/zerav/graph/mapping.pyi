"""Joint partitioning and placement of a graph onto the core mesh (native module)."""

from zerav import ir
from zerav.graph.constraints import HardwareSpec
from zerav.graph.placement import PlacementResult

def map_graph(
    graph: ir.Graph, hw_spec: HardwareSpec, seed: int = 0, sram: bool = False
) -> PlacementResult: ...
