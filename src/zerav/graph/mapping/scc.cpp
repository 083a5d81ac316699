// Strongly connected components of the directed node graph (Tarjan's algorithm, iterative so
// that long chains cannot exhaust the stack).
#include "zerav/graph/mapping/steps.hpp"

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

    std::vector<int32_t> index(n, -1), low(n, 0), comp(n, -1), stack, path;
    std::vector<int64_t> next(n, 0);
    int32_t counter = 0, comps = 0;
    for (size_t root = 0; root < n; ++root) {
        if (index[root] >= 0) continue;
        path.push_back(static_cast<int32_t>(root));
        index[root] = low[root] = counter++;
        next[root] = first[root];
        stack.push_back(static_cast<int32_t>(root));
        while (!path.empty()) {
            const auto v = static_cast<size_t>(path.back());
            if (next[v] < first[v + 1]) {
                const auto w = static_cast<size_t>(succ[static_cast<size_t>(next[v]++)]);
                if (index[w] < 0) {
                    index[w] = low[w] = counter++;
                    next[w] = first[w];
                    stack.push_back(static_cast<int32_t>(w));
                    path.push_back(static_cast<int32_t>(w));
                } else if (comp[w] < 0) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            path.pop_back();
            if (!path.empty()) {
                const auto parent = static_cast<size_t>(path.back());
                low[parent] = std::min(low[parent], low[v]);
            }
            if (low[v] == index[v]) {
                int32_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    comp[static_cast<size_t>(w)] = comps;
                } while (static_cast<size_t>(w) != v);
                ++comps;
            }
        }
        if (p.poll) p.poll();
    }
    return comp;
}

}  // namespace zerav::mapping
