#include "bind/module.hpp"

#include "bind/boundary.hpp"
#include "bind/pending_error.hpp"

#include <type_traits>
#include <vector>

namespace bind {

namespace {

ModuleDefinition& definition_of(PyModuleDef* def) { return *reinterpret_cast<ModuleDefinition*>(def); }

// Py_mod_create: applies the guards, then creates the module object named by `spec`.
PyObject* create_module(PyObject* spec, PyModuleDef* def) {
    InitGuard& guard = definition_of(def).guard;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return nullptr;
    if (guard.interpreter == -1) {
        guard.interpreter = current;
    } else if (guard.interpreter != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (guard.initialised) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

// Binds `__builtins__` first, as the interpreter does before running a module's body.
void set_builtins(PyObject* module) {
    Ref builtins = check(PyEval_GetFrameBuiltins());
    check(PyModule_AddObjectRef(module, "__builtins__", builtins.get()));
}

int exec_module(PyObject* module) {
    ModuleDefinition& d = definition_of(PyModule_GetDef(module));
    PyObject* done = guarded([&] {
        set_builtins(module);
        d.body(module);
        d.guard.initialised = true;
        return Ref::borrow(Py_None);
    });
    if (!done) return -1;
    Py_DECREF(done);
    return 0;
}

// `from MODULE import NAME`: the attribute, or the submodule already imported under that name.
Ref import_one(PyObject* from_module, PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttr(from_module, name, &value))) return Ref::steal(value);
    Ref pkg = check(PyModule_GetNameObject(from_module));
    Ref full = check(PyUnicode_FromFormat("%U.%U", pkg.get(), name));
    PyObject* sub = PyImport_GetModule(full.get());
    if (sub) return Ref::steal(sub);
    if (PyErr_Occurred()) raise();
    // The error the interpreter's own `from ... import` raises: its text, and its `name`,
    // `path` and `name_from` attributes.
    PyObject* raw_file = nullptr;
    if (PyObject_GetOptionalAttrString(from_module, "__file__", &raw_file) < 0) PyErr_Clear();
    Ref file = Ref::steal(raw_file);
    // A package without a file of its own (a namespace package has `__file__` None) has an
    // "unknown location" and no `path`, as the interpreter reports it.
    if (file && !PyUnicode_Check(file.get())) file = Ref();
    Ref message = file ? check(PyUnicode_FromFormat("cannot import name '%U' from '%U' (%S)", name, pkg.get(),
                                                    file.get()))
                       : check(PyUnicode_FromFormat("cannot import name '%U' from '%U' (unknown location)",
                                                    name, pkg.get()));
    PyErr_SetImportError(message.get(), pkg.get(), file.get());
    {
        PendingError error;
        if (error.get()) PyObject_SetAttrString(error.get(), "name_from", name);
    }
    raise();
}

Ref import_from(PyObject* module, const char* from, std::initializer_list<const char*> names, int level,
                std::vector<Ref>& names_out) {
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) {
        Ref s = check(PyUnicode_InternFromString(n));
        names_out.push_back(s);
        PyTuple_SET_ITEM(fromlist.get(), i++, s.release());
    }
    Ref from_name = check(PyUnicode_FromString(from));
    return check(PyImport_ImportModuleLevelObject(from_name.get(), PyModule_GetDict(module), nullptr,
                                                  fromlist.get(), level));
}

}  // namespace

ModuleDefinition::ModuleDefinition(const char* short_name, const char* doc, ModuleBody body_)
    : def{PyModuleDef_HEAD_INIT, short_name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr},
      slots{{Py_mod_create, reinterpret_cast<void*>(create_module)},
            {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
            {Py_mod_gil, Py_MOD_GIL_USED},
            {0, nullptr}},
      guard{short_name},
      body(body_) {
    static_assert(std::is_standard_layout_v<ModuleDefinition>);
}

void import_names(PyObject* module, const char* from, std::initializer_list<const char*> names, int level) {
    std::vector<Ref> name_objs;
    Ref source = import_from(module, from, names, level, name_objs);
    for (const Ref& n : name_objs) {
        Ref value = import_one(source.get(), n.get());
        check(PyObject_SetAttr(module, n.get(), value.get()));
    }
}

void import_now(PyObject* module, const char* from, std::initializer_list<const char*> names, Ref* out) {
    std::vector<Ref> name_objs;
    Ref source = import_from(module, from, names, 0, name_objs);
    for (size_t i = 0; i < name_objs.size(); ++i) out[i] = import_one(source.get(), name_objs[i].get());
}

void import_as(PyObject* module, const char* name, const char* alias) {
    Ref n = check(PyUnicode_FromString(name));
    Ref top = check(PyImport_ImportModuleLevelObject(n.get(), PyModule_GetDict(module), nullptr, nullptr, 0));
    check(PyModule_AddObjectRef(module, alias, top.get()));
}

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(PyModule_GetDict(module), name, &value))) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref module_global(PyObject* module, const char* name) {
    Ref key = check(PyUnicode_InternFromString(name));
    return module_global(module, key.get());
}

}  // namespace bind
