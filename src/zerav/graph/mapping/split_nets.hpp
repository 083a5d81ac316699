// The nets of one bisection, priced by connectivity: a net with pins on both sides costs its
// rate units times the distance between the halves (its tree must cross between them); a net
// whose pins elsewhere lie nearer one half costs their pull when that half holds none of its
// pins (the tree then reaches them from the farther half). Only nets with two or more pins in
// the region are kept: a net with one pin there is a pull on that pin alone, handed to the
// caller. Per net the pins in the region, their count on each side and the sum of their ids
// on each side are kept, so a move costs the nets of the moved vertex: a pin's gain changes
// only when its side's count crosses 1-2 (the one pin left alone there, found by the sum) or
// the other side's crosses 0-1 (the net becomes cut or whole: only then are its pins visited).
// The side of a pin is read through the caller's `side(u)` (0 or 1), so the nets keep no copy
// of where the vertices are.
#pragma once

#include "zerav/graph/mapping/nets.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

class SplitNets {
  public:
    explicit SplitNets(const Nets& nets)
        : nets_(nets),
          local_(static_cast<size_t>(nets.count), -1),
          stamp_(static_cast<size_t>(nets.count), 0) {}

    // Enters the nets of `vertices`, the members of region `own` of `region_of`. `toward0(r)`
    // is what reaching a vertex of region r from side 0 rather than side 1 saves per rate unit
    // (in gain units; negative when side 1 is nearer); `span` is the cost of a cut net per rate
    // unit. The pull of a net with one pin in the region is added to `pull` at its position.
    template <class Toward>
    void enter(const std::vector<int32_t>& vertices, const std::vector<int32_t>& region_of, int32_t own,
               int64_t span, Toward toward0, std::vector<int64_t>& pull) {
        ++round_;
        start_.assign(1, 0);
        pin_.clear(), count_.clear(), sum_.clear(), cut_.clear(), lack_.clear();
        for (size_t i = 0; i < vertices.size(); ++i) {
            const int32_t v = vertices[i];
            for (int64_t j = nets_.first[static_cast<size_t>(v)]; j < nets_.first[static_cast<size_t>(v) + 1];
                 ++j) {
                const int32_t e = nets_.of[static_cast<size_t>(j)];
                if (stamp_[static_cast<size_t>(e)] == round_) continue;
                stamp_[static_cast<size_t>(e)] = round_;
                ++mark_;
                const size_t from = pin_.size();
                double toward = 0;
                for (int64_t k = nets_.begin(e); k < nets_.end(e); ++k) {
                    const int32_t u = nets_.pin[static_cast<size_t>(k)];
                    const int32_t r = region_of[static_cast<size_t>(u)];
                    if (r == own) {
                        pin_.push_back(u);
                        continue;
                    }
                    if (static_cast<size_t>(r) >= seen_.size()) seen_.resize(static_cast<size_t>(r) + 1, 0);
                    if (seen_[static_cast<size_t>(r)] == mark_) continue;  // one pull per region
                    seen_[static_cast<size_t>(r)] = mark_;
                    toward += toward0(r);
                }
                const int64_t units = nets_.weight[static_cast<size_t>(e)];
                const int64_t p = std::llround(toward * static_cast<double>(units));
                if (pin_.size() - from < 2) {  // v alone: a pull on v
                    pin_.resize(from);
                    local_[static_cast<size_t>(e)] = -1;
                    pull[i] += p;
                    continue;
                }
                local_[static_cast<size_t>(e)] = static_cast<int32_t>(cut_.size());
                start_.push_back(static_cast<int64_t>(pin_.size()));
                count_.push_back(0), count_.push_back(0);
                sum_.push_back(0), sum_.push_back(0);
                cut_.push_back(units * span);
                lack_.push_back(p > 0 ? p : 0);   // side 0 holds none
                lack_.push_back(p < 0 ? -p : 0);  // side 1 holds none
            }
        }
    }

    // Counts the pins on each side anew.
    template <class Side>
    void recount(Side&& side) {
        for (size_t e = 0; e < cut_.size(); ++e) {
            count_[2 * e] = count_[2 * e + 1] = sum_[2 * e] = sum_[2 * e + 1] = 0;
            for (int64_t k = start_[e]; k < start_[e + 1]; ++k) {
                const int32_t u = pin_[static_cast<size_t>(k)];
                const auto x = static_cast<size_t>(side(u));
                ++count_[2 * e + x];
                sum_[2 * e + x] += u;
            }
        }
    }

    // Keeps the pin counts as they are, for restore_counts() to return to (growth trials all
    // start from the same sides).
    void save_counts() { saved_count_ = count_, saved_sum_ = sum_; }
    void restore_counts() { count_ = saved_count_, sum_ = saved_sum_; }

    // Whether some net is pulled towards side 0 (growing side 0 may start from its pins).
    bool pulled_to_0() const {
        for (size_t e = 0; e < cut_.size(); ++e)
            if (lack_[2 * e] > 0) return true;
        return false;
    }

    // What moving `v` off side `s` saves on its nets; `boundary` is set when one of them has
    // a pin on the other side.
    int64_t gain(int32_t v, int s, bool& boundary) const {
        int64_t g = 0;
        for_nets(v, [&](size_t e) {
            g += saving(e, s, count_[2 * e + s], count_[2 * e + 1 - s]);
            if (count_[2 * e + 1 - s] > 0) boundary = true;
        });
        return g;
    }

