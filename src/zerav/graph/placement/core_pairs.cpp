#include "zerav/graph/placement/core_pairs.hpp"

#include "bind/pairs.hpp"

namespace zerav::placement {

using bind::Ref;

namespace {

KeyValue key_value(PyObject* value) {
    if (auto v = bind::exact_small_int(value)) return KeyValue{*v, Ref()};
    return KeyValue{0, Ref::borrow(value)};
}

}  // namespace

CorePairs read_core_pairs(PyObject* graph, PyObject* assignments) {
    CorePairs out;
    Ref zero = bind::py_int(0);
    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    bind::for_each_pair(edges.get(), [&](PyObject*, PyObject* src, PyObject* dst) {
        Ref s = bind::get_or(assignments, src, zero.get());
        Ref d = bind::get_or(assignments, dst, zero.get());
        PyObject *lo, *hi;
        const auto sv = bind::exact_small_int(s.get()), dv = bind::exact_small_int(d.get());
        if (sv && dv) {
            if (*sv == *dv) return;
            lo = *dv < *sv ? d.get() : s.get();
            hi = *dv < *sv ? s.get() : d.get();
        } else {
            if (!bind::compare_expression(s.get(), d.get(), Py_NE)) return;
            // min(s, d) and max(s, d): the first argument unless the second compares below / above.
            lo = bind::compare(d.get(), s.get(), Py_LT) ? d.get() : s.get();
            hi = bind::compare(d.get(), s.get(), Py_GT) ? d.get() : s.get();
        }
        const int32_t lo_class = out.classes.class_of(lo);  // the smaller value's class first
        if (out.pairs.count(lo_class, out.classes.class_of(hi)))
            out.keys.push_back({key_value(lo), key_value(hi)});
    });
    return out;
}

}  // namespace zerav::placement
