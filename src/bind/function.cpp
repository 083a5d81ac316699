// The function object type shared by the three modules.
#include "bind/function.hpp"

#include "bind/boundary.hpp"
#include "bind/host.hpp"

#include <structmember.h>

#include <cstring>

namespace bind {
namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* signature;  // built on first use
    PyObject* param_names[kMaxParams];
    PyObject* default_values[kMaxParams];
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        PyObject* bound[kMaxParams];
        bind_arguments(*f->def, f->param_names, f->default_values, args, PyVectorcall_NARGS(nargsf), kwnames,
                       bound);
        return f->def->impl(f->module, bound);
    });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->signature);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->signature);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    for (int i = 0; i < kMaxParams; ++i) {
        Py_CLEAR(f->param_names[i]);
        Py_CLEAR(f->default_values[i]);
    }
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    FunctionObject* f = as_function(self);
    return PyUnicode_FromFormat("<function %U.%U>", f->module_name, f->qualname);
}

// Descriptor protocol: the object stays itself when fetched through a class, so pydoc and
// inspect treat it as a routine.
PyObject* function_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

Ref build_signature(FunctionObject* f) {
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref kind = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    const auto n = static_cast<Py_ssize_t>(f->def->params.size());
    Ref params = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref ann = check(PyUnicode_FromString(f->def->params[i].annotation));
        PyObject* name = f->param_names[i];
        PyObject* fallback = f->default_values[i];
        Ref p = fallback
                    ? call_kw(parameter.get(), {name, kind.get()},
                              {{BIND_NAME("annotation"), ann.get()}, {BIND_NAME("default"), fallback}})
                    : call_kw(parameter.get(), {name, kind.get()}, {{BIND_NAME("annotation"), ann.get()}});
        PyList_SET_ITEM(params.get(), i, p.release());
    }
    Ref ret = check(PyUnicode_FromString(f->def->return_annotation));
    return call_kw(signature.get(), {params.get()}, {{BIND_NAME("return_annotation"), ret.get()}});
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        if (!f->signature) f->signature = build_signature(f).release();
        return Ref::borrow(f->signature);
    });
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference: the module attribute of the same qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "zerav.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// One type object per extension module (each module links its own copy of this layer), held
// for the life of the process: the modules refuse re-initialisation, so it is created once.
PyTypeObject* function_type() {
    static PyObject* type = nullptr;
    if (!type) type = check(PyType_FromSpec(&function_spec)).release();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

void add_function(PyObject* module, const FunctionDef& def) {
    if (def.params.size() > static_cast<size_t>(kMaxParams)) raise(PyExc_SystemError, "too many parameters");
    Ref obj = check(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, function_type())));
    FunctionObject* f = as_function(obj.get());
    // Zero every slot after the header first so that dealloc is safe if a later step fails.
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0, sizeof(FunctionObject) - sizeof(PyObject));
    f->vectorcall = function_vectorcall;
    f->def = &def;
    PyObject_GC_Track(obj.get());

    f->module = Py_NewRef(module);
    f->name = check(PyUnicode_InternFromString(def.name)).release();
    f->qualname = Py_NewRef(f->name);
    f->module_name = check(PyModule_GetNameObject(module)).release();
    f->doc = check(PyUnicode_FromString(def.doc)).release();
    Ref annotations = check(PyDict_New());
    Ref defaults = check(PyList_New(0));
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        f->param_names[i] = check(PyUnicode_InternFromString(p.name)).release();
        Ref ann = check(PyUnicode_FromString(p.annotation));
        check(PyDict_SetItem(annotations.get(), f->param_names[i], ann.get()));
        if (p.text_default)
            f->default_values[i] = check(PyUnicode_InternFromString(p.text_default)).release();
        else if (p.has_int_default)
            f->default_values[i] = p.bool_default ? Py_NewRef(p.int_default ? Py_True : Py_False)
                                                  : check(PyLong_FromLongLong(p.int_default)).release();
        else if (p.none_default)
            f->default_values[i] = Py_NewRef(Py_None);
        if (f->default_values[i]) check(PyList_Append(defaults.get(), f->default_values[i]));
    }
    Ref ret = check(PyUnicode_FromString(def.return_annotation));
    check(PyDict_SetItemString(annotations.get(), "return", ret.get()));
    f->annotations = annotations.release();
    f->defaults = PyList_GET_SIZE(defaults.get()) ? check(PyList_AsTuple(defaults.get())).release()
                                                  : Py_NewRef(Py_None);
    check(PyModule_AddObjectRef(module, def.name, obj.get()));
}

bool is_function_for(PyObject* obj, const FunctionDef& def) {
    return Py_IS_TYPE(obj, function_type()) && as_function(obj)->def == &def;
}

}  // namespace bind
