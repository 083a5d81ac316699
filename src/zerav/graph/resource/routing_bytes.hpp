// The routing buffer allocate counts on a core for every edge entering it from another core.
// The mapping's SRAM bound and its exact SRAM check use the same constant.
#pragma once

#include <cstdint>

namespace zerav::resource {

inline constexpr int64_t routing_bytes_per_edge = 8;

}  // namespace zerav::resource
