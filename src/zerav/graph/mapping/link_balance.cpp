// After the cores are placed: vertices move off the busiest directed mesh link under multicast.
// A core that many sources reach (the readouts of a layer, the hubs of a power-law graph)
// receives all of their trees over its few incoming links; a vertex of it moved to a nearby
// core sends its sources' trees over other links, for a little more traffic. Each move takes,
// among the vertices that relieve the busiest link most, the move to a nearby part that adds
// the least traffic per unit of load taken off that link, raises no other link to its load, and
// keeps every core within capacity (and SRAM) and every feedback edge within the delay limit.
#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/link_load.hpp"
#include "zerav/graph/mapping/multicast.hpp"
#include "zerav/graph/mapping/multicast_cost.hpp"
#include "zerav/graph/mapping/part_cost.hpp"
#include "zerav/graph/mapping/partition_state.hpp"
#include "zerav/graph/mapping/steps.hpp"

#include <algorithm>
#include <cstdint>

namespace zerav::mapping {

namespace {

// The nets of `g` by their root vertex, in net order.
Fanout rooted_nets(const LevelGraph& g) {
    std::vector<int32_t> root(static_cast<size_t>(g.nets.count)), net(root.size());
    for (int32_t e = 0; e < g.nets.count; ++e)
        root[static_cast<size_t>(e)] = g.nets.root(e), net[static_cast<size_t>(e)] = e;
    return Fanout(g.n, root, net);
}

class LinkBalancer {
  public:
    LinkBalancer(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                 std::vector<int32_t>& part)
        : g_(g),
          nets_(g.nets),
          cells_(cells),
          limits_(limits),
          part_(part),
          state_(g, cells.size(), part, true),
          tree_(g.nets, cells, part),
          near_(g, cells, limits),
          rows_(cells.rows_reached()),
          cols_(cells.cols_reached()),
          loads_(rows_, cols_),
          relief_(static_cast<size_t>(g.n), 0),
          last_to_(static_cast<size_t>(g.n), -1),
          last_link_(static_cast<size_t>(g.n), -1),
          seen_(static_cast<size_t>(g.nets.count), 0),
          in_row_(static_cast<size_t>(rows_)),
          in_column_(static_cast<size_t>(cols_)),
          rooted_(rooted_nets(g)),
          work_limit_(static_cast<int64_t>(limits.config.link_balance.work_share *
                                           static_cast<double>(g.nets.pin.size()))) {
        state_.observe(&tree_);
        for (int32_t p = 0; p < cells.size(); ++p)
            in_row_[static_cast<size_t>(cells.row(p))].push_back(p),
                in_column_[static_cast<size_t>(cells.col(p))].push_back(p);
        fill(loads_);
    }

    void run() {
        const Config::LinkBalance& tuning = limits_.config.link_balance;
        const int64_t start = tree_.total();
        const auto budget = static_cast<int64_t>(tuning.traffic_share * static_cast<double>(start));
        int64_t spent = 0;
        size_t scanned = loads_.size();  // the link the candidates were found for
        for (int64_t m = 0; m < tuning.moves && work_ < work_limit_; ++m) {
            const auto [link, peak] = loads_.busiest();
            if (peak <= 0) break;
            // Candidates dropped or moved since the last scan of this link: scan it again.
            const bool fresh = link != scanned || candidates_.empty();
            if (fresh) scan(link), scanned = link;
            Option best = pick(link, peak, budget - spent, false);
            if (best.v < 0 && !fresh) scan(link), best = pick(link, peak, budget - spent, false);
            // No move lowers the peak: trades, among the candidates found anew.
            if (best.v < 0 && tuning.trade_parts > 0)
                scan(link), best = pick(link, peak, budget - spent, true);
            if (best.v < 0) break;  // the busiest link stays: the peak cannot drop
            apply(best);
            spent += best.traffic;
            std::erase(candidates_, best.v);
            if (best.partner >= 0) std::erase(candidates_, best.partner);
            if ((m & 63) == 63 && limits_.poll) limits_.poll();
        }
        state_.verify("link balance");
        tree_.verify("link balance");
        if constexpr (kChecks) {
            invariant(tree_.total() == start + spent, "link balance",
                      "the multicast cost differs from its start plus the moves' changes");
            LinkLoads<int64_t> fresh(rows_, cols_);
            fill(fresh);
            bool same = true;
            for (size_t i = 0; i < fresh.size(); ++i) same = same && fresh.load(i) == loads_.load(i);
            invariant(same, "link balance", "the tracked link loads differ from a recount");
        }
    }

