// The per-core capacity test of the three partitioners.
#include "zerav/graph/partition/partition.hpp"

#include "bind/host.hpp"

namespace zerav::partition {

bool compare_with_core_limit(PyObject* hw_spec, int64_t count, int op) {
    bind::Ref limit = bind::attr(hw_spec, BIND_NAME("max_neurons_per_core"));
    if (auto l = bind::exact_small_int(limit.get())) {
        switch (op) {
            case Py_GE:
                return count >= *l;
            case Py_LE:
                return count <= *l;
            default:
                break;
        }
    }
    bind::Ref c = bind::py_int(count);
    return bind::compare(c.get(), limit.get(), op);
}

}  // namespace zerav::partition
