// The mapping module's functions, shared between its source files.
#pragma once

#include "bind/function.hpp"

namespace zerav::mapping {

extern const bind::FunctionDef map_graph_def;

// map_graph(graph, hw_spec, seed=0, sram=False)
bind::Ref map_graph(PyObject* module, PyObject* const* args);

}  // namespace zerav::mapping
