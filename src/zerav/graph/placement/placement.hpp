// What the placement module's source files share: its functions, and the host integers of one
// placement (integer conversion of the values handed to the place-core and neighbour steps,
// position tuples, hop totals that add exactly as the host's `+=` does, `bind::Amount`).
#pragma once

#include "zerav/graph/placement/core_pairs.hpp"
#include "zerav/graph/placement/expansion.hpp"

#include "bind/amount.hpp"
#include "bind/function.hpp"
#include "bind/wide_int.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace zerav::placement {

using bind::check;
using bind::Ref;

// A core id or coordinate as the place-core and neighbour steps take it: an exact int as it is,
// another numeric value (float, bool, an integer type of another library) through the host's
// integer conversion (a float truncates toward zero; text is not parsed), anything else fails
// with TypeError "Expected int, got TYPE".
inline bind::Ref as_int(PyObject* value) {
    if (PyLong_CheckExact(value)) return bind::Ref::borrow(value);
    const PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (nb && (nb->nb_int || nb->nb_index)) return bind::check(PyNumber_Long(value));
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(value)->tp_name);
    bind::raise();
}

// A value as `range()` takes it (`__index__`): the same errors as `range(value)`.
inline bind::Ref as_index(PyObject* value) { return bind::check(PyNumber_Index(value)); }

// The sign (-1, 0, 1) of an int.
inline int sign_of(PyObject* int_value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(int_value, &overflow);
    if (overflow) return overflow;
    if (v == -1 && PyErr_Occurred()) bind::raise();
    return (v > 0) - (v < 0);
}

using bind::floor_div;
using bind::floor_mod;

// The position tuple (row, col). One of two exact ints cannot be part of a reference cycle, so
// it is left out of the cyclic collector's tracking at once (the collector would untrack it on
// its first pass): a layout of a million cells then costs no repeated collector passes.
inline bind::Ref position_tuple(PyObject* row, PyObject* col) {
    bind::Ref pos = bind::tuple_of({row, col});
    if (PyLong_CheckExact(row) && PyLong_CheckExact(col)) PyObject_GC_UnTrack(pos.get());
    return pos;
}

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
inline void add_weighted(bind::Amount& total, bind::i128 manhattan, int64_t weight) {
    total = bind::add(total, bind::multiply(bind::Amount(manhattan), bind::Amount(weight)), true);
}

extern const bind::FunctionDef place_def;

// place(graph, hw_spec)
bind::Ref place(PyObject* module, PyObject* graph, PyObject* hw_spec);

// {i: (i, 0) for i in range(num_cores)}
bind::Ref column_layout(PyObject* num_cores);

// {i: (i // cols, i % cols) for i in range(rows * cols)}
bind::Ref row_major_layout(PyObject* rows, PyObject* cols);

// The seed pair's host objects: the centre cell as the host computes it, (rows // 2, cols // 2)
// (`centre_native` when both are exact ints that fit in 64 bits), and the keys of the two seed
// cores, the integer conversions of the heaviest pair's values (`b` is empty when the second
// core found no free cell).
struct Seeds {
    bool centre_native = true;
    bind::Ref row, col;
    bind::Ref a, b;
};

struct Costs {
    bind::Ref total_hops;
    bind::Ref improvement;
};

// The weighted hop total of the placement, that of the row-major identity layout (core c at
// (c // cols, c % cols)) and the improvement of the one over the other.
Costs placement_costs(const CorePairs& cp, const std::vector<ClassKey>& keys, const Placement& placement,
                      const Seeds& seeds, PyObject* cols);

}  // namespace zerav::placement
