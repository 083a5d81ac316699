// A depth-first search over the layouts of the active cores: each core in turn takes every free
// usable cell, the edges to the cores already placed priced (and a feedback edge grown too long
// refused) on the way down, the trees of the nets (the OR of their routes' link masks) and the
// busiest link at each full layout.
#include "zerav/graph/mapping/exact_layout.hpp"

#include "zerav/graph/mapping/distance.hpp"
#include "zerav/graph/mapping/route_masks.hpp"

#include <algorithm>

namespace zerav::mapping {

int64_t layout_count(int64_t cells, int64_t cores, int64_t most) {
    if (cores > cells) return 0;
    int64_t count = 1;
    for (int64_t i = 0; i < cores; ++i) {
        const int64_t factor = cells - i;
        if (count > (most + factor) / factor) return most + 1;  // count * factor > most + factor - 1
        count *= factor;
        if (count > most) return most + 1;
    }
    return count;
}

namespace {

class LayoutSearch {
  public:
    LayoutSearch(const LevelGraph& cores, const std::vector<int32_t>& active, const WindowCost& w,
                 const std::vector<int32_t>& start)
        : g_(cores),
          active_(active),
          w_(w),
          start_(start),
          cell_(start),
          routes_(w.rows, w.cols),
          links_(RouteMasks::links(w.rows, w.cols)) {
        const int32_t cells = w.rows * w.cols;
        used_.assign(static_cast<size_t>(cells), 0);
        placed_.assign(static_cast<size_t>(g_.n), 0);
        symmetric_ = std::all_of(w.usable.begin(), w.usable.end(), [](uint8_t u) { return u != 0; });
    }

    // The cost of the layout in `cell_` with every active core placed.
    int64_t full_cost() {
        int64_t twice = 0;
        for (int32_t p : active_)
            for (int64_t i = g_.begin(p); i < g_.end(p); ++i)
                twice += g_.weight[static_cast<size_t>(i)] * hops(p, g_.adj[static_cast<size_t>(i)]);
        return edge_weight() * (twice / 2) + nets_cost();
    }

    // Searches every layout; returns the cost of the best and leaves it in `best_`.
    int64_t search(int64_t start_cost) {
        best_cost_ = start_cost;
        best_.clear();
        down(0, 0);
        return best_cost_;
    }

    const std::vector<int32_t>& best() const { return best_; }

  private:
    int64_t edge_weight() const { return g_.nets.empty() ? 1 : w_.edge_hops; }
    int64_t hops(int32_t p, int32_t q) const {
        return mesh_hops_of_ids(cell_[static_cast<size_t>(p)], cell_[static_cast<size_t>(q)], w_.cols);
    }

    // Places active core `i` and the ones after it, `edges` the edge cost of the cores placed.
    void down(size_t i, int64_t edges) {
        if (i == active_.size()) {
            // A layout of a whole window moved up or left costs the same (hops, routes and the
            // busiest link move with it) and comes earlier in this search, every core on a
            // lower cell: only layouts that touch the top row and the left column are priced.
            if (symmetric_ && !touches_top_left()) return;
            const int64_t total = edge_weight() * edges + nets_cost();
            if (total < best_cost_) best_cost_ = total, best_ = cell_;
            return;
        }
        const int32_t p = active_[i];
        const int32_t cells = w_.rows * w_.cols;
        placed_[static_cast<size_t>(p)] = 1;
        for (int32_t x = 0; x < cells; ++x) {
            if (!w_.usable[static_cast<size_t>(x)] || used_[static_cast<size_t>(x)]) continue;
            // Mirrored left to right or top to bottom, a layout of a whole window costs the
            // same (the routes mirror into routes, hops stay): the first core stays in the
            // top left quarter.
            if (i == 0 && symmetric_ && (x / w_.cols > (w_.rows - 1) / 2 || x % w_.cols > (w_.cols - 1) / 2))
                continue;
            cell_[static_cast<size_t>(p)] = x;
            int64_t add = 0;
            bool fits = true;
            for (int64_t k = g_.begin(p); k < g_.end(p) && fits; ++k) {
                const int32_t q = g_.adj[static_cast<size_t>(k)];
                if (!placed_[static_cast<size_t>(q)] || q == p) continue;
                const int64_t h = hops(p, q);
                if (g_.feedback[static_cast<size_t>(k)] && w_.delay >= 0 && h > w_.delay &&
                    h > mesh_hops_of_ids(start_[static_cast<size_t>(p)], start_[static_cast<size_t>(q)],
                                         w_.cols))
                    fits = false;
                add += g_.weight[static_cast<size_t>(k)] * h;
            }
            if (!fits) continue;
            used_[static_cast<size_t>(x)] = 1;
            down(i + 1, edges + add);
            used_[static_cast<size_t>(x)] = 0;
        }
        placed_[static_cast<size_t>(p)] = 0;
        cell_[static_cast<size_t>(p)] = start_[static_cast<size_t>(p)];
    }

