// CSR construction and contraction of the level graphs.
#include "zerav/graph/mapping/level_graph.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

namespace zerav::mapping {

namespace {

using resource::routing_bytes_per_edge;

// Fills the CSR arrays from per-vertex edge lists given as (vertex, neighbour) sorted buckets,
// merging neighbours that repeat within one vertex's list with a marker array.
struct Merger {
    std::vector<int64_t> slot;  // neighbour -> its position in the current vertex's list, or -1
    explicit Merger(int32_t n) : slot(static_cast<size_t>(n), -1) {}

    void add(LevelGraph& g, int32_t v, int64_t w, int64_t f) {
        int64_t& s = slot[static_cast<size_t>(v)];
        if (s >= 0) {
            g.weight[static_cast<size_t>(s)] += w;
            g.feedback[static_cast<size_t>(s)] += f;
            return;
        }
        s = static_cast<int64_t>(g.adj.size());
        g.adj.push_back(v);
        g.weight.push_back(w);
        g.feedback.push_back(f);
    }
    void close(const LevelGraph& g, int64_t from) {
        for (size_t i = static_cast<size_t>(from); i < g.adj.size(); ++i)
            slot[static_cast<size_t>(g.adj[i])] = -1;
    }
};

}  // namespace

LevelGraph build_level(int32_t n, std::vector<LevelEdge>& edges, std::vector<int64_t> count,
                       std::vector<int64_t> bytes) {
    LevelGraph g;
    g.n = n;
    g.count = std::move(count);
    g.bytes = std::move(bytes);
    // Bucket both directions by source vertex, then merge each bucket. A bucket entry is the
    // neighbour and whether the edge is a feedback edge: every edge weighs 1 here, so the
    // buckets hold 5 bytes per entry, not the merged arrays' 20.
    std::vector<int64_t> degree(static_cast<size_t>(n) + 1, 0);
    for (const LevelEdge& e : edges) {
        if (e.u == e.v) continue;
        ++degree[static_cast<size_t>(e.u) + 1];
        ++degree[static_cast<size_t>(e.v) + 1];
    }
    for (size_t i = 1; i < degree.size(); ++i) degree[i] += degree[i - 1];
    std::vector<int32_t> to(static_cast<size_t>(degree.back()));
    std::vector<uint8_t> feedback(to.size());
    std::vector<int64_t> fill(degree.begin(), degree.end() - 1);
    for (const LevelEdge& e : edges) {
        if (e.u == e.v) continue;
        for (int side = 0; side < 2; ++side) {
            const int32_t a = side ? e.v : e.u, b = side ? e.u : e.v;
            const auto at = static_cast<size_t>(fill[static_cast<size_t>(a)]++);
            to[at] = b;
            feedback[at] = e.feedback;
        }
    }
    edges.clear();
    edges.shrink_to_fit();
    Merger merger(n);
    g.start.assign(static_cast<size_t>(n) + 1, 0);
    g.adj.reserve(to.size());
    g.weight.reserve(to.size());
    g.feedback.reserve(to.size());
    for (int32_t v = 0; v < n; ++v) {
        const auto from = static_cast<int64_t>(g.adj.size());
        for (int64_t i = degree[static_cast<size_t>(v)]; i < degree[static_cast<size_t>(v) + 1]; ++i)
            merger.add(g, to[static_cast<size_t>(i)], 1, feedback[static_cast<size_t>(i)]);
        merger.close(g, from);
        g.start[static_cast<size_t>(v) + 1] = static_cast<int64_t>(g.adj.size());
    }
    return g;
}

LevelGraph contract(const LevelGraph& g, const std::vector<int32_t>& group, int32_t groups) {
    LevelGraph c;
    c.n = groups;
    c.count.assign(static_cast<size_t>(groups), 0);
    if (g.has_bytes()) c.bytes.assign(static_cast<size_t>(groups), 0);
    // Members of each group, in vertex order.
    std::vector<int64_t> first(static_cast<size_t>(groups) + 1, 0);
    for (int32_t v = 0; v < g.n; ++v) ++first[static_cast<size_t>(group[static_cast<size_t>(v)]) + 1];
    for (size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
    std::vector<int32_t> members(static_cast<size_t>(g.n));
    std::vector<int64_t> fill(first.begin(), first.end() - 1);
    for (int32_t v = 0; v < g.n; ++v) {
        const auto gv = static_cast<size_t>(group[static_cast<size_t>(v)]);
        members[static_cast<size_t>(fill[gv]++)] = v;
        c.count[gv] += g.count[static_cast<size_t>(v)];
        if (g.has_bytes()) c.bytes[gv] += g.bytes[static_cast<size_t>(v)];
    }
    Merger merger(groups);
    c.start.assign(static_cast<size_t>(groups) + 1, 0);
    c.adj.reserve(g.adj.size() / 2);
    c.weight.reserve(g.adj.size() / 2);
    c.feedback.reserve(g.adj.size() / 2);
    for (int32_t cv = 0; cv < groups; ++cv) {
        const auto from = static_cast<int64_t>(c.adj.size());
        for (int64_t m = first[static_cast<size_t>(cv)]; m < first[static_cast<size_t>(cv) + 1]; ++m) {
            const int32_t v = members[static_cast<size_t>(m)];
            for (int64_t i = g.begin(v); i < g.end(v); ++i) {
                const int32_t cu = group[static_cast<size_t>(g.adj[static_cast<size_t>(i)])];
                const int64_t w = g.weight[static_cast<size_t>(i)];
                if (cu == cv) {
                    // Each inner edge is met from both of its ends: half its routing bytes each.
                    if (c.has_bytes()) c.bytes[static_cast<size_t>(cv)] -= routing_bytes_per_edge / 2 * w;
                    continue;
                }
                merger.add(c, cu, w, g.feedback[static_cast<size_t>(i)]);
            }
        }
        merger.close(c, from);
        c.start[static_cast<size_t>(cv) + 1] = static_cast<int64_t>(c.adj.size());
    }
    c.nets = contract_nets(g.nets, group, groups);
    return c;
}

}  // namespace zerav::mapping
