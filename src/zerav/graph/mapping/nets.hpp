// The hypergraph side of a level graph: one net per spike source, its pins the vertex of the
// source (the root of its multicast tree) and the vertices of its targets, weighted by the
// source's firing rate in integer units.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

struct Nets {
    int32_t count = 0;
    std::vector<int64_t> start{0};  // count + 1 offsets into `pin`
    std::vector<int32_t> pin;       // the pins of each net, its root first, each vertex once
    std::vector<int64_t> weight;    // rate units per net
    std::vector<int64_t> first;     // n + 1 offsets into `of`: the nets of each vertex
    std::vector<int32_t> of;

    int64_t begin(int32_t e) const { return start[static_cast<size_t>(e)]; }
    int64_t end(int32_t e) const { return start[static_cast<size_t>(e) + 1]; }
    int32_t root(int32_t e) const { return pin[static_cast<size_t>(begin(e))]; }
    bool empty() const { return count == 0; }
};

// Collects nets, then indexes them by vertex. A net with the root and targets of one added
// before is that net: its weight is added to it (contracted graphs have many such nets, and
// each one costs every phase that prices the nets).
class NetBuilder {
  public:
    explicit NetBuilder(int32_t n) : n_(n), seen_(static_cast<size_t>(n), -1) {}

    // Adds a net rooted at `root` with the pins `targets` (repeats and the root among them are
    // dropped); a net left without a target, or of weight 0, is no net.
    template <class Targets>
    void add(int32_t root, const Targets& targets, int64_t weight) {
        if (weight <= 0) return;
        ++mark_;
        const size_t from = nets_.pin.size();
        nets_.pin.push_back(root);
        seen_[static_cast<size_t>(root)] = mark_;
        for (int32_t t : targets) {
            if (seen_[static_cast<size_t>(t)] == mark_) continue;
            seen_[static_cast<size_t>(t)] = mark_;
            nets_.pin.push_back(t);
        }
        if (nets_.pin.size() - from < 2) {
            nets_.pin.resize(from);
            return;
        }
        std::sort(nets_.pin.begin() + static_cast<std::ptrdiff_t>(from) + 1, nets_.pin.end());
        const int32_t same = find(from);
        if (same >= 0) {
            nets_.weight[static_cast<size_t>(same)] += weight;
            nets_.pin.resize(from);
            return;
        }
        nets_.start.push_back(static_cast<int64_t>(nets_.pin.size()));
        nets_.weight.push_back(weight);
        ++nets_.count;
    }

    Nets finish();

  private:
    // The net whose pins equal those from `from` on (the last, unfinished ones), or -1; if
    // none, the unfinished net is entered under its hash as the next net.
    int32_t find(size_t from);

    int32_t n_;
    int32_t mark_ = -1;
    std::vector<int32_t> seen_;  // the last net each vertex joined
    // The nets by the hash of their pins: an open-addressed table of net ids (-1: empty),
    // probed linearly, at most half full; beside it each net's hash. One flat table, where a
    // map of buckets made two allocations per net.
    std::vector<int32_t> table_;
    std::vector<uint64_t> hash_of_;
    Nets nets_;
};

// The nets of the graph contracted by `group` (vertex -> coarse vertex, 0 .. groups - 1).
Nets contract_nets(const Nets& nets, const std::vector<int32_t>& group, int32_t groups);

}  // namespace zerav::mapping
