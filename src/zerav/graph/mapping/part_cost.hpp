// The cost of one vertex in a given part, from the parts of its neighbours: feedback edges
// beyond the delay limit first, then mesh hops (unless the graph has nets: then the multicast
// oracle prices the traffic), then cut edges.
#pragma once

#include "zerav/graph/mapping/steps.hpp"

namespace zerav::mapping {

class PartCost {
  public:
    PartCost(const LevelGraph& g, const ChipCells& cells, const Limits& limits)
        : g_(g),
          cells_(cells),
          limits_(limits),
          hop_(g.nets.empty() ? limits.config.cost.hop : 0),
          slot_(static_cast<size_t>(cells.size()), -1) {}

    // Gathers the neighbours of `v` by part.
    void gather(int32_t v, const std::vector<int32_t>& part) {
        for (const Entry& e : entries_) slot_[static_cast<size_t>(e.part)] = -1;
        entries_.clear();
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
            const int32_t p = part[static_cast<size_t>(g_.adj[static_cast<size_t>(i)])];
            int32_t& s = slot_[static_cast<size_t>(p)];
            if (s < 0) {
                s = static_cast<int32_t>(entries_.size());
                entries_.push_back(Entry{p, 0, 0});
            }
            entries_[static_cast<size_t>(s)].weight += g_.weight[static_cast<size_t>(i)];
            entries_[static_cast<size_t>(s)].feedback += g_.feedback[static_cast<size_t>(i)];
        }
    }

    // The cost of the gathered vertex if it sat in part `x`.
    int64_t at(int32_t x) const {
        int64_t cost = 0;
        for (const Entry& e : entries_) {
            const int64_t h = cells_.hops(x, e.part);
            cost += e.weight * (h * hop_ + (h != 0));
            if (e.feedback && limits_.delay >= 0 && h > limits_.delay)
                cost += e.feedback * (h - limits_.delay) * limits_.config.cost.late_hop;
        }
        return cost;
    }

    struct Entry {
        int32_t part;
        int64_t weight, feedback;
    };
    const std::vector<Entry>& entries() const { return entries_; }

  private:
    const LevelGraph& g_;
    const ChipCells& cells_;
    const Limits& limits_;
    int64_t hop_;
    std::vector<int32_t> slot_;
    std::vector<Entry> entries_;
};

}  // namespace zerav::mapping
