// The first mapping of the coarsest graph, by dual recursive bisection: the block of cells is
// halved along its longer side and the vertices are bisected in proportion, then both halves
// recurse, breadth first, until every half is one cell. A bisection weighs each edge by the
// distance it will span: an edge inside the region by the distance between the two halves,
// an edge to a vertex elsewhere by the distance from each half to that vertex's region. So
// pieces that talk to each other land in neighbouring cells, not only in different halves.
// By nets (on request, when the graph has them), a net pays the distance between the halves
// once when it is cut, however many of its pins lie on each side, and its pins elsewhere pull
// it towards the nearer half (`split_nets.hpp`); the edges weigh `bisection.net_edges` rate
// units beside them.
#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/distance.hpp"
#include "zerav/graph/mapping/gain_queue.hpp"
#include "zerav/graph/mapping/partition_state.hpp"
#include "zerav/graph/mapping/split_nets.hpp"
#include "zerav/graph/mapping/steps.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>

namespace zerav::mapping {

namespace {

struct Centre {
    double row = 0, col = 0;
};

double distance(const Centre& a, const Centre& b) { return plane_hops(a.row, a.col, b.row, b.col); }

struct Region {
    std::vector<int32_t> vertices;
    std::vector<int32_t> cells;  // part indices
    Centre centre;
};

Centre centre_of(const std::vector<int32_t>& cells, const ChipCells& chip) {
    Centre c;
    for (int32_t p : cells) c.row += chip.row(p), c.col += chip.col(p);
    c.row /= static_cast<double>(cells.size());
    c.col /= static_cast<double>(cells.size());
    return c;
}

// The two halves of one bisection: the parts of the regions' state they are, their capacities
// and where they sit.
struct Halves {
    int32_t first;        // the part of side 0; side 1 is the next
    int64_t target;       // compute nodes aimed at for side 0
    int64_t cap[2];       // compute nodes each side may take
    int64_t byte_cap[2];  // bytes each side may take, -1 without SRAM
    int64_t span;         // distance between the two halves, in gain units
};

// Bisects regions of the partition state whose parts are the regions: the vertices of one
// part move to the two new parts of its halves, so the state keeps each side's compute nodes
// and bytes (`allocate`'s count, as if the side were one core) and undoes a pass's moves.
class Bisector {
  public:
    Bisector(const LevelGraph& g, PartitionState& regions, const Config::Bisection& tuning, Rng& rng)
        : g_(g),
          regions_(regions),
          part_(regions.part_of().data()),
          tuning_(tuning),
          rng_(rng),
          locked_(static_cast<size_t>(g.n), 0),
          gain_(static_cast<size_t>(g.n), 0),
          pull_(static_cast<size_t>(g.n), 0),
          queue_{GainQueue(g.n), GainQueue(g.n)} {}

    // Splits `vertices` (one part of the state) into the halves' parts within their caps,
    // side 0 aiming at the target. `pull[i]` is what vertex i saves on its edges to the
    // outside by sitting on side 0 rather than side 1, in gain units (with nets, beside
    // theirs). With `start`, the split begins from those sides instead of growing a new one.
    // With `nets` (entered for these vertices), it prices them too.
    void split(const std::vector<int32_t>& vertices, const std::vector<int64_t>& pull, const Halves& h,
               const std::vector<uint8_t>* start, SplitNets* nets) {
        first_ = h.first;
        nets_ = nets;
        for (size_t i = 0; i < vertices.size(); ++i) pull_[static_cast<size_t>(vertices[i])] = pull[i];
        if (start) {
            for (size_t i = 0; i < vertices.size(); ++i) move(vertices[i], (*start)[i]);
            improve(vertices, h);
            return;
        }
        // The cheapest of a few grown splits is refined.
        const auto [all_on_1, pulled] = start_growth(vertices, h);
        std::vector<uint8_t> best;
        int64_t best_cost = 0;
        const int64_t trials = static_cast<int64_t>(vertices.size()) > tuning_.many_vertices ? 1
                               : nets_ ? tuning_.net_growth_trials
                                       : tuning_.growth_trials;
        for (int64_t trial = 0; trial < trials; ++trial) {
            if (trial > 0) {
                for (int32_t v : vertices) move(v, 1);
                if (nets_) nets_->restore_counts();
            }
            const int64_t c = all_on_1 - grow(vertices, h, pulled && trial == 0);
            if constexpr (kChecks)
                invariant(c == cost(vertices, h), "a bisection's growth", "the cost differs from a recount");
            if (best.empty() || c < best_cost) {
                best_cost = c;
                best.clear();
                for (int32_t v : vertices) best.push_back(static_cast<uint8_t>(side(v)));
            }
        }
        for (size_t i = 0; i < vertices.size(); ++i) move(vertices[i], best[i]);
        improve(vertices, h);
    }

