// The mesh of one placement: which cells are occupied, the free cells in the host set's order,
// and the free Manhattan neighbours of a position. Plain C++.
#pragma once

#include "zerav/graph/placement/free_cells.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace zerav::placement {

// A position given as two native integers; `exact` is false when a coordinate does not fit in
// 64 bits (such a position lies off the mesh and has no neighbour on it).
struct Coord {
    int64_t row = 0;
    int64_t col = 0;
    bool exact = true;
};

class Mesh {
  public:
    // A rows x cols mesh with every cell free. `cells` is rows * cols, or 0 for a mesh without
    // cells (rows or cols not positive), in which case `rows` and `cols` are not used.
    Mesh(int64_t rows, int64_t cols, uint64_t cells, const std::function<void()>& poll);

    bool on_mesh(const Coord& p) const {
        return cells_ > 0 && p.exact && p.row >= 0 && p.row < rows_ && p.col >= 0 && p.col < cols_;
    }
    uint32_t cell_of(const Coord& p) const { return static_cast<uint32_t>(p.row * cols_ + p.col); }
    Coord coord_of(uint32_t cell) const { return Coord{cell / cols_, cell % cols_, true}; }

    // The first of the unoccupied positions up, down, left and right of `p` on the mesh.
    std::optional<uint32_t> first_free_neighbor(const Coord& p) const;

    // Marks the position occupied (positions off the mesh are not tracked: no query reaches them).
    void occupy(const Coord& p);
    void occupy(uint32_t cell);

    bool full() const { return free_count_ == 0; }
    int64_t rows() const { return cells_ ? rows_ : 0; }
    int64_t cols() const { return cells_ ? cols_ : 0; }

    // The first free cell in the host set's iteration order, or nothing when the mesh is full.
    std::optional<uint32_t> first_free_cell();

  private:
    bool taken(uint32_t cell) const { return (occupied_[cell >> 6] >> (cell & 63)) & 1u; }

    int64_t rows_ = 0;
    int64_t cols_ = 0;
    uint64_t cells_ = 0;
    uint64_t free_count_ = 0;
    std::vector<uint64_t> occupied_;  // one bit per cell
    std::optional<FreeCellOrder> order_;
};

inline Mesh::Mesh(int64_t rows, int64_t cols, uint64_t cells, const std::function<void()>& poll)
    : rows_(rows), cols_(cols), cells_(cells), free_count_(cells) {
    if (cells_ == 0) return;
    occupied_.assign((cells_ + 63) / 64, 0);
    order_.emplace(static_cast<uint32_t>(rows), static_cast<uint32_t>(cols), poll);
}

inline std::optional<uint32_t> Mesh::first_free_neighbor(const Coord& p) const {
    if (cells_ == 0 || !p.exact) return std::nullopt;
    // Up, down, left, right: the order in which the neighbours are offered.
    static constexpr int64_t kOffsets[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    for (const auto& d : kOffsets) {
        // Coordinates at the ends of the 64-bit range have no neighbour there on the mesh.
        if ((d[0] < 0 && p.row == INT64_MIN) || (d[0] > 0 && p.row == INT64_MAX)) continue;
        if ((d[1] < 0 && p.col == INT64_MIN) || (d[1] > 0 && p.col == INT64_MAX)) continue;
        const Coord n{p.row + d[0], p.col + d[1], true};
        if (on_mesh(n) && !taken(cell_of(n))) return cell_of(n);
    }
    return std::nullopt;
}

inline void Mesh::occupy(const Coord& p) {
    if (on_mesh(p)) occupy(cell_of(p));
}

inline void Mesh::occupy(uint32_t cell) {
    uint64_t& word = occupied_[cell >> 6];
    const uint64_t bit = uint64_t{1} << (cell & 63);
    if (word & bit) return;
    word |= bit;
    --free_count_;
}

inline std::optional<uint32_t> Mesh::first_free_cell() {
    if (free_count_ == 0) return std::nullopt;
    const int64_t cell = order_->first([this](uint32_t c) { return taken(c); });
    if (cell < 0) return std::nullopt;
    return static_cast<uint32_t>(cell);
}

}  // namespace zerav::placement
