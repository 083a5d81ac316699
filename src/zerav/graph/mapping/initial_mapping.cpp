// The first mapping of the coarsest graph: the block of cells is halved along its longer side,
// the vertices are bisected in proportion (graph growing from a far vertex, then boundary
// moves that lower the cut), and both halves recurse until every half is one cell.
#include "zerav/graph/mapping/steps.hpp"

#include <algorithm>
#include <cstdint>
#include <queue>

namespace zerav::mapping {

namespace {

constexpr int kGrowthTrials = 3;
constexpr int kBoundaryPasses = 4;

struct Region {
    std::vector<int32_t> vertices;
    std::vector<int32_t> cells;  // part indices
};

class Bisector {
  public:
    Bisector(const LevelGraph& g, Rng& rng)
        : g_(g), rng_(rng), tag_(static_cast<size_t>(g.n), -1), side_(static_cast<size_t>(g.n), 0) {}

    // Splits `vertices` into sides 0 and 1 with at most `cap[s]` compute nodes (and SRAM) each,
    // side 0 aiming at `target` compute nodes. Returns the side of each vertex, in order.
    std::vector<uint8_t> split(const std::vector<int32_t>& vertices, int64_t target, const int64_t cap[2],
                               const int64_t byte_cap[2]) {
        ++round_;
        for (int32_t v : vertices) tag_[static_cast<size_t>(v)] = round_;
        std::vector<uint8_t> best;
        int64_t best_cut = -1;
        for (int trial = 0; trial < kGrowthTrials; ++trial) {
            grow(vertices, target, cap, byte_cap);
            improve(vertices, cap, byte_cap);
            const int64_t c = cut(vertices);
            if (best_cut < 0 || c < best_cut) {
                best_cut = c;
                best.clear();
                for (int32_t v : vertices) best.push_back(side_[static_cast<size_t>(v)]);
            }
        }
        return best;
    }

  private:
    bool inside(int32_t u) const { return tag_[static_cast<size_t>(u)] == round_; }

    int64_t bytes(int32_t v) const { return g_.has_bytes() ? g_.bytes[static_cast<size_t>(v)] : 0; }

    // A vertex far from a random one: the last one a breadth-first search reaches.
    int32_t far_vertex(const std::vector<int32_t>& vertices) {
        const int32_t start = vertices[static_cast<size_t>(rng_.below(static_cast<int32_t>(vertices.size())))];
        ++visit_round_;
        if (seen_.size() != tag_.size()) seen_.assign(tag_.size(), 0);
        std::vector<int32_t> queue{start};
        seen_[static_cast<size_t>(start)] = visit_round_;
        for (size_t head = 0; head < queue.size(); ++head) {
            const int32_t v = queue[head];
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (!inside(u) || seen_[static_cast<size_t>(u)] == visit_round_) continue;
                seen_[static_cast<size_t>(u)] = visit_round_;
                queue.push_back(u);
            }
        }
        return queue.back();
    }

    void grow(const std::vector<int32_t>& vertices, int64_t target, const int64_t cap[2], const int64_t byte_cap[2]) {
        for (int32_t v : vertices) side_[static_cast<size_t>(v)] = 1;
        if (conn_.size() != tag_.size()) conn_.assign(tag_.size(), 0);
        for (int32_t v : vertices) conn_[static_cast<size_t>(v)] = 0;
        int64_t count = 0, byte_sum = 0, other_count = 0, other_bytes = 0;
        for (int32_t v : vertices) other_count += g_.count[static_cast<size_t>(v)], other_bytes += bytes(v);
        std::priority_queue<std::pair<int64_t, int32_t>> heap;
        heap.emplace(0, far_vertex(vertices));
        size_t next_free = static_cast<size_t>(rng_.below(static_cast<int32_t>(vertices.size())));
        size_t scanned = 0;
        while (count < target || other_count > cap[1] || (byte_cap[1] >= 0 && other_bytes > byte_cap[1])) {
            int32_t v = -1;
            while (!heap.empty()) {
                auto [c, u] = heap.top();
                heap.pop();
                if (side_[static_cast<size_t>(u)] == 1 && c == conn_[static_cast<size_t>(u)]) {
                    v = u;
                    break;
                }
            }
            if (v < 0) {  // a new component: start from any vertex still on side 1
                while (scanned < vertices.size() &&
                       side_[static_cast<size_t>(vertices[(next_free + scanned) % vertices.size()])] != 1)
                    ++scanned;
                if (scanned == vertices.size()) break;
                v = vertices[(next_free + scanned) % vertices.size()];
            }
            const auto vs = static_cast<size_t>(v);
            if (count + g_.count[vs] > cap[0] || (byte_cap[0] >= 0 && byte_sum + bytes(v) > byte_cap[0])) {
                side_[vs] = 2;  // does not fit: leave it on side 1 for good
                continue;
            }
            side_[vs] = 0;
            count += g_.count[vs], other_count -= g_.count[vs];
            byte_sum += bytes(v), other_bytes -= bytes(v);
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (!inside(u) || side_[static_cast<size_t>(u)] != 1) continue;
                conn_[static_cast<size_t>(u)] += g_.weight[static_cast<size_t>(i)];
                heap.emplace(conn_[static_cast<size_t>(u)], u);
            }
        }
        for (int32_t v : vertices)
            if (side_[static_cast<size_t>(v)] == 2) side_[static_cast<size_t>(v)] = 1;
    }