  private:
    // The side of a vertex of the region being split.
    int side(int32_t v) const { return part_[v] - first_; }
    auto sides() const {
        return [this](int32_t u) { return side(u); };
    }
    // Whether `u` lies in the region being split (its vertices are all on one side or the other).
    bool inside(int32_t u) const { return static_cast<uint32_t>(part_[u] - first_) < 2; }
    void move(int32_t v, int t) { regions_.move(v, first_ + t); }

    // Whether `v` (on the other side) may join side `t` within its caps (nodes: plus `slack`).
    bool fits(int32_t v, int t, const Halves& h, int64_t slack = 0) const {
        const int32_t p = first_ + t;
        return regions_.count(p) + g_.count[static_cast<size_t>(v)] <= h.cap[t] + slack &&
               (h.byte_cap[t] < 0 || regions_.bytes(p) + regions_.joining_bytes(v, p) <= h.byte_cap[t]);
    }
    // Whether side `s` is within its caps.
    bool within(int s, const Halves& h) const {
        const int32_t p = first_ + s;
        return regions_.count(p) <= h.cap[s] && (h.byte_cap[s] < 0 || regions_.bytes(p) <= h.byte_cap[s]);
    }
    // Compute nodes beyond the caps, both sides together.
    int64_t overflow(const Halves& h) const {
        return std::max<int64_t>(0, regions_.count(first_) - h.cap[0]) +
               std::max<int64_t>(0, regions_.count(first_ + 1) - h.cap[1]);
    }

    // A vertex far from a random one: the last one a breadth-first search reaches.
    int32_t far_vertex(const std::vector<int32_t>& vertices) {
        const int32_t start =
            vertices[static_cast<size_t>(rng_.below(static_cast<int32_t>(vertices.size())))];
        ++visit_round_;
        if (seen_.empty()) seen_.assign(static_cast<size_t>(g_.n), 0);
        std::vector<int32_t>& queue = bfs_;
        queue.assign(1, start);
        seen_[static_cast<size_t>(start)] = visit_round_;
        // Once every vertex is reached, the last one is known: the search stops there (on a
        // dense graph after a few vertices' edges).
        for (size_t head = 0; head < queue.size() && queue.size() < vertices.size(); ++head) {
            const int32_t v = queue[head];
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (!inside(u) || seen_[static_cast<size_t>(u)] == visit_round_) continue;
                seen_[static_cast<size_t>(u)] = visit_round_;
                queue.push_back(u);
            }
        }
        return queue.back();
    }

    // Puts all vertices on side 1, where every growth starts, and counts their gains there
    // (`start_gain_`) once for all growths. Returns the cost there and whether some vertex or
    // net is pulled towards side 0.
    std::pair<int64_t, bool> start_growth(const std::vector<int32_t>& vertices, const Halves& h) {
        for (int32_t v : vertices) move(v, 1);
        if (nets_) nets_->recount(sides()), nets_->save_counts();
        bool pulled = nets_ && nets_->pulled_to_0();
        start_gain_.clear();
        for (int32_t v : vertices) {
            bool boundary = false;
            start_gain_.push_back(move_gain(v, h, boundary));
            if (pull_[static_cast<size_t>(v)] > 0) pulled = true;
        }
        return {nets_ ? nets_->cost() : 0, pulled};  // no edge cut, no pull taken
    }

