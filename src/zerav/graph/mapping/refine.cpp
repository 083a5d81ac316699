// Refinement of a mapping at one level: greedy k-way moves that lower the cost, and the
// rebalancing that empties over-full cores into the cores with room where it costs least.
#include "zerav/graph/mapping/part_cost.hpp"
#include "zerav/graph/mapping/partition_state.hpp"

#include <algorithm>
#include <numeric>

namespace zerav::mapping {

namespace {

// The cost of the whole mapping, each edge counted from both ends (so a move of one vertex
// changes it by twice that vertex's change): a recount for the checks.
int64_t total_cost(PartCost& cost, const PartitionState& state) {
    int64_t total = 0;
    for (int32_t v = 0; v < static_cast<int32_t>(state.part_of().size()); ++v) {
        cost.gather(v, state.part_of());
        total += cost.at(state.part(v));
    }
    return total;
}

bool has_outside_neighbour(const LevelGraph& g, int32_t v, const std::vector<int32_t>& part) {
    const int32_t a = part[static_cast<size_t>(v)];
    for (int64_t i = g.begin(v); i < g.end(v); ++i)
        if (part[static_cast<size_t>(g.adj[static_cast<size_t>(i)])] != a) return true;
    return false;
}

// The most connected neighbour parts other than `a`, into `out` (cleared first).
void candidate_parts(const PartCost& cost, int32_t a, size_t candidates,
                     std::vector<PartCost::Entry>& scratch, std::vector<int32_t>& out) {
    scratch.clear();
    out.clear();
    for (const PartCost::Entry& e : cost.entries())
        if (e.part != a) scratch.push_back(e);
    const size_t keep = std::min(scratch.size(), candidates);
    std::partial_sort(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(keep), scratch.end(),
                      [](const PartCost::Entry& x, const PartCost::Entry& y) {
                          return x.weight != y.weight ? x.weight > y.weight : x.part < y.part;
                      });
    for (size_t i = 0; i < keep; ++i) out.push_back(scratch[i].part);
}

// The candidates of a move, each once, none of them `a`: the most connected neighbour parts,
// and the cells next to the most connected one (a free cell beside a partner can beat every
// partner's own cell; it is often a partner itself).
void move_targets(const PartCost& cost, const ChipCells& cells, const Limits& limits, int32_t a,
                  std::vector<PartCost::Entry>& scratch, std::vector<int32_t>& out) {
    const int64_t limit = limits.delay;
    candidate_parts(cost, a, static_cast<size_t>(limits.config.refinement.candidates), scratch, out);
    if (out.empty() || !cells.mesh()) return;
    const int32_t p = out.front();
    auto add = [&](int32_t q) {
        if (q >= 0 && q != a && std::find(out.begin(), out.end(), q) == out.end()) out.push_back(q);
    };
    constexpr int kStep[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    auto add_beside = [&](int32_t x) {
        for (const auto& d : kStep) add(cells.at(cells.row(x) + d[0], cells.col(x) + d[1]));
    };
    add_beside(p);
    // A feedback edge beyond the delay limit: the far end's cell and the cells beside it.
    if (limit < 0) return;
    for (const PartCost::Entry& e : cost.entries())
        if (e.feedback && cells.hops(a, e.part) > limit) {
            add(e.part);
            add_beside(e.part);
            return;
        }
}

}  // namespace

void refine(const LevelGraph& g, const ChipCells& cells, const Limits& limits, std::vector<int32_t>& part,
            int64_t passes, Rng& rng) {
    PartitionState state(g, cells.size(), part);
    PartCost cost(g, cells, limits);
    MulticastCost tree(g.nets, cells, part);
    state.observe(&tree);
    const int64_t link = limits.config.cost.hop;
    const int64_t cost_before = kChecks ? total_cost(cost, state) : 0, tree_before = tree.total();
    int64_t change = 0, tree_change = 0;  // the cost changes of the moved vertices, summed
    // Vertices in id order (neighbouring ids share memory), from a random start.
    const int32_t first = g.n > 0 ? rng.below(g.n) : 0;
    std::vector<PartCost::Entry> scratch;
    std::vector<int32_t> targets;
    for (int64_t pass = 0; pass < passes; ++pass) {
        int64_t moves = 0;
        for (int32_t i = 0; i < g.n; ++i) {
            const int32_t v = (first + i) % g.n;
            if (!has_outside_neighbour(g, v, part)) continue;
            const int32_t a = part[static_cast<size_t>(v)];
            cost.gather(v, part);
            int32_t best = a;
            const int64_t here = cost.at(a);
            int64_t best_change = 0, best_tree = 0;
            move_targets(cost, cells, limits, a, scratch, targets);
            std::erase_if(targets, [&](int32_t b) { return !state.room(limits, v, b); });
            if (targets.empty()) continue;
            tree.prepare(v);
            for (int32_t b : targets) {
                const int64_t t = tree.delta_to(b), c = cost.at(b) - here + link * t;
                if (c < best_change) best = b, best_change = c, best_tree = t;
            }
            if (best == a) continue;
            change += best_change - link * best_tree;
            tree_change += best_tree;
            state.move(v, best);
            ++moves;
        }
        if (limits.poll) limits.poll();
        if (moves * limits.config.refinement.stop_share < g.n) break;  // the pass barely changed anything
    }
    state.verify("refine");
    tree.verify("refine");
    if constexpr (kChecks) {
        invariant(total_cost(cost, state) == cost_before + 2 * change, "refine",
                  "the cost differs from a recount");
        invariant(tree.total() == tree_before + tree_change, "refine",
                  "the multicast cost differs from its start plus the moves' gains");
    }
}

bool rebalance(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
               std::vector<int32_t>& part) {
    PartitionState state(g, cells.size(), part, true);
    std::vector<int32_t> over;
    for (int32_t p = 0; p < cells.size(); ++p)
        if (state.over(limits, p)) over.push_back(p);
    if (over.empty()) return true;

    PartCost cost(g, cells, limits);
    MulticastCost tree(g.nets, cells, part);
    state.observe(&tree);
    std::vector<int32_t> by_distance(static_cast<size_t>(cells.size()));

    // The cheapest part with room for `v` now: its neighbours' parts and the nearest parts to
    // `p` that have room.
    std::vector<PartCost::Entry> scratch;
    std::vector<int32_t> tries;
    auto best_target = [&](int32_t v, int32_t p, int64_t& loss) {
        cost.gather(v, part);
        candidate_parts(cost, p, static_cast<size_t>(limits.config.refinement.candidates), scratch, tries);
        size_t found = 0;
        for (int32_t q : by_distance) {
            if (found == static_cast<size_t>(limits.config.refinement.nearby_with_room)) break;
            if (q != p && state.room(limits, v, q)) tries.push_back(q), ++found;
        }
        const int64_t here = cost.at(p);
        int32_t best = -1;
        for (int32_t q : tries) {
            if (q == p || !state.room(limits, v, q)) continue;
            const int64_t c = cost.at(q) - here + limits.config.cost.hop * tree.delta(v, q);
            if (best < 0 || c < loss) best = q, loss = c;
        }
        return best;
    };

    for (int32_t p : over) {
        std::iota(by_distance.begin(), by_distance.end(), 0);
        std::stable_sort(by_distance.begin(), by_distance.end(),
                         [&](int32_t a, int32_t b) { return cells.hops(p, a) < cells.hops(p, b); });
        std::vector<std::pair<int64_t, int32_t>> ranked;
        for (int32_t v : state.members(p)) {
            if (g.count[static_cast<size_t>(v)] == 0 &&
                (!g.has_bytes() || g.bytes[static_cast<size_t>(v)] <= 0))
                continue;
            int64_t loss = 0;
            if (best_target(v, p, loss) >= 0) ranked.emplace_back(loss, v);
        }
        std::sort(ranked.begin(), ranked.end());
        for (const auto& [ignored, v] : ranked) {
            if (!state.over(limits, p)) break;
            int64_t loss = 0;
            const int32_t q = best_target(v, p, loss);
            if (q < 0) continue;
            state.move(v, q);
        }
        if (limits.poll) limits.poll();
    }
    state.verify("rebalance");
    tree.verify("rebalance");
    for (int32_t p = 0; p < cells.size(); ++p)
        if (state.over(limits, p)) return false;
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
