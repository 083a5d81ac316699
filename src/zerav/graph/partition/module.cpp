// The module frame of zerav.graph.partition: imports, the PartitionResult record and the
// functions, defined in this order when the module loads.
#include "zerav/graph/partition/docs.hpp"
#include "zerav/graph/partition/partition.hpp"

#include "bind/module.hpp"
#include "bind/record.hpp"

namespace zerav::partition {

using bind::FieldDefault;
using bind::Param;

namespace {

constexpr Param partition_params[] = {
    {"graph", "ir.Graph"}, {"hw_spec", "HardwareSpec"}, {"algorithm", "str", "greedy"}};
constexpr Param check_params[] = {{"feedback_edges", "List[Tuple[str, str]]"},
                                  {"assignments", "Dict[str, int]"},
                                  {"hw_spec", "HardwareSpec"}};
constexpr Param partitioner_params[] = {{"graph", "ir.Graph"}, {"hw_spec", "HardwareSpec"}};

constexpr bind::FieldDef result_fields[] = {
    {"assignments", "Dict[str, int]", FieldDefault::NewDict},
    {"num_cores_used", "int", FieldDefault::Zero},
    {"cross_core_edges", "List[Tuple[str, str]]", FieldDefault::NewList},
    {"feedback_edges", "List[Tuple[str, str]]", FieldDefault::NewList},
    {"metrics", "Dict[str, Any]", FieldDefault::NewDict},
};

void body(PyObject* module) {
    bind::import_names(module, "dataclasses", {"dataclass", "field"});
    bind::import_names(module, "typing", {"Any", "Dict", "List", "Optional", "Tuple"});
    bind::import_as(module, "numpy", "np");
    bind::import_as(module, "rustworkx", "rx");
    bind::import_names(module, "zerav", {"ir"});
    bind::import_names(module, "constraints", {"HardwareSpec"}, 1);
    bind::add_record(module, "PartitionResult", docs::result, result_fields);
    bind::add_function(module, partition_def);
    bind::add_function(module, check_feedback_delay_def);
    bind::add_function(module, greedy_def);
    bind::add_function(module, edgemap_def);
    bind::add_function(module, spectral_def);
}

bind::ModuleDefinition definition{"partition", docs::module, body};

}  // namespace

const bind::FunctionDef partition_def{"partition", docs::partition, partition_params, "ir.Graph",
                                      partition_entry_point};
const bind::FunctionDef check_feedback_delay_def{"_check_feedback_delay", docs::check_feedback_delay,
                                                 check_params, "List[Tuple[str, str, int, int]]",
                                                 check_feedback_delay};
const bind::FunctionDef greedy_def{
    "partition_greedy", docs::greedy, partitioner_params, "PartitionResult",
    [](PyObject* m, PyObject* const* a) { return partition_greedy(m, a[0], a[1]); }};
const bind::FunctionDef edgemap_def{
    "partition_edgemap", docs::edgemap, partitioner_params, "PartitionResult",
    [](PyObject* m, PyObject* const* a) { return partition_edgemap(m, a[0], a[1]); }};
const bind::FunctionDef spectral_def{
    "partition_spectral", docs::spectral, partitioner_params, "PartitionResult",
    [](PyObject* m, PyObject* const* a) { return partition_spectral(m, a[0], a[1]); }};

}  // namespace zerav::partition

PyMODINIT_FUNC PyInit_partition() { return PyModuleDef_Init(&zerav::partition::definition.def); }
