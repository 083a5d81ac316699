// Pass 2 of allocate: incoming cross-core edges per core, from the partition metadata.
#include "zerav/graph/resource/resource.hpp"

#include "bind/host.hpp"
#include "bind/pairs.hpp"

namespace zerav::resource {

IncomingEdges::IncomingEdges(PyObject* graph) {
    // A missing metadata attribute counts as an empty dict; the defaults of the two keys are a
    // new empty list and a new empty dict.
    Ref metadata = bind::optional_attr(graph, BIND_NAME("partition_metadata"));
    if (!metadata || !bind::truthy(metadata.get())) return;
    Ref cross = bind::get_or(metadata.get(), BIND_NAME("cross_core_edges"), check(PyList_New(0)).get());
    Ref assignments = bind::get_or(metadata.get(), BIND_NAME("assignments"), check(PyDict_New()).get());
    bind::for_each_pair(cross.get(), [&](PyObject*, PyObject*, PyObject* dst) {
        Ref core = bind::get_or(assignments.get(), dst, nullptr);  // .get(dst), None when absent
        if (core.get() != Py_None) count(core.get());
    });
}

void IncomingEdges::count(PyObject* core_id) {
    const auto id = static_cast<size_t>(cores_.id_of(core_id));
    if (id == counts_.size()) counts_.push_back(0);
    ++counts_[id];
}

int64_t IncomingEdges::of(PyObject* core_id) const {
    const int32_t id = cores_.find(core_id);
    return id < 0 ? 0 : counts_[static_cast<size_t>(id)];
}

}  // namespace zerav::resource
