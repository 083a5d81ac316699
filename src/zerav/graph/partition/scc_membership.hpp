// Which strongly connected component each vertex lies in (component ids only; their order and
// the order of members are not produced here). Iterative Tarjan over CSR successor lists. The
// mapping module uses it too, with 64-bit offsets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace zerav::partition {

// `start[v] .. start[v+1]` indexes v's successors in `targets` (`start`: a vector of int32_t
// or int64_t offsets).
template <class Starts>
std::vector<int32_t> scc_membership(const Starts& start, std::span<const int32_t> targets) {
    using Offset = std::remove_cvref_t<decltype(start[0])>;
    const auto n = static_cast<int32_t>(start.size()) - 1;
    std::vector<int32_t> index(n, -1), low(n, 0), component(n, -1), stack, call_vertex;
    std::vector<Offset> call_edge;
    std::vector<bool> on_stack(n, false);
    int32_t next_index = 0, next_component = 0;
    for (int32_t root = 0; root < n; ++root) {
        if (index[root] >= 0) continue;
        call_vertex.push_back(root);
        call_edge.push_back(start[root]);
        index[root] = low[root] = next_index++;
        stack.push_back(root);
        on_stack[root] = true;
        while (!call_vertex.empty()) {
            const int32_t v = call_vertex.back();
            Offset& e = call_edge.back();
            if (e < start[v + 1]) {
                const int32_t w = targets[e++];
                if (index[w] < 0) {
                    index[w] = low[w] = next_index++;
                    stack.push_back(w);
                    on_stack[w] = true;
                    call_vertex.push_back(w);
                    call_edge.push_back(start[w]);
                } else if (on_stack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            if (low[v] == index[v]) {
                int32_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    on_stack[w] = false;
                    component[w] = next_component;
                } while (w != v);
                ++next_component;
            }
            call_vertex.pop_back();
            call_edge.pop_back();
            if (!call_vertex.empty()) {
                const int32_t parent = call_vertex.back();
                low[parent] = std::min(low[parent], low[v]);
            }
        }
    }
    return component;
}

}  // namespace zerav::partition
