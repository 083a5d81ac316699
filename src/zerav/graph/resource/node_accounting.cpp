// Pass 1 of allocate: each counted node's core (its core_id, 0 when missing or falsy) and its
// weight and state bytes, added to that core's tally.
#include "zerav/graph/resource/resource.hpp"

#include "bind/host.hpp"

namespace zerav::resource {

void NodeAccounting::add(PyObject* node) {
    // A missing, None or 0 core_id (any falsy value) means core 0.
    Ref core_id = bind::optional_attr(node, BIND_NAME("core_id"));
    Ref key = core_id && bind::truthy(core_id.get()) ? core_id : bind::py_int(0);
    CoreTally& tally = budgets_.at(key.get());
    ++tally.neurons;
    bytes_.add(node, tally.weight, tally.state);
}

}  // namespace zerav::resource
