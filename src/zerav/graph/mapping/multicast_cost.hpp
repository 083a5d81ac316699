// The multicast cost oracle: per net, how many of its pins each part holds, and the links of
// its multicast tree from the root's cell to the cells of those parts, kept in step with the
// moves of a PartitionState. The cost is the rate units of each net times its tree links,
// summed; the gain of a move is exact.
#pragma once

#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/chip_cells.hpp"
#include "zerav/graph/mapping/multicast.hpp"
#include "zerav/graph/mapping/nets.hpp"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace zerav::mapping {

class MulticastCost {
  public:
    MulticastCost(const Nets& nets, const ChipCells& cells, const std::vector<int32_t>& part)
        : nets_(nets),
          cells_(cells),
          part_(part),
          used_(static_cast<size_t>(nets.count), 0),
          slot_part_(nets.pin.size()),
          slot_count_(nets.pin.size()),
          links_(static_cast<size_t>(nets.count), 0),
          spans_(cells.cols_reached()),
          kept_of_(cells.mesh() ? static_cast<size_t>(nets.count) : 0, -1) {
        int64_t room = 0;
        // Each part's slot in the net being counted (-1: none yet), so that counting a net
        // is linear in its pins however many parts it reaches (a hub's reach most cores).
        std::vector<int32_t> slot_of(static_cast<size_t>(cells.size()), -1);
        for (int32_t e = 0; e < nets.count; ++e) {
            if (const int64_t pins = nets.end(e) - nets.begin(e); cells.mesh() && pins >= kKeptPins) {
                kept_of_[static_cast<size_t>(e)] = static_cast<int32_t>(kept_.size());
                kept_.push_back(KeptTree{room, std::min<int64_t>(pins, cells.cols_reached())});
                room += kept_.back().room;
            }
            int32_t& used = used_[static_cast<size_t>(e)];
            for (int64_t i = nets.begin(e); i < nets.end(e); ++i) {
                const int32_t p = part[static_cast<size_t>(nets.pin[static_cast<size_t>(i)])];
                int32_t& s = slot_of[static_cast<size_t>(p)];
                if (s < 0) s = used++, slot_part_[slot(e, s)] = p, slot_count_[slot(e, s)] = 0;
                ++slot_count_[slot(e, s)];
            }
            for (int32_t s = 0; s < used; ++s) slot_of[static_cast<size_t>(slot_part_[slot(e, s)])] = -1;
            links_[static_cast<size_t>(e)] = links(e, -1, -1, -1);
            total_ += weight(e) * links_[static_cast<size_t>(e)];
        }
        kept_columns_.resize(static_cast<size_t>(room));
    }

    // Rate units times tree links, over all nets.
    int64_t total() const { return total_; }

    // The number of parts net `e` reaches.
    int32_t reach(int32_t e) const { return used_[static_cast<size_t>(e)]; }
    // Calls f(part, pins) for each part net `e` reaches, with its pins there.
    template <class F>
    void each_part(int32_t e, F&& f) const {
        for (int32_t s = 0; s < used_[static_cast<size_t>(e)]; ++s)
            f(slot_part_[slot(e, s)], slot_count_[slot(e, s)]);
    }

    // Whether net `e`'s tree stays as it is when one of its pins (not its root) moves from part
    // `from` to `to`: `from` keeps another pin and the net already reaches `to`.
    bool keeps_tree(int32_t e, int32_t from, int32_t to) const {
        return count_of(e, from) > 1 && count_of(e, to) > 0;
    }

    // The change of the total if `v` moved from its part to `to`.
    int64_t delta(int32_t v, int32_t to) {
        prepare(v);
        return delta_to(to);
    }

    // prepare(v), then delta_to(to) for each of several parts: the change of the total if `v`
    // moved to `to`. prepare() takes each net of `v` apart once (on a mesh: the tree's
    // columns without v's pin), so that each delta_to() costs a lookup per net.
    void prepare(int32_t v) {
        v_ = v;
        nets_of_v_.clear();
        columns_.clear();
        if (nets_.empty()) return;
        const int32_t from = part_[static_cast<size_t>(v)];
        for (int64_t i = nets_.first[static_cast<size_t>(v)]; i < nets_.first[static_cast<size_t>(v) + 1];
             ++i) {
            const int32_t e = nets_.of[static_cast<size_t>(i)];
            Prepared n{e, nets_.root(e) == v, false, {}, 0, 0, 0, 0, 0};
            if (!n.rooted && cells_.mesh()) {
                n.root = cell(part_[static_cast<size_t>(nets_.root(e))]);
                n.west = n.east = n.root.col;
                if (!from_kept(e, from, n)) take_apart(e, from, n);
            }
            nets_of_v_.push_back(n);
        }
    }

