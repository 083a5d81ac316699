// _check_feedback_delay: measure every listed feedback edge on the mesh (row-major home
// positions of the logical cores) and report those that span more hops than allowed. The
// plain-Python model of the same steps is `feedback_violations` in tests/partition/reference.py.
// The mapping module links the same code as its public check_feedback_delay.
#include "zerav/graph/partition/feedback_check.hpp"

#include "zerav/graph/partition/core_positions.hpp"

#include "bind/host.hpp"
#include "bind/pairs.hpp"

namespace zerav::partition {

namespace {

// `a == b` or `a != b` as the expression: one core-id object on both ends is still compared.
bool same_core(PyObject* a, PyObject* b, int op) {
    auto x = bind::exact_small_int(a), y = bind::exact_small_int(b);
    if (x && y) return op == Py_EQ ? *x == *y : *x != *y;
    return bind::compare_expression(a, b, op);
}

void append_violation(PyObject* list, PyObject* src, PyObject* dst, PyObject* hops, PyObject* limit) {
    Ref t = bind::tuple_of({src, dst, hops, limit});
    check(PyList_Append(list, t.get()));
}

}  // namespace

Ref check_feedback_delay(PyObject*, PyObject* const* args) {
    PyObject* feedback_edges = args[0];
    PyObject* assignments = args[1];
    PyObject* hw_spec = args[2];
    bind::require_exact(feedback_edges, &PyList_Type, "feedback_edges");
    bind::require_exact(assignments, &PyDict_Type, "assignments");

    Ref limit = bind::attr(hw_spec, BIND_NAME("max_feedback_delay"));
    const std::optional<int64_t> small_limit = bind::exact_small_int(limit.get());
    Ref violations = check(PyList_New(0));
    Ref topology = bind::attr(hw_spec, BIND_NAME("core_mesh_topology"));

    if (topology.get() != Py_None) {
        Ref shape[2];
        bind::unpack(topology.get(), 2, shape);
        Ref num_cores = bind::attr(hw_spec, BIND_NAME("num_cores"));
        CorePositions positions(num_cores.get(), shape[1].get());
        bind::for_each_pair(feedback_edges, [&](PyObject*, PyObject* src, PyObject* dst) {
            Ref src_core = bind::subscript(assignments, src);
            Ref dst_core = bind::subscript(assignments, dst);
            if (same_core(src_core.get(), dst_core.get(), Py_EQ)) return;
            const CorePositions::Position a = positions.get(src_core.get());
            const CorePositions::Position b = positions.get(dst_core.get());
            Ref hops = manhattan(a, b);
            const auto h = bind::exact_small_int(hops.get());
            const bool over =
                h && small_limit ? *h > *small_limit : bind::compare(hops.get(), limit.get(), Py_GT);
            if (over) append_violation(violations.get(), src, dst, hops.get(), limit.get());
        });
    } else {
        Ref one = bind::py_int(1);
        bind::for_each_pair(feedback_edges, [&](PyObject*, PyObject* src, PyObject* dst) {
            Ref src_core = bind::subscript(assignments, src);
            Ref dst_core = bind::subscript(assignments, dst);
            if (!same_core(src_core.get(), dst_core.get(), Py_NE)) return;
            const bool below = small_limit ? *small_limit < 1 : bind::compare(limit.get(), one.get(), Py_LT);
            if (below) append_violation(violations.get(), src, dst, one.get(), limit.get());
        });
    }
    return violations;
}

}  // namespace zerav::partition
