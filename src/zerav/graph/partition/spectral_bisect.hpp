// Recursive bisection of node positions into numbered parts, as plain C++.
//
// A request for `parts` parts on a list of positions stops when `parts <= 1` or the list fits
// on one core (everything gets part 0); a list of at most two positions is dealt round-robin;
// otherwise the list is split in two by a caller-supplied rule, the first half asks for
// `parts // 2` parts and the second for the rest, whose ids are shifted up by `parts // 2`.
// The first half's recursion finishes before the second's starts. The plain-Python model is
// `bisect` inside `spectral` in tests/partition/reference.py.
//
// Host-facing parts are callbacks, called exactly when the recursion reaches them:
// `fits(size)` (a list of `size` positions fits on one core) and `split(piece, side)` (marks
// each position of a piece of at least three as going to the first half, the second, or
// neither). When either half comes out empty the piece is split by position instead, at
// size // 2. A position marked for neither half leaves the recursion unassigned.
//
// The part-id arithmetic is a policy `Ids` so that it can run on native integers or on the
// host's own number objects: `Value`, `at_most_one(p)`, `half(p)` (p // 2), `rest(p, h)`
// (p - h), `set_zero(pos)`, `set_round_robin(pos, i, p)` (i % p), `add(pos, h)`.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zerav::partition {

enum class Side : uint8_t { First, Second, Neither };

template <class Ids, class Fits, class Split, class Tick>
class Bisection {
  public:
    using Value = typename Ids::Value;

    // `n` is one more than the largest position that will be passed.
    Bisection(Ids& ids, Fits fits, Split split, Tick tick, size_t n)
        : ids_(ids), fits_(fits), split_(split), tick_(tick), present_(n, 1), side_(n), scratch_(n) {}

    // Assigns ids to `indices` (reordered in place: first half, second half, unassigned).
    void run(std::span<int64_t> indices, const Value& parts) {
        if (ids_.at_most_one(parts) || fits_(indices.size())) {
            for (int64_t pos : indices) ids_.set_zero(pos);
            return;
        }
        const size_t sub_n = indices.size();
        if (sub_n <= 2) {
            for (size_t i = 0; i < sub_n; ++i) ids_.set_round_robin(indices[i], i, parts);
            return;
        }
        const std::span<Side> side(side_.data(), sub_n);
        split_(std::span<const int64_t>(indices), side);
        size_t first = 0, second = 0;
        for (Side s : side) first += s == Side::First, second += s == Side::Second;
        if (first == 0 || second == 0) {
            first = sub_n / 2;
            second = sub_n - first;
        } else {
            stable_three_way(indices, side, first, second);
        }
        const Value half = ids_.half(parts);
        run(indices.first(first), half);
        const Value rest = ids_.rest(parts, half);
        const std::span<int64_t> upper = indices.subspan(first, second);
        run(upper, rest);
        for (int64_t pos : upper)
            if (present_[pos]) ids_.add(pos, half);
    }

  private:
    // Reorders `indices` into [first half | second half | neither], each keeping its order.
    void stable_three_way(std::span<int64_t> indices, std::span<const Side> side, size_t first,
                          size_t second) {
        size_t next[3] = {0, first, first + second};  // where each side's run continues
        for (size_t i = 0; i < indices.size(); ++i) {
            tick_();
            const int64_t pos = indices[i];
            scratch_[next[static_cast<int>(side[i])]++] = pos;
            if (side[i] == Side::Neither) present_[pos] = 0;
        }
        for (size_t i = 0; i < indices.size(); ++i) indices[i] = scratch_[i];
    }

    Ids& ids_;
    Fits fits_;
    Split split_;
    Tick tick_;
    std::vector<uint8_t> present_;
    std::vector<Side> side_;        // the current piece's sides (used before recursing only)
    std::vector<int64_t> scratch_;  // reordering buffer (likewise)
};

}  // namespace zerav::partition
