// allocate(): per-node accounting, incoming cross-core traffic, then per-core totals, SRAM
// utilisation and violations, gathered into a new ResourceMap. The plain-Python model of the
// same steps is `allocate` in tests/resource/reference.py.
#include "zerav/graph/resource/resource.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

#include "bind/boundary_nodes.hpp"
#include "bind/host.hpp"
#include "bind/module.hpp"
#include "bind/pairs.hpp"

namespace zerav::resource {

namespace {

void set(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

// max(sram, 1): the SRAM size unless 1 compares greater.
Amount divisor_of(PyObject* sram) {
    const Amount size = Amount::of(sram);
    if (size.native()) return size.value() < 1 ? Amount(1) : size;
    Ref one = bind::py_int(1);
    return bind::compare(one.get(), sram, Py_GT) ? Amount(1) : size;
}

// utilization > peak.
bool above(PyObject* utilization, PyObject* peak) {
    if (PyFloat_CheckExact(utilization) && PyFloat_CheckExact(peak))
        return PyFloat_AS_DOUBLE(utilization) > PyFloat_AS_DOUBLE(peak);
    return bind::compare(utilization, peak, Py_GT);
}

// Pass 3: routing, totals and utilisation per core, in budgets order.
Ref summarise(PyObject* module, Budgets& budgets, const IncomingEdges& incoming, PyObject* hw_spec) {
    Ref result_type = bind::module_global(module, BIND_NAME("ResourceMap"));
    Ref result = check(PyObject_CallNoArgs(result_type.get()));
    Amount total_weight, total_state;
    Ref peak = bind::py_float(0.0);
    Ref violations = check(PyList_New(0));

    for (CoreTally& tally : budgets.tallies()) {
        const Amount routing(bind::i128{incoming.of(tally.key.get())} * routing_bytes_per_edge);
        const Amount total = bind::add(bind::add(tally.weight, tally.state), routing);
        Ref sram = bind::attr(hw_spec, BIND_NAME("sram_bytes_per_core"));
        Ref utilization = bind::true_divide(total, divisor_of(sram.get()));
        total_weight = bind::add(total_weight, tally.weight, true);
        total_state = bind::add(total_state, tally.state, true);
        if (above(utilization.get(), peak.get())) peak = utilization;
        // Violations compare bytes with bytes, not the rounded utilisation.
        Ref sram_again = bind::attr(hw_spec, BIND_NAME("sram_bytes_per_core"));
        if (bind::greater(total, Amount::of(sram_again.get())))
            check(PyList_Append(violations.get(), tally.key.get()));

        PyObject* budget = tally.budget.get();
        set(budget, BIND_NAME("neuron_count"), bind::py_int(tally.neurons).get());
        set(budget, BIND_NAME("weight_bytes"), tally.weight.object().get());
        set(budget, BIND_NAME("state_bytes"), tally.state.object().get());
        set(budget, BIND_NAME("routing_bytes"), routing.object().get());
        set(budget, BIND_NAME("total_bytes"), total.object().get());
        set(budget, BIND_NAME("utilization"), utilization.get());
    }

    PyObject* map = result.get();
    set(map, BIND_NAME("budgets"), budgets.dict());
    set(map, BIND_NAME("total_weight_bytes"), total_weight.object().get());
    set(map, BIND_NAME("total_state_bytes"), total_state.object().get());
    set(map, BIND_NAME("peak_core_utilization"), peak.get());
    set(map, BIND_NAME("fits_hardware"), PyList_GET_SIZE(violations.get()) == 0 ? Py_True : Py_False);
    set(map, BIND_NAME("violations"), violations.get());
    return result;
}

}  // namespace

Ref allocate(PyObject* module, PyObject* graph, PyObject* hw_spec) {
    bind::BoundaryTest boundary(module);
    NodeBytes bytes(module, &precision_to_bytes_def);
    Budgets budgets(module);
    // Pass 1: each counted node's core (its core_id; 0 when missing, None, 0 or any falsy
    // value), then its weight and state bytes added to that core's tally.
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    Ref items = check(PyObject_CallMethodNoArgs(nodes.get(), BIND_NAME("items")));
    bind::for_each_pair(items.get(), [&](PyObject*, PyObject*, PyObject* node) {
        if (boundary(node)) return;
        Ref core_id = bind::optional_attr(node, BIND_NAME("core_id"));
        Ref key = core_id && bind::truthy(core_id.get()) ? core_id : bind::py_int(0);
        CoreTally& tally = budgets.at(key.get());
        ++tally.neurons;
        bytes.add(node, tally.weight, tally.state);
    });
    const IncomingEdges incoming(graph);
    return summarise(module, budgets, incoming, hw_spec);
}

}  // namespace zerav::resource
