// MappingError: which constraint failed, whether that is proven or the search gave up, and the
// numbers, as attributes beside the message.
#include "zerav/graph/mapping/failure.hpp"

#include "zerav/graph/mapping/docs.hpp"

#include "bind/host.hpp"
#include "bind/module.hpp"

namespace zerav::mapping {

using bind::check;
using bind::Ref;

namespace {

const char* constraint_name(Constraint c) {
    switch (c) {
        case Constraint::capacity:
            return "capacity";
        case Constraint::sram:
            return "sram";
        case Constraint::delay:
            return "delay";
    }
    return "capacity";
}

void set_attr(PyObject* obj, const char* name, Ref value) {
    check(PyObject_SetAttrString(obj, name, value.get()));
}

Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

}  // namespace

void add_mapping_error(PyObject* module) {
    Ref cls = check(PyErr_NewExceptionWithDoc("zerav.graph.mapping.MappingError", docs::mapping_error,
                                              PyExc_ValueError, nullptr));
    check(PyModule_AddObjectRef(module, "MappingError", cls.get()));
}

void raise_mapping_error(PyObject* module, const Infeasible& failure) {
    Ref cls = bind::module_global(module, "MappingError");
    Ref message = text(failure.what());
    Ref error = check(PyObject_CallOneArg(cls.get(), message.get()));
    set_attr(error.get(), "constraint", text(constraint_name(failure.constraint)));
    set_attr(error.get(), "proven", check(PyBool_FromLong(failure.proven)));
    set_attr(error.get(), "unit", text(failure.unit));
    set_attr(error.get(), "needed", failure.needed < 0 ? Ref::borrow(Py_None) : bind::py_int(failure.needed));
    set_attr(error.get(), "available", bind::py_int(failure.available));
    if (!PyExceptionInstance_Check(error.get()))
        bind::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    bind::raise();
}

}  // namespace zerav::mapping
