// Owning references and error propagation.
//
// `Ref` owns one strong reference; every transfer is explicit: `Ref::steal` adopts a new
// reference, `Ref::borrow` takes a new one on a borrowed pointer, `release()` hands it back.
// A pending Python error travels through C++ as `PyError` and is restored exactly once at the
// boundary (see boundary.hpp); code that throws `PyError` has already set the Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace bind {

struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Sets a Python exception of `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept { return steal(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

// After a failed CPython call: clears the pending error when it is an instance of one of the
// `expected` classes, the failures the caller has a fallback for, and throws PyError
// otherwise, so that e.g. KeyboardInterrupt or MemoryError is never swallowed.
inline void clear_expected(std::initializer_list<PyObject*> expected) {
    for (PyObject* type : expected) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return;
        }
    }
    raise();
}

// Adopts a new reference returned by a CPython call; NULL means a Python error is pending.
inline Ref check(PyObject* p) {
    if (p == nullptr) raise();
    return Ref::steal(p);
}

// Checks the int status of a CPython call (negative means a Python error is pending).
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

}  // namespace bind
