// Docstrings of the placement module, its record and its function.
#pragma once

namespace zerav::placement::docs {

inline constexpr const char* module =
    "Core placement optimization on physical hardware mesh.\n"
    "\n"
    "Minimizes total spike-hop distance by placing heavily-communicating cores\n"
    "near each other on the physical mesh. Uses RustworkX for shortest-path\n"
    "computations.\n";

inline constexpr const char* result =
    "Result of core placement optimization.\n"
    "\n"
    "Attributes:\n"
    "    logical_to_physical: Maps logical core_id to physical mesh position (row, col).\n"
    "    total_hop_distance: Total spike-hop distance after placement.\n"
    "    improvement: Percentage improvement over identity placement.\n";

inline constexpr const char* place =
    "place(graph: ir.Graph, hw_spec: HardwareSpec) -> PlacementResult\n"
    "\n"
    "Optimize core placement on physical mesh.\n"
    "\n"
    "Uses a greedy approach: place the most-communicating core pair\n"
    "adjacent on the mesh, then expand outward.\n"
    "\n"
    "Args:\n"
    "    graph: Partitioned ZERAV IR Graph with partition_metadata.\n"
    "    hw_spec: Hardware constraints with core_mesh_topology.\n"
    "\n"
    "Returns:\n"
    "    PlacementResult with logical-to-physical core mapping.\n"
    "\n"
    "Raises:\n"
    "    None.";

}  // namespace zerav::placement::docs
