// Traffic on the mesh links under dimension-order routing.
#pragma once

#include <cstdint>
#include <vector>

namespace zerav::mapping {

// The largest number of edges that cross one directed mesh link when every cross-core edge
// travels along its row first and then along its column. `src_core`/`dst_core` are core ids
// (row * cols + col).
int64_t busiest_link(const std::vector<int32_t>& src_core, const std::vector<int32_t>& dst_core,
                     int64_t cols);

}  // namespace zerav::mapping
