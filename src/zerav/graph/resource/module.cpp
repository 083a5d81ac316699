// The module frame of zerav.graph.resource: imports, the CoreBudget and ResourceMap records,
// the state-attribute set and the functions, defined in this order when the module loads.
#include "zerav/graph/resource/docs.hpp"
#include "zerav/graph/resource/resource.hpp"

#include "bind/module.hpp"
#include "bind/record.hpp"

namespace zerav::resource {

using bind::FieldDefault;
using bind::Param;

namespace {

constexpr Param precision_params[] = {{"precision", "str"}};
constexpr Param allocate_params[] = {{"graph", "ir.Graph"}, {"hw_spec", "HardwareSpec"}};

constexpr bind::FieldDef core_budget_fields[] = {
    {"core_id", "int", FieldDefault::Zero},
    {"neuron_count", "int", FieldDefault::Zero},
    {"weight_bytes", "int", FieldDefault::Zero},
    {"state_bytes", "int", FieldDefault::Zero},
    {"routing_bytes", "int", FieldDefault::Zero},
    {"total_bytes", "int", FieldDefault::Zero},
    {"utilization", "float", FieldDefault::ZeroFloat},
};

constexpr bind::FieldDef resource_map_fields[] = {
    {"budgets", "Dict[int, CoreBudget]", FieldDefault::NewDict},
    {"total_weight_bytes", "int", FieldDefault::Zero},
    {"total_state_bytes", "int", FieldDefault::Zero},
    {"peak_core_utilization", "float", FieldDefault::ZeroFloat},
    {"fits_hardware", "bool", FieldDefault::True},
    {"violations", "List[int]", FieldDefault::NewList},
};

// Neuron-state arrays cost 4 bytes per element whatever the precision. The set is built by
// adding the names one by one: its iteration order (which decides the order in which nodes'
// attributes are read) is then that of any set built the same way in this process.
constexpr const char* state_attrs[] = {"tau", "v_threshold", "v_leak", "r"};

void add_state_attrs(PyObject* module) {
    Ref set = bind::check(PySet_New(nullptr));
    for (const char* name : state_attrs) {
        Ref s = bind::check(PyUnicode_InternFromString(name));
        bind::check(PySet_Add(set.get(), s.get()));
    }
    bind::check(PyModule_AddObjectRef(module, "_STATE_ATTRS", set.get()));
}

void body(PyObject* module) {
    bind::import_names(module, "dataclasses", {"dataclass", "field"});
    bind::import_names(module, "typing", {"Dict", "List"});
    bind::import_as(module, "numpy", "np");
    bind::import_names(module, "zerav", {"ir"});
    bind::import_names(module, "constraints", {"HardwareSpec"}, 1);
    bind::add_record(module, "CoreBudget", docs::core_budget, core_budget_fields);
    bind::add_record(module, "ResourceMap", docs::resource_map, resource_map_fields);
    add_state_attrs(module);
    bind::add_function(module, precision_to_bytes_def);
    bind::add_function(module, allocate_def);
}

bind::ModuleDefinition definition{"resource", docs::module, body};

}  // namespace

const bind::FunctionDef precision_to_bytes_def{"_precision_to_bytes", docs::precision_to_bytes,
                                               precision_params, "int", precision_to_bytes};
const bind::FunctionDef allocate_def{"allocate", docs::allocate, allocate_params, "ResourceMap",
                                     [](PyObject* m, PyObject* const* a) { return allocate(m, a[0], a[1]); }};

}  // namespace zerav::resource

PyMODINIT_FUNC PyInit_resource() { return PyModuleDef_Init(&zerav::resource::definition.def); }
