// Exact host numbers that are usually small integers: an `Amount` holds a 128-bit integer while
// the value is an exact `int` that fits, and the host object otherwise (a huge int, a float, a
// numpy scalar, anything a host hook returned). Arithmetic on two native values is checked and
// falls back to the host operators on overflow, so a running total never wraps around and gives
// the same value, type and order of operations as the host's own `+=`, `*` and `/`.
#pragma once

#include "bind/wide_int.hpp"

#include <limits>

namespace bind {

class Amount {
  public:
    Amount() noexcept = default;  // exact 0
    explicit Amount(i128 v) noexcept : value_(v) {}

    // The value of `obj`: native when it is an exact int that fits in 128 bits.
    static Amount of(PyObject* obj) {
        if (PyLong_CheckExact(obj)) {
            int overflow = 0;
            const long long small = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (!overflow) {
                if (small == -1 && PyErr_Occurred()) raise();
                return Amount(small);
            }
            i128 wide = 0;
            const Py_ssize_t needed =
                PyLong_AsNativeBytes(obj, &wide, sizeof wide, Py_ASNATIVEBYTES_NATIVE_ENDIAN);
            if (needed < 0) raise();
            if (static_cast<size_t>(needed) <= sizeof wide) return Amount(wide);
        }
        Amount a;
        a.host_ = Ref::borrow(obj);
        return a;
    }
    static Amount of(Ref obj) { return of(obj.get()); }

    bool native() const noexcept { return !host_; }
    i128 value() const noexcept { return value_; }  // meaningful when native()

    // A new reference to the host object of this value.
    Ref object() const { return native() ? py_int128(value_) : host_; }

  private:
    i128 value_ = 0;
    Ref host_;
};

// `a OP b`: natively while the result fits, else by the host's operator `host`.
template <class Native>
Amount arithmetic(const Amount& a, const Amount& b, Native native, binaryfunc host) {
    i128 r;
    if (a.native() && b.native() && !native(a.value(), b.value(), &r)) return Amount(r);
    Ref x = a.object(), y = b.object();
    return Amount::of(check(host(x.get(), y.get())));
}

// `a + b` (`a += b` when `in_place`), as the host computes it.
inline Amount add(const Amount& a, const Amount& b, bool in_place = false) {
    return arithmetic(
        a, b, [](i128 x, i128 y, i128* r) { return __builtin_add_overflow(x, y, r); },
        in_place ? PyNumber_InPlaceAdd : PyNumber_Add);
}

// `a * b`, as the host computes it.
inline Amount multiply(const Amount& a, const Amount& b) {
    return arithmetic(
        a, b, [](i128 x, i128 y, i128* r) { return __builtin_mul_overflow(x, y, r); }, PyNumber_Multiply);
}

// `a > b`, as the host compares them.
inline bool greater(const Amount& a, const Amount& b) {
    if (a.native() && b.native()) return a.value() > b.value();
    Ref x = a.object(), y = b.object();
    return check(PyObject_RichCompareBool(x.get(), y.get(), Py_GT)) != 0;
}

// `a / b` (true division), as the host computes it. Two ints within the exact range of a
// double divide in double precision, which is then the correctly rounded quotient, exactly as
// the host's int division gives it; larger ints go through the host's own division.
inline Ref true_divide(const Amount& a, const Amount& b) {
    constexpr i128 exact = i128{1} << std::numeric_limits<double>::digits;
    if (a.native() && b.native() && b.value() != 0 && abs128(a.value()) <= exact &&
        abs128(b.value()) <= exact)
        return py_float(static_cast<double>(a.value()) / static_cast<double>(b.value()));
    Ref x = a.object(), y = b.object();
    return check(PyNumber_TrueDivide(x.get(), y.get()));
}

}  // namespace bind
