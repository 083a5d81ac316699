#include "zerav/graph/placement/core_classes.hpp"

#include <limits>

namespace zerav::placement {

using bind::Ref;

namespace {

// The modulus of the host's int hash: ints of smaller magnitude hash to themselves (-1 to -2).
constexpr int64_t kHashModulus = (int64_t{1} << 61) - 1;

bool hashes_to_itself(int64_t v) { return v > -kHashModulus && v < kHashModulus && v != -1; }

bool equal(PyObject* stored, PyObject* probe) {
    return stored == probe || bind::compare(stored, probe, Py_EQ);
}

}  // namespace

int32_t CoreClasses::add_class(std::optional<int64_t> int_value, PyObject* representative, Py_hash_t hash) {
    if (table.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        PyErr_NoMemory();
        bind::raise();
    }
    table.int_value.push_back(int_value);
    table.hash.push_back(hash);
    representative_.push_back(Ref::borrow(representative));
    return static_cast<int32_t>(table.size() - 1);
}

void CoreClasses::index_generic(PyObject* value, int32_t id) {
    keep_.push_back(Ref::borrow(value));
    generic_.assign(value, id);
}

int32_t CoreClasses::class_of_int(int64_t value, PyObject* obj) {
    int32_t id = table.by_int.find(static_cast<uint64_t>(value));
    if (id >= 0) return id;
    if (generic_.size() > 0) {
        // A value of another type seen before may equal this int (1.0 before 1).
        id = generic_.find(obj);
        if (id >= 0) {
            table.by_int.find_or_insert(static_cast<uint64_t>(value), id);
            if (!table.int_value[id]) table.int_value[id] = value;
            return id;
        }
    }
    const bool plain = hashes_to_itself(value);
    const Py_hash_t hash = plain ? value : bind::NameIndex::hash_of(obj);
    id = add_class(value, nullptr, hash);
    table.by_int.find_or_insert(static_cast<uint64_t>(value), id);
    // An int that does not hash to itself is found by its hash, as other values are.
    if (!plain) index_generic(obj, id);
    return id;
}

int32_t CoreClasses::class_of(PyObject* value) {
    if (auto v = bind::exact_small_int(value)) return class_of_int(*v, value);
    const Py_hash_t hash = bind::NameIndex::hash_of(value);
    int32_t id = generic_.find(value, hash);
    if (id >= 0) return id;
    // An int seen before that this value equals (1 before 1.0): the ints hash to themselves.
    const int64_t candidates[2] = {hash, -1};
    for (int i = 0; i < (hash == -2 ? 2 : 1); ++i) {
        id = table.by_int.find(static_cast<uint64_t>(candidates[i]));
        if (id < 0) continue;
        Ref stored = bind::py_int(candidates[i]);
        if (equal(stored.get(), value)) {
            index_generic(value, id);
            return id;
        }
    }
    id = add_class(std::nullopt, value, hash);
    index_generic(value, id);
    return id;
}

bool CoreClasses::equals(int32_t k, PyObject* key) const {
    return bind::NameIndex::hash_of(key) == table.hash[k] && equal(key, representative_[k].get());
}

}  // namespace zerav::placement
