#include "bind/core_id_writes.hpp"

#include "bind/host.hpp"
#include "bind/pending_error.hpp"

#include <unordered_set>

namespace bind {

namespace {

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

void CoreIdWrites::plan(Ref node, Ref core) {
    if (Ref old = optional_attr(node.get(), BIND_NAME("core_id"))) {
        const bool from_class = came_from_class(node.get(), old.get());
        writes_.push_back(Write{std::move(node), std::move(old), std::move(core), from_class});
    }
}

void CoreIdWrites::commit(PyObject* graph, PyObject* metadata) {
    for (size_t written = 0; written < writes_.size(); ++written) {
        const Write& w = writes_[written];
        if (PyObject_SetAttr(w.node.get(), BIND_NAME("core_id"), w.new_value.get()) < 0) {
            undo(written);
            raise();
        }
    }
    if (PyObject_SetAttr(graph, BIND_NAME("partition_metadata"), metadata) < 0) {
        undo(writes_.size());
        raise();
    }
}

// A node reached under several names is planned once per name. Its first plan holds the value
// it had before any write, so that one alone is undone (last) and counted. Which plans come
// first is worked out only here, on the rare failure, to keep the writes themselves cheap.
std::vector<uint8_t> CoreIdWrites::first_plans(size_t written) const noexcept {
    try {
        std::vector<uint8_t> first(written);
        std::unordered_set<PyObject*> seen(written);
        for (size_t j = 0; j < written; ++j) first[j] = seen.insert(writes_[j].node.get()).second;
        return first;
    } catch (const std::bad_alloc&) {
        return {};  // no memory to tell: every plan is undone, in reverse
    }
}

void CoreIdWrites::undo(size_t written) noexcept {
    PendingError failure;
    const std::vector<uint8_t> first = first_plans(written);
    size_t unrestored = 0;
    for (size_t j = written; j-- > 0;) {
        if (!first.empty() && !first[j]) continue;
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
    if (unrestored) {
        Ref note =
            Ref::steal(PyUnicode_FromFormat("core_id could not be restored on %zu node(s)", unrestored));
        failure.add_note(note.get());
    }
}

}  // namespace bind
