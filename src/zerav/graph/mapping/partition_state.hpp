// The state every k-way phase works on: the part of each vertex and, per part, the compute
// nodes, the bytes and (on request) the member list, kept in step by one move(), with a log to
// roll moves back. Debug builds recount all of it after each phase (verify()).
#pragma once

#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/steps.hpp"

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
        for (int32_t v = 0; v < g.n; ++v) add(v, part[static_cast<size_t>(v)]);
    }

    int32_t parts() const { return static_cast<int32_t>(count_.size()); }
    int32_t part(int32_t v) const { return part_[static_cast<size_t>(v)]; }
    const std::vector<int32_t>& part_of() const { return part_; }
    int64_t count(int32_t p) const { return count_[static_cast<size_t>(p)]; }
    int64_t bytes(int32_t p) const { return bytes_[static_cast<size_t>(p)]; }
    int64_t vertex_bytes(int32_t v) const { return g_.has_bytes() ? g_.bytes[static_cast<size_t>(v)] : 0; }
    // The vertices of part `p` (with members only), in the order they arrived.
    const std::vector<int32_t>& members(int32_t p) const { return members_[static_cast<size_t>(p)]; }

    // Whether part `p` has room for vertex `v` (as an addition), and whether it is over the limits.
    bool room(const Limits& limits, int32_t v, int32_t p) const {
        return limits.fits(count(p) + g_.count[static_cast<size_t>(v)], bytes(p) + vertex_bytes(v));
    }
    bool over(const Limits& limits, int32_t p) const { return !limits.fits(count(p), bytes(p)); }

    // Moves `v` to part `to`; logged for rollback after a checkpoint().
    void move(int32_t v, int32_t to) {
        const int32_t from = part(v);
        if (from == to) return;
        if (logging_) log_.emplace_back(v, from);
        remove(v, from);
        add(v, to);
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
            remove(v, part(v));
            add(v, back);
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
            bytes[p] += vertex_bytes(v);
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
    void add(int32_t v, int32_t p) {
        part_[static_cast<size_t>(v)] = p;
        count_[static_cast<size_t>(p)] += g_.count[static_cast<size_t>(v)];
        bytes_[static_cast<size_t>(p)] += vertex_bytes(v);
        if (with_members_) members_[static_cast<size_t>(p)].push_back(v);
    }
    void remove(int32_t v, int32_t p) {
        count_[static_cast<size_t>(p)] -= g_.count[static_cast<size_t>(v)];
        bytes_[static_cast<size_t>(p)] -= vertex_bytes(v);
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
};

}  // namespace zerav::mapping
