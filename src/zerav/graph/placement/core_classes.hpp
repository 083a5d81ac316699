// Core values as dense class ids, by the host's hashing and equality as the dicts keyed by them
// see them: exact ints that fit in 64 bits natively, anything else (a float, a numpy integer,
// a string) through its hash and `==`, so that 1, 1.0 and True share a class.
#pragma once

#include "zerav/graph/placement/expansion.hpp"

#include "bind/host.hpp"
#include "bind/name_index.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace zerav::placement {

class CoreClasses {
  public:
    // The class of the host core value `value`, created on first sight.
    int32_t class_of(PyObject* value);
    // The same for an exact int `value` whose host object is `obj`.
    int32_t class_of_int(int64_t value, PyObject* obj);

    size_t size() const { return int_value_.size(); }
    // Integer -> class of the values equal to that integer.
    const IdMap& by_int() const { return by_int_; }

    // The seed keys, as the placed cores are keyed: host ints, with their values when they
    // fit in 64 bits. `b` is empty when the second seed core was not placed.
    struct SeedKeys {
        bind::Ref a, b;
        std::optional<int64_t> a_value, b_value;
    };

    // Each class's key among the placed cores (see ClassKey): the integer it equals among the
    // integers the placement keys cores by (ids below `id_limit` and the seed keys), or the
    // seed key it equals otherwise. Classes first seen as other values than exact ints learn
    // the integer they equal here, which is then also found through by_int().
    std::vector<ClassKey> resolve_keys(int64_t id_limit, const SeedKeys& seeds);

  private:
    int32_t add_class(std::optional<int64_t> int_value, PyObject* representative, Py_hash_t hash);
    void index_generic(PyObject* value, int32_t id);

    IdMap by_int_;
    bind::NameIndex generic_;
    std::vector<bind::Ref> keep_;  // the objects generic_ holds
    std::vector<std::optional<int64_t>> int_value_;
    std::vector<bind::Ref> representative_;  // the first value of a class not first seen as an exact int
    std::vector<Py_hash_t> hash_;
};

}  // namespace zerav::placement
