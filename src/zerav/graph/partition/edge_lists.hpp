// The second pass over `graph.edges` shared by the partitioners: the cross-core edges (both
// names assigned, cores differ) and, in a cyclic graph, the feedback edges among them (both
// names in one SCC).
#pragma once

#include "zerav/graph/partition/working_graph.hpp"

#include <span>

namespace zerav::partition {

struct EdgeLists {
    bind::Ref cross;     // list of (src, dst)
    bind::Ref feedback;  // list of (src, dst); empty when no SCCs are given

    Py_ssize_t cross_count() const { return PyList_GET_SIZE(cross.get()); }
    Py_ssize_t feedback_count() const { return PyList_GET_SIZE(feedback.get()); }
};

// `core_of[v]` is the core assigned to the name of vertex v (read at canonical vertices), or
// negative when that name has no assignment;
// `scc_of[v]`, when not empty, the SCC of the name of vertex v (-1: in none, so never a feedback edge).
EdgeLists cut_edges(PyObject* graph, const WorkingGraph& wg, std::span<const int64_t> core_of,
                    std::span<const int32_t> scc_of);

// "cut_ratio": the cross-core edges over max(len(graph.edges), 1), a float.
bind::Ref cut_ratio(PyObject* graph, const EdgeLists& lists);

}  // namespace zerav::partition
