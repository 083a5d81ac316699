// Coarsening: heavy-edge matching with a cap on the merged group.
#include "zerav/graph/mapping/steps.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

#include <numeric>

namespace zerav::mapping {

std::vector<int32_t> heavy_edge_matching(const LevelGraph& g, const Limits& limits, int64_t max_count,
                                         Rng& rng, int32_t& groups) {
    const auto n = static_cast<size_t>(g.n);
    std::vector<int32_t> order(n), group(n, -1);
    std::iota(order.begin(), order.end(), 0);
    for (size_t i = n; i > 1; --i)
        std::swap(order[i - 1], order[static_cast<size_t>(rng.below(static_cast<int32_t>(i)))]);
    groups = 0;
    for (int32_t v : order) {
        const auto vs = static_cast<size_t>(v);
        if (group[vs] >= 0) continue;
        int32_t best = -1;
        int64_t best_weight = 0;
        for (int64_t i = g.begin(v); i < g.end(v); ++i) {
            const int32_t u = g.adj[static_cast<size_t>(i)];
            const auto us = static_cast<size_t>(u);
            if (group[us] >= 0) continue;
            const int64_t w = g.weight[static_cast<size_t>(i)];
            if (w <= best_weight) continue;
            const int64_t count = g.count[vs] + g.count[us];
            if (count > max_count) continue;
            // An edge inside the pair needs no routing buffer.
            if (limits.sram >= 0 &&
                g.bytes[vs] + g.bytes[us] - resource::routing_bytes_per_edge * w > limits.sram)
                continue;
            best = u, best_weight = w;
        }
        group[vs] = groups;
        if (best >= 0) group[static_cast<size_t>(best)] = groups;
        ++groups;
    }
    return group;
}

}  // namespace zerav::mapping
