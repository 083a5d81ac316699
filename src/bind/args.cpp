// Argument binding with the host's standard messages.
#include "bind/function.hpp"

namespace bind {
namespace {

[[noreturn]] void wrong_count(const FunctionDef& def, const char* quantifier, Py_ssize_t expected,
                              Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name,
                 quantifier, expected, expected == 1 ? "" : "s", given);
    raise();
}

Py_ssize_t find_param(PyObject* const* names, Py_ssize_t n, PyObject* key) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(names[i], key) == 0) return i;
    return -1;
}

}  // namespace

void bind_arguments(const FunctionDef& def, PyObject* const* names, PyObject* const* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(def.params.size());
    Py_ssize_t required = 0;
    while (required < n && def.params[required].required()) ++required;
    const bool exact = required == n;

    if (nargs > n) wrong_count(def, exact ? "exactly" : "at most", n, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < required) wrong_count(def, exact ? "exactly" : "at least", required, nargs);
    } else {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k)))
                raise(PyExc_TypeError, "keywords must be strings");
        }
        // Required parameters are filled from the keywords first: the first one still missing
        // is reported by its position, before any keyword is judged.
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            Py_ssize_t i = find_param(names, n, PyTuple_GET_ITEM(kwnames, k));
            if (i >= nargs) out[i] = args[nargs + k];
        }
        for (Py_ssize_t i = nargs; i < required; ++i)
            if (out[i] == nullptr) wrong_count(def, exact ? "exactly" : "at least", required, i);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = find_param(names, n, key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
                raise();
            }
            if (i < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name,
                             key);
                raise();
            }
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (out[i] == nullptr) out[i] = defaults[i];
}

}  // namespace bind
