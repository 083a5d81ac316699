// Docstrings of the resource module, its records and its functions.
#pragma once

namespace zerav::resource::docs {

inline constexpr const char* module = "Resource allocation and budget checking for partitioned graphs.";

inline constexpr const char* core_budget = "Resource usage for a single core.";

inline constexpr const char* resource_map = "Per-core resource allocation for the entire graph.";

inline constexpr const char* precision_to_bytes =
    "_precision_to_bytes(str precision: str) -> int\n"
    "\n"
    "Convert precision string to bytes per element.";

inline constexpr const char* allocate =
    "allocate(graph: ir.Graph, hw_spec: HardwareSpec) -> ResourceMap\n"
    "\n"
    "Compute resource allocation for a partitioned graph.\n"
    "\n"
    "Analyzes each node's memory requirements and aggregates per core.\n"
    "\n"
    "Args:\n"
    "    graph: Partitioned ZERAV IR Graph (nodes must have core_id set).\n"
    "    hw_spec: Hardware constraints.\n"
    "\n"
    "Returns:\n"
    "    ResourceMap with per-core budgets and violation info.";

}  // namespace zerav::resource::docs
