// The module frame of zerav.graph.mapping: imports and the map_graph function, defined in this
// order when the module loads. The result record is the placement module's PlacementResult.
#include "zerav/graph/mapping/docs.hpp"
#include "zerav/graph/mapping/mapping.hpp"

#include "bind/module.hpp"

namespace zerav::mapping {

using bind::Param;

namespace {

constexpr Param map_graph_params[] = {
    {"graph", "ir.Graph"},
    {"hw_spec", "HardwareSpec"},
    {"seed", "int", nullptr, 0, true},
    {"sram", "bool", nullptr, 0, true, true},
};

void body(PyObject* module) {
    bind::import_names(module, "zerav", {"ir"});
    bind::import_names(module, "constraints", {"HardwareSpec"}, 1);
    bind::import_names(module, "placement", {"PlacementResult"}, 1);
    bind::add_function(module, map_graph_def);
}

bind::ModuleDefinition definition{"mapping", docs::module, body};

}  // namespace

const bind::FunctionDef map_graph_def{"map_graph", docs::map_graph, map_graph_params, "PlacementResult",
                                      map_graph};

}  // namespace zerav::mapping

PyMODINIT_FUNC PyInit_mapping() { return PyModuleDef_Init(&zerav::mapping::definition.def); }