    // Whether some net of `v` has a pin on side `x`.
    bool reaches(int32_t v, int x) const {
        for (int64_t j = nets_.first[static_cast<size_t>(v)]; j < nets_.first[static_cast<size_t>(v) + 1];
             ++j) {
            const auto e = static_cast<size_t>(nets_.of[static_cast<size_t>(j)]);
            if (stamp_[e] == round_ && local_[e] >= 0 &&
                count_[2 * static_cast<size_t>(local_[e]) + static_cast<size_t>(x)] > 0)
                return true;
        }
        return false;
    }

    // Records the move of `v` off side `s` (`side(v)` already the other one) and calls
    // `changed(u, d)` for every other pin u in the region whose gain changes by d.
    template <class Side, class Changed>
    void move(int32_t v, int s, Side&& side, Changed&& changed) {
        for_nets(v, [&](size_t e) {
            const int64_t before[2] = {count_[2 * e], count_[2 * e + 1]};
            const int64_t sum_before[2] = {sum_[2 * e], sum_[2 * e + 1]};
            shift_net(e, v, s);
            const int64_t* after = &count_[2 * e];
            // A pin on side x: its saving reads only whether side x holds it alone and whether
            // the other side holds none, so every pin of a side changes by the same amount.
            bool all[2], alone[2];
            int64_t change[2];
            for (int x = 0; x < 2; ++x) {
                all[x] = (before[1 - x] == 0) != (after[1 - x] == 0);
                alone[x] = (before[x] == 1) != (after[x] == 1);
                change[x] = all[x] || alone[x] ? saving(e, x, after[x], after[1 - x]) -
                                                     saving(e, x, before[x], before[1 - x])
                                               : 0;
            }
            if (all[0] || all[1]) {
                for (int64_t k = start_[e]; k < start_[e + 1]; ++k) {
                    const int32_t u = pin_[static_cast<size_t>(k)];
                    const int x = side(u);
                    if (u != v && (all[x] || alone[x])) changed(u, change[x]);
                }
                return;
            }
            for (int x = 0; x < 2; ++x) {
                if (!alone[x]) continue;
                // The pin alone on side x after the move, or the one that was alone before v joined.
                const int64_t u = after[x] == 1   ? sum_[2 * e + static_cast<size_t>(x)]
                                  : after[x] == 2 ? sum_before[x]
                                                  : -1;
                if (u >= 0 && u != v) changed(static_cast<int32_t>(u), change[x]);
            }
        });
    }

    // Records the move of `v` off side `s` in the counts alone (a rollback; gains are counted
    // anew before they are used again).
    void shift(int32_t v, int s) {
        for_nets(v, [&](size_t e) { shift_net(e, v, s); });
    }

    // What the nets cost with the pins where they are.
    int64_t cost() const {
        int64_t c = 0;
        for (size_t e = 0; e < cut_.size(); ++e) {
            const int64_t n0 = count_[2 * e], n1 = count_[2 * e + 1];
            c += n0 > 0 && n1 > 0 ? cut_[e] : n0 == 0 ? lack_[2 * e] : lack_[2 * e + 1];
        }
        return c;
    }

    // Whether the tracked counts and sums equal a count from `side`.
    template <class Side>
    bool counts_match(Side&& side) const {
        for (size_t e = 0; e < cut_.size(); ++e) {
            int64_t n[2] = {0, 0}, sum[2] = {0, 0};
            for (int64_t k = start_[e]; k < start_[e + 1]; ++k) {
                const int32_t u = pin_[static_cast<size_t>(k)];
                const int x = side(u);
                ++n[x];
                sum[x] += u;
            }
            if (n[0] != count_[2 * e] || n[1] != count_[2 * e + 1] || sum[0] != sum_[2 * e] ||
                sum[1] != sum_[2 * e + 1])
                return false;
        }
        return true;
    }

  private:
    void shift_net(size_t e, int32_t v, int s) {
        const size_t t = 1 - static_cast<size_t>(s);
        --count_[2 * e + static_cast<size_t>(s)], ++count_[2 * e + t];
        sum_[2 * e + static_cast<size_t>(s)] -= v, sum_[2 * e + t] += v;
    }

    // What net `e` saves when one of its `here` pins on side x moves across, with `there` pins
    // on the other side: cost() before the move less cost() after it.
    int64_t saving(size_t e, int x, int64_t here, int64_t there) const {
        const int y = 1 - x;
        return cut_[e] * ((there > 0) - (here > 1)) + lack_[2 * e + static_cast<size_t>(y)] * (there == 0) -
               lack_[2 * e + static_cast<size_t>(x)] * (here == 1);
    }

    template <class F>
    void for_nets(int32_t v, F&& f) const {
        for (int64_t j = nets_.first[static_cast<size_t>(v)]; j < nets_.first[static_cast<size_t>(v) + 1];
             ++j) {
            const auto e = static_cast<size_t>(nets_.of[static_cast<size_t>(j)]);
            if (stamp_[e] == round_ && local_[e] >= 0) f(static_cast<size_t>(local_[e]));
        }
    }

    const Nets& nets_;
    std::vector<int32_t> local_;  // per net: its index among the region's nets, -1 if none
    std::vector<int64_t> stamp_;  // per net: the last region that entered it
    std::vector<int64_t> seen_;   // per region: the last net whose pull counted it
    int64_t round_ = 0, mark_ = 0;
    std::vector<int64_t> start_;  // per region net: offsets into pin_
    std::vector<int32_t> pin_;    // the pins in the region
    std::vector<int64_t> count_;  // pins on side 0 and side 1
    std::vector<int64_t> sum_;    // the sum of their vertex ids
    std::vector<int64_t> saved_count_, saved_sum_;
    std::vector<int64_t> cut_;   // cost when cut
    std::vector<int64_t> lack_;  // cost when side 0 (side 1) holds no pin
};

}  // namespace zerav::mapping
