// The steps of the multilevel mapping, over plain arrays.
#pragma once

#include "zerav/graph/mapping/chip_cells.hpp"
#include "zerav/graph/mapping/level_graph.hpp"
#include "zerav/graph/mapping/problem.hpp"

#include <cstdint>
#include <vector>

namespace zerav::mapping {

// A small deterministic generator (splitmix64): the same seed gives the same mapping.
class Rng {
  public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int32_t below(int32_t n) { return static_cast<int32_t>(next() % static_cast<uint64_t>(n)); }

  private:
    uint64_t state_;
};

// What one core may hold and how far a feedback edge may reach.
struct Limits {
    int64_t capacity;  // compute nodes per core
    int64_t sram;      // bytes per core, -1 when not a constraint
    int64_t delay;     // hops per feedback edge, negative when not a constraint
    void (*poll)();
    const Config& config;  // the tuning of every phase

    // A core without compute nodes has no SRAM budget (allocate lists none for it).
    bool fits(int64_t count, int64_t bytes) const {
        return count <= capacity && (sram < 0 || count == 0 || bytes <= sram);
    }
};

// Strongly connected component of each node.
std::vector<int32_t> strongly_connected(const Problem& p);

// The groups of one coarsening step (`coarsening.rating`: heavy-edge matching, or a rating by
// shared nets), each within `max_count` compute nodes (and the SRAM limit). Returns the group
// of each vertex; `groups` receives the number of groups.
std::vector<int32_t> match_groups(const LevelGraph& g, const Limits& limits, int64_t max_count, Rng& rng,
                                  int32_t& groups);

// The part (index into `cells`) of every vertex: recursive bisection of the graph aligned with
// recursive halving of the block of cells, counting cut edges or, `by_nets`, the graph's cut
// nets. With `start` (the parts projected from a coarser level), each bisection starts from
// the sides those parts give and only refines them.
std::vector<int32_t> initial_mapping(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                                     Rng& rng, bool by_nets, const std::vector<int32_t>* start = nullptr);

// Whether most of a few vertices spread over `g` reach at least `share` of its vertices within
// two edges (never for a share above 1).
bool reaches_widely(const LevelGraph& g, double share);

// The part of every vertex for a tight delay limit: breadth-first order from a far vertex of
// the component of `start`, cut into cores along a path of neighbouring cells.
std::vector<int32_t> banded_mapping(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                                    int32_t start);

// Moves vertices out of over-full parts to the parts with room where they cost least. Returns
// false when some part is still over-full.
bool rebalance(const LevelGraph& g, const ChipCells& cells, const Limits& limits, std::vector<int32_t>& part);

// Moves into each core over its SRAM the neighbours whose joining lowers its bytes (the edges
// between them then need no routing buffer), while the cores they leave stay within the limits.
void pull_buffered_neighbours(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                              std::vector<int32_t>& part);

// For a graph of at most `cores.exact_vertices` vertices: the packing within the limits with
// the fewest cut edges, found by trying every partition into at most `cells.size()` cores.
// False (and `part` as it was) when none exists or the graph is larger.
bool pack_exactly(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                  std::vector<int32_t>& part);

// Greedy k-way refinement: single-vertex moves that lower the cost (feedback edges beyond the
// delay limit first, then the multicast traffic of the nets, or the hop total without nets,
// then the cut) and keep every part within the limits.
void refine(const LevelGraph& g, const ChipCells& cells, const Limits& limits, std::vector<int32_t>& part,
            int64_t passes, Rng& rng);

// The cell id of every part of a finished mapping, the cores placed anew on the mesh (the block
// and two more rows and columns) by simulated annealing of the graph of cores: a lower cost
// (the multicast traffic of the nets and the edge hops between cores, or the hop total
// without nets), no feedback edge growing beyond the delay limit; the cut and every core's
// load stay the same. The block's own ids when that finds nothing better.
std::vector<int32_t> place_cores(const LevelGraph& g, const ChipCells& cells, const ChipShape& chip,
                                 const Limits& limits, const std::vector<int32_t>& part, Rng& rng);

// After the cores are placed (`cells` holding each part's final cell): moves vertices off the
// busiest directed mesh link under multicast while the traffic grows by at most
// `link_balance.traffic_share` of itself, within the limits and the delay.
void balance_links(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                   std::vector<int32_t>& part);

// Moves (or trades) ends of feedback edges beyond the delay limit into cells within it.
void repair_delay(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                  std::vector<int32_t>& part);

// Moves both ends of each feedback edge still beyond the delay limit, into two cells within
// the limit of each other and of the ends' other feedback neighbours, making room in full
// cells by moving one vertex out.
void repair_delay_pairs(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                        std::vector<int32_t>& part);

// Number of feedback edges beyond the delay limit (0 without a limit).
int64_t delay_violations(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                         const std::vector<int32_t>& part);

}  // namespace zerav::mapping
