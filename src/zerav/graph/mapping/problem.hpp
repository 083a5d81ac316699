// The mapping problem and its answer as plain arrays: no Python types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zerav::mapping {

// The chip as the mapping sees it. Cores are mesh cells numbered row * cols + col; without a
// mesh every pair of distinct cores is one hop apart.
struct ChipShape {
    bool mesh = false;
    int64_t rows = 0, cols = 0;
    int64_t num_cores = 0;        // cores available: ids below min(num_cores, rows * cols)
    int64_t capacity = 0;         // compute nodes per core
    int64_t sram = -1;            // bytes per core; -1 when SRAM is not a constraint
    int64_t feedback_delay = -1;  // largest hop count of a feedback edge; negative: no limit
};

struct Problem {
    ChipShape chip;
    int32_t nodes = 0;
    std::vector<uint8_t> compute;     // 1 for a compute node, 0 for an Input or Output node
    std::vector<int64_t> node_bytes;  // weight + state bytes per node (empty without SRAM)
    std::vector<int32_t> src, dst;    // directed edges whose two ends are nodes, in graph order
    uint64_t seed = 0;
    void (*poll)() = nullptr;  // called now and then in long loops; may throw to abandon the work
};

struct Mapping {
    std::vector<int32_t> core;  // core id per node
    std::vector<int32_t> scc;   // strongly connected component per node (ids in any order)
};

// A constraint that cannot be met; the message says which and by how much.
struct Infeasible : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Maps every node onto a core: the capacity, core count, distinct-cell and feedback-delay
// constraints (and SRAM when given) hold, or Infeasible is thrown. `name_of(i)` gives node
// i's name for messages.
using NameOf = std::string (*)(const void* context, int32_t node);
Mapping map_problem(const Problem& problem, NameOf name_of, const void* context);

}  // namespace zerav::mapping
