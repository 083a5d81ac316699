// The cores a mapping uses: a compact block of mesh cells, and the hop distance between them.
#pragma once

#include "zerav/graph/mapping/distance.hpp"
#include "zerav/graph/mapping/problem.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

class ChipCells {
  public:
    // Chooses `k` cores: on a mesh the cells of the most compact block (rows of equal width,
    // the last one possibly shorter) whose ids stay below the available count; without a mesh
    // cores 0 .. k - 1.
    ChipCells(const ChipShape& chip, int32_t k);
    // The cores of a placed mapping, part p at mesh cell id `ids[p]`: no block, so at() and
    // within() find no part.
    ChipCells(const ChipShape& chip, const std::vector<int32_t>& ids);

    int32_t size() const { return static_cast<int32_t>(id_.size()); }
    int32_t id(int32_t part) const { return id_[static_cast<size_t>(part)]; }
    int32_t row(int32_t part) const { return row_[static_cast<size_t>(part)]; }
    int32_t col(int32_t part) const { return col_[static_cast<size_t>(part)]; }
    int64_t hops(int32_t a, int32_t b) const {
        if (!mesh_) return a != b;
        return mesh_hops(row(a), col(a), row(b), col(b));
    }
    bool mesh() const { return mesh_; }
    // The rows (columns) of the mesh from the first to the last one a part sits in.
    int64_t rows_reached() const { return reached(row_); }
    int64_t cols_reached() const { return reached(col_); }

    // The part at block position (r, c), or -1 outside the block.
    int32_t at(int64_t r, int64_t c) const {
        if (!mesh_ || r < 0 || c < 0 || c >= width_) return -1;
        const int64_t p = r * width_ + c;
        return p < size() ? static_cast<int32_t>(p) : -1;
    }

    // The parts within `d` hops of part `c` (`c` included) into `out`, row by row from the top,
    // each row from the left.
    void within(int32_t c, int64_t d, std::vector<int32_t>& out) const;

    // The parts along a path through the block in which consecutive cells are mesh
    // neighbours: rows in alternating directions, the last (possibly shorter) row from the left.
    std::vector<int32_t> snake() const;

  private:
    static int64_t reached(const std::vector<int32_t>& at) {
        int64_t most = 0;
        for (int32_t x : at) most = std::max<int64_t>(most, x + 1);
        return most;
    }

    bool mesh_;
    int64_t width_ = 1;  // of the block; 0 for placed cores
    std::vector<int32_t> id_, row_, col_;
};

// The number of cores available on `chip`: min(num_cores, rows * cols) with a mesh.
int64_t available_cores(const ChipShape& chip);

}  // namespace zerav::mapping
