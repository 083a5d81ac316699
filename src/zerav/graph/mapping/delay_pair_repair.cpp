// The last step for feedback edges that single moves leave beyond the delay limit: both ends
// move at once, each to a cell within the limit of its other feedback neighbours and the two
// within the limit of each other. A full cell makes room by sending one of its vertices to a
// cell with room where none of that vertex's feedback edges grows too long. A repair that
// does not lower the number of late edges around the moved vertices is undone.
#include "zerav/graph/mapping/part_cost.hpp"
#include "zerav/graph/mapping/partition_state.hpp"

#include <algorithm>
#include <cstdint>

namespace zerav::mapping {

namespace {

class PairRepair {
  public:
    PairRepair(const LevelGraph& g, const ChipCells& cells, const Limits& limits, std::vector<int32_t>& part)
        : g_(g),
          cells_(cells),
          limits_(limits),
          state_(g, cells.size(), part, true),
          cost_(g, cells, limits) {}

    void verify() const { state_.verify("repair_delay_pairs"); }

    // One pass over the late edges; returns how many were repaired.
    int64_t run() {
        int64_t repaired = 0;
        for (int32_t v = 0; v < g_.n; ++v)
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (u < v || !g_.feedback[static_cast<size_t>(i)] || !late(v, u)) continue;
                if (repair(v, u)) ++repaired;
            }
        return repaired;
    }

  private:
    int32_t cell(int32_t v) const { return state_.part(v); }
    bool late(int32_t v, int32_t u) const { return cells_.hops(cell(v), cell(u)) > limits_.delay; }
    bool room(int32_t c, int32_t v) const { return state_.room(limits_, v, c); }
    void move(int32_t v, int32_t to) { state_.move(v, to); }

    // Feedback edges of `v` beyond the limit if it sat in cell `c`, leaving out the edge to
    // `skip`.
    int64_t late_at(int32_t v, int32_t c, int32_t skip) const {
        int64_t n = 0;
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
            const int32_t x = g_.adj[static_cast<size_t>(i)];
            if (x != skip && g_.feedback[static_cast<size_t>(i)] && cells_.hops(c, cell(x)) > limits_.delay)
                n += g_.feedback[static_cast<size_t>(i)];
        }
        return n;
    }

    // The cells within the limit of `c`, `c` first.
    void diamond(int32_t c, std::vector<int32_t>& out) const {
        cells_.within(c, limits_.delay, out);
        const auto at = std::find(out.begin(), out.end(), c);
        std::rotate(out.begin(), at, at + 1);
    }

    // The cells where `v` keeps every feedback edge but the one to `skip` within the limit.
    void allowed(int32_t v, int32_t skip, int32_t fallback, std::vector<int32_t>& out) const {
        int32_t anchor = fallback;
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
            const int32_t x = g_.adj[static_cast<size_t>(i)];
            if (x != skip && g_.feedback[static_cast<size_t>(i)]) {
                anchor = cell(x);
                break;
            }
        }
        diamond(anchor, out);
        std::erase_if(out, [&](int32_t c) { return late_at(v, c, skip) > 0; });
    }

    // Moves a vertex other than `keep_a`, `keep_b` out of cell `c` so that `v` fits there, to
    // a cell with room where it costs least and none of its feedback edges is late. False when
    // no such vertex is found.
    bool make_room(int32_t c, int32_t v, int32_t keep_a, int32_t keep_b) {
        if (room(c, v)) return true;
        int32_t best = -1, best_to = -1;
        int64_t best_change = 0;
        std::vector<int32_t> targets;
        for (int32_t z : state_.members(c)) {
            if (z == keep_a || z == keep_b ||
                g_.count[static_cast<size_t>(z)] < g_.count[static_cast<size_t>(v)])
                continue;
            allowed(z, -1, c, targets);
            cost_.gather(z, state_.part_of());
            const int64_t here = cost_.at(c);
            for (int32_t w : targets) {
                if (w == c || !room(w, z)) continue;
                const int64_t change = cost_.at(w) - here;
                if (best < 0 || change < best_change) best = z, best_to = w, best_change = change;
            }
        }
        if (best < 0) return false;
        move(best, best_to);
        return room(c, v);
    }

    // Late feedback edges that touch the given vertices, each counted once.
    int64_t late_around(const std::vector<int32_t>& vs) const {
        int64_t n = 0;
        for (size_t k = 0; k < vs.size(); ++k)
            for (int64_t i = g_.begin(vs[k]); i < g_.end(vs[k]); ++i) {
                const int32_t x = g_.adj[static_cast<size_t>(i)];
                if (!g_.feedback[static_cast<size_t>(i)] || !late(vs[k], x)) continue;
                if (std::find(vs.begin(), vs.begin() + static_cast<std::ptrdiff_t>(k), x) ==
                    vs.begin() + static_cast<std::ptrdiff_t>(k))
                    n += g_.feedback[static_cast<size_t>(i)];
            }
        return n;
    }

    bool repair(int32_t v, int32_t u) {
        std::vector<int32_t> for_u, near;
        allowed(u, v, cell(v), for_u);
        // The pair of cells: no eviction first, then the cheapest.
        int32_t best_u = -1, best_v = -1;
        int64_t best_key[2] = {0, 0};
        for (int32_t cu : for_u) {
            diamond(cu, near);
            for (int32_t cv : near) {
                if (late_at(v, cv, u) > 0) continue;
                const int64_t evictions = (cu != cell(u) && !room(cu, u)) + (cv != cell(v) && !room(cv, v));
                const int64_t distance = cells_.hops(cu, cell(u)) + cells_.hops(cv, cell(v));
                if (best_u < 0 || evictions < best_key[0] ||
                    (evictions == best_key[0] && distance < best_key[1]))
                    best_u = cu, best_v = cv, best_key[0] = evictions, best_key[1] = distance;
            }
        }
        if (best_u < 0) return false;
        std::vector<int32_t> touched{v, u};
        const int64_t before = late_around(touched);
        const size_t mark = state_.checkpoint();
        bool done = true;
        if (best_u != cell(u)) done = make_room(best_u, u, v, u) && (move(u, best_u), true);
        if (done && best_v != cell(v)) done = make_room(best_v, v, v, u) && (move(v, best_v), true);
        for (auto m = state_.moves_since(mark); m != state_.moves_end(); ++m) touched.push_back(m->first);
        const bool better = done && late_around(touched) < before;
        if (!better) state_.rollback(mark);
        state_.forget();
        return better;
    }

    const LevelGraph& g_;
    const ChipCells& cells_;
    const Limits& limits_;
    PartitionState state_;
    PartCost cost_;
};

}  // namespace

void repair_delay_pairs(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                        std::vector<int32_t>& part) {
    if (limits.delay < 0 || !cells.mesh()) return;
    PairRepair repair(g, cells, limits, part);
    for (int64_t round = 0; round < limits.config.delay_repair.pair_rounds; ++round) {
        if (repair.run() == 0) break;
        if (limits.poll) limits.poll();
    }
    repair.verify();
}

}  // namespace zerav::mapping
