// The last step of a mapping: whole cores move to other cells of the mesh, or trade cells, by
// simulated annealing over the graph of cores (cut edges between two cores summed) and its
// nets (each source's net contracted to the cores it reaches). Vertex
// moves cannot make such changes: every vertex of a core would have to move at once, and each
// move alone costs. The cut, the loads and the SRAM of every core stay as they are, and no
// feedback edge grows beyond the delay limit.
#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/exact_layout.hpp"
#include "zerav/graph/mapping/link_load.hpp"
#include "zerav/graph/mapping/multicast.hpp"
#include "zerav/graph/mapping/route_masks.hpp"
#include "zerav/graph/mapping/steps.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

namespace zerav::mapping {

namespace {

double uniform(Rng& rng) { return static_cast<double>(rng.next() >> 11) * 0x1.0p-53; }

// The annealing works in a window of the mesh: the block of cells (whose top left corner is the
// mesh's) and `annealing.margin` more rows and columns, so window coordinates are mesh coordinates. The
// graph of cores is the mapped graph contracted by part: one vertex per core, an edge's weight
// the cut edges between two cores, its feedback the feedback edges among them.
class Annealer {
  public:
    Annealer(const ChipCells& cells, const ChipShape& chip, const Limits& limits, LevelGraph cores)
        : limits_(limits), cores_(std::move(cores)) {
        const int64_t margin = limits.config.annealing.margin;
        rows_ = static_cast<int32_t>(std::min<int64_t>(chip.rows, cells.rows_reached() + margin));
        cols_ = static_cast<int32_t>(std::min<int64_t>(chip.cols, cells.cols_reached() + margin));
        // A window cell is usable when its core id exists on the chip and fits 32 bits (the
        // chip's sides are at most 2**31 - 1 here, so the product cannot overflow).
        const int64_t available = available_cores(chip);
        occupant_.assign(static_cast<size_t>(rows_) * static_cast<size_t>(cols_), kUnusable);
        for (int32_t r = 0; r < rows_; ++r)
            for (int32_t c = 0; c < cols_; ++c) {
                const int64_t id = r * chip.cols + c;
                if (id < available && id <= INT32_MAX) occupant_[static_cast<size_t>(r * cols_ + c)] = kEmpty;
            }
        spans_ = ColumnSpans(cols_);
        for (int32_t p = 0; p < cells.size(); ++p) {
            cell_.push_back(cells.row(p) * cols_ + cells.col(p));
            at_.push_back(MeshCell{cells.row(p), cells.col(p)});
            occupant_[static_cast<size_t>(cell_.back())] = p;
            if (cores_.end(p) > cores_.begin(p)) active_.push_back(p);
        }
        const size_t moves = static_cast<size_t>(cells.size()) * occupant_.size();
        if (moves <= kMostKnown) known_.resize(moves);
        const Nets& nets = cores_.nets;
        seen_.assign(static_cast<size_t>(nets.count), -1);
        for (int32_t e = 0; e < nets.count; ++e) tree_.push_back(links(e, -1, {}, -1, {}));
        window_links_ = RouteMasks::links(rows_, cols_);
        // On a small window the busiest link is priced too, from every link's load: each net's
        // tree kept as a mask of the window's links, a move's change of the loads the bits
        // that differ.
        if (!nets.empty() && window_links_ <= limits.config.annealing.peak_links) {
            peak_weight_ = limits.config.annealing.peak;
            routes_ = RouteMasks(rows_, cols_);
            load_.assign(static_cast<size_t>(window_links_), 0);
            for (int32_t e = 0; e < nets.count; ++e) {
                mask_.push_back(tree_mask(e, -1, -1, -1, -1));
                mask_.back().each([&](int link) {
                    load_[static_cast<size_t>(link)] += nets.weight[static_cast<size_t>(e)];
                });
            }
            peak_ = *std::max_element(load_.begin(), load_.end());
        }
    }

    // The core id (row * mesh columns + column) of each core's cell.
    std::vector<int32_t> ids(const ChipShape& chip) const {
        std::vector<int32_t> out;
        for (int32_t x : cell_) out.push_back(static_cast<int32_t>(x / cols_ * chip.cols + x % cols_));
        return out;
    }

