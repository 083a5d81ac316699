// The budgets dict of one allocate call: CoreBudget records keyed by core id, in the order in
// which the cores first appear, each with its native tally.
#include "zerav/graph/resource/resource.hpp"

#include "bind/host.hpp"
#include "bind/module.hpp"

namespace zerav::resource {

Budgets::Budgets(PyObject* module) : module_(module), dict_(bind::check(PyDict_New())) {}

CoreTally& Budgets::at(PyObject* core_id) {
    // The dict itself decides which key a core id matches (host hashing and equality), so
    // that e.g. 1, 1.0 and True share one budget, as they share one dict entry.
    PyObject* found = nullptr;
    if (bind::check(PyDict_GetItemRef(dict_.get(), core_id, &found))) {
        Ref budget = Ref::steal(found);
        const auto it = index_.find(budget.get());
        if (it == index_.end())
            bind::raise(PyExc_RuntimeError, "allocate(): the budgets dict was changed during the call");
        return tallies_[it->second];
    }
    Ref cls = bind::module_global(module_, BIND_NAME("CoreBudget"));
    Ref budget = bind::call_kw(cls.get(), {}, {{BIND_NAME("core_id"), core_id}});
    bind::check(PyDict_SetItem(dict_.get(), core_id, budget.get()));
    index_.emplace(budget.get(), tallies_.size());
    CoreTally& tally = tallies_.emplace_back();
    tally.key = Ref::borrow(core_id);
    tally.budget = std::move(budget);
    return tally;
}

}  // namespace zerav::resource