    bool touches_top_left() const {
        bool top = false, left = false;
        for (int32_t p : active_) {
            const int32_t x = cell_[static_cast<size_t>(p)];
            top = top || x < w_.cols;
            left = left || x % w_.cols == 0;
        }
        return top && left;
    }

    // The nets' tree links at their weights, and the busiest link's load at `peak`.
    int64_t nets_cost() {
        const Nets& nets = g_.nets;
        if (w_.peak > 0) std::fill(load_, load_ + links_, 0);
        int64_t total = 0;
        for (int32_t e = 0; e < nets.count; ++e) {
            const int32_t root = cell_[static_cast<size_t>(nets.root(e))];
            LinkMask tree;
            for (int64_t i = nets.begin(e) + 1; i < nets.end(e); ++i)
                tree |= routes_.route(root, cell_[static_cast<size_t>(nets.pin[static_cast<size_t>(i)])]);
            const int64_t weight = nets.weight[static_cast<size_t>(e)];
            if (w_.peak == 0) {
                total += weight * tree.count();
                continue;
            }
            tree.each([&](int link) { load_[link] += weight, total += weight; });
        }
        if (w_.peak > 0) total += w_.peak * *std::max_element(load_, load_ + links_);
        return total;
    }

    const LevelGraph& g_;
    const std::vector<int32_t>& active_;
    const WindowCost& w_;
    const std::vector<int32_t>& start_;
    std::vector<int32_t> cell_, best_;
    RouteMasks routes_;
    std::vector<uint8_t> used_, placed_;
    bool symmetric_ = false;  // every cell of the window usable
    int64_t links_;           // of the window, at most RouteMasks::kMostLinks
    int64_t load_[RouteMasks::kMostLinks] = {};
    int64_t best_cost_ = 0;
};

}  // namespace

int64_t best_layout(const LevelGraph& cores, const std::vector<int32_t>& active, const WindowCost& window,
                    std::vector<int32_t>& cell) {
    LayoutSearch search(cores, active, window, cell);
    const int64_t start = search.full_cost();
    const int64_t best = search.search(start);
    if (search.best().empty()) return 0;
    // The cores without edges cost nothing anywhere: each keeps its cell unless an active core
    // took it, and then takes the first cell the active cores left.
    std::vector<int32_t> out = search.best();
    std::vector<uint8_t> taken(window.usable.size(), 0);
    std::vector<uint8_t> is_active(cell.size(), 0);
    for (int32_t p : active)
        is_active[static_cast<size_t>(p)] = 1, taken[static_cast<size_t>(out[static_cast<size_t>(p)])] = 1;
    std::vector<int32_t> displaced;
    for (size_t p = 0; p < cell.size(); ++p) {
        if (is_active[p]) continue;
        if (taken[static_cast<size_t>(cell[p])])
            displaced.push_back(static_cast<int32_t>(p));
        else
            taken[static_cast<size_t>(cell[p])] = 1;
    }
    size_t free = 0;
    for (int32_t p : displaced) {
        while (taken[free] || !window.usable[free]) ++free;
        out[static_cast<size_t>(p)] = static_cast<int32_t>(free);
        taken[free] = 1;
    }
    cell = std::move(out);
    return best - start;
}

}  // namespace zerav::mapping