    // Grows side 0, all vertices on side 1 to start with (their gains in `start_gain_`), from
    // the vertex that gains most by joining it (with `pulled_seed`; otherwise a far vertex),
    // always adding the vertex whose move to side 0 costs least, until side 0 reaches its
    // target and side 1 fits. A vertex that does not fit is locked on side 1. Returns what the
    // moves saved, in all.
    int64_t grow(const std::vector<int32_t>& vertices, const Halves& h, bool pulled_seed) {
        GainQueue& queue = queue_[0];
        for (size_t i = 0; i < vertices.size(); ++i) {
            const auto vs = static_cast<size_t>(vertices[i]);
            locked_[vs] = 0;
            gain_[vs] = start_gain_[i];
        }
        if (pulled_seed) {
            for (int32_t v : vertices) queue.set(v, gain_[static_cast<size_t>(v)]);
        } else {
            const int32_t seed = far_vertex(vertices);
            queue.set(seed, gain_[static_cast<size_t>(seed)]);
        }
        size_t next_free = static_cast<size_t>(rng_.below(static_cast<int32_t>(vertices.size())));
        size_t scanned = 0;
        int64_t saved = 0;
        while (regions_.count(first_) < h.target || !within(1, h)) {
            int32_t v = -1;
            if (!queue.empty()) {  // only vertices still on side 1 are queued
                v = queue.top();
                queue.pop();
            }
            if (v < 0) {  // a new component: start from any vertex still on side 1
                auto taken = [&](size_t i) {
                    const int32_t u = vertices[(next_free + i) % vertices.size()];
                    return side(u) != 1 || locked_[static_cast<size_t>(u)];
                };
                while (scanned < vertices.size() && taken(scanned)) ++scanned;
                if (scanned == vertices.size()) break;
                v = vertices[(next_free + scanned) % vertices.size()];
            }
            const auto vs = static_cast<size_t>(v);
            if (!fits(v, 0, h)) {
                locked_[vs] = 1;  // does not fit: it stays on side 1
                continue;
            }
            move(v, 0);
            saved += gain_[vs];
            after_move(v, 1, h, [&](int32_t u, int64_t d) {
                const auto us = static_cast<size_t>(u);
                if (side(u) != 1 || locked_[us]) return;
                gain_[us] += d;
                queue.set(u, gain_[us]);
            });
        }
        queue.clear();
        return saved;
    }

    // Tells the neighbours of `v`, just moved off side `s`: calls `changed(u, d)` for each
    // vertex u in the region whose gain the move may change, d the change (with nets: the
    // other pins of the nets whose cost the move changed).
    template <class Changed>
    void after_move(int32_t v, int s, const Halves& h, Changed&& changed) {
        if (nets_) nets_->move(v, s, sides(), changed);
        const int64_t span = edge_span(h);
        if (span == 0) return;
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
            const int32_t u = g_.adj[static_cast<size_t>(i)];
            if (!inside(u)) continue;
            const int64_t d = 2 * g_.weight[static_cast<size_t>(i)] * span;
            changed(u, side(u) == s ? d : -d);
        }
    }

    // What a cut edge costs: the distance between the halves, or with nets that times
    // `net_edges` (nets cost their rate units, `cost.rate_units` at the highest rate).
    int64_t edge_span(const Halves& h) const { return nets_ ? h.span * tuning_.net_edges : h.span; }

