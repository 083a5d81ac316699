// A compact open-addressing map from 64-bit integers to dense int32 ids (-1 means absent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zerav::placement {

class IdMap {
  public:
    explicit IdMap(size_t expected = 0) { rebuild(capacity_for(expected)); }

    int32_t find(uint64_t key) const {
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            if (ids_[i] < 0) return -1;
            if (keys_[i] == key) return ids_[i];
        }
    }

    // The id stored for `key`, after storing `id` for it if it had none.
    int32_t find_or_insert(uint64_t key, int32_t id) {
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            if (ids_[i] < 0) {
                keys_[i] = key;
                ids_[i] = id;
                if (++used_ * 2 > ids_.size()) rebuild(ids_.size() * 2);
                return id;
            }
            if (keys_[i] == key) return ids_[i];
        }
    }

  private:
    static size_t capacity_for(size_t expected) {
        size_t cap = 16;
        while (cap < expected * 2) cap <<= 1;
        return cap;
    }
    size_t home(uint64_t key) const {
        key ^= key >> 31;
        key *= 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(key >> shift_);
    }
    void rebuild(size_t cap) {
        std::vector<uint64_t> old_keys(cap);
        std::vector<int32_t> old_ids(cap, -1);
        old_keys.swap(keys_);
        old_ids.swap(ids_);
        mask_ = cap - 1;
        shift_ = 64;
        for (size_t c = cap; c > 1; c >>= 1) --shift_;
        for (size_t i = 0; i < old_ids.size(); ++i) {
            if (old_ids[i] < 0) continue;
            size_t j = home(old_keys[i]);
            while (ids_[j] >= 0) j = (j + 1) & mask_;
            keys_[j] = old_keys[i];
            ids_[j] = old_ids[i];
        }
    }

    std::vector<uint64_t> keys_;
    std::vector<int32_t> ids_;
    size_t mask_ = 0;
    int shift_ = 64;
    size_t used_ = 0;
};

}  // namespace zerav::placement
