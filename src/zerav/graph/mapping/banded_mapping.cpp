// The mapping for a tight feedback-delay limit: the vertices in breadth-first order from a far
// vertex of the largest component that must be split, laid along a path of neighbouring cells
// and cut into cores in that order. A breadth-first order only joins vertices of the same or
// adjacent levels, so a component whose levels are narrower than a core spans consecutive
// cells: a ring of nodes folds onto a line of cores with every feedback edge one hop long.
// A cell takes vertices while the partition state's count of it (allocate's: the edges
// between its vertices need no routing buffer) stays within the limits.
#include "zerav/graph/mapping/partition_state.hpp"
#include "zerav/graph/mapping/steps.hpp"

namespace zerav::mapping {

namespace {

// The vertices in breadth-first order from `start`, then from each vertex not yet reached;
// `reached` receives how many the search from `start` reached.
std::vector<int32_t> breadth_first(const LevelGraph& g, int32_t start, size_t& reached) {
    std::vector<int32_t> order;
    std::vector<uint8_t> seen(static_cast<size_t>(g.n), 0);
    order.reserve(static_cast<size_t>(g.n));
    auto visit = [&](int32_t root) {
        seen[static_cast<size_t>(root)] = 1;
        order.push_back(root);
        for (size_t head = order.size() - 1; head < order.size(); ++head) {
            const int32_t v = order[head];
            for (int64_t i = g.begin(v); i < g.end(v); ++i) {
                const int32_t u = g.adj[static_cast<size_t>(i)];
                if (seen[static_cast<size_t>(u)]) continue;
                seen[static_cast<size_t>(u)] = 1;
                order.push_back(u);
            }
        }
    };
    visit(start);
    reached = order.size();
    for (int32_t v = 0; v < g.n; ++v)
        if (!seen[static_cast<size_t>(v)]) visit(v);
    return order;
}

}  // namespace

std::vector<int32_t> banded_mapping(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                                    int32_t start) {
    // Start from a far vertex: the last one the search from `start` reaches.
    size_t reached = 0;
    const int32_t far = breadth_first(g, start, reached)[reached - 1];
    // Every vertex waits in one extra part, past the cells, until it is laid.
    const int32_t waiting = cells.size();
    std::vector<int32_t> part(static_cast<size_t>(g.n), waiting);
    PartitionState state(g, waiting + 1, part);
    const std::vector<int32_t> path = cells.snake();
    size_t at = 0;
    for (int32_t v : breadth_first(g, far, reached)) {
        auto fits = [&](int32_t p) {
            return limits.fits(state.count(p) + g.count[static_cast<size_t>(v)],
                               state.bytes(p) + state.joining_bytes(v, p));
        };
        while (at + 1 < path.size() && !fits(path[at])) ++at;
        state.move(v, path[at]);
    }
    state.verify("banded layout");
    return part;
}

}  // namespace zerav::mapping
