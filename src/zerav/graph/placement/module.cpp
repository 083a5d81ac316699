// The module frame of zerav.graph.placement: imports, the PlacementResult record and the
// place function, defined in this order when the module loads.
#include "zerav/graph/placement/docs.hpp"
#include "zerav/graph/placement/placement.hpp"

#include "bind/boundary.hpp"
#include "bind/module.hpp"
#include "bind/record.hpp"

namespace zerav::placement {

using bind::FieldDefault;
using bind::Param;
using bind::Ref;

namespace {

constexpr Param place_params[] = {{"graph", "ir.Graph"}, {"hw_spec", "HardwareSpec"}};

constexpr bind::FieldDef result_fields[] = {
    {"logical_to_physical", "Dict[int, Tuple[int, int]]", FieldDefault::NewDict},
    {"total_hop_distance", "int", FieldDefault::Zero},
    {"improvement", "float", FieldDefault::ZeroFloat},
};

bind::InitGuard guard{"placement"};

PyObject* create(PyObject* spec, PyModuleDef*) { return bind::create_guarded(spec, guard); }

int exec(PyObject* module) {
    return bind::guarded_status([&] {
        bind::set_builtins(module);
        bind::import_names(module, "dataclasses", {"dataclass", "field"});
        bind::import_names(module, "typing", {"Dict", "List", "Optional", "Tuple"});
        bind::import_names(module, "zerav", {"ir"});
        bind::import_names(module, "constraints", {"HardwareSpec"}, 1);
        bind::add_record(module, "PlacementResult", docs::result, result_fields);
        bind::add_function(module, place_def);
        guard.initialised = true;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "placement", docs::module, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

const bind::FunctionDef place_def{"place", docs::place, place_params, "PlacementResult",
                                  [](PyObject* m, PyObject* const* a) { return place(m, a[0], a[1]); }};

}  // namespace zerav::placement

PyMODINIT_FUNC PyInit_placement() { return PyModuleDef_Init(&zerav::placement::module_def); }
