#include "bind/host.hpp"

#include "bind/pending_error.hpp"

#include <vector>

namespace bind {

void require_exact(PyObject* value, PyTypeObject* type, const char* param) {
    if (Py_IS_TYPE(value, type)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 type->tp_name, Py_TYPE(value)->tp_name);
    if (PyType_IsSubtype(Py_TYPE(value), type)) {
        PendingError error;
        Ref note = Ref::steal(PyUnicode_FromFormat(
            "subclasses of built-in types are rejected here; pass a plain %s (for example %s(value))",
            type->tp_name, type->tp_name));
        error.add_note(note.get());
    }
    raise();
}

Ref get_or(PyObject* mapping, PyObject* key, PyObject* default_value) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(mapping, key, &value))) return Ref::steal(value);
        return Ref::borrow(default_value ? default_value : Py_None);
    }
    if (!default_value) return check(PyObject_CallMethodOneArg(mapping, BIND_NAME("get"), key));
    PyObject* args[3] = {mapping, key, default_value};
    return check(PyObject_VectorcallMethod(BIND_NAME("get"), args, 3, nullptr));
}

namespace {

[[noreturn]] void too_many(Py_ssize_t n) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    raise();
}

[[noreturn]] void too_few(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    raise();
}

}  // namespace

void unpack(PyObject* item, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size > n) too_many(n);
        if (size < n) too_few(size);
        PyObject** items = PySequence_Fast_ITEMS(item);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return;
    }
    Ref it = check(PyObject_GetIter(item));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyIter_Next(it.get());
        if (!v) {
            if (PyErr_Occurred()) raise();
            too_few(i);
        }
        out[i] = Ref::steal(v);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        too_many(n);
    }
    if (PyErr_Occurred()) raise();
}

void raise_key_error(PyObject* key) {
    Ref exc = check(PyObject_CallOneArg(PyExc_KeyError, key));
    PyErr_SetObject(PyExc_KeyError, exc.get());
    raise();
}

Ref subscript(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(mapping, key, &value))) return Ref::steal(value);
        raise_key_error(key);
    }
    return check(PyObject_GetItem(mapping, key));
}

std::optional<int64_t> exact_small_int(PyObject* obj) {
    if (!PyLong_CheckExact(obj)) return std::nullopt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow) return std::nullopt;
    if (v == -1 && PyErr_Occurred()) raise();
    return static_cast<int64_t>(v);
}

Ref text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return check(PyObject_Format(value, nullptr));
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(p));
    return t;
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs) {
    std::vector<PyObject*> stack;
    stack.reserve(args.size() + kwargs.size());
    for (PyObject* a : args) stack.push_back(a);
    Ref names = check(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (const auto& [k, v] : kwargs) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(k));
        stack.push_back(v);
    }
    return check(
        PyObject_Vectorcall(callable, stack.data(), args.size(), kwargs.size() ? names.get() : nullptr));
}

}  // namespace bind
