// For cores over their SRAM: a neighbour that joins such a core can lower its bytes, since
// the edges between them then need no routing buffer on it (an Input node that feeds the
// core costs it nothing once it sits there). Moving vertices out, as the rebalancing does,
// cannot find such a packing.
#include "zerav/graph/mapping/partition_state.hpp"

namespace zerav::mapping {

void pull_buffered_neighbours(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                              std::vector<int32_t>& part) {
    if (!g.has_bytes()) return;
    PartitionState state(g, cells.size(), part, true);
    for (int32_t p = 0; p < cells.size(); ++p) {
        // Each round pulls in the neighbour that saves the most bytes; a vertex moves at most
        // once per round, and every move lowers the core's bytes.
        while (state.over(limits, p)) {
            int32_t best = -1;
            int64_t best_change = 0;
            for (int32_t v : state.members(p))
                for (int64_t i = g.begin(v); i < g.end(v); ++i) {
                    const int32_t u = g.adj[static_cast<size_t>(i)];
                    if (state.part(u) == p || !state.may_pull(limits, u, p)) continue;
                    const int64_t change = state.joining_bytes(u, p);
                    if (change < best_change) best = u, best_change = change;
                }
            if (best < 0) break;
            state.move(best, p);
        }
        if (limits.poll) limits.poll();
    }
    state.verify("pull_buffered_neighbours");
}

}  // namespace zerav::mapping
