// The last step for feedback edges still beyond the delay limit: an end of such an edge moves
// to a cell within the limit of the other end, to one with room where it costs least, else it
// trades places with a vertex of the same size there when the trade lowers the total cost.
#include "zerav/graph/mapping/part_cost.hpp"

#include <algorithm>
#include <cstdint>

namespace zerav::mapping {

namespace {

constexpr int kRounds = 16;
constexpr size_t kTradeTries = 8;  // vertices of a full cell considered for a trade
constexpr int64_t kFewLate = 64;   // with this few late edges left, every vertex is considered

struct Occupancy {
    std::vector<std::vector<int32_t>> members;
    std::vector<int64_t> count, bytes;
};

}  // namespace

void repair_delay(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                  std::vector<int32_t>& part) {
    if (limits.delay < 0 || !cells.mesh()) return;
    Occupancy occ;
    occ.members.resize(static_cast<size_t>(cells.size()));
    occ.count.assign(static_cast<size_t>(cells.size()), 0);
    occ.bytes.assign(static_cast<size_t>(cells.size()), 0);
    for (int32_t v = 0; v < g.n; ++v) {
        const auto p = static_cast<size_t>(part[static_cast<size_t>(v)]);
        occ.members[p].push_back(v);
        occ.count[p] += g.count[static_cast<size_t>(v)];
        if (g.has_bytes()) occ.bytes[p] += g.bytes[static_cast<size_t>(v)];
    }
    auto bytes_of = [&](int32_t v) { return g.has_bytes() ? g.bytes[static_cast<size_t>(v)] : 0; };
    auto move = [&](int32_t v, int32_t to) {
        const auto from = static_cast<size_t>(part[static_cast<size_t>(v)]);
        auto& list = occ.members[from];
        list.erase(std::find(list.begin(), list.end(), v));
        occ.count[from] -= g.count[static_cast<size_t>(v)], occ.bytes[from] -= bytes_of(v);
        occ.members[static_cast<size_t>(to)].push_back(v);
        occ.count[static_cast<size_t>(to)] += g.count[static_cast<size_t>(v)],
            occ.bytes[static_cast<size_t>(to)] += bytes_of(v);
        part[static_cast<size_t>(v)] = to;
    };
    PartCost cost(g, cells, limits), other(g, cells, limits);
    int64_t last_late = -1;
    for (int round = 0; round < kRounds; ++round) {
        int64_t fixed = 0, late = 0;
        const size_t tries = last_late >= 0 && last_late <= kFewLate ? SIZE_MAX : kTradeTries;
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
            for (int64_t dr = -limits.delay; dr <= limits.delay; ++dr)
                for (int64_t dc = -(limits.delay - std::abs(dr)); dc <= limits.delay - std::abs(dr); ++dc) {
                    const int32_t c = cells.at(cells.row(far) + dr, cells.col(far) + dc);
                    if (c < 0 || c == a) continue;
                    const int64_t change = cost.at(c) - here;
                    if (change >= best_change && best >= 0) continue;
                    const auto cs = static_cast<size_t>(c);
                    if (limits.fits(occ.count[cs] + g.count[static_cast<size_t>(v)],
                                    occ.bytes[cs] + bytes_of(v))) {
                        if (change < best_change) best = c, partner = -1, best_change = change;
                        continue;
                    }
                    const auto& there = occ.members[cs];
                    const size_t stride = std::max<size_t>(1, there.size() / tries);
                    for (size_t t = 0; t < there.size();
                         t += stride) {  // a trade with a vertex of the same size
                        const int32_t z = there[t];
                        if (g.count[static_cast<size_t>(z)] != g.count[static_cast<size_t>(v)]) continue;
                        if (bytes_of(z) > bytes_of(v) &&
                            !limits.fits(occ.count[static_cast<size_t>(a)],
                                         occ.bytes[static_cast<size_t>(a)] - bytes_of(v) + bytes_of(z)))
                            continue;
                        if (bytes_of(v) > bytes_of(z) &&
                            !limits.fits(occ.count[cs], occ.bytes[cs] - bytes_of(z) + bytes_of(v)))
                            continue;
                        other.gather(z, part);
                        const int64_t total = change + other.at(a) - other.at(c);
                        if (total < best_change) best = c, partner = z, best_change = total;
                    }
                }
            if (best < 0) continue;
            if (partner >= 0) move(partner, a);
            move(v, best);
            ++fixed;
        }
        if (limits.poll) limits.poll();
        if (late == 0 || (fixed == 0 && tries == SIZE_MAX)) break;
        last_late = late;
    }
}

}  // namespace zerav::mapping
