// Traffic on the mesh links under dimension-order routing.
#pragma once

#include "zerav/graph/mapping/multicast.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

// The load of every directed link of a window of the mesh (rows 0 .. rows - 1, columns
// 0 .. cols - 1), kept as multicast trees are added and taken away. A line is a row (its links
// run along it, column i to i + 1 forward, back the other way) or a column (row i to i + 1
// forward, that is southward). With a journal on, every change is logged so that it can be
// undone, and the links it touched read back.
template <class T>
class LinkLoads {
  public:
    LinkLoads(int64_t rows, int64_t cols)
        : rows_(rows),
          cols_(cols),
          column_base_(2 * static_cast<size_t>(rows) * static_cast<size_t>(std::max<int64_t>(cols - 1, 0))),
          load_(column_base_ +
                2 * static_cast<size_t>(cols) * static_cast<size_t>(std::max<int64_t>(rows - 1, 0))),
          change_(load_.size()),
          logged_(load_.size(), 0) {}

    struct Link {
        bool column;  // along a column (else along a row)
        int64_t line, index;
        bool forward;  // from position index to index + 1
    };
    size_t size() const { return load_.size(); }
    T load(size_t link) const { return load_[link]; }
    Link link(size_t at) const {
        const bool column = at >= column_base_;
        const size_t rest = at - (column ? column_base_ : 0);
        const auto length = static_cast<size_t>((column ? rows_ : cols_) - 1);
        return Link{column, static_cast<int64_t>(rest / 2 / length), static_cast<int64_t>(rest / 2 % length),
                    rest % 2 == 0};
    }

    // Adds `w` on the links of a span of line `line` entered at `anchor` and reaching lo..hi
    // (lo <= anchor <= hi): forward from anchor to hi, backward from anchor to lo.
    void span(bool column, int64_t line, int64_t anchor, int64_t lo, int64_t hi, T w) {
        respan(column, line, anchor, anchor, anchor, lo, hi, w);
    }
    // The span of `line` entered at `anchor` changed from lo..hi to lo2..hi2: the difference.
    void respan(bool column, int64_t line, int64_t anchor, int64_t lo, int64_t hi, int64_t lo2, int64_t hi2,
                T w) {
        const size_t base = (column ? column_base_ : 0) +
                            2 * static_cast<size_t>(line) * static_cast<size_t>((column ? rows_ : cols_) - 1);
        run(base, std::max(hi, anchor), std::max(hi2, anchor), true, w);
        run(base, std::min(lo, anchor), std::min(lo2, anchor), false, w);
    }
    // Adds `w` on every link of the tree from `source` to `targets` (sorts `targets`).
    void tree(MeshCell source, std::vector<MeshCell>& targets, T w) {
        tree_spans(source, targets, [&](bool column, int64_t line, int64_t anchor, int64_t lo, int64_t hi) {
            span(column, line, anchor, lo, hi, w);
        });
    }

    // The busiest link (the first of equal loads) and its load; (0, 0) without links.
    std::pair<size_t, T> busiest() const {
        size_t at = 0;
        for (size_t i = 1; i < load_.size(); ++i)
            if (load_[i] > load_[at]) at = i;
        return {at, load_.empty() ? T{} : load_[at]};
    }

    // The highest load and the number of links that carry it.
    std::pair<T, int64_t> peak() const {
        T top{};
        int64_t count = 0;
        for (const T& x : load_) {
            if (x > top) top = x, count = 0;
            count += x == top;
        }
        return {top, count};
    }
    // peak() after the journal's changes, from the peak before them (`top` on `count` links):
    // the touched links alone, unless every link at the peak dropped from it.
    std::pair<T, int64_t> peak_after(T top, int64_t count) const {
        T high{};
        for (size_t at : touched_) high = std::max(high, load_[at]);
        if (high > top) {
            int64_t n = 0;
            for (size_t at : touched_) n += load_[at] == high;
            return {high, n};
        }
        for (size_t at : touched_) count += (load_[at] == top) - (load_[at] - change_[at] == top);
        return count > 0 ? std::pair<T, int64_t>{top, count} : peak();
    }

    // The journal: mark() starts it, touched() lists the links changed since, with each
    // link's change (change(link)), undo() takes every change back and clears it.
    void mark() {
        clear();
        journal_ = true;
    }
    const std::vector<size_t>& touched() const { return touched_; }
    T change(size_t link) const { return change_[link]; }
    void undo() {
        for (size_t at : touched_) load_[at] -= change_[at];
        clear();
    }
    void keep() { clear(); }

  private:
    // Moves one end of a run of forward (or backward) links from `end` to `end2`: the links
    // between them gain `w` if the run grows, lose it if it shrinks.
    void run(size_t base, int64_t end, int64_t end2, bool forward, T w) {
        if (end == end2) return;
        const T signed_w = (forward ? end2 > end : end2 < end) ? w : -w;
        for (int64_t i = std::min(end, end2); i < std::max(end, end2); ++i) {
            const size_t at = base + 2 * static_cast<size_t>(i) + (forward ? 0 : 1);
            load_[at] += signed_w;
            if (!journal_) continue;
            if (!logged_[at]) logged_[at] = 1, touched_.push_back(at);
            change_[at] += signed_w;
        }
    }
    void clear() {
        for (size_t at : touched_) change_[at] = T{}, logged_[at] = 0;
        touched_.clear();
        journal_ = false;
    }

    int64_t rows_, cols_;
    size_t column_base_;
    std::vector<T> load_, change_;
    std::vector<char> logged_;  // whether the journal holds the link
    std::vector<size_t> touched_;
    bool journal_ = false;
};

// The largest number of edges that cross one directed mesh link when every cross-core edge
// travels along its row first and then along its column. `src_core`/`dst_core` are core ids
// (row * cols + col).
int64_t busiest_link(const std::vector<int32_t>& src_core, const std::vector<int32_t>& dst_core,
                     int64_t cols);

// The multicast traffic of a mapping: over the source nodes, the source's rate (`rate[v]`, 1
// for every node when empty) times the links of its multicast tree to the cores of its
// targets. `src`/`dst` are the edges as node indices, `core` the core id of each node.
double multicast_traffic(const std::vector<int32_t>& src, const std::vector<int32_t>& dst,
                         const std::vector<int32_t>& core, const std::vector<double>& rate, int64_t cols);

}  // namespace zerav::mapping
