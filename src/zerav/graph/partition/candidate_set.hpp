// The iteration order of a host `set` filled by successive add() calls and then one
// discard(): CPython 3.13's table (8 slots to start, probing of 10 consecutive slots where they
// fit, then perturbed jumps; growth when fill*5 >= mask*3, rebuilt in old slot order;
// discard leaves a dummy). Keys are dense ids whose equality is the host's equality, each
// with the host hash of its object. Used for the candidate cores of a node move.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace zerav::partition {

class CandidateSet {
  public:
    CandidateSet() { reset(); }

    void reset() {
        slots_.assign(8, Slot{});
        fill_ = used_ = 0;
    }

    void add(int32_t id, Py_hash_t hash) {
        const size_t mask = slots_.size() - 1;
        size_t i = static_cast<size_t>(hash) & mask;
        size_t perturb = static_cast<size_t>(hash);
        for (;;) {
            const size_t probes = i + kLinearProbes <= mask ? kLinearProbes : 0;
            for (size_t j = 0; j <= probes; ++j) {
                Slot& s = slots_[i + j];
                if (s.id == kUnused) {
                    s = Slot{id, hash};
                    ++fill_;
                    ++used_;
                    if (fill_ * 5 >= mask * 3) resize(used_ > 50000 ? used_ * 2 : used_ * 4);
                    return;
                }
                if (s.id == id) return;
            }
            perturb >>= kPerturbShift;
            i = (i * 5 + 1 + perturb) & mask;
        }
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
    static constexpr size_t kLinearProbes = 9;
    static constexpr int kPerturbShift = 5;
    struct Slot {
        int32_t id = kUnused;
        Py_hash_t hash = 0;
    };

    void resize(size_t min_used) {
        size_t size = 8;
        while (size <= min_used) size <<= 1;
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(size, Slot{});
        const size_t mask = size - 1;
        for (const Slot& e : old) {
            if (e.id < 0) continue;
            size_t i = static_cast<size_t>(e.hash) & mask;
            size_t perturb = static_cast<size_t>(e.hash);
            for (;;) {
                if (slots_[i].id == kUnused) break;
                bool placed = false;
                if (i + kLinearProbes <= mask) {
                    for (size_t j = 1; j <= kLinearProbes; ++j)
                        if (slots_[i + j].id == kUnused) {
                            i += j;
                            placed = true;
                            break;
                        }
                }
                if (placed) break;
                perturb >>= kPerturbShift;
                i = (i * 5 + 1 + perturb) & mask;
            }
            slots_[i] = e;
        }
        fill_ = used_;
    }

    std::vector<Slot> slots_;
    size_t fill_ = 0;
    size_t used_ = 0;
};

}  // namespace zerav::partition
