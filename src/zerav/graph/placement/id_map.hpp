// A compact open-addressing map from 64-bit integers to dense int32 ids (-1 means absent), in
// the one native table layout (bind/open_table.hpp).
#pragma once

#include "bind/open_table.hpp"

#include <cstddef>
#include <cstdint>

namespace zerav::placement {

class IdMap {
  public:
    explicit IdMap(size_t expected = 0) : table_(expected) {}

    int32_t find(uint64_t key) const {
        for (size_t i = home(key);; i = table_.next(i)) {
            if (table_[i].empty()) return -1;
            if (table_[i].key == key) return table_[i].id;
        }
    }

    // The id stored for `key`, after storing `id` for it if it had none.
    int32_t find_or_insert(uint64_t key, int32_t id) {
        for (size_t i = home(key);; i = table_.next(i)) {
            Slot& s = table_[i];
            if (s.empty()) {
                s = Slot{key, id};
                table_.filled([this](const Slot& e) { return home(e.key); });
                return id;
            }
            if (s.key == key) return s.id;
        }
    }

  private:
    struct Slot {
        uint64_t key = 0;
        int32_t id = -1;  // -1 marks an empty slot
        bool empty() const { return id < 0; }
    };
    size_t home(uint64_t key) const { return table_.home(key ^ (key >> 31)); }

    bind::OpenTable<Slot> table_;
};

}  // namespace zerav::placement
