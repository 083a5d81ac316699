// Module-level functions implemented in C++ that look and bind like the host's functions.
//
// A `FunctionDef` names the parameters (all positional-or-keyword, required ones first), their
// annotations (stored as text), an optional text default per parameter and the docstring. The
// function object binds arguments in the host's standard wording (see args.cpp), then calls
// `impl` with one borrowed object per parameter and the defining module. It carries
// `__name__`, `__qualname__`, `__module__`, `__doc__`, `__annotations__`, `__defaults__` and a
// `__signature__` for `inspect.signature`, and pickles by reference.
#pragma once

#include "bind/ref.hpp"

#include <span>

namespace bind {

struct Param {
    const char* name;
    const char* annotation;
    const char* text_default = nullptr;  // a str default value
    long long int_default = 0;           // an int (or, with `bool_default`, a bool) default value
    bool has_int_default = false;        // a parameter without either default is required
    bool bool_default = false;
    bool none_default = false;  // the default value is None

    bool required() const { return text_default == nullptr && !has_int_default && !none_default; }
};

using FunctionImpl = Ref (*)(PyObject* module, PyObject* const* args);

struct FunctionDef {
    const char* name;
    const char* doc;
    std::span<const Param> params;
    const char* return_annotation;
    FunctionImpl impl;
};

inline constexpr int kMaxParams = 8;

// Creates the function object for `def` (which must outlive it) and binds it in `module`'s
// namespace under its name.
void add_function(PyObject* module, const FunctionDef& def);

// True when `obj` is the function object created for `def`: callers that look a name up at
// call time use it to call the native code directly.
bool is_function_for(PyObject* obj, const FunctionDef& def);

// Binds vectorcall arguments to `def`'s parameters; `names` holds the interned parameter
// names, `defaults` one object or nullptr per parameter. Fills `out` with borrowed references.
void bind_arguments(const FunctionDef& def, PyObject* const* names, PyObject* const* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace bind
