// The module frame of zerav.graph.mapping: imports, MappingError, map_graph and
// check_feedback_delay, defined in this order when the module loads. The result record is the
// placement module's PlacementResult; the delay check is the partition module's own code.
#include "zerav/graph/mapping/docs.hpp"
#include "zerav/graph/mapping/failure.hpp"
#include "zerav/graph/mapping/mapping.hpp"
#include "zerav/graph/partition/feedback_check.hpp"

#include "bind/module.hpp"

namespace zerav::mapping {

using bind::Param;

namespace {

constexpr Param map_graph_params[] = {
    {"graph", "ir.Graph"},
    {"hw_spec", "HardwareSpec"},
    {"seed", "int", nullptr, 0, true},
    {"sram", "bool", nullptr, 0, true, true},
    {"rates", "Mapping[str, float] | None", nullptr, 0, false, false, true},
};

constexpr Param check_params[] = {
    {"feedback_edges", "List[Tuple[str, str]]"},
    {"assignments", "Dict[str, int]"},
    {"hw_spec", "HardwareSpec"},
};

const bind::FunctionDef check_feedback_delay_def{"check_feedback_delay", docs::check_feedback_delay,
                                                 check_params, "List[Tuple[str, str, int, int]]",
                                                 partition::check_feedback_delay};

constexpr Param map_graph_with_config_params[] = {
    {"graph", "ir.Graph"},
    {"hw_spec", "HardwareSpec"},
    {"config", "dict[str, int | float]"},
    {"seed", "int", nullptr, 0, true},
    {"sram", "bool", nullptr, 0, true, true},
    {"rates", "Mapping[str, float] | None", nullptr, 0, false, false, true},
};

void body(PyObject* module) {
    bind::import_names(module, "zerav", {"ir"});
    bind::import_names(module, "constraints", {"HardwareSpec"}, 1);
    bind::import_names(module, "placement", {"PlacementResult"}, 1);
    add_mapping_error(module);
    bind::add_function(module, map_graph_def);
    bind::add_function(module, check_feedback_delay_def);
    bind::add_function(module, map_graph_with_config_def);
}

bind::ModuleDefinition definition{"mapping", docs::module, body};

}  // namespace

const bind::FunctionDef map_graph_def{"map_graph", docs::map_graph, map_graph_params, "PlacementResult",
                                      map_graph};
const bind::FunctionDef map_graph_with_config_def{
    "_map_graph_with_config", docs::map_graph_with_config, map_graph_with_config_params,
    "tuple[PlacementResult, dict[str, int]]", map_graph_with_config};

}  // namespace zerav::mapping

PyMODINIT_FUNC PyInit_mapping() { return PyModuleDef_Init(&zerav::mapping::definition.def); }
