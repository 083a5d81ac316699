// The greedy fill over a visiting order, as plain C++: cores fill one after another up to the
// per-core limit, Input/Output nodes follow the current core without counting, and the compute
// nodes of one SCC share the core of its first placed member (even past the limit). The
// plain-Python model of the same steps is `greedy` in tests/partition/reference.py.
//
// The host-facing parts are callbacks so that they happen exactly when the fill reaches them:
// `is_boundary(i)` (node i of the order is an Input or Output), `at_capacity(count)` (the
// current core's compute count has reached the limit) and `open_core(core)` (called before
// core `core` is opened; it throws when the chip has no such core).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zerav::partition {

template <class IsBoundary, class AtCapacity, class OpenCore>
std::vector<int64_t> greedy_fill(std::span<const int32_t> order_scc, int32_t scc_count,
                                 IsBoundary is_boundary, AtCapacity at_capacity, OpenCore open_core) {
    std::vector<int64_t> core_of(order_scc.size());
    std::vector<int64_t> scc_core(static_cast<size_t>(scc_count), -1);
    std::vector<int64_t> counts{0};
    int64_t current = 0;
    for (size_t i = 0; i < order_scc.size(); ++i) {
        if (is_boundary(i)) {
            core_of[i] = current;
            continue;
        }
        const int32_t scc = order_scc[i];
        if (scc >= 0 && scc_core[scc] >= 0) {
            core_of[i] = scc_core[scc];
            ++counts[scc_core[scc]];
            continue;
        }
        if (at_capacity(counts[current])) {
            ++current;
            open_core(current);
            counts.push_back(0);
        }
        core_of[i] = current;
        ++counts[current];
        if (scc >= 0) scc_core[scc] = current;
    }
    return core_of;
}

}  // namespace zerav::partition
