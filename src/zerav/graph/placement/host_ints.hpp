// The host integers of one placement: integer conversion of the values handed to the
// place-core and neighbour steps (floor division and modulo are bind's, `bind/wide_int.hpp`),
// and hop totals that add exactly as the host's `+=` does (`bind::Amount`).
#pragma once

#include "bind/amount.hpp"
#include "bind/wide_int.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace zerav::placement {

// A core id or coordinate as the place-core and neighbour steps take it: an exact int as it is,
// another numeric value (float, bool, an integer type of another library) through the host's
// integer conversion (a float truncates toward zero; text is not parsed), anything else fails
// with TypeError "Expected int, got TYPE".
bind::Ref as_int(PyObject* value);

// A value as `range()` takes it (`__index__`): the same errors as `range(value)`.
inline bind::Ref as_index(PyObject* value) { return bind::check(PyNumber_Index(value)); }

// The sign (-1, 0, 1) of an int.
int sign_of(PyObject* int_value);

using bind::floor_div;
using bind::floor_mod;

// The position tuple (row, col). One of two exact ints cannot be part of a reference cycle, so
// it is left out of the cyclic collector's tracking at once (the collector would untrack it on
// its first pass): a layout of a million cells then costs no repeated collector passes.
bind::Ref position_tuple(PyObject* row, PyObject* col);

// Host ints for the coordinates 0 .. size - 1, each made once and shared by every position
// that holds it (other values are made on each request).
class CoordinateInts {
  public:
    explicit CoordinateInts(size_t size) : ints_(size) {}
    bind::Ref get(int64_t v) {
        if (v < 0 || static_cast<uint64_t>(v) >= ints_.size()) return bind::py_int(v);
        bind::Ref& slot = ints_[static_cast<size_t>(v)];
        if (!slot) slot = bind::py_int(v);
        return slot;
    }

  private:
    std::vector<bind::Ref> ints_;
};

// `total += manhattan * weight`, natively while the product and the sum fit (bind::Amount is
// the exact running total: the host's own arithmetic beyond, in the host's order).
void add_weighted(bind::Amount& total, bind::i128 manhattan, int64_t weight);

}  // namespace zerav::placement
