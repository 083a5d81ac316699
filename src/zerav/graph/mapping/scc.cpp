// Strongly connected components of the directed node graph: the partition module's Tarjan
// search over the successor lists in edge order.
#include "zerav/graph/mapping/steps.hpp"
#include "zerav/graph/partition/scc_membership.hpp"

namespace zerav::mapping {

std::vector<int32_t> strongly_connected(const Problem& p) {
    const auto n = static_cast<size_t>(p.nodes);
    std::vector<int64_t> first(n + 1, 0);
    for (int32_t s : p.src) ++first[static_cast<size_t>(s) + 1];
    for (size_t i = 1; i <= n; ++i) first[i] += first[i - 1];
    std::vector<int32_t> succ(p.src.size());
    std::vector<int64_t> fill(first.begin(), first.end() - 1);
    for (size_t e = 0; e < p.src.size(); ++e)
        succ[static_cast<size_t>(fill[static_cast<size_t>(p.src[e])]++)] = p.dst[e];
    if (p.poll) p.poll();
    return partition::scc_membership(first, succ);
}

}  // namespace zerav::mapping
