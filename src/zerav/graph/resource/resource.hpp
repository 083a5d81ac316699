// Declarations shared by the files of the resource module.
#pragma once

#include "bind/amount.hpp"
#include "bind/function.hpp"
#include "bind/name_index.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace zerav::resource {

using bind::Amount;
using bind::Ref;

extern const bind::FunctionDef precision_to_bytes_def;
extern const bind::FunctionDef allocate_def;

// Bytes per element for an exact str precision name (4 for names not in the table).
int64_t bytes_per_element(PyObject* precision);

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

// Pass 1: the memory of each counted node, added to its core's tally.
class NodeAccounting {
  public:
    explicit NodeAccounting(PyObject* module) : module_(module), budgets_(module) {}
    void add(PyObject* node);
    Budgets& budgets() { return budgets_; }

  private:
    Amount element_bytes(PyObject* precision);
    bool is_array(PyObject* value);
    Amount array_size(PyObject* array);
    void add_record_fields(CoreTally& tally, PyObject* node, PyObject* fields, const Amount& element);
    void add_plain_arrays(CoreTally& tally, PyObject* node, const Amount& element);

    PyObject* module_;
    Budgets budgets_;
    Ref ndarray_;  // numpy's ndarray, fetched on first use in the call
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
    bind::NameIndex index_;  // core id -> position in counts_
    std::vector<Ref> keys_;  // the core ids the index holds, kept alive
    std::vector<int64_t> counts_;
};

}  // namespace zerav::resource
