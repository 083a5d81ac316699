// The one native hash table layout: open addressing with linear probing over a power-of-two
// array of slots, kept at most half full, homes by Fibonacci hashing (the top bits of the
// product with 2**64 / golden ratio). `Slot` is default-constructible as an empty slot and
// tells by `empty()` whether it holds an entry; callers probe with `home` and `next` and report
// each newly filled slot with `filled`, which grows the table when needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bind {

template <class Slot>
class OpenTable {
  public:
    explicit OpenTable(size_t expected = 0) { reset(capacity_for(expected)); }

    size_t home(uint64_t hash) const { return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_); }
    size_t next(size_t i) const { return (i + 1) & mask_; }
    Slot& operator[](size_t i) { return slots_[i]; }
    const Slot& operator[](size_t i) const { return slots_[i]; }
    size_t used() const { return used_; }

    // Counts a slot just filled; past half full, doubles the table and re-inserts every entry
    // at `home_of(slot)` (slot indices are then no longer valid).
    template <class HomeOf>
    void filled(HomeOf home_of) {
        if (++used_ * 2 <= slots_.size()) return;
        std::vector<Slot> old;
        old.swap(slots_);
        reset(old.size() * 2);
        for (const Slot& s : old) {
            if (s.empty()) continue;
            size_t i = home_of(s);
            while (!slots_[i].empty()) i = next(i);
            slots_[i] = s;
        }
    }

  private:
    static size_t capacity_for(size_t expected) {
        size_t cap = 16;
        while (cap < expected * 2) cap <<= 1;
        return cap;
    }
    void reset(size_t cap) {
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
        shift_ = 64;
        for (size_t c = cap; c > 1; c >>= 1) --shift_;
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    int shift_ = 64;
    size_t used_ = 0;
};

}  // namespace bind
