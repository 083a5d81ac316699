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
        int32_t lo_class, hi_class;  // the smaller value's class first
        const auto sv = bind::exact_small_int(s.get()), dv = bind::exact_small_int(d.get());
        if (sv && dv) {
            if (*sv == *dv) return;
            const bool swap = *dv < *sv;
            lo = swap ? d.get() : s.get();
            hi = swap ? s.get() : d.get();
            lo_class = out.classes.class_of_int(swap ? *dv : *sv, lo);
            hi_class = out.classes.class_of_int(swap ? *sv : *dv, hi);
        } else {
            if (!bind::compare_expression(s.get(), d.get(), Py_NE)) return;
            // min(s, d) and max(s, d): the first argument unless the second compares below / above.
            lo = bind::compare(d.get(), s.get(), Py_LT) ? d.get() : s.get();
            hi = bind::compare(d.get(), s.get(), Py_GT) ? d.get() : s.get();
            lo_class = out.classes.class_of(lo);
            hi_class = out.classes.class_of(hi);
        }
        if (out.pairs.count(lo_class, hi_class)) out.keys.push_back({key_value(lo), key_value(hi)});
    });
    return out;
}

}  // namespace zerav::placement