    // Boundary passes: a vertex changes sides when that lowers the cut and both sides stay
    // within their caps.
    void improve(const std::vector<int32_t>& vertices, const int64_t cap[2], const int64_t byte_cap[2]) {
        int64_t count[2] = {0, 0}, byte_sum[2] = {0, 0};
        for (int32_t v : vertices) {
            const int s = side_[static_cast<size_t>(v)];
            count[s] += g_.count[static_cast<size_t>(v)];
            byte_sum[s] += bytes(v);
        }
        for (int pass = 0; pass < kBoundaryPasses; ++pass) {
            int64_t moves = 0;
            for (int32_t v : vertices) {
                const auto vs = static_cast<size_t>(v);
                const int s = side_[vs], t = 1 - s;
                int64_t own = 0, other = 0;
                for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                    const int32_t u = g_.adj[static_cast<size_t>(i)];
                    if (!inside(u)) continue;
                    (side_[static_cast<size_t>(u)] == s ? own : other) += g_.weight[static_cast<size_t>(i)];
                }
                if (other <= own) continue;
                if (count[t] + g_.count[vs] > cap[t]) continue;
                if (byte_cap[t] >= 0 && byte_sum[t] + bytes(v) > byte_cap[t]) continue;
                side_[vs] = static_cast<uint8_t>(t);
                count[s] -= g_.count[vs], count[t] += g_.count[vs];
                byte_sum[s] -= bytes(v), byte_sum[t] += bytes(v);
                ++moves;
            }
            if (moves == 0) break;
        }
    }

    int64_t cut(const std::vector<int32_t>& vertices) const {
        int64_t c = 0;
        for (int32_t v : vertices)
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (inside(u) && side_[static_cast<size_t>(u)] != side_[static_cast<size_t>(v)])
                    c += g_.weight[static_cast<size_t>(i)];
            }
        return c;
    }

    const LevelGraph& g_;
    Rng& rng_;
    std::vector<int32_t> tag_, seen_;
    std::vector<uint8_t> side_;
    std::vector<int64_t> conn_;
    int32_t round_ = 0, visit_round_ = 0;
};

// Halves a block of cells along its longer side, between two whole rows (or columns), so
// that both halves stay blocks: the cut closest to half the cells.
std::pair<std::vector<int32_t>, std::vector<int32_t>> halve(std::vector<int32_t> cells, const ChipCells& chip) {
    int32_t r0 = INT32_MAX, r1 = INT32_MIN, c0 = INT32_MAX, c1 = INT32_MIN;
    for (int32_t p : cells) {
        r0 = std::min(r0, chip.row(p)), r1 = std::max(r1, chip.row(p));
        c0 = std::min(c0, chip.col(p)), c1 = std::max(c1, chip.col(p));
    }
    const bool by_row = r1 - r0 >= c1 - c0;
    auto line = [&](int32_t p) { return by_row ? chip.row(p) : chip.col(p); };
    std::sort(cells.begin(), cells.end(), [&](int32_t a, int32_t b) {
        if (by_row) return std::pair(chip.row(a), chip.col(a)) < std::pair(chip.row(b), chip.col(b));
        return std::pair(chip.col(a), chip.row(a)) < std::pair(chip.col(b), chip.row(b));
    });
    size_t best = cells.size() / 2, best_gap = SIZE_MAX;
    for (size_t i = 1; i < cells.size(); ++i) {
        if (line(cells[i]) == line(cells[i - 1])) continue;
        const size_t gap = i > cells.size() / 2 ? i - cells.size() / 2 : cells.size() / 2 - i;
        if (gap < best_gap) best = i, best_gap = gap;
    }
    const auto half = static_cast<std::ptrdiff_t>(best);
    return {std::vector<int32_t>(cells.begin(), cells.begin() + half),
            std::vector<int32_t>(cells.begin() + half, cells.end())};
}

}  // namespace

std::vector<int32_t> initial_mapping(const LevelGraph& g, const ChipCells& cells, const Limits& limits, Rng& rng) {
    std::vector<int32_t> part(static_cast<size_t>(g.n), 0);
    Bisector bisector(g, rng);
    std::vector<Region> stack(1);
    for (int32_t v = 0; v < g.n; ++v) stack[0].vertices.push_back(v);
    for (int32_t p = 0; p < cells.size(); ++p) stack[0].cells.push_back(p);
    while (!stack.empty()) {
        Region region = std::move(stack.back());
        stack.pop_back();
        if (limits.poll) limits.poll();
        if (region.cells.size() == 1 || region.vertices.empty()) {
            for (int32_t v : region.vertices) part[static_cast<size_t>(v)] = region.cells[0];
            continue;
        }
        auto [left, right] = halve(std::move(region.cells), cells);
        int64_t total = 0;
        for (int32_t v : region.vertices) total += g.count[static_cast<size_t>(v)];
        const auto nl = static_cast<int64_t>(left.size()), nr = static_cast<int64_t>(right.size());
        const int64_t target = total * nl / (nl + nr);
        const int64_t cap[2] = {nl * limits.capacity, nr * limits.capacity};
        const int64_t byte_cap[2] = {limits.sram < 0 ? -1 : nl * limits.sram, limits.sram < 0 ? -1 : nr * limits.sram};
        const std::vector<uint8_t> side = bisector.split(region.vertices, target, cap, byte_cap);
        Region a{{}, std::move(left)}, b{{}, std::move(right)};
        for (size_t i = 0; i < side.size(); ++i) (side[i] == 0 ? a : b).vertices.push_back(region.vertices[i]);
        stack.push_back(std::move(a));
        stack.push_back(std::move(b));
    }
    return part;
}

}  // namespace zerav::mapping
