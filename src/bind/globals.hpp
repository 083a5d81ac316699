// Call-time lookups of module globals by an interned name (no string is built per lookup).
#pragma once

#include "bind/ref.hpp"

namespace bind {

// The current binding of `name` (an interned str) in `module`'s namespace, as a global name
// lookup finds it; NameError when unbound.
inline Ref global(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(PyModule_GetDict(module), name, &value))) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

}  // namespace bind