  private:
    struct Option {
        int32_t v = -1, to = -1;
        int32_t partner = -1;             // of `to`, trading places with `v`; -1 for a move
        int64_t traffic = 0, relief = 0;  // rate units added to the traffic, taken off the link
        bool better_than(const Option& o) const {
            return o.v < 0 || static_cast<double>(traffic) * static_cast<double>(o.relief) <
                                  static_cast<double>(o.traffic) * static_cast<double>(relief);
        }
    };

    int64_t weight(int32_t e) const { return nets_.weight[static_cast<size_t>(e)]; }
    MeshCell cell(int32_t p) const { return MeshCell{cells_.row(p), cells_.col(p)}; }
    int32_t part(int32_t v) const { return part_[static_cast<size_t>(v)]; }

    // Every net's tree, counted from the parts of its pins.
    void fill(LinkLoads<int64_t>& loads) {
        for (int32_t e = 0; e < nets_.count; ++e) {
            scratch_.clear();
            tree_.each_part(e, [&](int32_t p, int32_t) { scratch_.push_back(cell(p)); });
            loads.tree(cell(part(nets_.root(e))), scratch_, weight(e));
        }
    }

    // The candidates for the busiest `link`: the vertices that alone bring a net's tree over
    // it (the only pin of the only part beyond it on the net's route) and, with
    // `link_balance.roots`, the roots of the nets over it, by the rate units of those nets,
    // most first. Only nets with a pin on the link's line can use it: on a row, their root
    // before the link; on a column, a target beyond it.
    void scan(size_t link) {
        const auto l = loads_.link(link);
        const bool roots = limits_.config.link_balance.roots != 0;
        candidates_.clear();
        ++stamp_;
        std::vector<int32_t> found;
        const auto credit = [&](int32_t v, int64_t w) {
            if (relief_[static_cast<size_t>(v)] == 0) found.push_back(v);
            relief_[static_cast<size_t>(v)] += w;
        };
        const auto visit = [&](int32_t e) {
            ++work_;
            if (seen_[static_cast<size_t>(e)] == stamp_) return;
            seen_[static_cast<size_t>(e)] = stamp_;
            const auto [crosses, alone] = beyond(e, l);
            if (alone >= 0) credit(alone, weight(e));
            if (crosses && roots) credit(nets_.root(e), weight(e));
        };
        for (int32_t p : (l.column ? in_column_ : in_row_)[static_cast<size_t>(l.line)]) {
            // On a column the nets over the link have a target beyond it; on a row, their
            // root before it.
            const bool ahead = (l.column ? cells_.row(p) : cells_.col(p)) > l.index;
            if (ahead != (l.column == l.forward)) continue;
            for (int32_t u : state_.members(p)) {
                if (!l.column) {
                    for (const int32_t e : rooted_.of(u)) visit(e);
                    continue;
                }
                for (int64_t i = nets_.first[static_cast<size_t>(u)];
                     i < nets_.first[static_cast<size_t>(u) + 1]; ++i)
                    if (const int32_t e = nets_.of[static_cast<size_t>(i)]; nets_.root(e) != u) visit(e);
            }
        }
        const auto most = [&](int32_t a, int32_t b) {
            const int64_t ra = relief_[static_cast<size_t>(a)], rb = relief_[static_cast<size_t>(b)];
            return ra != rb ? ra > rb : a < b;
        };
        std::sort(found.begin(), found.end(), most);
        for (int32_t v : found) relief_[static_cast<size_t>(v)] = 0;
        candidates_ = std::move(found);
    }

    // Whether net `e`'s tree uses link `l`, and the pin that alone brings it over (or -1).
    std::pair<bool, int32_t> beyond(int32_t e, const typename LinkLoads<int64_t>::Link& l) {
        const MeshCell root = cell(part(nets_.root(e)));
        work_ += tree_.reach(e);
        int32_t far = -1, pins = 0, count = 0;
        tree_.each_part(e, [&](int32_t p, int32_t n) {
            const MeshCell c = cell(p);
            const bool crosses = l.column
                                     ? c.col == l.line && (l.forward ? root.row <= l.index && l.index < c.row
                                                                     : c.row <= l.index && l.index < root.row)
                                     : (l.forward ? root.col <= l.index && l.index < c.col
                                                  : c.col <= l.index && l.index < root.col);
            if (crosses) far = p, pins = n, ++count;
        });
        if (count != 1 || pins != 1) return {count > 0, -1};
        for (int64_t i = nets_.begin(e) + 1; i < nets_.end(e); ++i) {
            const int32_t v = nets_.pin[static_cast<size_t>(i)];
            if (part(v) == far) return {true, v};
        }
        return {true, -1};
    }

