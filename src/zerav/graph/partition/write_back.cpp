#include "zerav/graph/partition/write_back.hpp"

#include "bind/host.hpp"
#include "bind/pairs.hpp"
#include "bind/pending_error.hpp"

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

// Whether the value `found` that reading `node.core_id` gave came from the node's class
// while the node has an attribute dict of its own: a generic write then adds an entry to that
// dict, and a restore must remove it rather than store the old value there. Only a value that
// the class itself holds under that name (or an object whose attribute reads are not generic)
// needs the node's dict consulted; slots, properties and own entries are restored by a write.
bool came_from_class(PyObject* node, PyObject* found) {
    PyTypeObject* type = Py_TYPE(node);
    const bool has_dict = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0;
    if (!has_dict) return false;
    if (type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, BIND_NAME("core_id")) != found)
        return false;
    Ref dict = check(PyObject_GenericGetDict(node, nullptr));
    return PyDict_Check(dict.get()) && check(PyDict_Contains(dict.get(), BIND_NAME("core_id"))) == 0;
}

}  // namespace

CoreIdWrites::CoreIdWrites(PyObject* graph, PyObject* result) {
    Ref assignments = bind::attr(result, BIND_NAME("assignments"));
    const std::vector<std::pair<Ref, Ref>> pairs = assignment_pairs(assignments.get());
    if (pairs.empty()) return;  // nothing to look up: `graph.nodes` is not read
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    writes_.reserve(pairs.size());
    bind::SignalCheck signals;
    for (const auto& [name, core] : pairs) {
        Ref node = bind::subscript(nodes.get(), name.get());
        if (Ref old = bind::optional_attr(node.get(), BIND_NAME("core_id"))) {
            const bool from_class = came_from_class(node.get(), old.get());
            writes_.push_back(Write{node, old, core, from_class});
        }
        signals.tick();
    }
}

void CoreIdWrites::apply() {
    for (; written_ < writes_.size(); ++written_) {
        const Write& w = writes_[written_];
        if (PyObject_SetAttr(w.node.get(), BIND_NAME("core_id"), w.new_value.get()) < 0) {
            undo();
            bind::raise();
        }
    }
}

void CoreIdWrites::undo() noexcept {
    bind::PendingError failure;
    const size_t unrestored = restore(written_);
    written_ = 0;
    if (unrestored) {
        Ref note =
            Ref::steal(PyUnicode_FromFormat("core_id could not be restored on %zu node(s)", unrestored));
        failure.add_note(note.get());
    }
}

size_t CoreIdWrites::restore(size_t count) noexcept {
    size_t unrestored = 0;
    for (size_t j = count; j-- > 0;) {
        const Write& w = writes_[j];
        // A value that came from the class is restored by removing the entry the write added.
        const int status = w.from_class
                               ? PyObject_DelAttr(w.node.get(), BIND_NAME("core_id"))
                               : PyObject_SetAttr(w.node.get(), BIND_NAME("core_id"), w.old_value.get());
        if (status < 0) {
            PyErr_Clear();  // the error set aside is the one reported
            ++unrestored;
        }
    }
    return unrestored;
}

}  // namespace zerav::partition
