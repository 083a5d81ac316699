// The distance the mapping minimises: hops between two cells of the mesh under
// dimension-order routing (rows apart plus columns apart). Every phase, the core annealing and
// the reported metrics measure with these functions (the bisection between the centres of
// blocks of cells).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace zerav::mapping {

inline int64_t mesh_hops(int64_t row_a, int64_t col_a, int64_t row_b, int64_t col_b) {
    return std::llabs(row_a - row_b) + std::llabs(col_a - col_b);
}

// Between two points of the mesh's plane, such as the centres of two blocks of cells.
inline double plane_hops(double row_a, double col_a, double row_b, double col_b) {
    return std::fabs(row_a - row_b) + std::fabs(col_a - col_b);
}

// Between two cells numbered row * cols + col.
inline int64_t mesh_hops_of_ids(int64_t a, int64_t b, int64_t cols) {
    return mesh_hops(a / cols, a % cols, b / cols, b % cols);
}

}  // namespace zerav::mapping