    // The best move (or, `trading`, trade) of the first candidates that have one (choose()
    // until one is found or none is left).
    Option pick(size_t link, int64_t peak, int64_t allowance, bool trading) {
        Option best;
        while (best.v < 0 && !candidates_.empty() && work_ < work_limit_)
            best = choose(link, peak, allowance, trading);
        return best;
    }

    // The best move of a candidate that lowers the busiest `link` (at `peak`) and raises no
    // other link to the peak, adding at most `allowance` to the traffic (with `trading`, the
    // best trade with a vertex of a full part instead); v = -1 if none. A candidate without
    // such a move is dropped.
    Option choose(size_t link, int64_t peak, int64_t allowance, bool trading) {
        const Config::LinkBalance& tuning = limits_.config.link_balance;
        Option best;
        std::vector<std::pair<int64_t, int32_t>> near, full, priced;  // (hops or traffic, part)
        int64_t tried = 0;
        std::erase_if(candidates_, [&](int32_t v) {
            if (work_ >= work_limit_ || tried >= tuning.candidates) return false;
            const int32_t a = part(v);
            near_.gather(v, part_);
            // The part of its last move, tried alone while it still has one.
            if (const int32_t b = last_to_[static_cast<size_t>(v)];
                !trading && tuning.reprice == 0 &&
                last_link_[static_cast<size_t>(v)] == static_cast<int64_t>(link) && b >= 0 && b != a &&
                state_.room(limits_, v, b) && within_delay(b)) {
                const Option o = trial(v, a, b, link, peak);
                if constexpr (kChecks)
                    invariant(o.traffic == tree_.delta(v, b), "link balance",
                              "the traffic change of a move differs from the multicast oracle's");
                work_ += 2 * reach_of(v);
                if (o.v >= 0 && o.traffic <= allowance) {
                    ++tried;
                    if (o.better_than(best)) best = o;
                    return false;
                }
            }
            last_to_[static_cast<size_t>(v)] = -1;
            near.clear(), full.clear();
            for (int32_t b = 0; b < cells_.size(); ++b)
                if (b != a && within_delay(b))
                    (state_.room(limits_, v, b) ? near : full).emplace_back(cells_.hops(a, b), b);
            work_ += cells_.size();
            const size_t trades =
                trading ? std::min(full.size(), static_cast<size_t>(tuning.trade_parts)) : 0;
            if (trading ? trades == 0 : near.empty()) return true;  // no part to go to: not a try
            ++tried;
            const size_t keep = trading ? 0 : std::min(near.size(), static_cast<size_t>(tuning.nearby));
            std::partial_sort(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(keep), near.end());
            tree_.prepare(v);
            priced.clear();
            for (size_t i = 0; i < keep; ++i)
                priced.emplace_back(tree_.delta_to(near[i].second), near[i].second);
            const size_t tries = std::min(priced.size(), static_cast<size_t>(tuning.tries));
            std::partial_sort(priced.begin(), priced.begin() + static_cast<std::ptrdiff_t>(tries),
                              priced.end());
            // The work: each net's parts, once per part priced and once per move tried.
            const int64_t reach = reach_of(v);
            work_ += reach * static_cast<int64_t>(keep + tries);
            bool found = false;
            Option own;  // v's best move
            for (size_t i = 0; i < tries && priced[i].first <= allowance; ++i) {
                const Option o = trial(v, a, priced[i].second, link, peak);
                if constexpr (kChecks)
                    invariant(o.traffic == priced[i].first, "link balance",
                              "the traffic change of a move differs from the multicast oracle's");
                if (o.v >= 0 && o.better_than(own)) own = o;
            }
            if (own.v >= 0) {
                found = true;
                last_to_[static_cast<size_t>(v)] = own.to,
                last_link_[static_cast<size_t>(v)] = static_cast<int64_t>(link);
                if (own.better_than(best)) best = own;
            }
            // Without a move, trades with the nearest full parts.
            if (trading) {
                std::partial_sort(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(trades),
                                  full.end());
                for (size_t i = 0; i < trades; ++i) {
                    const int32_t b = full[i].second, z = partner(v, a, b);
                    if (z < 0) continue;
                    Option o{v, b, z, 0, 0};
                    loads_.mark();
                    const int64_t before = tree_.total();
                    o.traffic = apply(o);
                    if constexpr (kChecks)
                        invariant(tree_.total() == before + o.traffic, "link balance",
                                  "the traffic change of a trade differs from the multicast oracle's");
                    o.relief = -loads_.change(link);
                    bool ok = o.relief > 0 && o.traffic <= allowance && trade_within_delay(v, z);
                    for (size_t x : loads_.touched())
                        ok = ok && (loads_.load(x) < peak || loads_.change(x) <= 0);
                    loads_.undo();
                    state_.move(z, b);
                    state_.move(v, a);
                    work_ += 2 * reach;
                    found = found || ok;
                    if (ok && o.better_than(best)) best = o;
                }
            }
            return !found;
        });
        return best;
    }

