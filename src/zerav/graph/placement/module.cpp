// The module frame of zerav.graph.placement: imports, the PlacementResult record and the
// place function, defined in this order when the module loads.
#include "zerav/graph/placement/docs.hpp"
#include "zerav/graph/placement/placement.hpp"

#include "bind/module.hpp"
#include "bind/record.hpp"

namespace zerav::placement {

using bind::FieldDefault;
using bind::Param;

namespace {

constexpr Param place_params[] = {{"graph", "ir.Graph"}, {"hw_spec", "HardwareSpec"}};

constexpr bind::FieldDef result_fields[] = {
    {"logical_to_physical", "Dict[int, Tuple[int, int]]", FieldDefault::NewDict},
    {"total_hop_distance", "int", FieldDefault::Zero},
    {"improvement", "float", FieldDefault::ZeroFloat},
};

void body(PyObject* module) {
    bind::import_names(module, "dataclasses", {"dataclass", "field"});
    bind::import_names(module, "typing", {"Dict", "List", "Optional", "Tuple"});
    bind::import_names(module, "zerav", {"ir"});
    bind::import_names(module, "constraints", {"HardwareSpec"}, 1);
    bind::add_record(module, "PlacementResult", docs::result, result_fields);
    bind::add_function(module, place_def);
}

bind::ModuleDefinition definition{"placement", docs::module, body};

}  // namespace

const bind::FunctionDef place_def{"place", docs::place, place_params, "PlacementResult",
                                  [](PyObject* m, PyObject* const* a) { return place(m, a[0], a[1]); }};

}  // namespace zerav::placement

PyMODINIT_FUNC PyInit_placement() { return PyModuleDef_Init(&zerav::placement::definition.def); }
