// The placement module's functions, shared between its source files.
#pragma once

#include "zerav/graph/placement/core_pairs.hpp"
#include "zerav/graph/placement/expansion.hpp"

#include "bind/function.hpp"

namespace zerav::placement {

using bind::check;
using bind::Ref;

extern const bind::FunctionDef place_def;

// place(graph, hw_spec)
bind::Ref place(PyObject* module, PyObject* graph, PyObject* hw_spec);

// {i: (i, 0) for i in range(num_cores)}
bind::Ref column_layout(PyObject* num_cores);

// {i: (i // cols, i % cols) for i in range(rows * cols)}
bind::Ref row_major_layout(PyObject* rows, PyObject* cols);

// The seed pair's host objects: the centre cell as the host computes it, (rows // 2, cols // 2)
// (`centre_native` when both are exact ints that fit in 64 bits), and the keys of the two seed
// cores, the integer conversions of the heaviest pair's values (`b` is empty when the second
// core found no free cell).
struct Seeds {
    bool centre_native = true;
    bind::Ref row, col;
    bind::Ref a, b;
};

struct Costs {
    bind::Ref total_hops;
    bind::Ref improvement;
};

// The weighted hop total of the placement, that of the row-major identity layout (core c at
// (c // cols, c % cols)) and the improvement of the one over the other.
Costs placement_costs(const CorePairs& cp, const std::vector<ClassKey>& keys, const Placement& placement,
                      const Seeds& seeds, PyObject* cols);

}  // namespace zerav::placement