    // What moving `v` to the other side saves (negative: what it costs); `boundary` says
    // whether it has a neighbour on the other side.
    int64_t move_gain(int32_t v, const Halves& h, bool& boundary) const {
        const auto vs = static_cast<size_t>(v);
        const int s = side(v);
        const int64_t outside = s == 0 ? -pull_[vs] : pull_[vs];
        boundary = false;
        const int64_t by_nets = nets_ ? nets_->gain(v, s, boundary) : 0;
        const int64_t span = edge_span(h);
        if (span == 0) return by_nets + outside;
        int64_t own = 0, other = 0;
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
            const int32_t u = g_.adj[static_cast<size_t>(i)];
            if (!inside(u)) continue;
            (side(u) == s ? own : other) += g_.weight[static_cast<size_t>(i)];
        }
        boundary = boundary || other > 0;
        return (other - own) * span + by_nets + outside;
    }

    // Fiduccia-Mattheyses passes: the vertex whose move saves most (or costs least) moves,
    // once per pass, while the side it joins stays within its caps; the pass then returns to
    // the best point it went through. Moves that first cost can so lead to a better split.
    void improve(const std::vector<int32_t>& vertices, const Halves& h) {
        if (nets_) nets_->recount(sides());
        // A pass gives up after a tenth of the vertices moved without a new best: a shorter
        // patience stops passes that would still find a lower cut and fewer hops on large
        // inputs, a longer one found no more (docs/EXPERIMENTS.md).
        const size_t patience = std::max(static_cast<size_t>(tuning_.patience),
                                         vertices.size() / static_cast<size_t>(tuning_.patience_share));
        // A move may take a side past its cap by up to the largest vertex: with no room to spare
        // a pass can still trade vertices, one move after the other. The pass returns to the
        // point that exceeds the caps least, and among those to the one that saved most.
        int64_t heaviest = 0;
        for (int32_t v : vertices) heaviest = std::max(heaviest, g_.count[static_cast<size_t>(v)]);
        // The gains are counted once; the moves of the passes, and the moves undone after
        // them, keep them up to date.
        for (int32_t v : vertices) {
            bool boundary = false;
            gain_[static_cast<size_t>(v)] = move_gain(v, h, boundary);
        }
        for (int64_t pass = 0; pass < tuning_.passes; ++pass) {
            // One queue per side. Only vertices on the boundary, or pulled to the other side,
            // can lead: the others enter when a neighbour moves. A vertex leaves its queue
            // when it moves (and is locked for the rest of the pass).
            GainQueue* queue = queue_;
            for (int32_t v : vertices) {
                const auto vs = static_cast<size_t>(v);
                locked_[vs] = 0;
                if (gain_[vs] > 0 || on_boundary(v, h)) queue[side(v)].set(v, gain_[vs]);
            }
            const size_t mark = regions_.checkpoint();
            const int64_t cost_before = kChecks ? cost(vertices, h) : 0;
            int64_t total = 0, best_total = 0;
            size_t length = 0, best_length = 0;
            int64_t best_overflow = overflow(h);
            while (length - best_length < patience) {
                // The move comes from the side whose best gains more among the moves that fit.
                // A side whose best does not fit waits until moves the other way make room,
                // instead of being locked.
                int from = -1;
                for (int s = 0; s < 2; ++s) {
                    if (queue[s].empty() || !fits(queue[s].top(), 1 - s, h, heaviest)) continue;
                    if (from < 0 || queue[s].top_gain() > queue[from].top_gain()) from = s;
                }
                if (from < 0) break;
                const int64_t g = queue[from].top_gain();
                const int32_t v = queue[from].top();
                queue[from].pop();
                const auto vs = static_cast<size_t>(v);
                const int s = from, t = 1 - s;
                locked_[vs] = 1;
                move(v, t);
                gain_[vs] = -g;  // moving back undoes the move
                total += g;
                ++length;
                const int64_t over = overflow(h);
                if (over < best_overflow || (over == best_overflow && total > best_total))
                    best_total = total, best_length = length, best_overflow = over;
                after_move(v, s, h, [&](int32_t u, int64_t d) {
                    const auto us = static_cast<size_t>(u);
                    gain_[us] += d;
                    if (!locked_[us]) queue[side(u)].set(u, gain_[us]);
                });
            }
            queue[0].clear();
            queue[1].clear();
            if constexpr (kChecks) verify(vertices, h, cost_before - total);
            // Back to the best point. Before another pass each undone move is a move back that
            // updates the gains; after the last, the nets learn of the moves undone, then the
            // state undoes them.
            if (best_length > 0 && pass + 1 < tuning_.passes) {
                for (size_t end = mark + length; end > mark + best_length; --end) {
                    const int32_t v = regions_.moves_since(end - 1)->first;
                    const int t = side(v);
                    regions_.rollback(end - 1);
                    gain_[static_cast<size_t>(v)] = -gain_[static_cast<size_t>(v)];
                    after_move(v, t, h, [&](int32_t u, int64_t d) { gain_[static_cast<size_t>(u)] += d; });
                }
                if constexpr (kChecks) verify(vertices, h, cost_before - best_total);
            } else {
                if (nets_)
                    for (auto m = regions_.moves_since(mark + best_length); m != regions_.moves_end(); ++m)
                        nets_->shift(m->first, side(m->first));
                regions_.rollback(mark + best_length);
            }
            regions_.forget();
            if (best_length == 0) break;
        }
    }

    // Whether `v` has a neighbour in the region, or a net with a pin, on the other side (as
    // move_gain() says, without the gain).
    bool on_boundary(int32_t v, const Halves& h) const {
        const int s = side(v);
        if (nets_ && nets_->reaches(v, 1 - s)) return true;
        if (edge_span(h) == 0) return false;
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
            const int32_t u = g_.adj[static_cast<size_t>(i)];
            if (inside(u) && side(u) != s && g_.weight[static_cast<size_t>(i)] > 0) return true;
        }
        return false;
    }

    // Debug builds: the state's loads, the nets' pin counts, the gains and the cost (the cost
    // before the pass less the gains taken) equal a recount.
    void verify(const std::vector<int32_t>& vertices, const Halves& h, int64_t cost_now) {
        regions_.verify("a bisection pass");
        if (nets_)
            invariant(nets_->counts_match(sides()), "a bisection pass",
                      "the nets' pins per side differ from a recount");
        for (int32_t v : vertices) {
            bool boundary = false;
            invariant(gain_[static_cast<size_t>(v)] == move_gain(v, h, boundary), "a bisection pass",
                      "a gain differs from a recount");
        }
        invariant(cost(vertices, h) == cost_now, "a bisection pass", "the cost differs from a recount");
    }

    // The distance-weighted cost of the split, up to a constant.
    int64_t cost(const std::vector<int32_t>& vertices, const Halves& h) const {
        int64_t pulled = 0, cut = 0;  // cut edges are seen from both ends
        for (int32_t v : vertices) {
            const int s = side(v);
            if (s == 0) pulled -= pull_[static_cast<size_t>(v)];
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (inside(u) && side(u) != s) cut += g_.weight[static_cast<size_t>(i)] * edge_span(h);
            }
        }
        return pulled + cut / 2 + (nets_ ? nets_->cost() : 0);
    }

    const LevelGraph& g_;
    PartitionState& regions_;  // one part per region; the split's sides are parts first_ and first_ + 1
    const int32_t* part_;      // the state's part of each vertex, read in every gain
    const Config::Bisection& tuning_;
    Rng& rng_;
    SplitNets* nets_ = nullptr;  // the nets of the split under way, if it prices them
    int32_t first_ = 0;
    std::vector<int32_t> seen_, bfs_;
    std::vector<uint8_t> locked_;
    std::vector<int64_t> gain_, pull_;  // in gain units
    std::vector<int64_t> start_gain_;   // per vertex of the split: its gain with all on side 1
    GainQueue queue_[2];                // one per side
    int32_t visit_round_ = 0;
};

