// The fixed layouts of `place`: one column of cores when the chip has no mesh, and the
// row-major identity layout of every mesh cell when the graph carries no partition metadata.
#include "zerav/graph/placement/placement.hpp"

#include "bind/host.hpp"
#include "bind/memory.hpp"

#include <algorithm>

namespace zerav::placement {

namespace {

// A lower estimate of the host memory one layout entry takes (dict slot, key, position tuple).
constexpr long double kEntryBytes = 96;

// The entry count of `range(n)` with n an int: 0 when it is not positive. Counts beyond 64 bits
// could never be held, nor most that fit.
int64_t entry_count(PyObject* n) {
    const int sign = sign_of(n);
    if (sign <= 0) return 0;
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (overflow) {
        PyErr_NoMemory();
        bind::raise();
    }
    bind::require_memory(static_cast<long double>(count) * kEntryBytes);
    return count;
}

// {i: position(i, key) for i in range(n)}, with `key` the int i.
template <class Position>
Ref layout_of(int64_t n, Position position) {
    Ref layout = check(PyDict_New());
    bind::SignalCheck signals;
    for (int64_t i = 0; i < n; ++i) {
        Ref key = bind::py_int(i);
        Ref pos = position(i, key.get());
        check(PyDict_SetItem(layout.get(), key.get(), pos.get()));
        signals.tick();
    }
    return layout;
}

}  // namespace

Ref column_layout(PyObject* num_cores) {
    const int64_t n = entry_count(as_index(num_cores).get());
    Ref zero = bind::py_int(0);
    // The key is also the row, as in {i: (i, 0) ...}.
    return layout_of(n, [&](int64_t, PyObject* key) { return position_tuple(key, zero.get()); });
}

Ref row_major_layout(PyObject* rows, PyObject* cols) {
    const auto r = bind::exact_small_int(rows), c = bind::exact_small_int(cols);
    Ref count_obj;
    if (r && c) {
        count_obj = bind::py_int128(static_cast<bind::i128>(*r) * *c);
    } else {
        Ref product = check(PyNumber_Multiply(rows, cols));
        count_obj = as_index(product.get());
    }
    const int64_t n = entry_count(count_obj.get());
    if (n == 0) return check(PyDict_New());
    // With int cols (not 0, as n > 0) the rows and columns are computed natively; the columns
    // are below |cols| and the rows below n / |cols| + 1, their ints shared.
    const int64_t width = c ? (*c < 0 ? -*c : *c) : 1;
    CoordinateInts row_ints(c ? static_cast<size_t>(n / width + 1) : 0);
    CoordinateInts col_ints(c ? static_cast<size_t>(std::min(n, width)) : 0);
    return layout_of(n, [&](int64_t i, PyObject* key) {
        if (!c) {
            Ref row = check(PyNumber_FloorDivide(key, cols));
            Ref col = check(PyNumber_Remainder(key, cols));
            return position_tuple(row.get(), col.get());
        }
        Ref row = row_ints.get(static_cast<int64_t>(floor_div(i, *c)));
        Ref col = col_ints.get(static_cast<int64_t>(floor_mod(i, *c)));
        return position_tuple(row.get(), col.get());
    });
}

}  // namespace zerav::placement
