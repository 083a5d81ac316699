// Packing a small graph exactly. Bin packing under a node capacity and SRAM whose routing
// buffers depend on which vertices share a core is beyond single moves at times (two items
// must trade cores, or two Input nodes must join a core together). For a graph of a few
// vertices every partition into at most the given cores is tried instead: each vertex joins a
// core an earlier vertex opened or opens the next one, so no partition is met twice. Of the
// packings within the limits the one of fewest cut edges is kept. The cores' loads are those
// of a partition state whose last part holds the vertices not placed yet.
#include "zerav/graph/mapping/partition_state.hpp"
#include "zerav/graph/mapping/steps.hpp"

namespace zerav::mapping {

namespace {

class ExactPacking {
  public:
    ExactPacking(const LevelGraph& g, const Limits& limits, int32_t cores)
        : g_(g),
          limits_(limits),
          cores_(cores),
          core_(static_cast<size_t>(g.n), cores),
          state_(g, cores + 1, core_) {}

    // The packing of fewest cut edges, or empty when none is within the limits.
    std::vector<int32_t> run() {
        place(0, 0, 0);
        return best_;
    }

  private:
    // Places vertex `v` and the ones after it; `open` cores are in use, `cut` edges cut so far.
    void place(int32_t v, int32_t open, int64_t cut) {
        if (!best_.empty() && cut >= best_cut_) return;
        if (v == g_.n) {
            for (int32_t c = 0; c < open; ++c)
                if (state_.over(limits_, c)) return;
            best_ = core_, best_cut_ = cut;
            return;
        }
        for (int32_t c = 0; c <= open && c < cores_; ++c) {
            if (state_.count(c) + g_.count[static_cast<size_t>(v)] > limits_.capacity) continue;
            // The edges to earlier vertices in other cores are cut.
            int64_t across = 0;
            for (int64_t i = g_.begin(v); i < g_.end(v); ++i) {
                const int32_t u = g_.adj[static_cast<size_t>(i)];
                if (u < v && core_[static_cast<size_t>(u)] != c) across += g_.weight[static_cast<size_t>(i)];
            }
            state_.move(v, c);
            place(v + 1, c == open ? open + 1 : open, cut + across);
            state_.move(v, cores_);
        }
    }

    const LevelGraph& g_;
    const Limits& limits_;
    int32_t cores_;
    std::vector<int32_t> core_;  // the core of each vertex, `cores_` while not placed
    PartitionState state_;
    std::vector<int32_t> best_;
    int64_t best_cut_ = 0;
};

}  // namespace

bool pack_exactly(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                  std::vector<int32_t>& part) {
    if (g.n > limits.config.cores.exact_vertices) return false;
    std::vector<int32_t> packed = ExactPacking(g, limits, cells.size()).run();
    if (packed.empty() && g.n > 0) return false;
    part = std::move(packed);
    return true;
}

}  // namespace zerav::mapping
