// The state every k-way phase works on: the part of each vertex and, per part, the compute
// nodes, the bytes and (on request) the member list, kept in step by one move(), with a log to
// roll moves back. Debug builds recount all of it after each phase (verify()).
//
// A part's bytes are what allocate counts on its core: its vertices' bytes (each with a routing
// buffer for every edge that enters it from outside the vertex) less the buffers of the edges
// between two of its vertices, which stay on the core. So a move changes the bytes of the part
// it leaves by more than the vertex's own bytes: an edge from the vertex into that part needs a
// buffer again.
#pragma once

#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/multicast_cost.hpp"
#include "zerav/graph/mapping/steps.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

#include <algorithm>
#include <string>

namespace zerav::mapping {

class PartitionState {
  public:
    // Wraps `part` (one part below `parts` per vertex of `g`); moves write through to it.
    PartitionState(const LevelGraph& g, int32_t parts, std::vector<int32_t>& part, bool with_members = false)
        : g_(g),
          part_(part),
          count_(static_cast<size_t>(parts), 0),
          bytes_(static_cast<size_t>(parts), 0),
          with_members_(with_members) {
        if (with_members_) members_.resize(static_cast<size_t>(parts));
        for (int32_t v = 0; v < g.n; ++v) {
            const int32_t p = part[static_cast<size_t>(v)];
            count_[static_cast<size_t>(p)] += g.count[static_cast<size_t>(v)];
            bytes_[static_cast<size_t>(p)] += own_bytes(v, p);
            if (with_members_) members_[static_cast<size_t>(p)].push_back(v);
        }
    }

    int32_t parts() const { return static_cast<int32_t>(count_.size()); }
    int32_t part(int32_t v) const { return part_[static_cast<size_t>(v)]; }
    const std::vector<int32_t>& part_of() const { return part_; }
    int64_t count(int32_t p) const { return count_[static_cast<size_t>(p)]; }
    int64_t bytes(int32_t p) const { return bytes_[static_cast<size_t>(p)]; }
    // The vertices of part `p` (with members only), in the order they arrived.
    const std::vector<int32_t>& members(int32_t p) const { return members_[static_cast<size_t>(p)]; }

    // Whether vertex `v` may move to part `p`: `p` then stays within the limits, and the part
    // it leaves does too (or, already over, gets no fuller).
    bool room(const Limits& limits, int32_t v, int32_t p) const {
        const int32_t a = part(v);
        if (a == p) return !over(limits, p);
        const int64_t c = g_.count[static_cast<size_t>(v)];
        if (!limits.fits(count(p) + c, bytes(p) + joined_bytes(v, p))) return false;
        return !g_.has_bytes() ||
               no_fuller(limits, count(a) - c, bytes(a) - joined_bytes(v, a), count(a), bytes(a));
    }
    // Whether `v` and `z` (of the same compute nodes, in different parts) may trade parts.
    bool trade_fits(const Limits& limits, int32_t v, int32_t z) const {
        if (!g_.has_bytes()) return true;  // the counts stay as they are
        const int32_t a = part(v), c = part(z);
        // Each joins the other's part without the one it replaces there.
        const int64_t between = resource::routing_bytes_per_edge * weight_between(v, z);
        const int64_t a_after = bytes(a) - joined_bytes(v, a) + joined_bytes(z, a) + between;
        const int64_t c_after = bytes(c) - joined_bytes(z, c) + joined_bytes(v, c) + between;
        return no_fuller(limits, count(a), a_after, count(a), bytes(a)) &&
               no_fuller(limits, count(c), c_after, count(c), bytes(c));
    }
    bool over(const Limits& limits, int32_t p) const { return !limits.fits(count(p), bytes(p)); }
    // The change of part `p`'s bytes if `v` (not in it) joined it.
    int64_t joining_bytes(int32_t v, int32_t p) const { return joined_bytes(v, p); }
    // Whether `v` (not in part `p`) may join it to lower its bytes: `p` stays within the node
    // capacity, and the part `v` leaves within the limits (or no fuller).
    bool may_pull(const Limits& limits, int32_t v, int32_t p) const {
        const int32_t a = part(v);
        const int64_t c = g_.count[static_cast<size_t>(v)];
        return joined_bytes(v, p) < 0 && count(p) + c <= limits.capacity &&
               no_fuller(limits, count(a) - c, bytes(a) - joined_bytes(v, a), count(a), bytes(a));
    }

    // Keeps `tree`'s per-net pin counts in step with every move and rollback from now on.
    void observe(MulticastCost* tree) { tree_ = tree; }

    // Moves `v` to part `to`; logged for rollback after a checkpoint().
    void move(int32_t v, int32_t to) {
        const int32_t from = part(v);
        if (from == to) return;
        if (logging_) log_.emplace_back(v, from);
        remove(v, from);
        add(v, to);
        if (tree_) tree_->moved(v, from, to);
    }