// Halves a block of cells along its longer side, between two whole rows (or columns), so
// that both halves stay blocks: the cut closest to half the cells.
std::pair<std::vector<int32_t>, std::vector<int32_t>> halve(std::vector<int32_t> cells,
                                                            const ChipCells& chip) {
    int32_t r0 = INT32_MAX, r1 = INT32_MIN, c0 = INT32_MAX, c1 = INT32_MIN;
    for (int32_t p : cells) {
        r0 = std::min(r0, chip.row(p)), r1 = std::max(r1, chip.row(p));
        c0 = std::min(c0, chip.col(p)), c1 = std::max(c1, chip.col(p));
    }
    const bool by_row = r1 - r0 >= c1 - c0;
    auto line = [&](int32_t p) { return by_row ? chip.row(p) : chip.col(p); };
    std::sort(cells.begin(), cells.end(), [&](int32_t a, int32_t b) {
        if (by_row) return std::pair(chip.row(a), chip.col(a)) < std::pair(chip.row(b), chip.col(b));
        return std::pair(chip.col(a), chip.row(a)) < std::pair(chip.col(b), chip.row(b));
    });
    size_t best = cells.size() / 2, best_gap = SIZE_MAX;
    for (size_t i = 1; i < cells.size(); ++i) {
        if (line(cells[i]) == line(cells[i - 1])) continue;
        const size_t gap = i > cells.size() / 2 ? i - cells.size() / 2 : cells.size() / 2 - i;
        if (gap < best_gap) best = i, best_gap = gap;
    }
    const auto half = static_cast<std::ptrdiff_t>(best);
    return {std::vector<int32_t>(cells.begin(), cells.begin() + half),
            std::vector<int32_t>(cells.begin() + half, cells.end())};
}

}  // namespace

