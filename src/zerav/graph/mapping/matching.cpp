// Coarsening: a matching of the vertices into pairs, each within a cap of nodes (and the SRAM
// limit). A pair is rated by the edges between them (heavy-edge matching), or with
// `coarsening.rating` by the nets they share: a net of weight w and s pins adds w / (s - 1) to
// every pair of its pins, as hypergraph coarseners rate, so that targets of the same sources
// end up together (they then share the sources' trees).
#include "zerav/graph/mapping/steps.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

#include <numeric>

namespace zerav::mapping {

namespace {

using resource::routing_bytes_per_edge;

class Matcher {
  public:
    Matcher(const LevelGraph& g, const Limits& limits, int64_t max_count)
        : g_(g),
          limits_(limits),
          max_count_(max_count),
          group_(static_cast<size_t>(g.n), -1),
          rating_(static_cast<size_t>(g.n), 0.0),
          inner_(g.has_bytes() ? static_cast<size_t>(g.n) : 0, 0) {}

    // Pairs `v` (unmatched) with the best-rated unmatched vertex that fits beside it, or
    // leaves it alone; by the shared nets if `nets`, by the edges where it shares none.
    void match(int32_t v, bool nets) {
        touched_.clear();
        if (nets) rate_nets(v);
        if (touched_.empty())
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i)
                rate(g_.adj[static_cast<size_t>(i)], static_cast<double>(g_.weight[static_cast<size_t>(i)]));
        if (g_.has_bytes())
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i)
                inner_[static_cast<size_t>(g_.adj[static_cast<size_t>(i)])] =
                    g_.weight[static_cast<size_t>(i)];
        int32_t best = -1;
        double best_rating = 0;
        for (int32_t u : touched_) {
            const double r = rating_[static_cast<size_t>(u)];
            if (r > best_rating && fits(v, u)) best = u, best_rating = r;
        }
        for (int32_t u : touched_) rating_[static_cast<size_t>(u)] = 0;
        if (g_.has_bytes())
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i)
                inner_[static_cast<size_t>(g_.adj[static_cast<size_t>(i)])] = 0;
        group_[static_cast<size_t>(v)] = groups_;
        if (best >= 0) group_[static_cast<size_t>(best)] = groups_;
        ++groups_;
    }

    bool matched(int32_t v) const { return group_[static_cast<size_t>(v)] >= 0; }

    // The group of every vertex, numbered in the order they were formed.
    std::vector<int32_t> take(int32_t& groups) {
        groups = groups_;
        return std::move(group_);
    }

  private:
    void rate(int32_t u, double r) {
        if (matched(u)) return;
        double& x = rating_[static_cast<size_t>(u)];
        if (x == 0) touched_.push_back(u);
        x += r;
    }

    void rate_nets(int32_t v) {
        const Nets& nets = g_.nets;
        const int64_t most = limits_.config.coarsening.rated_pins;
        for (int64_t i = nets.first[static_cast<size_t>(v)]; i < nets.first[static_cast<size_t>(v) + 1];
             ++i) {
            const int32_t e = nets.of[static_cast<size_t>(i)];
            const int64_t pins = nets.end(e) - nets.begin(e);
            if (pins > most) continue;
            const double r =
                static_cast<double>(nets.weight[static_cast<size_t>(e)]) / static_cast<double>(pins - 1);
            for (int64_t j = nets.begin(e); j < nets.end(e); ++j)
                if (nets.pin[static_cast<size_t>(j)] != v) rate(nets.pin[static_cast<size_t>(j)], r);
        }
    }

    // Whether `v` and `u` stay within the caps together; an edge inside the pair needs no
    // routing buffer.
    bool fits(int32_t v, int32_t u) const {
        const auto vs = static_cast<size_t>(v), us = static_cast<size_t>(u);
        if (g_.count[vs] + g_.count[us] > max_count_) return false;
        return limits_.sram < 0 ||
               g_.bytes[vs] + g_.bytes[us] - routing_bytes_per_edge * inner_[us] <= limits_.sram;
    }

    const LevelGraph& g_;
    const Limits& limits_;
    int64_t max_count_;
    std::vector<int32_t> group_;  // -1 while unmatched
    int32_t groups_ = 0;
    std::vector<double> rating_;  // per vertex, for the vertex being matched
    std::vector<int64_t> inner_;  // per vertex, its edges to the vertex being matched (SRAM only)
    std::vector<int32_t> touched_;
};

}  // namespace

std::vector<int32_t> match_groups(const LevelGraph& g, const Limits& limits, int64_t max_count, Rng& rng,
                                  int32_t& groups) {
    const auto n = static_cast<size_t>(g.n);
    std::vector<int32_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    for (size_t i = n; i > 1; --i)
        std::swap(order[i - 1], order[static_cast<size_t>(rng.below(static_cast<int32_t>(i)))]);
    const bool nets = limits.config.coarsening.rating == 1 && !g.nets.empty();
    Matcher matcher(g, limits, max_count);
    for (int32_t v : order)
        if (!matcher.matched(v)) matcher.match(v, nets);
    return matcher.take(groups);
}

}  // namespace zerav::mapping
