// The distance the mapping minimises: hops between two cells of the mesh under
// dimension-order routing (rows apart plus columns apart). Every phase, the core annealing and
// the reported metrics measure with these two functions.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace zerav::mapping {

inline int64_t mesh_hops(int64_t row_a, int64_t col_a, int64_t row_b, int64_t col_b) {
    return std::llabs(row_a - row_b) + std::llabs(col_a - col_b);
}

// Between two cells numbered row * cols + col.
inline int64_t mesh_hops_of_ids(int64_t a, int64_t b, int64_t cols) {
    return mesh_hops(a / cols, a % cols, b / cols, b % cols);
}

}  // namespace zerav::mapping
