// partition(): validate, run the chosen partitioner, enforce the feedback-delay limit, write
// the core ids back (all or nothing) and store the partition metadata on the graph.
#include "zerav/graph/partition/partition.hpp"

#include "bind/host.hpp"
#include "bind/module.hpp"

#include <utility>
#include <vector>

namespace zerav::partition {

using bind::check;
using bind::Ref;

Ref check_feedback_delay(PyObject* module, PyObject* const* args);

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
        Ref src = bind::text(f[0].get());
        Ref src_core = bind::subscript(bind::attr(result, BIND_NAME("assignments")).get(), f[0].get());
        Ref src_core_text = bind::text(src_core.get());
        Ref dst = bind::text(f[1].get());
        Ref dst_core = bind::subscript(bind::attr(result, BIND_NAME("assignments")).get(), f[1].get());
        Ref dst_core_text = bind::text(dst_core.get());
        Ref hops = bind::text(f[2].get());
        Ref limit = bind::text(f[3].get());
        Ref line = check(PyUnicode_FromFormat(
            "  %U (core %U) -> %U (core %U): %U hops > max_feedback_delay=%U", src.get(), src_core_text.get(),
            dst.get(), dst_core_text.get(), hops.get(), limit.get()));
        check(PyList_Append(lines.get(), line.get()));
    }
    if (PyErr_Occurred()) bind::raise();
    Ref count = bind::py_int(bind::length(violations));
    Ref newline = check(PyUnicode_FromString("\n"));
    Ref body = check(PyUnicode_Join(newline.get(), lines.get()));
    Ref count_text = bind::text(count.get());
    return check(PyUnicode_FromFormat("Feedback delay constraint violated for %U edge(s):\n%U",
                                      count_text.get(), body.get()));
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
    Ref it = check(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        Ref kv[2];
        bind::unpack(item.get(), 2, kv);
        pairs.emplace_back(kv[0], kv[1]);
    }
    if (PyErr_Occurred()) bind::raise();
    return pairs;
}

// Writes every assigned core into the nodes that carry a `core_id`: all lookups and presence
// tests first, then the writes; a failed write restores the values already overwritten.
void write_core_ids(PyObject* graph, PyObject* result) {
    Ref assignments = bind::attr(result, BIND_NAME("assignments"));
    const std::vector<std::pair<Ref, Ref>> pairs = assignment_pairs(assignments.get());
    if (pairs.empty()) return;  // nothing to look up: `graph.nodes` is not read
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    struct Write {
        Ref node, old_value, new_value;
    };
    std::vector<Write> writes;
    writes.reserve(pairs.size());
    bind::SignalCheck signals;
    for (const auto& [name, core] : pairs) {
        Ref node = bind::subscript(nodes.get(), name.get());
        if (auto old = bind::optional_attr(node.get(), BIND_NAME("core_id")))
            writes.push_back(Write{node, *old, core});
        signals.tick();
    }
    for (size_t i = 0; i < writes.size(); ++i) {
        if (PyObject_SetAttr(writes[i].node.get(), BIND_NAME("core_id"), writes[i].new_value.get()) == 0)
            continue;
        PyObject* failure = PyErr_GetRaisedException();
        size_t unrestored = 0;
        for (size_t j = i; j-- > 0;) {
            if (PyObject_SetAttr(writes[j].node.get(), BIND_NAME("core_id"), writes[j].old_value.get()) < 0) {
                PyErr_Clear();
                ++unrestored;
            }
        }
        if (unrestored) {
            Ref note =
                Ref::steal(PyUnicode_FromFormat("core_id could not be restored on %zu node(s)", unrestored));
            if (note) Ref::steal(PyObject_CallMethod(failure, "add_note", "O", note.get()));
            PyErr_Clear();
        }
        PyErr_SetRaisedException(failure);
        bind::raise();
    }
}

void store_metadata(PyObject* graph, PyObject* result, PyObject* algorithm) {
    Ref meta = check(PyDict_New());
    for (const char* key : {"assignments", "num_cores_used", "cross_core_edges", "feedback_edges"}) {
        Ref value = check(PyObject_GetAttrString(result, key));
        check(PyDict_SetItemString(meta.get(), key, value.get()));
    }
    check(PyDict_SetItemString(meta.get(), "algorithm", algorithm));
    Ref metrics = bind::attr(result, BIND_NAME("metrics"));
    check(PyDict_SetItemString(meta.get(), "metrics", metrics.get()));
    check(PyObject_SetAttr(graph, BIND_NAME("partition_metadata"), meta.get()));
}

Ref partition_entry(PyObject* module, PyObject* const* args) {
    PyObject* graph = args[0];
    PyObject* hw_spec = args[1];
    PyObject* algorithm = args[2];
    bind::require_exact(algorithm, &PyUnicode_Type, "algorithm");
    check(PyObject_CallMethodNoArgs(hw_spec, BIND_NAME("validate")));
    Ref result = run_partitioner(module, graph, hw_spec, algorithm);
    enforce_feedback_delay(module, result.get(), hw_spec);
    write_core_ids(graph, result.get());
    store_metadata(graph, result.get(), algorithm);
    return Ref::borrow(graph);
}

}  // namespace

Ref partition_entry_point(PyObject* module, PyObject* const* args) { return partition_entry(module, args); }

}  // namespace zerav::partition
