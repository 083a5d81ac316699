// Every layout of a few cores over a small window of the mesh, priced by the core annealing's
// cost: where there are no more layouts than the annealing would try moves, trying them all
// is both cheaper and optimal.
#pragma once

#include "zerav/graph/mapping/level_graph.hpp"
#include "zerav/graph/mapping/steps.hpp"

#include <cstdint>
#include <vector>

namespace zerav::mapping {

// The number of ways to put `cores` distinct cores on `cells` cells (one core a cell), or
// `most` + 1 once it exceeds `most`.
int64_t layout_count(int64_t cells, int64_t cores, int64_t most);

// The window: `rows` x `cols` cells numbered row * cols + col, `usable[x]` for the cells a core
// may take. The cost of a layout of the graph of cores `cores`: its nets' multicast tree links
// at their weights plus `edge_hops` per hop of an edge between cores (1 without nets), plus
// `peak` times the busiest directed link's load under those trees; a layout that takes a
// feedback edge beyond `delay` hops and beyond its length in the start layout is refused.
struct WindowCost {
    int32_t rows, cols;
    const std::vector<uint8_t>& usable;
    int64_t delay, edge_hops, peak;
};

// The cheapest layout of the cores `active` (the cores with edges; each core's window cell in
// `cell`, read as the start layout and, when a cheaper layout exists, set to the first
// cheapest in the order of the search: cores in the order of `active`, each over the cells in
// increasing order). Returns the change of the cost (0: the start is kept). Needs a window of
// at most RouteMasks::kMostLinks directed links.
int64_t best_layout(const LevelGraph& cores, const std::vector<int32_t>& active, const WindowCost& window,
                    std::vector<int32_t>& cell);

}  // namespace zerav::mapping
