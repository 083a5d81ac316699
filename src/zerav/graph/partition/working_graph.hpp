// The compact working graph of one partitioner call: vertices 0..V-1 in the iteration order of
// `graph.nodes`, edges between known names in the order of `graph.edges`, and the rustworkx
// graph built from it for the orders the library decides (topological order, SCCs).
#pragma once

#include "bind/name_index.hpp"

#include <cstdint>
#include <vector>

namespace zerav::partition {

struct WorkingGraph {
    std::vector<bind::Ref> names;         // vertex -> name, the object graph.nodes yielded
    bind::NameIndex index;                // name -> vertex (an equal name yielded again maps to the later vertex)
    std::vector<int32_t> edge_src;        // edges whose two names are nodes, in graph.edges order
    std::vector<int32_t> edge_dst;

    int32_t vertex_count() const { return static_cast<int32_t>(names.size()); }
    // The vertex that a lookup of vertex v's name finds (v itself unless the name repeats).
    int32_t canonical(int32_t v) const { return index.find(names[v].get()); }
};

// Reads `graph.nodes` (its names, in order) and `graph.edges` (pairs, in order; edges naming an
// unknown node are left out), each in one pass.
WorkingGraph read_working_graph(PyObject* graph);

// Vertices in canonical form: every vertex whose name is also the name of a later vertex is
// mapped to that later one. Empty when all names are distinct (the common case).
std::vector<int32_t> canonical_map(const WorkingGraph& wg);

// The rustworkx PyDiGraph of the working graph: one vertex per name (payload the name), one
// edge per kept edge (no payload), built with one call for the nodes and one for the edges.
bind::Ref build_rx_graph(PyObject* rx, const WorkingGraph& wg);

// Strongly connected components in the library's order, members in the library's order.
struct Components {
    std::vector<int32_t> members;  // all members, component after component
    std::vector<int32_t> start;    // component k is members[start[k] .. start[k+1])
    int32_t count() const { return static_cast<int32_t>(start.size()) - 1; }
};

bool rx_is_dag(PyObject* rx, PyObject* rx_graph);
std::vector<int32_t> rx_topological_order(PyObject* rx, PyObject* rx_graph);
Components rx_strongly_connected(PyObject* rx, PyObject* rx_graph);

}  // namespace zerav::partition
