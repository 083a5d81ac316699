#include "zerav/graph/placement/core_pairs.hpp"

#include "bind/host.hpp"
#include "bind/pairs.hpp"

namespace zerav::placement {

using bind::check;
using bind::Ref;

namespace {

KeyValue key_value(PyObject* value) {
    if (auto v = bind::exact_small_int(value)) return KeyValue{*v, Ref()};
    return KeyValue{0, Ref::borrow(value)};
}

}  // namespace

CorePairs read_core_pairs(PyObject* graph, PyObject* assignments) {
    CorePairs out;
    IdMap pair_ids;
    Ref zero = bind::py_int(0);
    auto core_of = [&](PyObject* name) { return bind::get_or(assignments, name, zero.get()); };

    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    bind::for_each_pair(edges.get(), [&](PyObject*, PyObject* src, PyObject* dst) {
        Ref s = core_of(src);
        Ref d = core_of(dst);
        int32_t lo_id, hi_id;
        KeyValue lo_key, hi_key;
        const auto sv = bind::exact_small_int(s.get()), dv = bind::exact_small_int(d.get());
        if (sv && dv) {
            if (*sv == *dv) return;
            const bool swap = *dv < *sv;
            const int64_t lo = swap ? *dv : *sv, hi = swap ? *sv : *dv;
            lo_id = out.classes.class_of_int(lo, swap ? d.get() : s.get());
            hi_id = out.classes.class_of_int(hi, swap ? s.get() : d.get());
            lo_key.value = lo;
            hi_key.value = hi;
        } else {
            Ref differ = check(PyObject_RichCompare(s.get(), d.get(), Py_NE));
            if (!bind::truthy(differ.get())) return;
            // min(s, d) and max(s, d): the first argument unless the second compares below / above.
            PyObject* lo = bind::compare(d.get(), s.get(), Py_LT) ? d.get() : s.get();
            PyObject* hi = bind::compare(d.get(), s.get(), Py_GT) ? d.get() : s.get();
            lo_id = out.classes.class_of(lo);
            hi_id = out.classes.class_of(hi);
            lo_key = key_value(lo);
            hi_key = key_value(hi);
        }
        const uint64_t key =
            (static_cast<uint64_t>(static_cast<uint32_t>(lo_id)) << 32) | static_cast<uint32_t>(hi_id);
        const auto next = static_cast<int32_t>(out.pairs.size());
        const int32_t p = pair_ids.find_or_insert(key, next);
        if (p != next) {
            ++out.pairs.weight[p];
            return;
        }
        out.pairs.lo.push_back(lo_id);
        out.pairs.hi.push_back(hi_id);
        out.pairs.weight.push_back(1);
        out.keys.push_back({std::move(lo_key), std::move(hi_key)});
    });
    return out;
}

}  // namespace zerav::placement
