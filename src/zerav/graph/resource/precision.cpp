// _precision_to_bytes: bytes per array element for a precision name.
#include "zerav/graph/resource/resource.hpp"

#include "bind/host.hpp"

#include <string_view>

namespace zerav::resource {

namespace {

struct ElementSize {
    std::string_view name;
    int64_t bytes;
};

// "int4" takes a whole byte per element: arrays are not packed.
constexpr ElementSize element_sizes[] = {
    {"fp32", 4}, {"fp16", 2}, {"int32", 4}, {"int16", 2}, {"int8", 1}, {"int4", 1},
};

constexpr int64_t unknown_precision_bytes = 4;

}  // namespace

int64_t bytes_per_element(PyObject* precision) {
    for (const ElementSize& e : element_sizes)
        if (PyUnicode_EqualToUTF8AndSize(precision, e.name.data(), static_cast<Py_ssize_t>(e.name.size())))
            return e.bytes;
    return unknown_precision_bytes;
}

Ref precision_to_bytes(PyObject*, PyObject* const* args) {
    bind::require_exact(args[0], &PyUnicode_Type, "precision");
    return bind::py_int(bytes_per_element(args[0]));
}

}  // namespace zerav::resource
