// CSR adjacency lists of the working graph's edges, in the orders the refinement needs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zerav::partition {

struct Adjacency {
    std::vector<int32_t> start;  // list of v is items[start[v] .. start[v+1])
    std::vector<int32_t> items;
    std::span<const int32_t> of(int32_t v) const {
        return std::span<const int32_t>(items).subspan(start[v], start[v + 1] - start[v]);
    }
};

// Successors of every vertex, newest edge first (the graph library's adjacency order),
// parallel edges repeated, a self-loop listing the vertex itself.
Adjacency successors_newest_first(int32_t n, std::span<const int32_t> src, std::span<const int32_t> dst);

// Undirected neighbour lists: every edge (s, d) puts d in s's list and s in d's list, so a
// self-loop lists its vertex twice. Order within a list is edge order.
Adjacency undirected_neighbours(int32_t n, std::span<const int32_t> src, std::span<const int32_t> dst);

}  // namespace zerav::partition
