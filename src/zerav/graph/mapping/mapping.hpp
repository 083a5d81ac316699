// The mapping module's functions, shared between its source files.
#pragma once

#include "bind/function.hpp"

namespace zerav::mapping {

extern const bind::FunctionDef map_graph_def, map_graph_with_config_def;

// map_graph(graph, hw_spec, seed=0, sram=False, rates=None)
bind::Ref map_graph(PyObject* module, PyObject* const* args);

// _map_graph_with_config(graph, hw_spec, config, seed=0, sram=False, rates=None): map_graph with the
// settings of `config` ("section.field" -> value) in place of the defaults; returns the
// placement and a dict of what the mapping did ("levels": coarsening levels).
bind::Ref map_graph_with_config(PyObject* module, PyObject* const* args);

}  // namespace zerav::mapping