    int64_t delta_to(int32_t to) {
        const int32_t from = part_[static_cast<size_t>(v_)];
        if (from == to) return 0;
        int64_t d = 0;
        const MeshCell b = cell(to);
        for (const Prepared& n : nets_of_v_) {
            int64_t now = 0;
            if (n.rooted || !cells_.mesh()) {
                now = links(n.net, v_, from, to);
            } else {
                // The prepared tree with the cell of `to` added: the span of columns, and the
                // span of rows in its column.
                now = std::max(n.east, b.col) - std::min(n.west, b.col) + n.spans;
                const Column* base = n.kept ? kept_columns_.data() : columns_.data();
                const Column* first = base + n.first;
                const Column* last = base + n.last;
                const auto c = std::lower_bound(first, last, b.col,
                                                [](const Column& x, int64_t col) { return x.col < col; });
                if (c != last && c->col == b.col)
                    now += std::max(c->bottom, b.row) - std::min(c->top, b.row) - (c->bottom - c->top);
                else
                    now += std::llabs(b.row - n.root.row);
            }
            d += weight(n.net) * (now - links_[static_cast<size_t>(n.net)]);
        }
        return d;
    }

    // Keeps the pin counts in step with a move of `v` from part `from` to `to` (the part
    // array already says `to`).
    void moved(int32_t v, int32_t from, int32_t to) {
        if (nets_.empty()) return;
        for (int64_t i = nets_.first[static_cast<size_t>(v)]; i < nets_.first[static_cast<size_t>(v) + 1];
             ++i) {
            const int32_t e = nets_.of[static_cast<size_t>(i)];
            const bool left = remove_pin(e, from), joined = add_pin(e, to);
            // A tree changes only with the parts it reaches or the root's part.
            if (!left && !joined && nets_.root(e) != v) continue;
            if (const int32_t k = kept(e); k >= 0) kept_[static_cast<size_t>(k)].valid = false;
            const int64_t now = links(e, -1, -1, -1);
            total_ += weight(e) * (now - links_[static_cast<size_t>(e)]);
            links_[static_cast<size_t>(e)] = now;
        }
    }

    // Debug builds: the pin counts, tree links and total equal a recount from the parts.
    void verify(const char* phase) const {
        if constexpr (!kChecks) return;
        MulticastCost fresh(nets_, cells_, part_);
        invariant(fresh.total_ == total_, phase, "the tracked multicast cost differs from a recount");
        invariant(fresh.links_ == links_, phase, "tracked tree links differ from a recount");
        for (int32_t e = 0; e < nets_.count; ++e)
            if (const int32_t k = kept(e); k >= 0 && kept_[static_cast<size_t>(k)].valid) {
                const KeptTree& tree = kept_[static_cast<size_t>(k)];
                invariant(fresh.takes_apart_as(e, tree, &kept_columns_[static_cast<size_t>(tree.at)]), phase,
                          "a kept multicast tree differs from a recount");
            }
        for (int32_t e = 0; e < nets_.count; ++e)
            for (int32_t s = 0; s < used_[static_cast<size_t>(e)]; ++s) {
                const size_t at = slot(e, s);
                invariant(fresh.count_of(e, slot_part_[at]) == slot_count_[at], phase,
                          "tracked pin counts of a net differ from a recount");
            }
    }

  private:
    struct Column {
        int64_t col, top, bottom;  // rows spanned in a column, the root's row included
        bool operator==(const Column&) const = default;
    };
    struct KeptTree {
        int64_t at, room;  // where its columns start in kept_columns_, and how many fit there
        bool valid = false;
        int64_t west = 0, east = 0, spans = 0, columns = 0;  // as Prepared's, and its columns
    };
    struct Prepared {
        int32_t net;
        bool rooted;                // `v` is the net's root: its tree is recounted for each part
        bool kept;                  // its columns are the net's kept tree's, in `kept_columns_`
        MeshCell root;              // the root's cell
        int64_t west, east, spans;  // the columns spanned, and the rows summed over the columns
        size_t first, last;         // the net's columns, by column (in `columns_`, or kept)
    };

