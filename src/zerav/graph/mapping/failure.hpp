// The mapping's typed failure: MappingError, a ValueError subclass made when the module loads,
// and an Infeasible raised as one with its numbers.
#pragma once

#include "zerav/graph/mapping/problem.hpp"

#include "bind/ref.hpp"

namespace zerav::mapping {

// Creates MappingError and binds it in the module's namespace.
void add_mapping_error(PyObject* module);

// `raise MappingError(message)` with the failure's attributes set, MappingError looked up in
// the module's namespace now, as the raise statement of a Python module would.
[[noreturn]] void raise_mapping_error(PyObject* module, const Infeasible& failure);

}  // namespace zerav::mapping
