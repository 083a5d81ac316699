// The partition module's functions, shared between its source files.
#pragma once

#include "zerav/graph/partition/feedback_check.hpp"

#include "bind/function.hpp"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

namespace zerav::partition {

using bind::check;
using bind::Ref;

extern const bind::FunctionDef partition_def;
extern const bind::FunctionDef check_feedback_delay_def;
extern const bind::FunctionDef greedy_def;
extern const bind::FunctionDef edgemap_def;
extern const bind::FunctionDef spectral_def;

struct WorkingGraph;

// partition(graph, hw_spec, algorithm), with its bound arguments.
bind::Ref partition_entry_point(PyObject* module, PyObject* const* args);

// partition_greedy, handing its working graph and the library's SCC of each vertex (-1 for a
// vertex in none; left empty for a DAG) to the caller when asked.
bind::Ref partition_greedy(PyObject* module, PyObject* graph, PyObject* hw_spec, WorkingGraph* keep = nullptr,
                           std::vector<int32_t>* keep_scc_of = nullptr);
bind::Ref partition_edgemap(PyObject* module, PyObject* graph, PyObject* hw_spec);
bind::Ref partition_spectral(PyObject* module, PyObject* graph, PyObject* hw_spec);

// Calls the partitioner bound to `name` in the module namespace now (the native code directly
// when the binding is still our own function).
bind::Ref call_partitioner(PyObject* module, const char* name, const bind::FunctionDef& def, PyObject* graph,
                           PyObject* hw_spec);

struct EdgeLists;

// PartitionResult(assignments=..., num_cores_used=..., cross_core_edges=lists.cross,
// feedback_edges=lists.feedback, metrics=...), the class looked up in the module namespace.
bind::Ref make_result(PyObject* module, PyObject* assignments, int64_t num_cores_used, const EdgeLists& lists,
                      PyObject* metrics);

// The (key, value) pairs of `mapping.items()`, in iteration order (an exact dict read directly).
std::vector<std::pair<bind::Ref, bind::Ref>> items_of(PyObject* mapping);

// A metrics dict with these entries, in this order.
bind::Ref metrics_dict(std::initializer_list<std::pair<const char*, PyObject*>> entries);

// `count OP hw_spec.max_neurons_per_core` (OP is Py_GE or Py_LE), the limit read afresh at
// every test, compared natively when it is an exact int.
bool compare_with_core_limit(PyObject* hw_spec, int64_t count, int op);

// The number of distinct values among `ids`, all in 0 .. bound - 1.
template <class Int>
int64_t count_distinct(std::span<const Int> ids, size_t bound) {
    std::vector<bool> seen(bound, false);
    int64_t count = 0;
    for (Int id : ids)
        if (!seen[static_cast<size_t>(id)]) seen[static_cast<size_t>(id)] = true, ++count;
    return count;
}

// A new one-dimensional numpy array of `dtype` holding a copy of `bytes` bytes at `data`
// (through a bytearray, so the array is writable).
bind::Ref numpy_array(PyObject* np, PyObject* dtype, const void* data, size_t bytes);

// numpy's balance of the core sizes: std(bincount(values, minlength)) / max(mean(...), 1).
bind::Ref balance_stddev(PyObject* module, std::span<const int64_t> values, int64_t minlength);

}  // namespace zerav::partition
