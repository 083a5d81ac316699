#include "bind/name_index.hpp"

#include <cstring>

namespace bind {

namespace {

size_t capacity_for(size_t expected) {
    size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    return cap;
}

int log2_of(size_t pow2) {
    int k = 0;
    while ((size_t{1} << k) < pow2) ++k;
    return k;
}

bool equal_str(PyObject* a, PyObject* b) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(len) * PyUnicode_KIND(a)) ==
           0;
}

// Doubles an open-addressing table (empty slots have a null key) and re-inserts its entries
// by linear probing from `home(entry)`; `mask` and `shift` follow the new size.
template <class Slot, class Home>
void rebuild_doubled(std::vector<Slot>& table, Slot empty, size_t& mask, int& shift, Home home) {
    std::vector<Slot> old;
    old.swap(table);
    const size_t cap = old.size() * 2;
    table.assign(cap, empty);
    mask = cap - 1;
    shift = 64 - log2_of(cap);
    for (const Slot& e : old) {
        if (!e.key) continue;
        size_t i = home(e);
        while (table[i].key) i = (i + 1) & mask;
        table[i] = e;
    }
}

}  // namespace

NameIndex::NameIndex(size_t expected) {
    const size_t cap = capacity_for(expected);
    slots_.assign(cap, Slot{0, nullptr, -1});
    mask_ = cap - 1;
    shift_ = 64 - log2_of(cap);
    identity_.assign(cap, IdentitySlot{nullptr, -1});
    identity_mask_ = cap - 1;
    identity_shift_ = 64 - log2_of(cap);
}

void NameIndex::remember_identity(PyObject* key, int32_t id) {
    if (!PyUnicode_CheckExact(key)) return;
    for (size_t i = identity_home(key);; i = (i + 1) & identity_mask_) {
        IdentitySlot& s = identity_[i];
        if (s.key == key) {
            s.id = id;
            return;
        }
        if (!s.key) {
            s = IdentitySlot{key, id};
            break;
        }
    }
    if (++identity_used_ * 2 <= identity_.size()) return;
    rebuild_doubled(identity_, IdentitySlot{nullptr, -1}, identity_mask_, identity_shift_,
                    [this](const IdentitySlot& e) { return identity_home(e.key); });
}

bool NameIndex::same(PyObject* stored, Py_hash_t stored_hash, PyObject* key, Py_hash_t hash) {
    if (stored == key) return true;
    if (stored_hash != hash) return false;
    if (PyUnicode_CheckExact(stored) && PyUnicode_CheckExact(key)) return equal_str(stored, key);
    return check(PyObject_RichCompareBool(stored, key, Py_EQ)) != 0;
}

int32_t NameIndex::find(PyObject* key, Py_hash_t hash) const {
    for (size_t i = home(hash);; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (!s.key) return -1;
        if (same(s.key, s.hash, key, hash)) return s.id;
    }
}

int32_t NameIndex::assign(PyObject* key, int32_t id) {
    const Py_hash_t hash = hash_of(key);
    for (size_t i = home(hash);; i = (i + 1) & mask_) {
        Slot& s = slots_[i];
        if (!s.key) {
            s = Slot{hash, key, id};
            if (++used_ * 2 > slots_.size()) grow();
            remember_identity(key, id);
            return -1;
        }
        if (same(s.key, s.hash, key, hash)) {
            const int32_t old = s.id;
            s.id = id;
            remember_identity(s.key, id);
            remember_identity(key, id);
            return old;
        }
    }
}

void NameIndex::grow() {
    rebuild_doubled(slots_, Slot{0, nullptr, -1}, mask_, shift_,
                    [this](const Slot& e) { return home(e.hash); });
}

}  // namespace bind
