// The compact working graph of one partitioner call: vertices 0..V-1 in the iteration order of
// `graph.nodes`, edges between known names in the order of `graph.edges`, and the rustworkx
// graph built from it for the orders the library decides (topological order, SCCs).
#pragma once

#include "bind/dict_watch.hpp"
#include "bind/name_index.hpp"
#include "bind/pairs.hpp"

#include <memory>

#include <cstdint>
#include <vector>

namespace zerav::partition {

struct WorkingGraph {
    std::vector<bind::Ref> names;   // vertex -> name, the object graph.nodes yielded
    bind::NameIndex index;          // name -> vertex (an equal name yielded again maps to the later vertex)
    std::vector<int32_t> edge_src;  // edges whose two names are nodes, in graph.edges order
    std::vector<int32_t> edge_dst;
    // vertex -> the later vertex whose equal name replaced it in the index, or -1. Recorded
    // as the names are added, so that which vertices share a name is decided by one
    // comparison each, never by a second lookup whose answer could differ.
    std::vector<int32_t> replaced_by;

    // When graph.nodes is an exact dict with exact str names, its values as read, valid while
    // the watch reports the dict unchanged: `graph.nodes[name]` then needs no new lookup.
    std::unique_ptr<bind::DictWatch> nodes_watch;
    std::vector<PyObject*> node_values;  // borrowed from that dict, which the watch holds

    // When graph.edges is an exact list: per position, the exact 2-tuple of exact str names
    // read there (or null) and the vertices of its two names (-1 for a name that is not a
    // node). A later pass that finds the same tuple at the same position knows its names
    // without looking them up again.
    struct EdgeRecord {
        bind::Ref item;
        int32_t src, dst;
    };
    std::vector<EdgeRecord> edge_records;

    // Adds vertex `names.size()` named `name`.
    void add_vertex(PyObject* name);
    // Adds the names of `nodes` (graph.nodes) as vertices, in order. An exact dict's keys are
    // collected first (hashing one may run host code that must not see a half-walked dict), and
    // with exact str names it is watched and its values kept; any other mapping's names are
    // added as iteration yields them, or after it when not `add_as_yielded`.
    void read_nodes(PyObject* nodes, bool add_as_yielded);

    // `graph.nodes[name of v]`, with `nodes` the current value of graph.nodes.
    bind::Ref node(PyObject* nodes, int32_t v) const;

    // Calls f(item, src, dst, s, d) for every pair of `edges` (as bind::for_each_pair does),
    // with s and d the vertices of the two names or -1 (d is not looked up when s is -1).
    template <class F>
    void for_each_edge(PyObject* edges, F&& f) const;

    // True when `edges` (graph.edges) is an exact list holding, at every position, the exact
    // tuple of exact str names recorded there.
    bool edges_unchanged(PyObject* edges) const;

    int32_t vertex_count() const { return static_cast<int32_t>(names.size()); }
};

template <class F>
void WorkingGraph::for_each_edge(PyObject* edges, F&& f) const {
    const bool recorded = PyList_CheckExact(edges);
    size_t i = 0;
    bind::for_each_pair(edges, [&](PyObject* item, PyObject* a, PyObject* b) {
        const EdgeRecord* r = recorded && i < edge_records.size() ? &edge_records[i] : nullptr;
        ++i;
        if (r && r->item.get() == item) return f(item, a, b, r->src, r->dst);
        const int32_t s = index.find(a);
        f(item, a, b, s, s < 0 ? -1 : index.find(b));
    });
}

// Reads `graph.nodes` (its names, in order) and `graph.edges` (pairs, in order; edges naming an
// unknown node are left out), each in one pass.
WorkingGraph read_working_graph(PyObject* graph);

// True when re-reading `graph.nodes` and `graph.edges` into a working graph would give `wg`
// again: the same exact dict, unchanged since it was read, and the same exact list holding
// the same tuples at the same positions.
bool still_current(const WorkingGraph& wg, PyObject* graph);

// Vertices in canonical form: every vertex whose name is also the name of a later vertex is
// mapped to the last vertex of that name (the one the index finds); `map[map[v]] == map[v]`.
// Empty when all names are distinct (the common case).
std::vector<int32_t> canonical_map(const WorkingGraph& wg);

// The canonical vertex of `v` under such a map.
inline int32_t canonical_of(const std::vector<int32_t>& canonical, int32_t v) {
    return canonical.empty() ? v : canonical[v];
}

// The rustworkx PyDiGraph of the working graph: one vertex per name (payload the name), one
// edge per kept edge (no payload), built with one call for the nodes and one for the edges.
bind::Ref build_rx_graph(PyObject* rx, const WorkingGraph& wg);

// Strongly connected components in the library's order, members in the library's order.
struct Components {
    std::vector<int32_t> members;  // all members, component after component
    std::vector<int32_t> start;    // component k is members[start[k] .. start[k+1])
    int32_t count() const { return static_cast<int32_t>(start.size()) - 1; }
};

// Vertex -> the SCC of its name (-1: in none); a name that repeats takes the last component
// holding one of its vertices.
std::vector<int32_t> scc_of_names(const Components& c, const WorkingGraph& wg,
                                  const std::vector<int32_t>& canonical);

// Every index the library returns is checked to be one of the `vertex_count` vertices (a
// replaced library may return anything): KeyError for one that is not.
bool rx_is_dag(PyObject* rx, PyObject* rx_graph);
std::vector<int32_t> rx_topological_order(PyObject* rx, PyObject* rx_graph, int32_t vertex_count);
Components rx_strongly_connected(PyObject* rx, PyObject* rx_graph, int32_t vertex_count);

}  // namespace zerav::partition
