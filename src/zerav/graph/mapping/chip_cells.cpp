// Choice of the cells a mapping uses. A block close to a square keeps the mesh distances
// between its cores, and so the hop totals, small.
#include "zerav/graph/mapping/chip_cells.hpp"

#include <algorithm>
#include <cstdint>

namespace zerav::mapping {

int64_t available_cores(const ChipShape& chip) {
    if (!chip.mesh) return chip.num_cores;
    return std::min(chip.num_cores, chip.rows * chip.cols);
}

ChipCells::ChipCells(const ChipShape& chip, int32_t k) : mesh_(chip.mesh) {
    if (!mesh_) {
        for (int32_t i = 0; i < k; ++i) id_.push_back(i), row_.push_back(i), col_.push_back(0);
        return;
    }
    // Width w, height ceil(k / w): every cell id (row * cols + col) must be an available core.
    const int64_t available = available_cores(chip);
    int64_t best_w = std::min<int64_t>(chip.cols, k), best_score = -1;
    for (int64_t w = 1; w <= std::min<int64_t>(chip.cols, k); ++w) {
        const int64_t h = (k + w - 1) / w;
        if (h > chip.rows) continue;
        const int64_t last = (h - 1) * chip.cols + (k - (h - 1) * w) - 1;
        if (last >= available || last > INT32_MAX) continue;
        const int64_t score = h + w;  // half the block's perimeter
        if (best_score < 0 || score < best_score) best_score = score, best_w = w;
    }
    width_ = best_w;
    for (int32_t i = 0; i < k; ++i) {
        const auto r = static_cast<int32_t>(i / best_w), c = static_cast<int32_t>(i % best_w);
        row_.push_back(r);
        col_.push_back(c);
        id_.push_back(static_cast<int32_t>(r * chip.cols + c));
    }
}

ChipCells::ChipCells(const ChipShape& chip, const std::vector<int32_t>& ids) : mesh_(chip.mesh), width_(0) {
    for (int32_t id : ids) {
        id_.push_back(id);
        row_.push_back(static_cast<int32_t>(mesh_ ? id / chip.cols : id));
        col_.push_back(static_cast<int32_t>(mesh_ ? id % chip.cols : 0));
    }
}

void ChipCells::within(int32_t c, int64_t d, std::vector<int32_t>& out) const {
    out.clear();
    for (int64_t dr = -d; dr <= d; ++dr) {
        const int64_t reach = d - (dr < 0 ? -dr : dr);
        for (int64_t dc = -reach; dc <= reach; ++dc) {
            const int32_t x = at(row(c) + dr, col(c) + dc);
            if (x >= 0) out.push_back(x);
        }
    }
}

std::vector<int32_t> ChipCells::snake() const {
    std::vector<int32_t> order;
    const int32_t k = size();
    if (!mesh_) {
        for (int32_t p = 0; p < k; ++p) order.push_back(p);
        return order;
    }
    const auto w = static_cast<int32_t>(width_);
    const int32_t last = (k - 1) / w;
    for (int32_t r = 0; r <= last; ++r) {
        const int32_t n = std::min(w, k - r * w);
        const bool from_left = (last - r) % 2 == 0;
        for (int32_t i = 0; i < n; ++i) order.push_back(r * w + (from_left ? i : n - 1 - i));
    }
    return order;
}

}  // namespace zerav::mapping
