// Refinement of a mapping at one level: greedy k-way moves that lower the cost, and the
// rebalancing that empties over-full cores into the cores with room where it costs least.
#include "zerav/graph/mapping/part_cost.hpp"

#include <algorithm>
#include <numeric>

namespace zerav::mapping {

namespace {

constexpr size_t kCandidates = 4;  // neighbour parts tried per move, most connected first
constexpr size_t kNearbyWithRoom = 4;
constexpr int64_t kStopShare = 1000;  // passes stop once they move fewer than 1 in this many vertices

struct Loads {
    std::vector<int64_t> count, bytes;
    Loads(const LevelGraph& g, int32_t parts, const std::vector<int32_t>& part)
        : count(static_cast<size_t>(parts), 0), bytes(static_cast<size_t>(parts), 0) {
        for (int32_t v = 0; v < g.n; ++v) add(g, v, part[static_cast<size_t>(v)], 1);
    }
    void add(const LevelGraph& g, int32_t v, int32_t p, int64_t sign) {
        count[static_cast<size_t>(p)] += sign * g.count[static_cast<size_t>(v)];
        if (g.has_bytes()) bytes[static_cast<size_t>(p)] += sign * g.bytes[static_cast<size_t>(v)];
    }
    bool room(const LevelGraph& g, const Limits& limits, int32_t v, int32_t p) const {
        const int64_t b = g.has_bytes() ? bytes[static_cast<size_t>(p)] + g.bytes[static_cast<size_t>(v)] : 0;
        return limits.fits(count[static_cast<size_t>(p)] + g.count[static_cast<size_t>(v)], b);
    }
    bool over(const Limits& limits, int32_t p) const {
        return !limits.fits(count[static_cast<size_t>(p)], bytes[static_cast<size_t>(p)]);
    }
};

bool has_outside_neighbour(const LevelGraph& g, int32_t v, const std::vector<int32_t>& part) {
    const int32_t a = part[static_cast<size_t>(v)];
    for (int64_t i = g.begin(v); i < g.end(v); ++i)
        if (part[static_cast<size_t>(g.adj[static_cast<size_t>(i)])] != a) return true;
    return false;
}

// The most connected neighbour parts other than `a`, into `out` (cleared first).
void candidate_parts(const PartCost& cost, int32_t a, std::vector<PartCost::Entry>& scratch,
                     std::vector<int32_t>& out) {
    scratch.clear();
    out.clear();
    for (const PartCost::Entry& e : cost.entries())
        if (e.part != a) scratch.push_back(e);
    const size_t keep = std::min(scratch.size(), kCandidates);
    std::partial_sort(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(keep), scratch.end(),
                      [](const PartCost::Entry& x, const PartCost::Entry& y) {
                          return x.weight != y.weight ? x.weight > y.weight : x.part < y.part;
                      });
    for (size_t i = 0; i < keep; ++i) out.push_back(scratch[i].part);
}

// The candidates of a move: the most connected neighbour parts, and the cells next to the
// most connected one (a free cell beside a partner can beat every partner's own cell).
void move_targets(const PartCost& cost, const ChipCells& cells, int64_t limit, int32_t a,
                  std::vector<PartCost::Entry>& scratch, std::vector<int32_t>& out) {
    candidate_parts(cost, a, scratch, out);
    if (out.empty() || !cells.mesh()) return;
    const int32_t p = out.front();
    constexpr int kStep[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    auto add_beside = [&](int32_t x) {
        for (const auto& d : kStep) {
            const int32_t q = cells.at(cells.row(x) + d[0], cells.col(x) + d[1]);
            if (q >= 0 && q != a) out.push_back(q);
        }
    };
    add_beside(p);
    // A feedback edge beyond the delay limit: the far end's cell and the cells beside it.
    if (limit < 0) return;
    for (const PartCost::Entry& e : cost.entries())
        if (e.feedback && cells.hops(a, e.part) > limit) {
            out.push_back(e.part);
            add_beside(e.part);
            return;
        }
}

}  // namespace

void refine(const LevelGraph& g, const ChipCells& cells, const Limits& limits, std::vector<int32_t>& part,
            int passes, Rng& rng) {
    Loads loads(g, cells.size(), part);
    PartCost cost(g, cells, limits);
    // Vertices in id order (neighbouring ids share memory), from a random start.
    const int32_t first = g.n > 0 ? rng.below(g.n) : 0;
    std::vector<PartCost::Entry> scratch;
    std::vector<int32_t> targets;
    for (int pass = 0; pass < passes; ++pass) {
        int64_t moves = 0;
        for (int32_t i = 0; i < g.n; ++i) {
            const int32_t v = (first + i) % g.n;
            if (!has_outside_neighbour(g, v, part)) continue;
            const int32_t a = part[static_cast<size_t>(v)];
            cost.gather(v, part);
            int32_t best = a;
            int64_t best_cost = cost.at(a);
            move_targets(cost, cells, limits.delay, a, scratch, targets);
            for (int32_t b : targets) {
                if (!loads.room(g, limits, v, b)) continue;
                const int64_t c = cost.at(b);
                if (c < best_cost) best = b, best_cost = c;
            }
            if (best == a) continue;
            loads.add(g, v, a, -1);
            loads.add(g, v, best, 1);
            part[static_cast<size_t>(v)] = best;
            ++moves;
        }
        if (limits.poll) limits.poll();
        if (moves * kStopShare < g.n) break;  // the pass barely changed anything
    }
}

bool rebalance(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
               std::vector<int32_t>& part) {
    Loads loads(g, cells.size(), part);
    std::vector<int32_t> over;
    for (int32_t p = 0; p < cells.size(); ++p)
        if (loads.over(limits, p)) over.push_back(p);
    if (over.empty()) return true;

    std::vector<std::vector<int32_t>> members(static_cast<size_t>(cells.size()));
    for (int32_t v = 0; v < g.n; ++v) members[static_cast<size_t>(part[static_cast<size_t>(v)])].push_back(v);
    PartCost cost(g, cells, limits);
    std::vector<int32_t> by_distance(static_cast<size_t>(cells.size()));

    // The cheapest part with room for `v` now: its neighbours' parts and the nearest parts to
    // `p` that have room.
    std::vector<PartCost::Entry> scratch;
    std::vector<int32_t> tries;
    auto best_target = [&](int32_t v, int32_t p, int64_t& loss) {
        cost.gather(v, part);
        candidate_parts(cost, p, scratch, tries);
        size_t found = 0;
        for (int32_t q : by_distance) {
            if (found == kNearbyWithRoom) break;
            if (q != p && loads.room(g, limits, v, q)) tries.push_back(q), ++found;
        }
        const int64_t here = cost.at(p);
        int32_t best = -1;
        for (int32_t q : tries) {
            if (q == p || !loads.room(g, limits, v, q)) continue;
            const int64_t c = cost.at(q) - here;
            if (best < 0 || c < loss) best = q, loss = c;
        }
        return best;
    };

    for (int32_t p : over) {
        std::iota(by_distance.begin(), by_distance.end(), 0);
        std::stable_sort(by_distance.begin(), by_distance.end(),
                         [&](int32_t a, int32_t b) { return cells.hops(p, a) < cells.hops(p, b); });
        std::vector<std::pair<int64_t, int32_t>> ranked;
        for (int32_t v : members[static_cast<size_t>(p)]) {
            if (g.count[static_cast<size_t>(v)] == 0 &&
                (!g.has_bytes() || g.bytes[static_cast<size_t>(v)] <= 0))
                continue;
            int64_t loss = 0;
            if (best_target(v, p, loss) >= 0) ranked.emplace_back(loss, v);
        }
        std::sort(ranked.begin(), ranked.end());
        for (const auto& [ignored, v] : ranked) {
            if (!loads.over(limits, p)) break;
            int64_t loss = 0;
            const int32_t q = best_target(v, p, loss);
            if (q < 0) continue;
            loads.add(g, v, p, -1);
            loads.add(g, v, q, 1);
            part[static_cast<size_t>(v)] = q;
        }
        if (limits.poll) limits.poll();
    }
    for (int32_t p = 0; p < cells.size(); ++p)
        if (loads.over(limits, p)) return false;
    return true;
}

int64_t delay_violations(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                         const std::vector<int32_t>& part) {
    if (limits.delay < 0) return 0;
    int64_t twice = 0;
    for (int32_t v = 0; v < g.n; ++v)
        for (int64_t i = g.begin(v); i < g.end(v); ++i) {
            if (!g.feedback[static_cast<size_t>(i)]) continue;
            const int32_t u = g.adj[static_cast<size_t>(i)];
            if (cells.hops(part[static_cast<size_t>(v)], part[static_cast<size_t>(u)]) > limits.delay)
                twice += g.feedback[static_cast<size_t>(i)];
        }
    return twice / 2;
}

}  // namespace zerav::mapping
