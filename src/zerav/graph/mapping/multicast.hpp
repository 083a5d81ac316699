// The links of a spike's multicast tree. A spike leaves its core once and the routers copy it
// along the union of the dimension-order routes to the cells of its targets: along the
// source's row to each destination column, then along that column to the destination row. So
// the tree holds the span of columns over the source and its destinations (on the source's
// row) plus, per destination column, the span of rows over the source's row and the
// destinations in that column.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace zerav::mapping {

struct MeshCell {
    int64_t row, col;
};

// The links of the tree from `source` to a few `targets` without sorting them: each column
// is spanned from the first target in it. Quadratic in the targets: for the handful of pins of
// a net over a few cores (the core annealing counts them by the million) it beats a sort.
inline int64_t multicast_links_of_few(MeshCell source, const MeshCell* targets, size_t count) {
    int64_t west = source.col, east = source.col, links = 0;
    for (size_t i = 0; i < count; ++i) {
        const int64_t col = targets[i].col;
        west = std::min(west, col), east = std::max(east, col);
        bool first = true;
        for (size_t j = 0; j < i && first; ++j) first = targets[j].col != col;
        if (!first) continue;
        int64_t top = source.row, bottom = source.row;
        for (size_t j = i; j < count; ++j)
            if (targets[j].col == col)
                top = std::min(top, targets[j].row), bottom = std::max(bottom, targets[j].row);
        links += bottom - top;
    }
    return links + east - west;
}

// The links of trees over cells of columns 0 .. cols - 1, counted without sorting: each
// target widens its column's span of rows, kept per column with a stamp of the tree it
// belongs to, so a tree of p targets costs O(p) however many they are.
class ColumnSpans {
  public:
    explicit ColumnSpans(int64_t cols)
        : stamp_(static_cast<size_t>(cols), 0), top_(stamp_.size()), bottom_(stamp_.size()) {}

    int64_t links(MeshCell source, const std::vector<MeshCell>& targets) {
        const auto [west, east] = widen(source, targets);
        int64_t links = east - west;
        for (size_t c : touched_) links += bottom_[c] - top_[c];
        return links;
    }

    // Calls `column(col, top, bottom)` for each column the tree reaches, west to east: the
    // rows its span covers, the source's row included.
    template <class Column>
    void each_column(MeshCell source, const std::vector<MeshCell>& targets, Column&& column) {
        const auto [west, east] = widen(source, targets);
        for (int64_t col = west; col <= east; ++col)
            if (const auto c = static_cast<size_t>(col); stamp_[c] == round_)
                column(col, top_[c], bottom_[c]);
    }

  private:
    // Widens the span of each target's column (from the source's row) under a new stamp;
    // returns the westmost and eastmost columns of the source and the targets.
    std::pair<int64_t, int64_t> widen(MeshCell source, const std::vector<MeshCell>& targets) {
        ++round_;
        touched_.clear();
        int64_t west = source.col, east = source.col;
        for (const MeshCell& t : targets) {
            const auto c = static_cast<size_t>(t.col);
            if (stamp_[c] != round_) {
                stamp_[c] = round_, top_[c] = bottom_[c] = source.row;
                touched_.push_back(c);
            }
            top_[c] = std::min(top_[c], t.row), bottom_[c] = std::max(bottom_[c], t.row);
            west = std::min(west, t.col), east = std::max(east, t.col);
        }
        return {west, east};
    }

    std::vector<uint64_t> stamp_;
    std::vector<int64_t> top_, bottom_;
    std::vector<size_t> touched_;
    uint64_t round_ = 0;
};

// The spans that make up the tree from `source` to `targets` (in any order, repeats and the
// source's own cell allowed; sorted by column here): `span(false, row, col, lo, hi)` for the
// source's row, entered at the source's column and reaching columns lo..hi, then per
// destination column `span(true, col, row, lo, hi)`, entered at the source's row and reaching
// rows lo..hi. A span's links are hi - lo.
template <class Span>
void tree_spans(MeshCell source, std::vector<MeshCell>& targets, Span&& span) {
    if (targets.empty()) return;
    std::sort(targets.begin(), targets.end(),
              [](const MeshCell& a, const MeshCell& b) { return a.col < b.col; });
    span(false, source.row, source.col, std::min(source.col, targets.front().col),
         std::max(source.col, targets.back().col));
    for (size_t i = 0; i < targets.size();) {
        int64_t top = source.row, bottom = source.row;
        const int64_t col = targets[i].col;
        for (; i < targets.size() && targets[i].col == col; ++i)
            top = std::min(top, targets[i].row), bottom = std::max(bottom, targets[i].row);
        span(true, col, source.row, top, bottom);
    }
}

// The links of the tree from `source` to `targets` (in any order, repeats and the source's own
// cell allowed). Sorts `targets` by column when there are many.
inline int64_t multicast_links(MeshCell source, std::vector<MeshCell>& targets) {
    constexpr size_t kFew = 8;
    if (targets.size() <= kFew) return multicast_links_of_few(source, targets.data(), targets.size());
    int64_t links = 0;
    tree_spans(source, targets, [&](bool, int64_t, int64_t, int64_t lo, int64_t hi) { links += hi - lo; });
    return links;
}

// The targets of each source node: node s's are target[first[s] .. first[s + 1]), in edge order.
struct Fanout {
    std::vector<size_t> first;
    std::vector<int32_t> target;

    Fanout(int32_t nodes, const std::vector<int32_t>& src, const std::vector<int32_t>& dst)
        : first(static_cast<size_t>(nodes) + 1, 0), target(src.size()) {
        for (int32_t s : src) ++first[static_cast<size_t>(s) + 1];
        for (size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
        std::vector<size_t> fill(first.begin(), first.end() - 1);
        for (size_t e = 0; e < src.size(); ++e) target[fill[static_cast<size_t>(src[e])]++] = dst[e];
    }
    std::span<const int32_t> of(int32_t s) const {
        return {target.data() + first[static_cast<size_t>(s)],
                target.data() + first[static_cast<size_t>(s) + 1]};
    }
};

}  // namespace zerav::mapping