std::vector<int32_t> initial_mapping(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                                     Rng& rng, bool by_nets, const std::vector<int32_t>* start) {
    std::vector<uint8_t> in_left(static_cast<size_t>(cells.size()), 0), start_sides;
    std::vector<int32_t> part(static_cast<size_t>(g.n), 0);
    const Config::Bisection& tuning = limits.config.bisection;
    std::optional<SplitNets> nets;
    if (by_nets && !g.nets.empty()) nets.emplace(g.nets);
    // The regions ever made are the parts of one state: the whole block, then two per
    // bisection (at most one bisection fewer than the cells).
    std::vector<int32_t> region_of(static_cast<size_t>(g.n), 0);
    PartitionState regions(g, std::max(1, 2 * cells.size() - 1), region_of);
    Bisector bisector(g, regions, tuning, rng);
    // Per region ever made, its distances from the two halves of the bisection under way
    // (`away_at` says which bisection they are for): worked out once, not once per edge.
    std::vector<std::pair<double, double>> away;
    std::vector<int32_t> away_at;
    int32_t bisections = 0;
    std::vector<Centre> centres;  // per region ever made: where its vertices are bound
    std::deque<Region> queue(1);
    for (int32_t v = 0; v < g.n; ++v) queue[0].vertices.push_back(v);
    for (int32_t p = 0; p < cells.size(); ++p) queue[0].cells.push_back(p);
    queue[0].centre = centre_of(queue[0].cells, cells);
    centres.push_back(queue[0].centre);
    std::vector<int64_t> pull;
    const auto units = static_cast<double>(tuning.gain_units);
    while (!queue.empty()) {
        Region region = std::move(queue.front());
        queue.pop_front();
        if (limits.poll) limits.poll();
        if (region.cells.size() == 1 || region.vertices.empty()) {
            for (int32_t v : region.vertices) part[static_cast<size_t>(v)] = region.cells[0];
            continue;
        }
        auto [left, right] = halve(std::move(region.cells), cells);
        Region a{{}, std::move(left), {}}, b{{}, std::move(right), {}};
        a.centre = centre_of(a.cells, cells);
        b.centre = centre_of(b.cells, cells);
        const int32_t own = region_of[static_cast<size_t>(region.vertices[0])];
        // Nets weigh rate units (rate_units at the highest rate) where edges weigh 1: the pull
        // of late feedback edges is scaled to keep its weight against them.
        const double late_pull =
            tuning.late_pull * static_cast<double>(nets ? limits.config.cost.rate_units : 1);
        const double edge_weight = nets ? static_cast<double>(tuning.net_edges) : 1.0;
        ++bisections;
        away.resize(centres.size()), away_at.resize(centres.size(), 0);
        auto distances = [&](int32_t r) -> const std::pair<double, double>& {
            const auto rs = static_cast<size_t>(r);
            if (away_at[rs] != bisections) {
                away_at[rs] = bisections;
                away[rs] = {distance(a.centre, centres[rs]), distance(b.centre, centres[rs])};
            }
            return away[rs];
        };
        pull.clear();
        int64_t total = 0;
        for (int32_t v : region.vertices) {
            total += g.count[static_cast<size_t>(v)];
            double p = 0;
            for (int64_t i = g.begin(v); i < g.end(v); ++i) {
                const int32_t r = region_of[static_cast<size_t>(g.adj[static_cast<size_t>(i)])];
                if (r == own) continue;
                const auto [da, db] = distances(r);
                p += tuning.outside_pull * edge_weight *
                     static_cast<double>(g.weight[static_cast<size_t>(i)]) * (db - da);
                // A feedback edge that would reach beyond the delay limit pulls much harder.
                if (limits.delay >= 0 && g.feedback[static_cast<size_t>(i)] > 0)
                    p += late_pull * static_cast<double>(g.feedback[static_cast<size_t>(i)]) *
                         (std::max(0.0, db - static_cast<double>(limits.delay)) -
                          std::max(0.0, da - static_cast<double>(limits.delay)));
            }
            pull.push_back(std::llround(p * units));
        }
        const auto ida = static_cast<int32_t>(centres.size());
        const auto nl = static_cast<int64_t>(a.cells.size()), nr = static_cast<int64_t>(b.cells.size());
        Halves h{ida,
                 total * nl / (nl + nr),
                 {nl * limits.capacity, nr * limits.capacity},
                 {limits.sram < 0 ? -1 : nl * limits.sram, limits.sram < 0 ? -1 : nr * limits.sram},
                 std::llround(std::max(1.0, distance(a.centre, b.centre)) * units)};
        if (nets) {
            nets->enter(
                region.vertices, region_of, own, h.span,
                [&](int32_t r) {
                    const auto [da, db] = distances(r);
                    return tuning.outside_pull * units * (db - da);
                },
                pull);
        }
        if (start) {
            for (int32_t p : a.cells) in_left[static_cast<size_t>(p)] = 1;
            for (int32_t p : b.cells) in_left[static_cast<size_t>(p)] = 0;
            start_sides.clear();
            for (int32_t v : region.vertices)
                start_sides.push_back(in_left[static_cast<size_t>((*start)[static_cast<size_t>(v)])] ? 0 : 1);
        }
        bisector.split(region.vertices, pull, h, start ? &start_sides : nullptr, nets ? &*nets : nullptr);
        centres.push_back(a.centre);
        centres.push_back(b.centre);
        for (int32_t v : region.vertices) (regions.part(v) == ida ? a : b).vertices.push_back(v);
        queue.push_back(std::move(a));
        queue.push_back(std::move(b));
    }
    return part;
}

}  // namespace zerav::mapping