    int64_t weight(int32_t e) const { return nets_.weight[static_cast<size_t>(e)]; }
    size_t slot(int32_t e, int32_t s) const { return static_cast<size_t>(nets_.begin(e) + s); }

    int32_t count_of(int32_t e, int32_t p) const {
        for (int32_t s = 0; s < used_[static_cast<size_t>(e)]; ++s)
            if (slot_part_[slot(e, s)] == p) return slot_count_[slot(e, s)];
        return 0;
    }
    // Adds a pin of part `p` to net `e`; true when the net did not reach `p` before.
    bool add_pin(int32_t e, int32_t p) {
        int32_t& used = used_[static_cast<size_t>(e)];
        for (int32_t s = 0; s < used; ++s)
            if (slot_part_[slot(e, s)] == p) {
                ++slot_count_[slot(e, s)];
                return false;
            }
        slot_part_[slot(e, used)] = p;
        slot_count_[slot(e, used)] = 1;
        ++used;
        return true;
    }
    // Removes a pin of part `p` from net `e`; true when the net no longer reaches `p`.
    bool remove_pin(int32_t e, int32_t p) {
        int32_t& used = used_[static_cast<size_t>(e)];
        for (int32_t s = 0; s < used; ++s)
            if (slot_part_[slot(e, s)] == p) {
                if (--slot_count_[slot(e, s)] > 0) return false;
                slot_part_[slot(e, s)] = slot_part_[slot(e, used - 1)];
                slot_count_[slot(e, s)] = slot_count_[slot(e, used - 1)];
                --used;
                return true;
            }
        return false;
    }

    MeshCell cell(int32_t p) const { return MeshCell{cells_.row(p), cells_.col(p)}; }

    // The tree links of net `e`, or (with `v` >= 0) of `e` after `v` moved from `from` to `to`.
    // Without a mesh every other part is one link from the root's.
    int64_t links(int32_t e, int32_t v, int32_t from, int32_t to) {
        int32_t root = part_[static_cast<size_t>(nets_.root(e))];
        if (v == nets_.root(e)) root = to;
        scratch_.clear();
        int64_t others = 0;
        bool to_seen = false;
        for (int32_t s = 0; s < used_[static_cast<size_t>(e)]; ++s) {
            const int32_t p = slot_part_[slot(e, s)];
            if (v >= 0 && p == from && slot_count_[slot(e, s)] == 1) continue;
            to_seen = to_seen || p == to;
            others += p != root;
            scratch_.push_back(cell(p));
        }
        if (v >= 0 && !to_seen) others += to != root, scratch_.push_back(cell(to));
        if (!cells_.mesh()) return others;
        if (scratch_.size() > kFewParts) return spans_.links(cell(root), scratch_);
        return multicast_links(cell(root), scratch_);
    }

    // A net over more parts than this is taken apart column by column with stamps (linear in
    // its parts) rather than by sorting its cells.
    static constexpr size_t kFewParts = 16;

    // prepare()'s columns of net `e` without one pin of part `from` (none with -1), by column,
    // onto the end of `columns_` (`n.first` .. `n.last`): each column's rows spanned from the
    // root's row (by sorting the net's cells, or with stamps for a net over many parts, linear
    // in its parts).
    void take_apart(int32_t e, int32_t from, Prepared& n) {
        n.first = columns_.size();
        scratch_.clear();
        for (int32_t s = 0; s < used_[static_cast<size_t>(e)]; ++s)
            if (slot_part_[slot(e, s)] != from || slot_count_[slot(e, s)] > 1)
                scratch_.push_back(cell(slot_part_[slot(e, s)]));
        auto column = [&](int64_t col, int64_t top, int64_t bottom) {
            add_column(Column{col, top, bottom}, n);
        };
        if (scratch_.size() > kFewParts)
            spans_.each_column(n.root, scratch_, column);
        else
            tree_spans(n.root, scratch_, [&](bool down, int64_t col, int64_t, int64_t top, int64_t bottom) {
                if (down) column(col, top, bottom);
            });
        n.last = columns_.size();
    }
    // The index of net `e`'s kept tree in `kept_`, or -1 for a net too small to keep one.
    int32_t kept(int32_t e) const { return kept_of_.empty() ? -1 : kept_of_[static_cast<size_t>(e)]; }

