// Module initialisation (multi-phase, with the two guards) and imports in the host's manner.
#pragma once

#include "bind/ref.hpp"

#include <initializer_list>

namespace bind {

// Per-module guard: the module may be initialised once per process, in one interpreter.
struct InitGuard {
    const char* short_name;    // "partition", used in the re-initialisation message
    int64_t interpreter = -1;  // the interpreter that first loaded the module
    bool initialised = false;  // set once the module's body has run successfully
};

// The frame of a module: what its body defines, in order, when it loads.
using ModuleBody = void (*)(PyObject* module);

// A module definition with multi-phase initialisation: the guards when the module object is
// created; `__builtins__` and then `body` when it executes; declared as needing the GIL on
// free-threaded builds. `PyInit_<name>` returns `PyModuleDef_Init(&definition.def)`.
struct ModuleDefinition {
    PyModuleDef def;  // first member: the init callbacks find their definition through it
    PyModuleDef_Slot slots[5];
    InitGuard guard;
    ModuleBody body;

    ModuleDefinition(const char* short_name, const char* doc, ModuleBody body);
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;
};

// `from FROM import NAME, ...` (level 0, or 1 for a relative import from the module's own
// package), binding each name in `module`'s namespace.
void import_names(PyObject* module, const char* from, std::initializer_list<const char*> names,
                  int level = 0);

// `import NAME as ALIAS`, binding the top-level module in `module`'s namespace.
void import_as(PyObject* module, const char* name, const char* alias);

// `from FROM import a, b` evaluated at call time: fills `out` with the objects.
void import_now(PyObject* module, const char* from, std::initializer_list<const char*> names, Ref* out);

// The current binding of `name` in `module`'s namespace, as a global name lookup finds it
// (NameError when unbound). Pass an interned name (BIND_NAME) on hot paths: no string is built.
Ref module_global(PyObject* module, PyObject* name);
Ref module_global(PyObject* module, const char* name);

}  // namespace bind
