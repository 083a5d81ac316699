// What the partitioners and the driver share: calling a partitioner through the module
// namespace, the per-core capacity test, the items of an assignment, the result record and its
// metrics.
#include "zerav/graph/partition/edge_lists.hpp"
#include "zerav/graph/partition/partition.hpp"

#include "bind/host.hpp"
#include "bind/module.hpp"
#include "bind/pairs.hpp"

namespace zerav::partition {

Ref call_partitioner(PyObject* module, const char* name, const bind::FunctionDef& def, PyObject* graph,
                     PyObject* hw_spec) {
    Ref fn = bind::module_global(module, name);
    PyObject* args[2] = {graph, hw_spec};
    if (bind::is_function_for(fn.get(), def)) return def.impl(module, args);
    return check(PyObject_Vectorcall(fn.get(), args, 2, nullptr));
}

bool compare_with_core_limit(PyObject* hw_spec, int64_t count, int op) {
    Ref limit = bind::attr(hw_spec, BIND_NAME("max_neurons_per_core"));
    if (auto l = bind::exact_small_int(limit.get())) return op == Py_GE ? count >= *l : count <= *l;
    Ref c = bind::py_int(count);
    return bind::compare(c.get(), limit.get(), op);
}

Ref make_result(PyObject* module, PyObject* assignments, int64_t num_cores_used, const EdgeLists& lists,
                PyObject* metrics) {
    Ref used = bind::py_int(num_cores_used);
    Ref cls = bind::module_global(module, "PartitionResult");
    return bind::call_kw(cls.get(), {},
                         {{BIND_NAME("assignments"), assignments},
                          {BIND_NAME("num_cores_used"), used.get()},
                          {BIND_NAME("cross_core_edges"), lists.cross.get()},
                          {BIND_NAME("feedback_edges"), lists.feedback.get()},
                          {BIND_NAME("metrics"), metrics}});
}

std::vector<std::pair<Ref, Ref>> items_of(PyObject* mapping) {
    std::vector<std::pair<Ref, Ref>> pairs;
    if (PyDict_CheckExact(mapping)) {
        pairs.reserve(static_cast<size_t>(PyDict_GET_SIZE(mapping)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value))
            pairs.emplace_back(Ref::borrow(key), Ref::borrow(value));
        return pairs;
    }
    Ref items = check(PyObject_CallMethodNoArgs(mapping, BIND_NAME("items")));
    bind::for_each_pair(items.get(), [&](PyObject*, PyObject* key, PyObject* value) {
        pairs.emplace_back(Ref::borrow(key), Ref::borrow(value));
    });
    return pairs;
}

Ref metrics_dict(std::initializer_list<std::pair<const char*, PyObject*>> entries) {
    Ref metrics = check(PyDict_New());
    for (const auto& [key, value] : entries) check(PyDict_SetItemString(metrics.get(), key, value));
    return metrics;
}

Ref numpy_array(PyObject* np, PyObject* dtype, const void* data, size_t bytes) {
    Ref buffer =
        check(PyByteArray_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
    Ref frombuffer = bind::attr(np, BIND_NAME("frombuffer"));
    return bind::call_kw(frombuffer.get(), {buffer.get()}, {{BIND_NAME("dtype"), dtype}});
}

Ref balance_stddev(PyObject* module, std::span<const int64_t> values, int64_t minlength) {
    static_assert(sizeof(int64_t) == sizeof(Py_ssize_t), "numpy's intp is 64-bit here");
    Ref np = bind::module_global(module, "np");
    Ref intp = bind::attr(np.get(), BIND_NAME("intp"));
    Ref array = numpy_array(np.get(), intp.get(), values.data(), values.size_bytes());
    Ref bincount = bind::attr(np.get(), BIND_NAME("bincount"));
    Ref min = bind::py_int(minlength);
    Ref sizes = bind::call_kw(bincount.get(), {array.get()}, {{BIND_NAME("minlength"), min.get()}});
    Ref std_fn = bind::attr(np.get(), BIND_NAME("std"));
    Ref stddev = check(PyObject_CallOneArg(std_fn.get(), sizes.get()));
    Ref mean_fn = bind::attr(np.get(), BIND_NAME("mean"));
    Ref mean = check(PyObject_CallOneArg(mean_fn.get(), sizes.get()));
    // max(mean, 1): the first argument unless the second compares greater.
    Ref one = bind::py_int(1);
    Ref divisor = bind::compare(one.get(), mean.get(), Py_GT) ? one : mean;
    return check(PyNumber_TrueDivide(stddev.get(), divisor.get()));
}

}  // namespace zerav::partition
