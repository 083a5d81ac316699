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
inline Adjacency successors_newest_first(int32_t n, std::span<const int32_t> src,
                                         std::span<const int32_t> dst) {
    Adjacency a;
    a.start.assign(static_cast<size_t>(n) + 1, 0);
    for (int32_t s : src) ++a.start[s + 1];
    for (int32_t v = 0; v < n; ++v) a.start[v + 1] += a.start[v];
    a.items.resize(src.size());
    std::vector<int32_t> fill(a.start.begin() + 1, a.start.end());  // filled from the back
    for (size_t k = 0; k < src.size(); ++k) a.items[--fill[src[k]]] = dst[k];
    return a;
}

// Undirected neighbour lists: every edge (s, d) puts d in s's list and s in d's list, so a
// self-loop lists its vertex twice. Order within a list is edge order.
inline Adjacency undirected_neighbours(int32_t n, std::span<const int32_t> src,
                                       std::span<const int32_t> dst) {
    Adjacency a;
    a.start.assign(static_cast<size_t>(n) + 1, 0);
    for (size_t k = 0; k < src.size(); ++k) {
        ++a.start[src[k] + 1];
        ++a.start[dst[k] + 1];
    }
    for (int32_t v = 0; v < n; ++v) a.start[v + 1] += a.start[v];
    a.items.resize(src.size() * 2);
    std::vector<int32_t> fill(a.start.begin(), a.start.end() - 1);
    for (size_t k = 0; k < src.size(); ++k) {
        a.items[fill[src[k]]++] = dst[k];
        a.items[fill[dst[k]]++] = src[k];
    }
    return a;
}

}  // namespace zerav::partition