    // Rollback: checkpoint() starts the log (if it is not on) and names a point of it,
    // rollback() undoes every move since, forget() keeps them for good and stops the log.
    size_t checkpoint() {
        logging_ = true;
        return log_.size();
    }
    void rollback(size_t mark) {
        while (log_.size() > mark) {
            const auto [v, back] = log_.back();
            log_.pop_back();
            const int32_t from = part(v);
            remove(v, from);
            add(v, back);
            if (tree_) tree_->moved(v, from, back);
        }
    }
    // The moves since `mark`: (vertex, the part it left), oldest first.
    std::vector<std::pair<int32_t, int32_t>>::const_iterator moves_since(size_t mark) const {
        return log_.begin() + static_cast<std::ptrdiff_t>(mark);
    }
    std::vector<std::pair<int32_t, int32_t>>::const_iterator moves_end() const { return log_.end(); }
    void forget() {
        log_.clear();
        logging_ = false;
    }

    // Debug builds: the tracked counts, bytes and members equal a recount of `part`.
    void verify(const char* phase) const {
        if constexpr (!kChecks) return;
        std::vector<int64_t> count(count_.size(), 0), bytes(bytes_.size(), 0);
        std::vector<int64_t> members(count_.size(), 0);
        for (int32_t v = 0; v < g_.n; ++v) {
            const auto p = static_cast<size_t>(part(v));
            invariant(p < count.size(), phase, "a vertex lies outside the parts");
            count[p] += g_.count[static_cast<size_t>(v)];
            bytes[p] += own_bytes(v, static_cast<int32_t>(p));
            ++members[p];
            if (with_members_) {
                const auto& list = members_[p];
                invariant(std::find(list.begin(), list.end(), v) != list.end(), phase,
                          "a vertex is missing from its part's members");
            }
        }
        invariant(count == count_, phase, "tracked node counts differ from a recount");
        invariant(bytes == bytes_, phase, "tracked bytes differ from a recount");
        if (with_members_)
            for (size_t p = 0; p < members.size(); ++p)
                invariant(static_cast<int64_t>(members_[p].size()) == members[p], phase,
                          "a part's member list has extra entries");
    }

  private:
    // The edges between `v` and `u`, both directions.
    int64_t weight_between(int32_t v, int32_t u) const {
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i)
            if (g_.adj[static_cast<size_t>(i)] == u) return g_.weight[static_cast<size_t>(i)];
        return 0;
    }
    // The edges between `v` and the other vertices of part `p`, both directions.
    int64_t link(int32_t v, int32_t p) const {
        int64_t w = 0;
        for (int64_t i = g_.begin(v); i < g_.end(v); ++i)
            if (part_[static_cast<size_t>(g_.adj[static_cast<size_t>(i)])] == p)
                w += g_.weight[static_cast<size_t>(i)];
        return w;
    }
    // The bytes `v` adds to part `p` by joining it (or takes from its own part by leaving):
    // its own, less a buffer for each edge between it and the part.
    int64_t joined_bytes(int32_t v, int32_t p) const {
        if (!g_.has_bytes()) return 0;
        return g_.bytes[static_cast<size_t>(v)] - resource::routing_bytes_per_edge * link(v, p);
    }
    // The share of part `p`'s bytes that `v` in it accounts for: each edge inside the part is
    // met from both ends, so each end gives back half its buffer. Summed over the part's
    // vertices, this is the part's bytes.
    int64_t own_bytes(int32_t v, int32_t p) const {
        if (!g_.has_bytes()) return 0;
        return g_.bytes[static_cast<size_t>(v)] - resource::routing_bytes_per_edge / 2 * link(v, p);
    }
    // Whether a part that would hold `count` nodes and `bytes` bytes is within the limits, or
    // at least no fuller than it was (`before_count`, `before_bytes`).
    static bool no_fuller(const Limits& limits, int64_t count, int64_t bytes, int64_t before_count,
                          int64_t before_bytes) {
        return limits.fits(count, bytes) || (count <= before_count && bytes <= before_bytes);
    }
    void add(int32_t v, int32_t p) {
        part_[static_cast<size_t>(v)] = p;
        count_[static_cast<size_t>(p)] += g_.count[static_cast<size_t>(v)];
        bytes_[static_cast<size_t>(p)] += joined_bytes(v, p);
        if (with_members_) members_[static_cast<size_t>(p)].push_back(v);
    }
    void remove(int32_t v, int32_t p) {
        count_[static_cast<size_t>(p)] -= g_.count[static_cast<size_t>(v)];
        bytes_[static_cast<size_t>(p)] -= joined_bytes(v, p);
        if (with_members_) {
            auto& list = members_[static_cast<size_t>(p)];
            list.erase(std::find(list.begin(), list.end(), v));
        }
    }

    const LevelGraph& g_;
    std::vector<int32_t>& part_;
    std::vector<int64_t> count_, bytes_;
    bool with_members_, logging_ = false;
    std::vector<std::vector<int32_t>> members_;
    std::vector<std::pair<int32_t, int32_t>> log_;  // (vertex, part it left) per move
    MulticastCost* tree_ = nullptr;
};

}  // namespace zerav::mapping
