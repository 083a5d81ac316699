// Link loads by difference arrays over the rows and columns the routes use: one pass over the
// edges and one over the cells of the bounding block, whatever the route lengths.
#include "zerav/graph/mapping/link_load.hpp"
#include "zerav/graph/mapping/multicast.hpp"

#include <algorithm>

namespace zerav::mapping {

int64_t busiest_link(const std::vector<int32_t>& src_core, const std::vector<int32_t>& dst_core,
                     int64_t cols) {
    if (cols <= 0 || src_core.empty()) return 0;
    int64_t rows_used = 0, cols_used = 0;
    for (const auto* cores : {&src_core, &dst_core})
        for (int32_t c : *cores)
            rows_used = std::max(rows_used, c / cols + 1), cols_used = std::max(cols_used, c % cols + 1);
    const auto h = static_cast<size_t>(rows_used), w = static_cast<size_t>(cols_used);
    // Per direction, the link leaving cell (r, c) towards +col / -col / +row / -row.
    std::vector<int64_t> east(h * (w + 1)), west(h * (w + 1)), south((h + 1) * w), north((h + 1) * w);
    for (size_t e = 0; e < src_core.size(); ++e) {
        const int64_t r1 = src_core[e] / cols, c1 = src_core[e] % cols;
        const int64_t r2 = dst_core[e] / cols, c2 = dst_core[e] % cols;
        const auto row = static_cast<size_t>(r1) * (w + 1);
        if (c1 < c2) ++east[row + static_cast<size_t>(c1)], --east[row + static_cast<size_t>(c2)];
        if (c1 > c2) ++west[row + static_cast<size_t>(c2)], --west[row + static_cast<size_t>(c1)];
        const auto col = static_cast<size_t>(c2) * (h + 1);
        if (r1 < r2) ++south[col + static_cast<size_t>(r1)], --south[col + static_cast<size_t>(r2)];
        if (r1 > r2) ++north[col + static_cast<size_t>(r2)], --north[col + static_cast<size_t>(r1)];
    }
    int64_t busiest = 0;
    auto scan = [&](std::vector<int64_t>& diff, size_t lines, size_t length) {
        for (size_t l = 0; l < lines; ++l) {
            int64_t load = 0;
            for (size_t i = 0; i < length; ++i)
                busiest = std::max(busiest, load += diff[l * (length + 1) + i]);
        }
    };
    scan(east, h, w);
    scan(west, h, w);
    scan(south, w, h);
    scan(north, w, h);
    return busiest;
}

double multicast_traffic(const std::vector<int32_t>& src, const std::vector<int32_t>& dst,
                         const std::vector<int32_t>& core, const std::vector<double>& rate, int64_t cols) {
    if (cols <= 0) return 0;
    const Fanout fanout(static_cast<int32_t>(core.size()), src, dst);
    auto cell = [&](int32_t node) {
        const int64_t id = core[static_cast<size_t>(node)];
        return MeshCell{id / cols, id % cols};
    };
    double total = 0;
    std::vector<MeshCell> cells;
    for (int32_t s = 0; s < static_cast<int32_t>(core.size()); ++s) {
        cells.clear();
        for (int32_t d : fanout.of(s)) cells.push_back(cell(d));
        const int64_t links = multicast_links(cell(s), cells);
        if (links) total += (rate.empty() ? 1.0 : rate[static_cast<size_t>(s)]) * static_cast<double>(links);
    }
    return total;
}

}  // namespace zerav::mapping