    // prepare()'s columns of net `e` from its kept tree, when the pin of `v` in part `from` is
    // not that part's last (the tree without it is then the whole tree): the tree is taken
    // apart once and kept until a move changes its parts or its root's part. False for a net
    // too small to keep (taking it apart costs less than keeping it), or where `v` is its
    // part's last pin. A tree has a column per part at most, each within the columns the parts
    // reach: it always fits its room (checked, since an overrun would write past it).
    bool from_kept(int32_t e, int32_t from, Prepared& n) {
        const int32_t k = kept(e);
        if (k < 0 || count_of(e, from) < 2) return false;
        KeptTree& tree = kept_[static_cast<size_t>(k)];
        if (!tree.valid) {
            Prepared whole = n;
            take_apart(e, -1, whole);
            const auto count = static_cast<int64_t>(whole.last - whole.first);
            if (count > tree.room) throw std::logic_error("a multicast tree has more columns than its room");
            std::copy(columns_.begin() + static_cast<std::ptrdiff_t>(whole.first), columns_.end(),
                      kept_columns_.begin() + tree.at);
            columns_.resize(whole.first);
            tree.valid = true;
            tree.west = whole.west, tree.east = whole.east, tree.spans = whole.spans, tree.columns = count;
        }
        n.kept = true;
        n.west = tree.west, n.east = tree.east, n.spans = tree.spans;
        n.first = static_cast<size_t>(tree.at);
        n.last = n.first + static_cast<size_t>(tree.columns);
        return true;
    }
    // Debug builds: whether net `e` taken apart here gives the kept tree `tree` with `columns`.
    bool takes_apart_as(int32_t e, const KeptTree& tree, const Column* columns) {
        Prepared whole{e, false, false, cell(part_[static_cast<size_t>(nets_.root(e))]), 0, 0, 0, 0, 0};
        whole.west = whole.east = whole.root.col;
        take_apart(e, -1, whole);
        const bool same = tree.west == whole.west && tree.east == whole.east && tree.spans == whole.spans &&
                          tree.columns == static_cast<int64_t>(whole.last - whole.first) &&
                          std::equal(columns, columns + tree.columns,
                                     columns_.begin() + static_cast<std::ptrdiff_t>(whole.first));
        columns_.resize(whole.first);
        return same;
    }

    void add_column(const Column& c, Prepared& n) {
        n.spans += c.bottom - c.top;
        n.west = std::min(n.west, c.col), n.east = std::max(n.east, c.col);
        columns_.push_back(c);
    }

    const Nets& nets_;
    const ChipCells& cells_;
    const std::vector<int32_t>& part_;
    std::vector<int32_t> used_;        // parts each net reaches
    std::vector<int32_t> slot_part_;   // per net, from its first pin's offset: the parts it reaches
    std::vector<int32_t> slot_count_;  // and its pins in each
    std::vector<int64_t> links_;       // tree links of each net
    int64_t total_ = 0;
    std::vector<MeshCell> scratch_;
    int32_t v_ = -1;  // the vertex prepared
    std::vector<Prepared> nets_of_v_;
    std::vector<Column> columns_;
    ColumnSpans spans_;  // counts and takes apart the trees of many parts
    // The trees of the nets of at least kKeptPins pins (on a mesh), taken apart and kept whole
    // until a move changes them: prepare() then reads them instead of taking the net apart
    // for each of its pins. Each has room in `kept_columns_` for as many columns as it has
    // pins, at most the columns the parts reach (so that every tree fits, the trees of hubs
    // over most of a large mesh too).
    static constexpr int64_t kKeptPins = 8;
    std::vector<int32_t> kept_of_;  // per net: its index in kept_, -1 if none (empty: no mesh)
    std::vector<KeptTree> kept_;
    std::vector<Column> kept_columns_;
};

}  // namespace zerav::mapping
