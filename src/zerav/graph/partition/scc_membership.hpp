// Which strongly connected component each vertex lies in (component ids only; their order and
// the order of members are not produced here). Iterative Tarjan over CSR successor lists.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zerav::partition {

// `start[v] .. start[v+1]` indexes v's successors in `targets`.
std::vector<int32_t> scc_membership(std::span<const int32_t> start, std::span<const int32_t> targets);

}  // namespace zerav::partition