    // The move of `v` from part `a` to `b`, tried on the link loads and taken back: its traffic
    // change and what it takes off `link`; v = -1 if it takes nothing off or brings another
    // link to `peak`.
    Option trial(int32_t v, int32_t a, int32_t b, size_t link, int64_t peak) {
        loads_.mark();
        Option o{v, b, -1, shift(v, a, b), 0};
        o.relief = -loads_.change(link);
        bool ok = o.relief > 0;
        for (size_t x : loads_.touched()) ok = ok && (loads_.load(x) < peak || loads_.change(x) <= 0);
        loads_.undo();
        if (!ok) o.v = -1;
        return o;
    }

    // The parts the nets of `v` reach, summed.
    int64_t reach_of(int32_t v) const {
        int64_t reach = 0;
        for (int64_t i = nets_.first[static_cast<size_t>(v)]; i < nets_.first[static_cast<size_t>(v) + 1];
             ++i)
            reach += tree_.reach(nets_.of[static_cast<size_t>(i)]);
        return reach;
    }

    // Makes move or trade `o` on the link loads and the state; returns the change of the
    // traffic.
    int64_t apply(const Option& o) {
        const int32_t a = part(o.v);
        int64_t traffic = shift(o.v, a, o.to);
        state_.move(o.v, o.to);
        if (o.partner < 0) return traffic;
        traffic += shift(o.partner, o.to, a);
        state_.move(o.partner, a);
        return traffic;
    }

    // The vertex of full part `b` that trades places with `v` (of part `a`): of v's compute
    // nodes (both parts keep their counts) and within the SRAM, among the `trade_partners`
    // with the fewest nets the one whose move to `a` adds the least traffic; -1 if none.
    int32_t partner(int32_t v, int32_t a, int32_t b) {
        const int64_t count = g_.count[static_cast<size_t>(v)];
        const auto nets_of = [&](int32_t z) {
            return nets_.first[static_cast<size_t>(z) + 1] - nets_.first[static_cast<size_t>(z)];
        };
        const auto fewer = [&](int32_t x, int32_t y) {
            return nets_of(x) != nets_of(y) ? nets_of(x) < nets_of(y) : x < y;
        };
        few_.clear();
        const auto& members = state_.members(b);
        work_ += static_cast<int64_t>(members.size());
        const auto most = static_cast<size_t>(limits_.config.link_balance.trade_partners);
        for (int32_t z : members) {
            if (g_.count[static_cast<size_t>(z)] != count || !state_.trade_fits(limits_, v, z)) continue;
            few_.insert(std::upper_bound(few_.begin(), few_.end(), z, fewer), z);
            if (few_.size() > most) few_.pop_back();
        }
        int32_t best = -1;
        int64_t least = 0;
        for (int32_t z : few_) {
            const int64_t d = tree_.delta(z, a);
            work_ += nets_of(z);
            if (best < 0 || d < least) best = z, least = d;
        }
        return best;
    }

    // Whether `v` and `z`, having traded places, keep their feedback edges within the delay
    // limit.
    bool trade_within_delay(int32_t v, int32_t z) {
        if (limits_.delay < 0) return true;
        near_.gather(v, part_);
        if (!within_delay(part(v))) return false;
        near_.gather(z, part_);
        return within_delay(part(z));
    }

    // Whether the gathered vertex in part `b` keeps its feedback edges within the delay limit.
    bool within_delay(int32_t b) const {
        if (limits_.delay < 0) return true;
        for (const PartCost::Entry& e : near_.entries())
            if (e.feedback && cells_.hops(b, e.part) > limits_.delay) return false;
        return true;
    }

