#include "zerav/graph/partition/visiting_order.hpp"

#include <algorithm>
#include <numeric>

namespace zerav::partition {

namespace {

// Keeps the first vertex of every name (names repeat only in mappings that yield a name twice).
void drop_repeated_names(std::vector<int32_t>& vertices, const std::vector<int32_t>& canonical) {
    if (canonical.empty()) return;
    std::vector<bool> seen(canonical.size(), false);
    size_t kept = 0;
    for (int32_t v : vertices) {
        if (seen[canonical[v]]) continue;
        seen[canonical[v]] = true;
        vertices[kept++] = v;
    }
    vertices.resize(kept);
}

}  // namespace

VisitingOrder visiting_order(PyObject* rx, PyObject* rx_graph, const WorkingGraph& wg) {
    VisitingOrder out;
    const std::vector<int32_t> canonical = canonical_map(wg);
    out.is_dag = rx_is_dag(rx, rx_graph);
    if (out.is_dag) {
        out.vertices = rx_topological_order(rx, rx_graph, wg.vertex_count());
    } else {
        const Components c = rx_strongly_connected(rx, rx_graph, wg.vertex_count());
        out.scc_count = c.count();
        out.scc_of = scc_of_names(c, wg, canonical);
        std::vector<int32_t> by_size(static_cast<size_t>(c.count()));
        std::iota(by_size.begin(), by_size.end(), 0);
        std::stable_sort(by_size.begin(), by_size.end(), [&](int32_t a, int32_t b) {
            return c.start[a + 1] - c.start[a] > c.start[b + 1] - c.start[b];
        });
        out.vertices.reserve(c.members.size());
        for (int32_t k : by_size)
            out.vertices.insert(out.vertices.end(), c.members.begin() + c.start[k],
                                c.members.begin() + c.start[k + 1]);
    }
    drop_repeated_names(out.vertices, canonical);
    return out;
}

}  // namespace zerav::partition