    // Anneals from the current cells; returns the change of the cost.
    int64_t run(Rng& rng) {
        if (active_.empty()) return 0;
        // Every core's links, counted from both ends, or the pins of every net met from each pin.
        int64_t visits = cores_.end(cores_.n - 1);
        if (!cores_.nets.empty()) {
            visits = 0;
            for (int32_t e = 0; e < cores_.nets.count; ++e) {
                const int64_t pins = cores_.nets.end(e) - cores_.nets.begin(e);
                visits += pins * pins;
            }
        }
        const int64_t per_trial = std::max<int64_t>(1, 2 * visits / static_cast<int64_t>(active_.size()));
        const Config::Annealing& tuning = limits_.config.annealing;
        int64_t per_core = tuning.trials_per_core;
        if (tuning.trials_per_cell > 0)
            per_core = std::min(per_core, tuning.trials_per_cell * static_cast<int64_t>(rows_) * cols_);
        const int64_t trials =
            std::min(per_core * static_cast<int64_t>(active_.size()), tuning.max_link_visits / per_trial);
        // A small window has few layouts: where they are no more than the moves, try them all.
        if (tuning.exact && window_links_ <= RouteMasks::kMostLinks) {
            std::vector<uint8_t> usable(occupant_.size());
            for (size_t x = 0; x < usable.size(); ++x) usable[x] = occupant_[x] != kUnusable;
            const auto cells = static_cast<int64_t>(std::count(usable.begin(), usable.end(), 1));
            if (layout_count(cells, static_cast<int64_t>(active_.size()), trials) <= trials)
                return exact(usable);
        }
        // Too few moves per core to get anywhere (a dense graph of cores or many nets): none.
        if (trials < tuning.min_trials_per_core * static_cast<int64_t>(active_.size())) return 0;
        // The starting temperature, from the moves to a neighbouring cell that cost.
        double sum = 0;
        int costly = 0;
        for (int64_t i = 0; i < tuning.samples; ++i) {
            int32_t p, to;
            propose(rng, 1.0, p, to);
            int64_t d = 0;
            if (to >= 0 && known_delta(p, to, d) && d > 0) sum += static_cast<double>(d), ++costly;
        }
        if (costly == 0) return 0;
        const double t0 = tuning.start_heat * sum / costly;
        const int64_t start = kChecks ? cost() : 0;
        int64_t change = 0, best_change = 0;
        std::vector<std::pair<int32_t, int32_t>> since_best;  // (core, cell it left), to undo
        for (int64_t i = 0; i < trials; ++i) {
            const double left = 1.0 - static_cast<double>(i) / static_cast<double>(trials);
            const double t = t0 * left * left * left;
            // The reach of a move shrinks with the temperature, from the whole window to the
            // neighbouring cells.
            const double reach = std::max(1.0, static_cast<double>(std::max(rows_, cols_)) * left);
            int32_t p, to;
            propose(rng, reach, p, to);
            int64_t d = 0;
            if (to < 0 || !known_delta(p, to, d)) continue;
            if (d > 0 && (t <= 0 || uniform(rng) >= std::exp(-static_cast<double>(d) / t))) continue;
            if (pending_move_ != Pending{p, to, layout_}) {
                int64_t again = 0;
                delta(p, to, again);  // the trees after this move, into pending_
            }
            if (peak_weight_ > 0) {
                relay(1);
                for (size_t k = 0; k < pending_.size(); ++k)
                    mask_[static_cast<size_t>(pending_[k].first)] = pending_mask_[k];
                peak_ = pending_peak_;
            }
            since_best.emplace_back(p, cell_[static_cast<size_t>(p)]);
            move(p, to);
            for (const auto& [e, now] : pending_) tree_[static_cast<size_t>(e)] = now;
            change += d;
            if (change < best_change) best_change = change, since_best.clear();
            if ((i & 0xFFFF) == 0 && limits_.poll) limits_.poll();
        }
        if constexpr (kChecks)
            invariant(cost() == start + change, "core annealing",
                      "the cost differs from its start plus the moves' changes");
        // Back to the best layout seen (the last one may be slightly above it): each move was a
        // trade of two cells, undone by the same trade.
        for (size_t i = since_best.size(); i-- > 0;) move(since_best[i].first, since_best[i].second);
        return best_change;
    }

