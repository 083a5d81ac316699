// The order in which the greedy fill visits the nodes: the library's topological order for a
// DAG; for a cyclic graph the SCCs in the library's order, stably sorted longest first, members
// in the library's order. Each name is visited once (as in `greedy`, tests/partition/reference.py).
#pragma once

#include "zerav/graph/partition/working_graph.hpp"

namespace zerav::partition {

struct VisitingOrder {
    bool is_dag = true;
    std::vector<int32_t> vertices;  // one vertex per distinct name, in visiting order
    std::vector<int32_t> scc_of;    // cyclic graph: vertex -> SCC of its name; empty for a DAG
    int32_t scc_count = 0;
};

VisitingOrder visiting_order(PyObject* rx, PyObject* rx_graph, const WorkingGraph& wg);

}  // namespace zerav::partition
