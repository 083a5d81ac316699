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

}  // namespace bind
