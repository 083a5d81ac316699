// Declarations shared by the files of the resource module.
#pragma once

#include "bind/amount.hpp"
#include "bind/function.hpp"
#include "bind/name_index.hpp"
#include "zerav/graph/resource/node_bytes.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace zerav::resource {

extern const bind::FunctionDef precision_to_bytes_def;
extern const bind::FunctionDef allocate_def;

// _precision_to_bytes(precision): the exact-type check, then the table.
Ref precision_to_bytes(PyObject* module, PyObject* const* args);

// allocate(graph, hw_spec).
Ref allocate(PyObject* module, PyObject* graph, PyObject* hw_spec);

// What pass 1 gathers for one core; `budget` is the CoreBudget stored under `key`.
struct CoreTally {
    Ref key;
    Ref budget;
    int64_t neurons = 0;
    Amount weight;
    Amount state;
};

// The `budgets` dict (core id -> CoreBudget, first appearance first) and the native tally of
// each of its entries, in the same order.
class Budgets {
  public:
    explicit Budgets(PyObject* module);
    // The tally of the budget stored under `core_id` (a key equal to it), inserting a new
    // CoreBudget(core_id=core_id) when there is none.
    CoreTally& at(PyObject* core_id);
    PyObject* dict() const { return dict_.get(); }
    std::vector<CoreTally>& tallies() { return tallies_; }

  private:
    PyObject* module_;
    Ref dict_;
    std::vector<CoreTally> tallies_;
    // budget object -> its tally. The dict is reachable by host code (through the collector)
    // while the call runs, so a budget read back from it is checked to be one of ours.
    std::unordered_map<PyObject*, size_t> index_;
};

// Pass 2: the number of incoming cross-core edges per core, keyed by the core ids found in
// the partition metadata (host hashing and equality, as a dict keyed by them). The index is
// native: host code run by a hash or a comparison cannot reach it.
class IncomingEdges {
  public:
    explicit IncomingEdges(PyObject* graph);
    int64_t of(PyObject* core_id) const;

  private:
    void count(PyObject* core_id);
    bind::ValueIds cores_;
    std::vector<int64_t> counts_;  // per core id
};

}  // namespace zerav::resource
