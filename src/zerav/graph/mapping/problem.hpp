// The mapping problem and its answer as plain arrays: no Python types.
#pragma once

#include "zerav/graph/mapping/config.hpp"

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
    // For node i, the first node that is the same object under another name (i itself when it
    // is the first); empty when every name has an object of its own. Such names share one
    // core: the object has one core_id, and allocate counts it once per name.
    std::vector<int32_t> alias;
    std::vector<double> rate;  // firing rate per node, finite and >= 0 (empty: all 1)
    uint64_t seed = 0;
    Config config;             // the tuning of every phase
    void (*poll)() = nullptr;  // called now and then in long loops; may throw to abandon the work
};

struct Mapping {
    std::vector<int32_t> core;  // core id per node
    std::vector<int32_t> scc;   // strongly connected component per node (ids in any order)
    int32_t levels = 0;         // coarsening levels of the attempt that succeeded
};

// The hard constraint a failure is about.
enum class Constraint { capacity, sram, delay };

// A constraint that cannot be met; the message says which and by how much. `proven`: no mapping
// can meet it (a bound checked before the search); otherwise the search found none. `needed` is
// what the graph (or the best mapping found) needs and `available` what the chip offers, both
// in `unit`; `needed` is -1 where the search gave up without a measure.
struct Infeasible : std::runtime_error {
    Constraint constraint;
    bool proven;
    const char* unit;
    int64_t needed, available;

    Infeasible(Constraint constraint, bool proven, const char* unit, int64_t needed, int64_t available,
               const std::string& message)
        : std::runtime_error(message),
          constraint(constraint),
          proven(proven),
          unit(unit),
          needed(needed),
          available(available) {}
};

// Maps every node onto a core: the capacity, core count, distinct-cell and feedback-delay
// constraints (and SRAM when given) hold, or Infeasible is thrown. `name_of(i)` gives node
// i's name for messages.
using NameOf = std::string (*)(const void* context, int32_t node);
Mapping map_problem(const Problem& problem, NameOf name_of, const void* context);

}  // namespace zerav::mapping
