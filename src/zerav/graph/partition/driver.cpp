// partition(): validate, run the chosen partitioner, enforce the feedback-delay limit, write
// the core ids back (all or nothing) and store the partition metadata on the graph.
#include "zerav/graph/partition/partition.hpp"

#include "bind/core_id_writes.hpp"
#include "bind/host.hpp"
#include "bind/module.hpp"

namespace zerav::partition {

namespace {

Ref run_partitioner(PyObject* module, PyObject* graph, PyObject* hw_spec, PyObject* algorithm) {
    if (PyUnicode_EqualToUTF8(algorithm, "edgemap"))
        return call_partitioner(module, "partition_edgemap", edgemap_def, graph, hw_spec);
    if (PyUnicode_EqualToUTF8(algorithm, "spectral"))
        return call_partitioner(module, "partition_spectral", spectral_def, graph, hw_spec);
    if (PyUnicode_EqualToUTF8(algorithm, "greedy"))
        return call_partitioner(module, "partition_greedy", greedy_def, graph, hw_spec);
    PyErr_Format(PyExc_ValueError, "Unknown algorithm: %U. Use 'edgemap', 'spectral', or 'greedy'.",
                 algorithm);
    bind::raise();
}

// One line per violation: "  src (core A) -> dst (core B): H hops > max_feedback_delay=L".
Ref violation_message(PyObject* result, PyObject* violations) {
    Ref lines = check(PyList_New(0));
    Ref it = check(PyObject_GetIter(violations));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref v = Ref::steal(raw);
        Ref f[4];
        bind::unpack(v.get(), 4, f);
        // result.assignments[name], the attribute read afresh for each look-up.
        auto core_text = [&](PyObject* name) {
            return bind::text(
                bind::subscript(bind::attr(result, BIND_NAME("assignments")).get(), name).get());
        };
        Ref src = bind::text(f[0].get());
        Ref src_core_text = core_text(f[0].get());
        Ref dst = bind::text(f[1].get());
        Ref dst_core_text = core_text(f[1].get());
        Ref hops = bind::text(f[2].get());
        Ref limit = bind::text(f[3].get());
        Ref line = check(PyUnicode_FromFormat(
            "  %U (core %U) -> %U (core %U): %U hops > max_feedback_delay=%U", src.get(), src_core_text.get(),
            dst.get(), dst_core_text.get(), hops.get(), limit.get()));
        check(PyList_Append(lines.get(), line.get()));
    }
    if (PyErr_Occurred()) bind::raise();
    const Py_ssize_t count = bind::length(violations);
    Ref newline = check(PyUnicode_FromString("\n"));
    Ref body = check(PyUnicode_Join(newline.get(), lines.get()));
    return check(
        PyUnicode_FromFormat("Feedback delay constraint violated for %zd edge(s):\n%U", count, body.get()));
}

void enforce_feedback_delay(PyObject* module, PyObject* result, PyObject* hw_spec) {
    Ref feedback = bind::attr(result, BIND_NAME("feedback_edges"));
    if (!bind::truthy(feedback.get())) return;
    Ref limit = bind::attr(hw_spec, BIND_NAME("max_feedback_delay"));
    Ref zero = bind::py_int(0);
    Ref enabled = check(PyObject_RichCompare(limit.get(), zero.get(), Py_GE));
    if (!bind::truthy(enabled.get())) return;

    Ref checker = bind::module_global(module, "_check_feedback_delay");
    Ref edges = bind::attr(result, BIND_NAME("feedback_edges"));
    Ref assignments = bind::attr(result, BIND_NAME("assignments"));
    PyObject* args[3] = {edges.get(), assignments.get(), hw_spec};
    Ref violations = bind::is_function_for(checker.get(), check_feedback_delay_def)
                         ? check_feedback_delay(module, args)
                         : check(PyObject_Vectorcall(checker.get(), args, 3, nullptr));
    if (!bind::truthy(violations.get())) return;
    Ref message = violation_message(result, violations.get());
    PyErr_SetObject(PyExc_ValueError, message.get());
    bind::raise();
}

// The metadata dict, every value read from the result before anything is written.
Ref metadata_of(PyObject* result, PyObject* algorithm) {
    Ref meta = check(PyDict_New());
    for (const char* key : {"assignments", "num_cores_used", "cross_core_edges", "feedback_edges"}) {
        Ref value = check(PyObject_GetAttrString(result, key));
        check(PyDict_SetItemString(meta.get(), key, value.get()));
    }
    check(PyDict_SetItemString(meta.get(), "algorithm", algorithm));
    Ref metrics = bind::attr(result, BIND_NAME("metrics"));
    check(PyDict_SetItemString(meta.get(), "metrics", metrics.get()));
    return meta;
}

// The `core_id` writes of the result's assignments: reads `result.assignments` and, unless it
// is empty, `graph.nodes[name]` and the presence of `core_id` for each of its names; writes nothing.
bind::CoreIdWrites plan_core_id_writes(PyObject* graph, PyObject* result) {
    bind::CoreIdWrites writes;
    Ref assignments = bind::attr(result, BIND_NAME("assignments"));
    const std::vector<std::pair<Ref, Ref>> pairs = items_of(assignments.get());
    if (pairs.empty()) return writes;  // nothing to look up: `graph.nodes` is not read
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    bind::SignalCheck signals;
    for (const auto& [name, core] : pairs) {
        writes.plan(bind::subscript(nodes.get(), name.get()), core);
        signals.tick();
    }
    return writes;
}

}  // namespace

Ref partition_entry_point(PyObject* module, PyObject* const* args) {
    PyObject* graph = args[0];
    PyObject* hw_spec = args[1];
    PyObject* algorithm = args[2];
    bind::require_exact(algorithm, &PyUnicode_Type, "algorithm");
    check(PyObject_CallMethodNoArgs(hw_spec, BIND_NAME("validate")));
    Ref result = run_partitioner(module, graph, hw_spec, algorithm);
    enforce_feedback_delay(module, result.get(), hw_spec);
    // All or nothing: the lookups, then the metadata, then the writes; storing the metadata is
    // the last step, and its failure undoes the writes.
    bind::CoreIdWrites writes = plan_core_id_writes(graph, result.get());
    Ref meta = metadata_of(result.get(), algorithm);
    writes.commit(graph, meta.get());
    return Ref::borrow(graph);
}

}  // namespace zerav::partition
