// The last step for feedback edges still beyond the delay limit: an end of such an edge moves
// to a cell within the limit of the other end, to one with room where it costs least, else it
// trades places with a vertex of the same size there when the trade lowers the total cost.
#include "zerav/graph/mapping/part_cost.hpp"
#include "zerav/graph/mapping/partition_state.hpp"

#include <algorithm>
#include <cstdint>

namespace zerav::mapping {

void repair_delay(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                  std::vector<int32_t>& part) {
    if (limits.delay < 0 || !cells.mesh()) return;
    PartitionState state(g, cells.size(), part, true);
    PartCost cost(g, cells, limits), other(g, cells, limits);
    std::vector<int32_t> near;
    int64_t last_late = -1;
    const Config::DelayRepair& tuning = limits.config.delay_repair;
    for (int64_t round = 0; round < tuning.rounds; ++round) {
        int64_t fixed = 0, late = 0;
        const size_t tries = last_late >= 0 && last_late <= tuning.few_late
                                 ? SIZE_MAX
                                 : static_cast<size_t>(tuning.trade_tries);
        for (int32_t v = 0; v < g.n; ++v) {
            const int32_t a = part[static_cast<size_t>(v)];
            int32_t far = -1;
            for (int64_t i = g.begin(v); i < g.end(v) && far < 0; ++i)
                if (g.feedback[static_cast<size_t>(i)] &&
                    cells.hops(a, part[static_cast<size_t>(g.adj[static_cast<size_t>(i)])]) > limits.delay)
                    far = part[static_cast<size_t>(g.adj[static_cast<size_t>(i)])];
            if (far < 0) continue;
            ++late;
            cost.gather(v, part);
            const int64_t here = cost.at(a);
            int32_t best = -1, partner = -1;
            int64_t best_change = 0;
            // Cells within the limit of the far end.
            cells.within(far, limits.delay, near);
            for (int32_t c : near) {
                if (c == a) continue;
                const int64_t change = cost.at(c) - here;
                if (change >= best_change && best >= 0) continue;
                if (state.room(limits, v, c)) {
                    if (change < best_change) best = c, partner = -1, best_change = change;
                    continue;
                }
                const auto& there = state.members(c);
                const size_t stride = std::max<size_t>(1, there.size() / tries);
                for (size_t t = 0; t < there.size(); t += stride) {  // a trade with a vertex of the same size
                    const int32_t z = there[t];
                    if (g.count[static_cast<size_t>(z)] != g.count[static_cast<size_t>(v)]) continue;
                    if (!state.trade_fits(limits, v, z)) continue;
                    other.gather(z, part);
                    const int64_t total = change + other.at(a) - other.at(c);
                    if (total < best_change) best = c, partner = z, best_change = total;
                }
            }
            if (best < 0) continue;
            if (partner >= 0) state.move(partner, a);
            state.move(v, best);
            ++fixed;
        }
        if (limits.poll) limits.poll();
        if (late == 0 || (fixed == 0 && tries == SIZE_MAX)) break;
        last_late = late;
    }
    state.verify("repair_delay");
}

}  // namespace zerav::mapping