  private:
    int64_t hops(int32_t a, int32_t b) const { return mesh_hops_of_ids(a, b, cols_); }

    // Every layout of the active cores tried (`best_layout`), the cheapest taken if it lowers
    // the cost; returns the change. `usable[x]`: whether window cell x may hold a core.
    int64_t exact(const std::vector<uint8_t>& usable) {
        const WindowCost window{rows_,       cols_, usable, limits_.delay, limits_.config.annealing.edge_hops,
                                peak_weight_};
        const int64_t start = kChecks ? cost() : 0;
        std::vector<int32_t> cell = cell_;
        const int64_t change = best_layout(cores_, active_, window, cell);
        if (change == 0) return 0;
        for (int32_t& x : occupant_)
            if (x != kUnusable) x = kEmpty;
        for (size_t p = 0; p < cell.size(); ++p) {
            cell_[p] = cell[p], at_[p] = window_cell(cell[p]);
            occupant_[static_cast<size_t>(cell[p])] = static_cast<int32_t>(p);
        }
        if constexpr (kChecks)
            invariant(cost() == start + change, "core layout search",
                      "the cost differs from its start plus the search's change");
        return change;
    }

    // A recount of the cost, for the checks.
    int64_t cost() {
        int64_t total = 0;
        if (!cores_.nets.empty()) {
            for (int32_t e = 0; e < cores_.nets.count; ++e)
                total += cores_.nets.weight[static_cast<size_t>(e)] * links(e, -1, {}, -1, {});
        }
        int64_t twice = 0;  // every edge met from both ends
        for (int32_t p = 0; p < cores_.n; ++p)
            for (int64_t i = cores_.begin(p); i < cores_.end(p); ++i)
                twice += cores_.weight[static_cast<size_t>(i)] *
                         hops(cell_[static_cast<size_t>(p)],
                              cell_[static_cast<size_t>(cores_.adj[static_cast<size_t>(i)])]);
        total += twice / 2 * (cores_.nets.empty() ? 1 : limits_.config.annealing.edge_hops);
        if (peak_weight_ == 0) return total;
        LinkLoads<int64_t> loads(rows_, cols_);
        for (int32_t e = 0; e < cores_.nets.count; ++e)
            retree(loads, e, cores_.nets.weight[static_cast<size_t>(e)], -1, {}, -1, {});
        return total + peak_weight_ * loads.peak().first;
    }

    // A random active core and a random cell within `reach` hops of it (-1 when that cell is
    // outside the window, not a core of the chip, or the core's own).
    void propose(Rng& rng, double reach, int32_t& p, int32_t& to) const {
        p = active_[static_cast<size_t>(rng.below(static_cast<int32_t>(active_.size())))];
        const auto r = static_cast<int32_t>(reach);
        const int32_t here = cell_[static_cast<size_t>(p)];
        const int64_t row = here / cols_ + rng.below(2 * r + 1) - r,
                      col = here % cols_ + rng.below(2 * r + 1) - r;
        to = -1;
        if (row < 0 || row >= rows_ || col < 0 || col >= cols_) return;
        const auto x = static_cast<int32_t>(row * cols_ + col);
        if (x == here || occupant_[static_cast<size_t>(x)] == kUnusable) return;
        to = x;
    }

    // delta(p, to, d) as it was in this layout, when it was asked before: late in the
    // annealing almost every move is refused, and a small window proposes the same few moves
    // again and again. Only the trees of the last delta() wait in pending_.
    bool known_delta(int32_t p, int32_t to, int64_t& d) {
        if (known_.empty()) {
            pending_move_ = Pending{p, to, layout_};
            return delta(p, to, d);
        }
        Known& k = known_[static_cast<size_t>(p) * occupant_.size() + static_cast<size_t>(to)];
        if (k.layout != layout_) {
            k.layout = layout_, k.d = 0;
            k.fits = delta(p, to, k.d);
            pending_move_ = Pending{p, to, layout_};
        }
        d = k.d;
        return k.fits;
    }

