// The weight and state bytes of one node, counted as allocate counts them. Shared with the
// mapping module, whose SRAM constraint must agree with allocate byte for byte.
#pragma once

#include "bind/amount.hpp"
#include "bind/function.hpp"

namespace zerav::resource {

using bind::Amount;
using bind::check;
using bind::Ref;

// Bytes per element for an exact str precision name (4 for names not in the table).
int64_t bytes_per_element(PyObject* precision);

class NodeBytes {
  public:
    // `module` is the namespace in which `_precision_to_bytes`, `np` and `_STATE_ATTRS` are
    // looked up when they are used (the resource module's own). While `_precision_to_bytes`
    // is still the function made for `native_precision`, its table is read directly.
    explicit NodeBytes(PyObject* module, const bind::FunctionDef* native_precision = nullptr)
        : module_(module), native_precision_(native_precision) {}

    // Reads the node's precision and arrays and adds their bytes to `weight` and `state`, one
    // array at a time, in the order and with the arithmetic allocate uses.
    void add(PyObject* node, Amount& weight, Amount& state);

  private:
    Amount element_bytes(PyObject* precision);
    bool is_array(PyObject* value);
    Amount array_size(PyObject* array);
    void add_record_fields(Amount& weight, Amount& state, PyObject* node, PyObject* fields,
                           const Amount& element);
    void add_plain_arrays(Amount& weight, Amount& state, PyObject* node, const Amount& element);

    PyObject* module_;
    const bind::FunctionDef* native_precision_;
    Ref ndarray_;  // numpy's ndarray, fetched on first use in the call
};

}  // namespace zerav::resource
