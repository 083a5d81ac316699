// Data records: real `dataclasses` classes, made by `dataclasses.make_dataclass` when the
// module loads, with text annotations and the generator's default options.
#pragma once

#include "bind/ref.hpp"

#include <span>

namespace bind {

enum class FieldDefault { Zero, ZeroFloat, True, NewDict, NewList };

struct FieldDef {
    const char* name;
    const char* annotation;
    FieldDefault value;
};

// Creates the record class `name` with `doc` and `fields`, owned by `module` (its
// `__module__`), binds it in the module's namespace and returns it.
Ref add_record(PyObject* module, const char* name, const char* doc, std::span<const FieldDef> fields);

}  // namespace bind
