// A hash index from host objects (node names) to dense int32 ids, with the host's hashing
// and equality: the identity test first, then `==` on equal hashes, as a dict does. The keys
// are borrowed: the owner keeps them alive (usually in a vector of Refs indexed by id).
#pragma once

#include "bind/open_table.hpp"
#include "bind/ref.hpp"

#include <cstdint>
#include <vector>

namespace bind {

class NameIndex {
  public:
    explicit NameIndex(size_t expected = 0);

    // The id stored for `key`, or -1. A str key that is one of the stored objects is found
    // by its address alone, without touching the object: the common case, where edges name
    // nodes with the very str objects the nodes were keyed by.
    int32_t find(PyObject* key) const {
        if (PyUnicode_CheckExact(key)) {
            const int32_t id = find_identical(key);
            if (id >= 0) return id;
        }
        return find(key, hash_of(key));
    }
    int32_t find(PyObject* key, Py_hash_t hash) const;

    // Stores `id` for `key` (replacing the id of an equal key, whose stored key object stays)
    // and returns the id that was there before, or -1.
    int32_t assign(PyObject* key, int32_t id);

    size_t size() const { return slots_.used(); }

    static Py_hash_t hash_of(PyObject* key) {
        if (PyUnicode_CheckExact(key)) {
            const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(key)->hash;
            if (cached != -1) return cached;
        }
        Py_hash_t h = PyObject_Hash(key);
        if (h == -1) raise();
        return h;
    }

  private:
    struct Slot {
        Py_hash_t hash = 0;
        PyObject* key = nullptr;  // nullptr marks an empty slot
        int32_t id = -1;
        bool empty() const { return key == nullptr; }
    };
    // The exact str keys by address (each stored or replaced-by key object -> its current id).
    struct IdentitySlot {
        PyObject* key = nullptr;  // nullptr marks an empty slot
        int32_t id = -1;
        bool empty() const { return key == nullptr; }
    };
    size_t home(Py_hash_t h) const { return slots_.home(static_cast<uint64_t>(h)); }
    size_t identity_home(const PyObject* key) const {
        return identity_.home(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key) >> 4));
    }
    static bool same(PyObject* stored, Py_hash_t stored_hash, PyObject* key, Py_hash_t hash);
    int32_t find_identical(PyObject* key) const {
        for (size_t i = identity_home(key);; i = identity_.next(i)) {
            const IdentitySlot& s = identity_[i];
            if (s.key == key) return s.id;
            if (!s.key) return -1;
        }
    }
    void remember_identity(PyObject* key, int32_t id);

    OpenTable<Slot> slots_;
    OpenTable<IdentitySlot> identity_;
};

// Dense ids 0, 1, ... for host values in order of first sight, by the host's hashing and
// equality; each value is kept alive with its hash.
class ValueIds {
  public:
    // The id of `value`, a new one when no equal value was seen before.
    int32_t id_of(PyObject* value) {
        const Py_hash_t hash = NameIndex::hash_of(value);
        int32_t id = index_.find(value, hash);
        if (id >= 0) return id;
        id = static_cast<int32_t>(values_.size());
        values_.push_back(Ref::borrow(value));
        hashes_.push_back(hash);
        index_.assign(value, id);
        return id;
    }
    int32_t find(PyObject* value) const { return index_.find(value); }
    size_t size() const { return values_.size(); }
    const std::vector<Py_hash_t>& hashes() const { return hashes_; }

  private:
    NameIndex index_;
    std::vector<Ref> values_;
    std::vector<Py_hash_t> hashes_;
};

}  // namespace bind
