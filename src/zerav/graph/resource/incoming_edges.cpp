// Pass 2 of allocate: incoming cross-core edges per core, from the partition metadata.
#include "zerav/graph/resource/resource.hpp"

#include "bind/host.hpp"
#include "bind/pairs.hpp"

namespace zerav::resource {

using bind::check;

namespace {

// `mapping.get(key)` unless that is None: the value, or nothing.
Ref get_unless_none(PyObject* mapping, PyObject* key) {
    Ref value;
    if (PyDict_CheckExact(mapping)) {
        PyObject* raw = nullptr;
        check(PyDict_GetItemRef(mapping, key, &raw));
        value = Ref::steal(raw);
    } else {
        value = check(PyObject_CallMethodOneArg(mapping, BIND_NAME("get"), key));
    }
    return value.get() == Py_None ? Ref() : value;
}

// `mapping.get(key, default)` for the two metadata keys, whose defaults are a new empty list
// and a new empty dict.
Ref get_or_new(PyObject* mapping, PyObject* key, PyObject* (*make_default)()) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(mapping, key, &value))) return Ref::steal(value);
        return check(make_default());
    }
    Ref fallback = check(make_default());
    PyObject* args[3] = {mapping, key, fallback.get()};
    return check(PyObject_VectorcallMethod(BIND_NAME("get"), args, 3, nullptr));
}

PyObject* new_list() { return PyList_New(0); }
PyObject* new_dict() { return PyDict_New(); }

}  // namespace

IncomingEdges::IncomingEdges(PyObject* graph) {
    // A missing metadata attribute counts as an empty dict.
    PyObject* raw = nullptr;
    check(PyObject_GetOptionalAttr(graph, BIND_NAME("partition_metadata"), &raw));
    Ref metadata = Ref::steal(raw);
    if (!metadata || !bind::truthy(metadata.get())) return;
    Ref cross = get_or_new(metadata.get(), BIND_NAME("cross_core_edges"), new_list);
    Ref assignments = get_or_new(metadata.get(), BIND_NAME("assignments"), new_dict);
    bind::for_each_pair(cross.get(), [&](PyObject*, PyObject*, PyObject* dst) {
        Ref core = get_unless_none(assignments.get(), dst);
        if (core) count(core.get());
    });
}

void IncomingEdges::count(PyObject* core_id) {
    const int32_t position = index_.find(core_id);
    if (position >= 0) {
        ++counts_[static_cast<size_t>(position)];
        return;
    }
    index_.assign(core_id, static_cast<int32_t>(counts_.size()));
    keys_.push_back(Ref::borrow(core_id));
    counts_.push_back(1);
}

int64_t IncomingEdges::of(PyObject* core_id) const {
    const int32_t position = index_.find(core_id);
    return position < 0 ? 0 : counts_[static_cast<size_t>(position)];
}

}  // namespace zerav::resource
