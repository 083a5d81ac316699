// Core values as dense class ids, by the host's hashing and equality as the dicts keyed by them
// see them: exact ints that fit in 64 bits natively, anything else (a float, a numpy integer,
// a string) through its hash and `==`, so that 1, 1.0 and True share a class. This is the host
// edge of the placement: what the classes are is kept as plain data (`ClassTable`).
#pragma once

#include "zerav/graph/placement/expansion.hpp"

#include "bind/host.hpp"
#include "bind/name_index.hpp"

#include <cstdint>
#include <vector>

namespace zerav::placement {

class CoreClasses {
  public:
    // The class of the host core value `value`, created on first sight.
    int32_t class_of(PyObject* value);
    // The same for an exact int `value` whose host object is `obj`.
    int32_t class_of_int(int64_t value, PyObject* obj);

    // Whether the values of class k equal `key` (a host int): same hash, then `==` against the
    // class's first value. Only asked of classes not first seen as an exact int.
    bool equals(int32_t k, PyObject* key) const;

    ClassTable table;

  private:
    int32_t add_class(std::optional<int64_t> int_value, PyObject* representative, Py_hash_t hash);
    void index_generic(PyObject* value, int32_t id);

    bind::NameIndex generic_;
    std::vector<bind::Ref> keep_;            // the objects generic_ holds
    std::vector<bind::Ref> representative_;  // the first value of a class not first seen as an exact int
};

}  // namespace zerav::placement
