#include "zerav/graph/placement/mesh.hpp"

namespace zerav::placement {

Mesh::Mesh(int64_t rows, int64_t cols, uint64_t cells, const std::function<void()>& poll)
    : rows_(rows), cols_(cols), cells_(cells), free_count_(cells) {
    if (cells_ == 0) return;
    occupied_.assign((cells_ + 63) / 64, 0);
    order_.emplace(static_cast<uint32_t>(rows), static_cast<uint32_t>(cols), poll);
}

std::optional<uint32_t> Mesh::first_free_neighbor(const Coord& p) const {
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

void Mesh::occupy(const Coord& p) {
    if (on_mesh(p)) occupy(cell_of(p));
}

void Mesh::occupy(uint32_t cell) {
    uint64_t& word = occupied_[cell >> 6];
    const uint64_t bit = uint64_t{1} << (cell & 63);
    if (word & bit) return;
    word |= bit;
    --free_count_;
}

std::optional<uint32_t> Mesh::first_free_cell() {
    if (free_count_ == 0) return std::nullopt;
    const int64_t cell = order_->first([this](uint32_t c) { return taken(c); });
    if (cell < 0) return std::nullopt;
    return static_cast<uint32_t>(cell);
}

}  // namespace zerav::placement
