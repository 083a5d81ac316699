#include "zerav/graph/partition/edge_lists.hpp"

#include "bind/pairs.hpp"

#include <algorithm>

namespace zerav::partition {

using bind::check;
using bind::Ref;

EdgeLists cut_edges(PyObject* graph, const WorkingGraph& wg, std::span<const int64_t> core_of,
                    std::span<const int32_t> scc_of) {
    EdgeLists out{check(PyList_New(0)), check(PyList_New(0))};
    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    wg.for_each_edge(edges.get(), [&](PyObject* item, PyObject* src, PyObject* dst, int32_t s, int32_t d) {
        if (s < 0 || d < 0 || core_of[s] < 0 || core_of[d] < 0 || core_of[s] == core_of[d]) return;
        // An exact 2-tuple already is the (src, dst) pair, holding the very endpoints.
        Ref pair = PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2 ? Ref::borrow(item)
                                                                           : bind::tuple_of({src, dst});
        check(PyList_Append(out.cross.get(), pair.get()));
        if (!scc_of.empty() && scc_of[s] >= 0 && scc_of[s] == scc_of[d])
            check(PyList_Append(out.feedback.get(), pair.get()));
    });
    return out;
}

Ref cut_ratio(PyObject* graph, const EdgeLists& lists) {
    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    const auto total = static_cast<double>(std::max<Py_ssize_t>(bind::length(edges.get()), 1));
    return bind::py_float(static_cast<double>(lists.cross_count()) / total);
}

}  // namespace zerav::partition
