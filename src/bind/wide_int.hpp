// 128-bit integers for exact arithmetic on int64 host values (sums and differences that may
// leave the int64 range), and their conversion to host ints of any size.
#pragma once

#include "bind/host.hpp"

namespace bind {

__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

inline Ref py_int128(i128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return py_int(static_cast<long long>(v));
    const bool negative = v < 0;
    const u128 u = negative ? -static_cast<u128>(v) : static_cast<u128>(v);
    Ref high = check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(u >> 64)));
    Ref low = check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(u)));
    Ref shift = py_int(64);
    Ref shifted = check(PyNumber_Lshift(high.get(), shift.get()));
    Ref sum = check(PyNumber_Or(shifted.get(), low.get()));
    return negative ? check(PyNumber_Negative(sum.get())) : sum;
}

inline i128 abs128(i128 x) { return x < 0 ? -x : x; }

// The Manhattan distance between (ra, ca) and (rb, cb).
inline i128 manhattan(i128 ra, i128 ca, i128 rb, i128 cb) { return abs128(ra - rb) + abs128(ca - cb); }

// `abs(ra - rb) + abs(ca - cb)` on host values, in the order the host evaluates the expression.
inline Ref manhattan(PyObject* ra, PyObject* ca, PyObject* rb, PyObject* cb) {
    Ref dr = check(PyNumber_Subtract(ra, rb));
    Ref adr = check(PyNumber_Absolute(dr.get()));
    Ref dc = check(PyNumber_Subtract(ca, cb));
    Ref adc = check(PyNumber_Absolute(dc.get()));
    return check(PyNumber_Add(adr.get(), adc.get()));
}

// Python's a // b and a % b (b != 0): the quotient rounds toward negative infinity and the
// remainder takes the sign of b. Exact for int64 operands (no quotient overflows 128 bits).
inline i128 floor_div(i128 a, i128 b) {
    i128 q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}
inline i128 floor_mod(i128 a, i128 b) {
    i128 r = a % b;
    if (r != 0 && ((r < 0) != (b < 0))) r += b;
    return r;
}

}  // namespace bind
