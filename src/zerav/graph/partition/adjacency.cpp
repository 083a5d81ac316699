#include "zerav/graph/partition/adjacency.hpp"

namespace zerav::partition {

Adjacency successors_newest_first(int32_t n, std::span<const int32_t> src, std::span<const int32_t> dst) {
    Adjacency a;
    a.start.assign(static_cast<size_t>(n) + 1, 0);
    for (int32_t s : src) ++a.start[s + 1];
    for (int32_t v = 0; v < n; ++v) a.start[v + 1] += a.start[v];
    a.items.resize(src.size());
    std::vector<int32_t> fill(a.start.begin() + 1, a.start.end());  // filled from the back
    for (size_t k = 0; k < src.size(); ++k) a.items[--fill[src[k]]] = dst[k];
    return a;
}

Adjacency undirected_neighbours(int32_t n, std::span<const int32_t> src, std::span<const int32_t> dst) {
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
