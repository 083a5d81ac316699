// The rules of CPython 3.13's set hash table, for reproducing natively the order in which a
// host `set` yields its members (its slot order): the starting size, the probe sequence
// (up to 10 consecutive slots where they fit, then perturbed jumps), when an add makes the
// table grow and to what size. Plain C++; each user keeps its own slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bind::set_table {

constexpr size_t kMinSize = 8;  // a new set's table

// Calls `stop(i)` on the slots of the probe sequence of `hash` in a table of `mask + 1` slots,
// in order, until it returns true; returns that slot.
template <class Stop>
size_t probe(uint64_t hash, size_t mask, Stop&& stop) {
    constexpr size_t kLinearProbes = 9;  // slots looked at after the home slot before a jump
    constexpr unsigned kPerturbShift = 5;
    size_t perturb = hash;
    size_t i = hash & mask;
    for (;;) {
        const size_t probes = i + kLinearProbes <= mask ? kLinearProbes : 0;
        for (size_t j = 0; j <= probes; ++j)
            if (stop(i + j)) return i + j;
        perturb >>= kPerturbShift;
        i = (i * 5 + 1 + perturb) & mask;
    }
}

// Whether the add that brought the table's fill (active and dummy slots) to `fill` makes a
// table of `mask + 1` slots grow.
constexpr bool must_grow(size_t fill, size_t mask) { return fill * 5 >= mask * 3; }

// The slot count the table grows to, with `used` active members.
constexpr size_t grown_size(size_t used) {
    const size_t min_used = used > 50000 ? used * 2 : used * 4;
    size_t size = kMinSize;
    while (size <= min_used) size <<= 1;
    return size;
}

// Rebuilds `slots` at `size` slots of `empty`, each member (`is_member(slot)`) put, in the old
// slot order, in the first slot of its probe sequence (`hash_of(slot)`) that holds none: the
// rebuilt table has no dummies.
template <class Slot, class IsMember, class HashOf>
void rebuild(std::vector<Slot>& slots, size_t size, const Slot& empty, IsMember is_member, HashOf hash_of) {
    std::vector<Slot> old(size, empty);
    old.swap(slots);
    for (const Slot& e : old) {
        if (!is_member(e)) continue;
        slots[probe(hash_of(e), size - 1, [&](size_t k) { return !is_member(slots[k]); })] = e;
    }
}

}  // namespace bind::set_table
