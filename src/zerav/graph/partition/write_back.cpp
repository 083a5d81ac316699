#include "zerav/graph/partition/write_back.hpp"

#include "bind/host.hpp"
#include "bind/pairs.hpp"

#include <utility>

namespace zerav::partition {

using bind::check;
using bind::Ref;

namespace {

// The (name, core_id) pairs of the result's assignments, in iteration order.
std::vector<std::pair<Ref, Ref>> assignment_pairs(PyObject* assignments) {
    std::vector<std::pair<Ref, Ref>> pairs;
    if (PyDict_CheckExact(assignments)) {
        pairs.reserve(static_cast<size_t>(PyDict_GET_SIZE(assignments)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(assignments, &pos, &key, &value))
            pairs.emplace_back(Ref::borrow(key), Ref::borrow(value));
        return pairs;
    }
    Ref items = check(PyObject_CallMethodNoArgs(assignments, BIND_NAME("items")));
    bind::for_each_pair(items.get(), [&](PyObject*, PyObject* name, PyObject* core) {
        pairs.emplace_back(Ref::borrow(name), Ref::borrow(core));
    });
    return pairs;
}

}  // namespace

bind::CoreIdWrites plan_core_id_writes(PyObject* graph, PyObject* result) {
    bind::CoreIdWrites writes;
    Ref assignments = bind::attr(result, BIND_NAME("assignments"));
    const std::vector<std::pair<Ref, Ref>> pairs = assignment_pairs(assignments.get());
    if (pairs.empty()) return writes;  // nothing to look up: `graph.nodes` is not read
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    bind::SignalCheck signals;
    for (const auto& [name, core] : pairs) {
        writes.plan(bind::subscript(nodes.get(), name.get()), core);
        signals.tick();
    }
    return writes;
}

}  // namespace zerav::partition
