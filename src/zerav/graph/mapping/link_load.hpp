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

// The multicast traffic of a mapping: over the source nodes, the source's rate (`rate[v]`, 1
// for every node when empty) times the links of its multicast tree to the cores of its
// targets. `src`/`dst` are the edges as node indices, `core` the core id of each node.
double multicast_traffic(const std::vector<int32_t>& src, const std::vector<int32_t>& dst,
                         const std::vector<int32_t>& core, const std::vector<double>& rate, int64_t cols);

}  // namespace zerav::mapping
