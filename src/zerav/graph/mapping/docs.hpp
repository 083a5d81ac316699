// Docstrings of the mapping module and its function.
#pragma once

namespace zerav::mapping::docs {

inline constexpr const char* module =
    "Joint partitioning and placement of a graph onto the core mesh.\n"
    "\n"
    "One call decides both which core runs each node and where that core sits:\n"
    "core ids are mesh cells (row * cols + col). Capacity, core count and\n"
    "feedback delay are hard constraints (SRAM too, on request); then the\n"
    "multicast spike traffic on the mesh is minimised.\n";

inline constexpr const char* map_graph =
    "map_graph(graph: ir.Graph, hw_spec: HardwareSpec, seed: int = 0, sram: bool = False, "
    "rates: Mapping[str, float] | None = None) -> PlacementResult\n"
    "\n"
    "Map a ZERAV IR graph onto the chip: partition and placement together.\n"
    "\n"
    "Multilevel: strongly connected components that fit a core stay whole,\n"
    "heavy-edge matching coarsens the graph and its nets (one per source node:\n"
    "the source and its targets), recursive bisection aligned with the mesh maps\n"
    "the coarsest graph, moves of nodes refine every level, and last whole cores\n"
    "move over the mesh, all under hard capacity limits.\n"
    "\n"
    "After the hard constraints (capacity, core count, feedback delay, SRAM on\n"
    "request) the multicast traffic is minimised: over the source nodes, the\n"
    "rate times the links of the multicast tree from the source's core to the\n"
    "distinct cores of its targets, the union of the routes along the source's\n"
    "row to each target's column, then along that column. Rates count in steps\n"
    "of 1/16 of the mean rate of the nodes that fire (the highest at most 8 times\n"
    "that mean; a rate above 0 is at least one step). Node moves then prefer\n"
    "fewer cut edges; the placement of the cores weighs an edge hop between\n"
    "cores as 1/16 of a tree link at the mean rate and, on small\n"
    "meshes, the busiest directed link's load as much as a link. Last, nodes move\n"
    "off the busiest directed link under multicast while it drops and the\n"
    "traffic grows by at most 2 %.\n"
    "\n"
    "Args:\n"
    "    graph: ZERAV IR Graph object.\n"
    "    hw_spec: Hardware constraints.\n"
    "    seed: Seed of the randomised choices; the same seed gives the same mapping.\n"
    "    sram: Also keep every core within sram_bytes_per_core, counted as allocate counts.\n"
    "    rates: Firing rate of each node by name, a finite number >= 0, read with get; a\n"
    "        node it lacks (every node when None) fires at rate 1.\n"
    "\n"
    "Returns:\n"
    "    PlacementResult of the cores used, each at its own cell. core_id is set on each\n"
    "    node that has the attribute and partition_metadata on the graph, as partition\n"
    "    sets them, with the algorithm \"mapping\"; allocate runs on them unchanged, while\n"
    "    place run on them lays the cores out anew and leaves out the ids >= num_cores_used\n"
    "    other than its seed pair. metrics[\"multicast_traffic\"] is the spike traffic on\n"
    "    the mesh: over the source nodes, the rate times the links of the multicast tree\n"
    "    from the source's core to the distinct cores of its targets, the union of the\n"
    "    routes along the source's row to each target's column, then along that column\n"
    "    (an int without rates, a float with them; 0 without a mesh).\n"
    "\n"
    "Raises:\n"
    "    MappingError: If a constraint cannot be met; the message says which and by how much.\n"
    "    ValueError: If num_cores, max_neurons_per_core, a mesh dimension or (with sram)\n"
    "        sram_bytes_per_core is negative.";

inline constexpr const char* mapping_error =
    "A constraint the mapping cannot meet (a ValueError).\n"
    "\n"
    "Attributes:\n"
    "    constraint: \"capacity\", \"sram\" or \"delay\".\n"
    "    proven: True when no mapping can meet it (a bound checked before the search),\n"
    "        False when the search found none.\n"
    "    unit: What needed and available count: \"cores\", \"compute nodes\", \"bytes\" or \"hops\".\n"
    "    needed: What the graph needs (for a failed search, what the best mapping found\n"
    "        needs), or None where the search gave up without a measure.\n"
    "    available: What the chip offers (for the delay, max_feedback_delay).";

inline constexpr const char* check_feedback_delay =
    "check_feedback_delay(feedback_edges: List[Tuple[str, str]], assignments: Dict[str, int], "
    "hw_spec: HardwareSpec) -> List[Tuple[str, str, int, int]]\n"
    "\n"
    "The feedback edges of an assignment that span more hops than max_feedback_delay.\n"
    "\n"
    "The check partition() makes on a partitioner's result: core c sits at its row-major\n"
    "home (c // cols, c % cols) of the mesh, and without a mesh a cross-core edge spans\n"
    "one hop. feedback_edges must be a list and assignments a dict.\n"
    "\n"
    "Returns:\n"
    "    List of (src, dst, hops, limit) tuples for violated edges, in the order of\n"
    "    feedback_edges.";

inline constexpr const char* map_graph_with_config =
    "_map_graph_with_config(graph: ir.Graph, hw_spec: HardwareSpec, config: dict[str, int | float], "
    "seed: int = 0, sram: bool = False, rates: Mapping[str, float] | None = None) -> "
    "tuple[PlacementResult, dict[str, int]]\n"
    "\n"
    "map_graph with some tuning of the mapping set (for tests and benchmarks; not a public\n"
    "interface). config maps \"section.field\" names of the mapping's settings (for example\n"
    "\"coarsening.flat_size\") to values. Returns the placement and what the mapping did:\n"
    "\"levels\", the coarsening levels it went through, and \"checks\", the checks of its\n"
    "bookkeeping that passed (0 in a release build, which compiles them out).";

}  // namespace zerav::mapping::docs
