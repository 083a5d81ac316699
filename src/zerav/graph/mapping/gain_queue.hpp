// A max-priority queue of vertices keyed by integer gain, with the key of a queued vertex
// updated in place (an addressable 4-ary heap: half the levels of a binary one, and most
// updates raise a key, which climbs): no stale entries to skip, no rebuild. Ties go to the
// larger vertex id, so the order of the vertices taken depends on their gains alone. Gains
// span weights times distances, too wide a range for buckets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

class GainQueue {
  public:
    // Vertices 0 .. n - 1 may be queued.
    explicit GainQueue(int32_t n) : at_(static_cast<size_t>(n), -1) {}

    bool empty() const { return heap_.empty(); }
    bool contains(int32_t v) const { return at_[static_cast<size_t>(v)] >= 0; }
    int32_t top() const { return heap_.front().v; }
    int64_t top_gain() const { return heap_.front().gain; }

    // Queues `v` with `gain`, or changes its gain if it is queued. Inlined: the passes call it
    // for every pin a move changes, and a call's register saves cost as much as a short climb.
    [[gnu::always_inline]] void set(int32_t v, int64_t gain) {
        const int32_t i = at_[static_cast<size_t>(v)];
        if (i < 0) {
            heap_.push_back(Entry{gain, v});
            at_[static_cast<size_t>(v)] = static_cast<int32_t>(heap_.size()) - 1;
            up(heap_.size() - 1);
            return;
        }
        const auto k = static_cast<size_t>(i);
        const Entry old = heap_[k];
        heap_[k].gain = gain;
        if (before(heap_[k], old))
            up(k);
        else
            down(k);
    }

    // Removes `v` if it is queued.
    void remove(int32_t v) {
        const int32_t i = at_[static_cast<size_t>(v)];
        if (i < 0) return;
        const auto k = static_cast<size_t>(i);
        at_[static_cast<size_t>(v)] = -1;
        const Entry last = heap_.back();
        heap_.pop_back();
        if (k == heap_.size()) return;
        heap_[k] = last;
        at_[static_cast<size_t>(last.v)] = static_cast<int32_t>(k);
        up(k);
        down(static_cast<size_t>(at_[static_cast<size_t>(last.v)]));
    }

    void pop() { remove(top()); }

    void clear() {
        for (const Entry& e : heap_) at_[static_cast<size_t>(e.v)] = -1;
        heap_.clear();
    }

  private:
    static constexpr size_t kArity = 4;
    struct Entry {
        int64_t gain;
        int32_t v;
    };
    static bool before(const Entry& a, const Entry& b) {
        return a.gain != b.gain ? a.gain > b.gain : a.v > b.v;
    }

    void place(size_t k, const Entry& e) {
        heap_[k] = e;
        at_[static_cast<size_t>(e.v)] = static_cast<int32_t>(k);
    }
    void up(size_t k) {
        const Entry e = heap_[k];
        while (k > 0) {
            const size_t parent = (k - 1) / kArity;
            if (!before(e, heap_[parent])) break;
            place(k, heap_[parent]);
            k = parent;
        }
        place(k, e);
    }
    void down(size_t k) {
        const Entry e = heap_[k];
        for (;;) {
            const size_t first = kArity * k + 1;
            if (first >= heap_.size()) break;
            size_t child = first;
            const size_t last = std::min(first + kArity, heap_.size());
            for (size_t c = first + 1; c < last; ++c)
                if (before(heap_[c], heap_[child])) child = c;
            if (!before(heap_[child], e)) break;
            place(k, heap_[child]);
            k = child;
        }
        place(k, e);
    }

    std::vector<Entry> heap_;
    std::vector<int32_t> at_;  // position of each vertex in heap_, -1 when not queued
};

}  // namespace zerav::mapping
