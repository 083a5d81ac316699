// The answer handed back to the host: the partition metadata (as partition writes it), the
// core ids written onto the nodes, and the PlacementResult.
#pragma once

#include "zerav/graph/mapping/host_input.hpp"

namespace zerav::mapping {

// Everything the call returns or writes, built before anything is written.
struct Answer {
    Ref assignments, cross, feedback, metrics, placement;
    std::vector<Ref> node_cores;  // node i's core id object, as written to its `core_id`
    int64_t cores_used = 0;
};

Answer build_answer(PyObject* module, const HostGraph& graph, const Problem& problem, const Mapping& mapping);

// Writes `core_id` on every node that has the attribute (all or nothing: a failed write
// restores the ones made), then stores `partition_metadata` on the graph.
void write_answer(PyObject* graph_obj, const HostGraph& graph, const Answer& answer);

// Throws Infeasible when some core holds more bytes than allocate would accept, counted
// exactly as allocate counts them (node bytes plus 8 per incoming cross-core edge).
void check_sram(const HostGraph& graph, const Problem& problem, const Mapping& mapping);

}  // namespace zerav::mapping
