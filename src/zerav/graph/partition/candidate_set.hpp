// The iteration order of a host `set` filled by successive add() calls and then one
// discard(), in CPython 3.13's table (bind/set_table.hpp; growth rebuilds in old slot order,
// discard leaves a dummy). Keys are dense ids whose equality is the host's equality, each
// with the host hash of its object. Used for the candidate cores of a node move.
#pragma once

#include "bind/set_table.hpp"

#include <Python.h>

#include <cstdint>
#include <vector>

namespace zerav::partition {

class CandidateSet {
  public:
    CandidateSet() { reset(); }

    void reset() {
        slots_.assign(bind::set_table::kMinSize, Slot{});
        fill_ = used_ = 0;
    }

    void add(int32_t id, Py_hash_t hash) {
        const size_t mask = slots_.size() - 1;
        Slot& s = slots_[bind::set_table::probe(static_cast<uint64_t>(hash), mask, [&](size_t k) {
            return slots_[k].id == kUnused || slots_[k].id == id;
        })];
        if (s.id == id) return;
        s = Slot{id, hash};
        ++fill_;
        ++used_;
        if (bind::set_table::must_grow(fill_, mask)) resize(bind::set_table::grown_size(used_));
    }

    void discard(int32_t id) {
        for (Slot& s : slots_)
            if (s.id == id) {
                s.id = kDummy;
                --used_;
                return;
            }
    }

    // Calls f(id) for the members in iteration order until f returns true.
    template <class F>
    void find_first(F&& f) const {
        for (const Slot& s : slots_)
            if (s.id >= 0 && f(s.id)) return;
    }

  private:
    static constexpr int32_t kUnused = -1;
    static constexpr int32_t kDummy = -2;
    struct Slot {
        int32_t id = kUnused;
        Py_hash_t hash = 0;
    };

    void resize(size_t size) {
        bind::set_table::rebuild(
            slots_, size, Slot{}, [](const Slot& e) { return e.id >= 0; },
            [](const Slot& e) { return static_cast<uint64_t>(e.hash); });
        fill_ = used_;
    }

    std::vector<Slot> slots_;
    size_t fill_ = 0;
    size_t used_ = 0;
};

}  // namespace zerav::partition