    // Changes the link loads as if `v` moved from part `a` to `b`; returns the change of the
    // traffic (rate units times links).
    int64_t shift(int32_t v, int32_t a, int32_t b) {
        int64_t traffic = 0;
        const MeshCell from = cell(a), to = cell(b);
        for (int64_t i = nets_.first[static_cast<size_t>(v)]; i < nets_.first[static_cast<size_t>(v) + 1];
             ++i) {
            const int32_t e = nets_.of[static_cast<size_t>(i)];
            const int64_t w = weight(e);
            if (nets_.root(e) == v) {
                // The whole tree moves with its root.
                int64_t before = 0, after = 0;
                scratch_.clear();
                tree_.each_part(e, [&](int32_t p, int32_t) { scratch_.push_back(cell(p)); });
                before = multicast_links(from, scratch_);
                loads_.tree(from, scratch_, -w);
                scratch_.clear();
                tree_.each_part(e, [&](int32_t p, int32_t n) {
                    if (p != a || n > 1) scratch_.push_back(cell(p));
                });
                scratch_.push_back(to);
                after = multicast_links(to, scratch_);
                loads_.tree(to, scratch_, w);
                traffic += w * (after - before);
                work_ += before + after;  // the links of both trees, laid one by one
                continue;
            }
            // A tree the move leaves as it is changes no load (on a few cores, most of them).
            if (tree_.keeps_tree(e, a, b)) continue;
            // A pin moves: the root's row span and the spans of the two columns change.
            const MeshCell root = cell(part(nets_.root(e)));
            Spans old{root}, now{root};
            tree_.each_part(e, [&](int32_t p, int32_t n) {
                old.add(cell(p), from.col, to.col);
                if (p != a || n > 1) now.add(cell(p), from.col, to.col);
            });
            now.add(to, from.col, to.col);
            loads_.respan(false, root.row, root.col, old.west, old.east, now.west, now.east, w);
            loads_.respan(true, from.col, root.row, old.top[0], old.bottom[0], now.top[0], now.bottom[0], w);
            if (to.col != from.col)
                loads_.respan(true, to.col, root.row, old.top[1], old.bottom[1], now.top[1], now.bottom[1],
                              w);
            traffic += w * (now.links(from.col != to.col) - old.links(from.col != to.col));
        }
        return traffic;
    }

    // A tree's row span, and the row spans of two columns (the root's row always within).
    struct Spans {
        explicit Spans(MeshCell root)
            : west(root.col), east(root.col), top{root.row, root.row}, bottom{root.row, root.row} {}
        void add(MeshCell c, int64_t col0, int64_t col1) {
            west = std::min(west, c.col), east = std::max(east, c.col);
            for (int k = 0; k < 2; ++k)
                if (c.col == (k ? col1 : col0))
                    top[k] = std::min(top[k], c.row), bottom[k] = std::max(bottom[k], c.row);
        }
        int64_t links(bool two) const {
            return east - west + bottom[0] - top[0] + (two ? bottom[1] - top[1] : 0);
        }
        int64_t west, east, top[2], bottom[2];
    };

    const LevelGraph& g_;
    const Nets& nets_;
    const ChipCells& cells_;
    const Limits& limits_;
    std::vector<int32_t>& part_;
    PartitionState state_;
    MulticastCost tree_;
    PartCost near_;        // the neighbours of a candidate by part, for the delay limit
    int64_t rows_, cols_;  // of the window of cells the parts reach
    LinkLoads<int64_t> loads_;
    std::vector<int64_t> relief_;     // per vertex, during a scan
    std::vector<int32_t> last_to_;    // per vertex, the part of its best move when last priced
    std::vector<int64_t> last_link_;  // and the link it was priced for
    std::vector<int32_t> seen_;       // per net, the last scan that met it
    int32_t stamp_ = 0;
    std::vector<std::vector<int32_t>> in_row_, in_column_;  // the parts in each row and column
    Fanout rooted_;                                         // the nets rooted at each vertex
    std::vector<int32_t> candidates_;
    std::vector<int32_t> few_;  // a trade's partners, fewest nets first
    std::vector<MeshCell> scratch_;
    int64_t work_ = 0;  // nets and parts of nets visited, at most
    int64_t work_limit_;
};

}  // namespace

void balance_links(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                   std::vector<int32_t>& part) {
    if (!cells.mesh() || g.nets.empty() || cells.size() < 2 || limits.config.link_balance.moves == 0) return;
    LinkBalancer(g, cells, limits, part).run();
}

}  // namespace zerav::mapping
