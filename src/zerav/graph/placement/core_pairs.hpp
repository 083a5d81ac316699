// Reading the communication of one placement from the host (`comm_weight` in `place_model`):
// for each edge of `graph.edges`, the cores of its endpoints in the assignments, and for each
// pair of different cores the pair (smaller, larger) with the number of edges joining them, in
// first-appearance order. Core values are classes of host-equal values (core_classes.hpp).
#pragma once

#include "zerav/graph/placement/core_classes.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace zerav::placement {

// A pair key element as the host's pair dict holds it: the value of the edge that created the
// pair (an exact 64-bit int natively, anything else as the host object).
struct KeyValue {
    int64_t value = 0;
    bind::Ref object;  // set when the value is not an exact int that fits in 64 bits

    bind::Ref host() const { return object ? object : bind::py_int(value); }
};

struct CorePairs {
    CoreClasses classes;
    Pairs pairs;
    std::vector<std::array<KeyValue, 2>> keys;  // per pair: (smaller, larger) values
};

// Reads `graph.edges` once; `assignments.get(name, 0)` gives the core of each endpoint.
CorePairs read_core_pairs(PyObject* graph, PyObject* assignments);

}  // namespace zerav::placement
