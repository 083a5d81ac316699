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
    if (int_value_.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        PyErr_NoMemory();
        bind::raise();
    }
    const auto id = static_cast<int32_t>(int_value_.size());
    int_value_.push_back(int_value);
    representative_.push_back(Ref::borrow(representative));
    hash_.push_back(hash);
    return id;
}

void CoreClasses::index_generic(PyObject* value, int32_t id) {
    keep_.push_back(Ref::borrow(value));
    generic_.assign(value, id);
}

int32_t CoreClasses::class_of_int(int64_t value, PyObject* obj) {
    int32_t id = by_int_.find(static_cast<uint64_t>(value));
    if (id >= 0) return id;
    if (generic_.size() > 0) {
        // A value of another type seen before may equal this int (1.0 before 1).
        id = generic_.find(obj);
        if (id >= 0) {
            by_int_.find_or_insert(static_cast<uint64_t>(value), id);
            if (!int_value_[id]) int_value_[id] = value;
            return id;
        }
    }
    const bool plain = hashes_to_itself(value);
    const Py_hash_t hash = plain ? value : bind::NameIndex::hash_of(obj);
    id = add_class(value, nullptr, hash);
    by_int_.find_or_insert(static_cast<uint64_t>(value), id);
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
        id = by_int_.find(static_cast<uint64_t>(candidates[i]));
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

std::vector<ClassKey> CoreClasses::resolve_keys(int64_t id_limit, const SeedKeys& seeds) {
    std::vector<ClassKey> keys(size());
    for (size_t k = 0; k < size(); ++k) {
        if (int_value_[k]) {
            keys[k] = ClassKey{ClassKey::Kind::Int, *int_value_[k]};
            continue;
        }
        PyObject* rep = representative_[k].get();
        const Py_hash_t hash = hash_[k];
        // An id of the expansion this value equals: such ids hash to themselves.
        if (hash >= 0 && hash < id_limit) {
            Ref id = bind::py_int(hash);
            if (equal(id.get(), rep)) {
                int_value_[k] = hash;
                by_int_.find_or_insert(static_cast<uint64_t>(hash), static_cast<int32_t>(k));
                keys[k] = ClassKey{ClassKey::Kind::Int, hash};
                continue;
            }
        }
        // A seed key this value equals.
        auto matches = [&](const Ref& key) {
            return key && bind::NameIndex::hash_of(key.get()) == hash && equal(key.get(), rep);
        };
        if (matches(seeds.a)) {
            keys[k] = seeds.a_value ? ClassKey{ClassKey::Kind::Int, *seeds.a_value}
                                    : ClassKey{ClassKey::Kind::SeedA, 0};
        } else if (matches(seeds.b)) {
            keys[k] = seeds.b_value ? ClassKey{ClassKey::Kind::Int, *seeds.b_value}
                                    : ClassKey{ClassKey::Kind::SeedB, 0};
        }
    }
    return keys;
}

}  // namespace zerav::placement
