// Host-semantics helpers: the checks, lookups and conversions that must behave exactly as the
// host's own operations do (messages included). One converter per concept; each either
// returns its value or throws PyError with the Python error already set.
#pragma once

#include "bind/ref.hpp"

#include <cstdint>
#include <optional>

namespace bind {

// An interned str for a literal, created on first use (under the interpreter lock).
#define BIND_NAME(text)                                                               \
    ([]() -> PyObject* {                                                              \
        static PyObject* cached = nullptr;                                            \
        if (!cached && !(cached = PyUnicode_InternFromString(text))) ::bind::raise(); \
        return cached;                                                                \
    }())

// Exact-type parameter check: "Argument 'NAME' has incorrect type (expected TYPE, got GOT)",
// with a note when the value's type is a subclass of the expected built-in.
void require_exact(PyObject* value, PyTypeObject* type, const char* param);

// Unpacks `item` into exactly `n` values (borrowed from `holder`, which keeps them alive):
// exact tuples and lists by size, anything else by iteration. Messages as the host's.
void unpack(PyObject* item, Py_ssize_t n, Ref* out);

[[noreturn]] void raise_key_error(PyObject* key);

// `mapping[key]`: an exact dict directly (KeyError when absent), anything else by protocol.
Ref subscript(PyObject* mapping, PyObject* key);

// `obj.name`.
inline Ref attr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }

// `obj.name` if present, an empty Ref if not (an AttributeError counts as absence; other
// errors propagate).
inline Ref optional_attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    check(PyObject_GetOptionalAttr(obj, name, &value));
    return Ref::steal(value);
}

// `mapping.get(key, default_value)`, or `mapping.get(key)` when `default_value` is null (None
// when absent): an exact dict directly, anything else through its own `get`.
Ref get_or(PyObject* mapping, PyObject* key, PyObject* default_value);

// `len(obj)`.
inline Py_ssize_t length(PyObject* obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) raise();
    return n;
}

inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

// The truth of `a OP b` as a container test makes it: the same object is equal to itself.
inline bool compare(PyObject* a, PyObject* b, int op) {
    return check(PyObject_RichCompareBool(a, b, op)) != 0;
}

// The truth of the expression `a OP b`: the operator always runs, so a NaN (or any value whose
// `__eq__` says so) differs even from itself.
inline bool compare_expression(PyObject* a, PyObject* b, int op) {
    Ref result = check(PyObject_RichCompare(a, b, op));
    return truthy(result.get());
}

inline Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }

// The value of an exact int that fits in int64, or nothing (other types, or too large).
std::optional<int64_t> exact_small_int(PyObject* obj);

// `format(value, "")`, as an f-string replacement field converts a value to text.
Ref text(PyObject* value);

// A new tuple holding (new references to) the given objects.
Ref tuple_of(std::initializer_list<PyObject*> items);

// Calls `callable(*args, **kwargs)` with keyword names given as interned strings.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs);

// Checks for pending signals (Ctrl-C) every `period` calls of tick().
class SignalCheck {
  public:
    explicit SignalCheck(uint32_t period = 1u << 14) : period_(period) {}
    void tick() {
        if (++count_ >= period_) {
            count_ = 0;
            check(PyErr_CheckSignals());
        }
    }

  private:
    uint32_t period_;
    uint32_t count_ = 0;
};

}  // namespace bind