    // The change of the cost when core `p` moves to cell `to` and the core there, if any, to
    // p's cell; false when a feedback edge would grow beyond the delay limit. The cost is the
    // rate-weighted multicast tree links when the graph has nets, else the hop total. The
    // trees' new links wait in `pending_` until the move is made.
    bool delta(int32_t p, int32_t to, int64_t& d) {
        const int32_t q = occupant_[static_cast<size_t>(to)], from = cell_[static_cast<size_t>(p)];
        if (!shift(p, q, from, to, d) || (q != kEmpty && !shift(q, p, to, from, d))) return false;
        if (cores_.nets.empty()) return true;
        d *= limits_.config.annealing.edge_hops;
        pending_.clear();
        pending_mask_.clear();
        ++stamp_;
        const Nets& nets = cores_.nets;
        const MeshCell p_at = window_cell(to), q_at = window_cell(from);
        for (int32_t x : {p, q}) {
            if (x == kEmpty) continue;
            for (int64_t i = nets.first[static_cast<size_t>(x)]; i < nets.first[static_cast<size_t>(x) + 1];
                 ++i) {
                const int32_t e = nets.of[static_cast<size_t>(i)];
                if (seen_[static_cast<size_t>(e)] == stamp_) continue;
                seen_[static_cast<size_t>(e)] = stamp_;
                int64_t now;
                if (peak_weight_ > 0) {
                    pending_mask_.push_back(tree_mask(e, p, to, q, from));
                    now = pending_mask_.back().count();
                } else {
                    now = links(e, p, p_at, q, q_at);
                }
                d += nets.weight[static_cast<size_t>(e)] * (now - tree_[static_cast<size_t>(e)]);
                pending_.emplace_back(e, now);
            }
        }
        if (peak_weight_ > 0) {
            relay(1);
            pending_peak_ = *std::max_element(load_.begin(), load_.end());
            relay(-1);
            d += peak_weight_ * (pending_peak_ - peak_);
        }
        return true;
    }

    // The link loads of the nets in `pending_` moved from their trees now to their trees after
    // the pending move (`sign` 1), or back (-1).
    void relay(int64_t sign) {
        for (size_t k = 0; k < pending_.size(); ++k) {
            const auto e = static_cast<size_t>(pending_[k].first);
            const int64_t w = sign * cores_.nets.weight[e];
            mask_[e].without(pending_mask_[k]).each([&](int link) { load_[static_cast<size_t>(link)] -= w; });
            pending_mask_[k].without(mask_[e]).each([&](int link) { load_[static_cast<size_t>(link)] += w; });
        }
    }

    MeshCell window_cell(int32_t x) const { return MeshCell{x / cols_, x % cols_}; }

    // The tree links of net `e` with core `p` at `p_at` and core `q` at `q_at` (-1: every core
    // where it is).
    int64_t links(int32_t e, int32_t p, MeshCell p_at, int32_t q, MeshCell q_at) {
        const MeshCell root = pins_at(e, p, p_at, q, q_at);
        constexpr size_t kFew = 8;
        return scratch_.size() <= kFew ? multicast_links_of_few(root, scratch_.data(), scratch_.size())
                                       : spans_.links(root, scratch_);
    }
    // Adds `w` on the links of that tree.
    void retree(LinkLoads<int64_t>& loads, int32_t e, int64_t w, int32_t p, MeshCell p_at, int32_t q,
                MeshCell q_at) {
        const MeshCell root = pins_at(e, p, p_at, q, q_at);
        loads.tree(root, scratch_, w);
    }
    // The links of net `e`'s tree with core `p` at window cell `p_cell` and core `q` at
    // `q_cell` (-1: every core where it is).
    LinkMask tree_mask(int32_t e, int32_t p, int32_t p_cell, int32_t q, int32_t q_cell) const {
        const Nets& nets = cores_.nets;
        auto at = [&](int32_t x) {
            return x == p ? p_cell : x == q ? q_cell : cell_[static_cast<size_t>(x)];
        };
        const int32_t root = at(nets.root(e));
        LinkMask tree;
        for (int64_t i = nets.begin(e) + 1; i < nets.end(e); ++i)
            tree |= routes_.route(root, at(nets.pin[static_cast<size_t>(i)]));
        return tree;
    }
    // The cells of net `e`'s targets into `scratch_`, and its root's cell, so placed.
    MeshCell pins_at(int32_t e, int32_t p, MeshCell p_at, int32_t q, MeshCell q_at) {
        const Nets& nets = cores_.nets;
        auto at = [&](int32_t x) { return x == p ? p_at : x == q ? q_at : at_[static_cast<size_t>(x)]; };
        scratch_.clear();
        for (int64_t i = nets.begin(e) + 1; i < nets.end(e); ++i)
            scratch_.push_back(at(nets.pin[static_cast<size_t>(i)]));
        return at(nets.root(e));
    }

