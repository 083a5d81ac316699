// One level of the multilevel scheme: an undirected weighted graph in CSR form whose vertices
// stand for groups of nodes.
#pragma once

#include "zerav/graph/mapping/nets.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

struct LevelGraph {
    int32_t n = 0;
    std::vector<int64_t> start;     // n + 1 offsets into the adjacency arrays
    std::vector<int32_t> adj;       // neighbour vertex
    std::vector<int64_t> weight;    // edges joining the two groups, both directions counted
    std::vector<int64_t> feedback;  // of those, edges inside one strongly connected component
    std::vector<int64_t> count;     // compute nodes in the group
    std::vector<int64_t> bytes;     // SRAM bound of the group (empty without SRAM)
    Nets nets;                      // one per spike source (none when hops are the objective)

    int64_t begin(int32_t v) const { return start[static_cast<size_t>(v)]; }
    int64_t end(int32_t v) const { return start[static_cast<size_t>(v) + 1]; }
    bool has_bytes() const { return !bytes.empty(); }
};

// An edge of the graph being built, one direction: one edge of the host graph, inside one
// strongly connected component or not.
struct LevelEdge {
    int32_t u, v;
    bool feedback;
};

// Builds the CSR graph from edges (both directions given or not: each edge is added both
// ways), merging parallel edges into one of their number's weight and dropping self-loops.
LevelGraph build_level(int32_t n, std::vector<LevelEdge>& edges, std::vector<int64_t> count,
                       std::vector<int64_t> bytes);

// Contracts `g` and its nets by `group` (vertex -> coarse vertex, 0 .. groups - 1). The bytes of a group are
// the bytes of its members less 8 per edge that now lies inside it (such an edge no longer
// needs a routing buffer).
LevelGraph contract(const LevelGraph& g, const std::vector<int32_t>& group, int32_t groups);

}  // namespace zerav::mapping
