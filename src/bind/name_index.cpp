#include "bind/name_index.hpp"

#include <cstring>

namespace bind {

namespace {

bool equal_str(PyObject* a, PyObject* b) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(len) * PyUnicode_KIND(a)) ==
           0;
}

}  // namespace

NameIndex::NameIndex(size_t expected) : slots_(expected), identity_(expected) {}

void NameIndex::remember_identity(PyObject* key, int32_t id) {
    if (!PyUnicode_CheckExact(key)) return;
    for (size_t i = identity_home(key);; i = identity_.next(i)) {
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
    identity_.filled([this](const IdentitySlot& e) { return identity_home(e.key); });
}

bool NameIndex::same(PyObject* stored, Py_hash_t stored_hash, PyObject* key, Py_hash_t hash) {
    if (stored == key) return true;
    if (stored_hash != hash) return false;
    if (PyUnicode_CheckExact(stored) && PyUnicode_CheckExact(key)) return equal_str(stored, key);
    return check(PyObject_RichCompareBool(stored, key, Py_EQ)) != 0;
}

int32_t NameIndex::find(PyObject* key, Py_hash_t hash) const {
    for (size_t i = home(hash);; i = slots_.next(i)) {
        const Slot& s = slots_[i];
        if (!s.key) return -1;
        if (same(s.key, s.hash, key, hash)) return s.id;
    }
}

int32_t NameIndex::assign(PyObject* key, int32_t id) {
    const Py_hash_t hash = hash_of(key);
    for (size_t i = home(hash);; i = slots_.next(i)) {
        Slot& s = slots_[i];
        if (!s.key) {
            s = Slot{hash, key, id};
            slots_.filled([this](const Slot& e) { return home(e.hash); });
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

}  // namespace bind