    bool shift(int32_t p, int32_t other, int32_t from, int32_t to, int64_t& d) const {
        for (int64_t i = cores_.begin(p); i < cores_.end(p); ++i) {
            const int32_t q = cores_.adj[static_cast<size_t>(i)];
            if (q == other) continue;  // the two trade places: that link keeps its length
            const int32_t there = cell_[static_cast<size_t>(q)];
            const int64_t before = hops(from, there), after = hops(to, there);
            if (cores_.feedback[static_cast<size_t>(i)] && limits_.delay >= 0 && after > limits_.delay &&
                after > before)
                return false;
            d += cores_.weight[static_cast<size_t>(i)] * (after - before);
        }
        return true;
    }

    void move(int32_t p, int32_t to) {
        ++layout_;
        const int32_t q = occupant_[static_cast<size_t>(to)], from = cell_[static_cast<size_t>(p)];
        occupant_[static_cast<size_t>(to)] = p;
        occupant_[static_cast<size_t>(from)] = q;
        cell_[static_cast<size_t>(p)] = to;
        at_[static_cast<size_t>(p)] = window_cell(to);
        if (q != kEmpty)
            cell_[static_cast<size_t>(q)] = from, at_[static_cast<size_t>(q)] = window_cell(from);
    }

    static constexpr int32_t kEmpty = -1, kUnusable = -2;
    const Limits& limits_;
    int32_t rows_ = 0, cols_ = 0;  // of the window
    int64_t window_links_ = 0;     // its directed links
    LevelGraph cores_;
    std::vector<int32_t> cell_;      // window cell (row * window columns + column) of each core
    std::vector<MeshCell> at_;       // and its row and column
    std::vector<int32_t> occupant_;  // core in each window cell, kEmpty or kUnusable
    std::vector<int32_t> active_;    // cores with at least one link
    std::vector<int64_t> tree_;      // tree links of each net of the graph of cores
    std::vector<int32_t> seen_;      // the last delta() that met each net
    int32_t stamp_ = 0;
    std::vector<std::pair<int32_t, int64_t>> pending_;  // (net, its links after the proposed move)
    struct Pending {
        int32_t core, cell;
        uint64_t layout;
        bool operator==(const Pending&) const = default;
    } pending_move_{-1, -1, 0};  // the move whose trees pending_ holds
    // The last delta() of each move (core, window cell), and the layout it was asked in (0:
    // never); none for more than kMostKnown moves.
    struct Known {
        uint64_t layout = 0;
        int64_t d = 0;
        bool fits = false;
    };
    static constexpr size_t kMostKnown = size_t{1} << 18;
    std::vector<Known> known_;
    uint64_t layout_ = 1;  // counts the moves made
    std::vector<MeshCell> scratch_;
    ColumnSpans spans_{0};  // counts the trees of more than a few targets
    // The busiest link's load at `peak_weight_` per rate unit (0: not priced), from the load of
    // every link of the window (rate units), each net's tree as a mask of links, and the masks
    // after the pending move beside `pending_`.
    int64_t peak_weight_ = 0, peak_ = 0, pending_peak_ = 0;
    RouteMasks routes_;
    std::vector<int64_t> load_;
    std::vector<LinkMask> mask_, pending_mask_;
};

}  // namespace

std::vector<int32_t> place_cores(const LevelGraph& g, const ChipCells& cells, const ChipShape& chip,
                                 const Limits& limits, const std::vector<int32_t>& part, Rng& rng) {
    std::vector<int32_t> ids;
    for (int32_t p = 0; p < cells.size(); ++p) ids.push_back(cells.id(p));
    if (!chip.mesh || cells.size() < 2) return ids;
    Annealer annealer(cells, chip, limits, contract(g, part, cells.size()));
    // Kept only when it lowers the cost: annealing may end above where it started.
    if (annealer.run(rng) < 0) return annealer.ids(chip);
    return ids;
}

}  // namespace zerav::mapping
