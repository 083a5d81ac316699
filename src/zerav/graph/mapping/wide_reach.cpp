// Whether a graph has no locality for a bisection by edges to follow: most vertices reach a
// large share of the graph within two edges (a dense random network, layers joined all to
// all). Grids and convolutions, where the edges' bisection can beat the nets' (a net of a few
// pins gives the passes flat gains, edges a gradient), reach a few percent.
#include "zerav/graph/mapping/steps.hpp"

#include <vector>

namespace zerav::mapping {

bool reaches_widely(const LevelGraph& g, double share) {
    if (g.n == 0 || share > 1) return false;
    // Eight vertices spread over the ids, each counted until it reaches the share.
    constexpr int32_t kSamples = 8;
    const auto enough = static_cast<int64_t>(share * static_cast<double>(g.n));
    std::vector<int32_t> seen(static_cast<size_t>(g.n), -1);
    int32_t wide = 0;
    for (int32_t k = 0; k < kSamples; ++k) {
        const auto v = static_cast<int32_t>(static_cast<int64_t>(k) * g.n / kSamples);
        int64_t reached = 0;
        auto reach = [&](int32_t u) {
            if (seen[static_cast<size_t>(u)] == k) return;
            seen[static_cast<size_t>(u)] = k;
            ++reached;
        };
        reach(v);
        for (int64_t i = g.begin(v); i < g.end(v) && reached < enough; ++i) {
            const int32_t u = g.adj[static_cast<size_t>(i)];
            reach(u);
            for (int64_t j = g.begin(u); j < g.end(u) && reached < enough; ++j)
                reach(g.adj[static_cast<size_t>(j)]);
        }
        if (reached >= enough) ++wide;
    }
    return 2 * wide > kSamples;
}

}  // namespace zerav::mapping
