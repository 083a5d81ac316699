// The weight and state bytes of one node, as pass 1 of allocate counts them.
//
// Every attribute is read once, with the optional lookup (a missing attribute raises nothing),
// in the order the accounting rules name them; errors other than a missing attribute pass
// through unchanged.
#include "zerav/graph/resource/node_bytes.hpp"

#include "bind/host.hpp"
#include "bind/module.hpp"

namespace zerav::resource {

constexpr int64_t state_element_bytes = 4;

void NodeBytes::add(PyObject* node, Amount& weight, Amount& state) {
    Ref precision = bind::optional_attr(node, BIND_NAME("precision"));
    if (!precision || !bind::truthy(precision.get())) precision = Ref::borrow(BIND_NAME("fp32"));
    const Amount element = element_bytes(precision.get());

    if (Ref fields = bind::optional_attr(node, BIND_NAME("__dataclass_fields__")))
        add_record_fields(weight, state, node, fields.get(), element);
    else
        add_plain_arrays(weight, state, node, element);
}

// `_precision_to_bytes(precision)`, looked up in the module namespace for every node.
Amount NodeBytes::element_bytes(PyObject* precision) {
    Ref fn = bind::module_global(module_, BIND_NAME("_precision_to_bytes"));
    if (native_precision_ && bind::is_function_for(fn.get(), *native_precision_)) {
        bind::require_exact(precision, &PyUnicode_Type, "precision");
        return Amount(bytes_per_element(precision));
    }
    PyObject* args[1] = {precision};
    return Amount::of(check(PyObject_Vectorcall(fn.get(), args, 1, nullptr)));
}

// isinstance(value, np.ndarray): subclasses count.
bool NodeBytes::is_array(PyObject* value) {
    if (!ndarray_) {
        Ref np = bind::module_global(module_, BIND_NAME("np"));
        ndarray_ = bind::attr(np.get(), BIND_NAME("ndarray"));
    }
    if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(ndarray_.get()))) return true;
    return check(PyObject_IsInstance(value, ndarray_.get())) != 0;
}

Amount NodeBytes::array_size(PyObject* array) { return Amount::of(bind::attr(array, BIND_NAME("size"))); }

// A data record: every array-valued field counts, state fields at 4 bytes per element and
// all others at the node's precision.
void NodeBytes::add_record_fields(Amount& weight, Amount& state, PyObject* node, PyObject* fields,
                                  const Amount& element) {
    const Amount state_bytes(state_element_bytes);
    Ref it = check(PyObject_GetIter(fields));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref name = Ref::steal(raw);
        Ref value = bind::optional_attr(node, name.get());
        if (!value || !is_array(value.get())) continue;
        Ref state_attrs = bind::module_global(module_, BIND_NAME("_STATE_ATTRS"));
        if (check(PySequence_Contains(state_attrs.get(), name.get())))
            state = bind::add(state, bind::multiply(array_size(value.get()), state_bytes), true);
        else
            weight = bind::add(weight, bind::multiply(array_size(value.get()), element), true);
    }
    if (PyErr_Occurred()) bind::raise();
}

// Any other node: the six parameter names at the node's precision, then the state names.
void NodeBytes::add_plain_arrays(Amount& weight, Amount& state, PyObject* node, const Amount& element) {
    // Parameters of nodes that are not data records, in the order they are read.
    static PyObject* const weight_attrs[] = {BIND_NAME("weight"),       BIND_NAME("bias"),
                                             BIND_NAME("running_mean"), BIND_NAME("running_var"),
                                             BIND_NAME("gamma"),        BIND_NAME("beta")};
    auto add_if_array = [&](Amount& total, PyObject* name, const Amount& bytes) {
        Ref value = bind::optional_attr(node, name);
        if (value && is_array(value.get()))
            total = bind::add(total, bind::multiply(array_size(value.get()), bytes), true);
    };
    for (PyObject* name : weight_attrs) add_if_array(weight, name, element);
    Ref state_attrs = bind::module_global(module_, BIND_NAME("_STATE_ATTRS"));
    Ref it = check(PyObject_GetIter(state_attrs.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref name = Ref::steal(raw);
        add_if_array(state, name.get(), Amount(state_element_bytes));
    }
    if (PyErr_Occurred()) bind::raise();
}

}  // namespace zerav::resource
