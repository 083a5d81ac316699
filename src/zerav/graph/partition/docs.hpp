// Docstrings of the partition module, its record and its functions.
#pragma once

namespace zerav::partition::docs {

inline constexpr const char* module =
    "Graph partitioning algorithms for hardware core mapping.\n"
    "\n"
    "All algorithms use RustworkX for O(V+E) graph traversal. Never O(V*E) or O(V^2).\n"
    "\n"
    "For cyclic graphs, SCCs are detected first and co-located on the same core\n"
    "when possible. Cross-core feedback edges are marked as delayed.\n"
    "\n"
    "Supported algorithms:\n"
    "    - edgemap: Two-stage EdgeMap (partition then optimize). Best quality.\n"
    "    - spectral: Spectral bisection via scipy eigsh. Good for balanced cuts.\n"
    "    - greedy: Fast greedy assignment. O(V+E). Good baseline.\n";

inline constexpr const char* result =
    "Result of graph partitioning.\n"
    "\n"
    "Attributes:\n"
    "    assignments: Dict mapping node name to core_id.\n"
    "    num_cores_used: Number of cores with at least one node.\n"
    "    cross_core_edges: List of edges that cross core boundaries.\n"
    "    feedback_edges: List of feedback edges in cyclic graphs (cross-core).\n"
    "    metrics: Dict with partition quality metrics (cut size, balance, etc.).\n";

inline constexpr const char* partition =
    "partition(graph: ir.Graph, hw_spec: HardwareSpec, str algorithm: str = 'greedy') -> ir.Graph\n"
    "\n"
    "Partition a ZERAV IR graph for hardware deployment.\n"
    "\n"
    "Auto-detects DAG vs cyclic topology. For cyclic graphs, identifies SCCs\n"
    "and co-locates them on the same core when possible.\n"
    "\n"
    "Args:\n"
    "    graph: ZERAV IR Graph object.\n"
    "    hw_spec: Hardware constraints from backend.get_constraints().\n"
    "    algorithm: One of \"edgemap\", \"spectral\", or \"greedy\".\n"
    "\n"
    "Returns:\n"
    "    The same graph with core_id set on each node and partition_metadata\n"
    "    populated on the graph.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If graph cannot fit within hardware constraints.";

inline constexpr const char* check_feedback_delay =
    "_check_feedback_delay(list feedback_edges: List[Tuple[str, str]], dict assignments: Dict[str, int], "
    "hw_spec: HardwareSpec) -> List[Tuple[str, str, int, int]]\n"
    "\n"
    "Validate that feedback edge hop counts respect ``max_feedback_delay``.\n"
    "\n"
    "When a mesh topology is set, the hop count is the Manhattan distance\n"
    "between the source and destination cores on the mesh.  Without a mesh,\n"
    "any cross-core edge is counted as 1 hop.\n"
    "\n"
    "Returns:\n"
    "    List of (src, dst, hops, limit) tuples for violated edges.";

inline constexpr const char* greedy =
    "partition_greedy(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult\n"
    "\n"
    "Fast greedy partitioning. O(V+E).\n"
    "\n"
    "Assigns nodes to cores in topological order (DAG) or BFS order (cyclic),\n"
    "filling each core until the neuron limit is reached.\n"
    "\n"
    "For cyclic graphs, SCCs are identified first and treated as atomic units\n"
    "that must be assigned to the same core.\n"
    "\n"
    "Args:\n"
    "    graph: ZERAV IR Graph object.\n"
    "    hw_spec: Hardware constraints.\n"
    "\n"
    "Returns:\n"
    "    PartitionResult with core assignments.";

inline constexpr const char* edgemap =
    "partition_edgemap(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult\n"
    "\n"
    "Two-stage EdgeMap partitioning.\n"
    "\n"
    "Stage 1: Streaming partition into neuron clusters constrained by core capacity.\n"
    "Stage 2: Multi-objective optimization minimizing energy + communication cost.\n"
    "\n"
    "Reference: EdgeMap (OpenReview, 2023) -- up to 19.8% latency reduction,\n"
    "57% energy reduction over baselines.\n"
    "\n"
    "Args:\n"
    "    graph: ZERAV IR Graph object.\n"
    "    hw_spec: Hardware constraints.\n"
    "\n"
    "Returns:\n"
    "    PartitionResult with optimized core assignments.";

inline constexpr const char* spectral =
    "partition_spectral(graph: ir.Graph, hw_spec: HardwareSpec) -> PartitionResult\n"
    "\n"
    "Spectral bisection partitioning.\n"
    "\n"
    "Uses the Fiedler vector (eigenvector of the second-smallest eigenvalue of\n"
    "the graph Laplacian) for balanced bisection. Recursively bisects until\n"
    "each partition fits within hardware constraints.\n"
    "\n"
    "Complexity: O(V + E + k*V) where k = number of partitions.\n"
    "\n"
    "Args:\n"
    "    graph: ZERAV IR Graph object.\n"
    "    hw_spec: Hardware constraints.\n"
    "\n"
    "Returns:\n"
    "    PartitionResult with spectral core assignments.";

}  // namespace zerav::partition::docs
