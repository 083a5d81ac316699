// The greedy placement over plain arrays: the seed pair at the centre, then every core id in
// ascending order next to its heaviest placed partner that still has a free neighbour, or on the
// first free cell. Nothing is moved once placed. The plain-Python model of the same steps is
// `place_model` in tests/placement/reference.py.
//
// Cores are known here by class: one class per distinct core value of the communication pairs
// (values equal under the host's equality share a class). The placed cores are keyed by
// integers, as the host's `placed` dict is: the two seed keys (the integer conversions of the
// seed pair's values) and the ids 0, 1, ... of the expansion. A class finds its placed core
// through `ClassKey`: the integer it equals, or the seed key it equals when that key is not a
// 64-bit integer.
#pragma once

#include "zerav/graph/placement/id_map.hpp"
#include "zerav/graph/placement/mesh.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace zerav::placement {

struct ClassKey {
    enum class Kind : uint8_t { None, Int, SeedA, SeedB };
    Kind kind = Kind::None;
    int64_t value = 0;  // for Int
};

// Each class's partners with the pair weights, heaviest first (ties in pair order).
struct NeighborLists {
    std::vector<size_t> start;  // class k's entries are [start[k], start[k + 1])
    std::vector<int32_t> partner;
    std::vector<int64_t> weight;
};

// Weighted pairs of classes, in first-appearance order.
struct Pairs {
    std::vector<int32_t> lo, hi;  // the (smaller, larger) core values' classes
    std::vector<int64_t> weight;
    IdMap index;  // (lo, hi) -> pair
    size_t size() const { return weight.size(); }

    // One more edge between the classes lo and hi; true when it is their first.
    bool count(int32_t lo_class, int32_t hi_class) {
        const uint64_t key =
            (static_cast<uint64_t>(static_cast<uint32_t>(lo_class)) << 32) | static_cast<uint32_t>(hi_class);
        const auto next = static_cast<int32_t>(size());
        const int32_t p = index.find_or_insert(key, next);
        if (p != next) {
            ++weight[p];
            return false;
        }
        lo.push_back(lo_class);
        hi.push_back(hi_class);
        weight.push_back(1);
        return true;
    }
};

// The classes of the core values as plain data (filled by the host edge, core_classes.hpp).
struct ClassTable {
    std::vector<std::optional<int64_t>> int_value;  // per class: the integer its values equal, when known
    std::vector<int64_t> hash;                      // per class: the host hash of its values
    IdMap by_int;                                   // integer -> the class equal to it
    size_t size() const { return hash.size(); }
};

// The pair indices heaviest first, equal weights in pair order.
std::vector<uint32_t> heaviest_first(const Pairs& pairs);

NeighborLists neighbor_lists(const Pairs& pairs, std::span<const uint32_t> sorted, size_t class_count);

// Where a placed core sits: a seed (SeedA's position may hold host objects) or an expansion id.
struct Spot {
    enum class Kind : uint8_t { None, SeedA, SeedB, Expansion };
    Kind kind = Kind::None;
    Coord pos;
};

class Placement {
  public:
    explicit Placement(Mesh& mesh) : mesh_(mesh) {}

    // The seed step: core A at the centre (`key` is its integer key when that fits in 64
    // bits), then core B on the first free neighbour of the centre, if there is one.
    void place_seed_a(const Coord& centre, std::optional<int64_t> key);
    std::optional<uint32_t> free_neighbor_of_centre() const { return mesh_.first_free_neighbor(a_pos_); }
    void place_seed_b(uint32_t cell, std::optional<int64_t> key, bool same_key_as_a);

    // Visits ids 0 .. count - 1. `classes` maps an integer to the class equal to it;
    // `keys[k]` is class k's key (resolve_keys). Stops early once the mesh is full (nothing can
    // move then).
    void expand(int64_t count, const IdMap& classes, std::span<const ClassKey> keys,
                const NeighborLists& nbrs, const std::function<void()>& poll);

    // Where the placed core of a class with key `key` sits, as things stand.
    Spot find(const ClassKey& key) const;
    // The key of a class equal to seed A's (or B's) key: that integer, when it fits in 64 bits.
    ClassKey seed_key(ClassKey::Kind seed) const {
        const std::optional<int64_t>& v = seed == ClassKey::Kind::SeedA ? a_key_ : b_key_;
        return v ? ClassKey{ClassKey::Kind::Int, *v} : ClassKey{seed, 0};
    }

    bool seed_a_placed() const { return a_placed_; }
    bool seed_b_placed() const { return b_placed_; }
    uint32_t seed_b_cell() const { return b_cell_; }
    // The cell of each visited expansion id (-1: not placed; skipped seed keys are -1 too).
    const std::vector<int64_t>& expansion_cells() const { return cells_; }
    const Mesh& mesh() const { return mesh_; }

  private:
    bool is_seed_key(int64_t v) const {
        return (a_placed_ && a_key_ && *a_key_ == v) || (b_placed_ && b_key_ && *b_key_ == v);
    }

    Mesh& mesh_;
    bool a_placed_ = false, b_placed_ = false, same_key_ = false;
    std::optional<int64_t> a_key_, b_key_;
    Coord a_pos_;
    uint32_t b_cell_ = 0;
    std::vector<int64_t> cells_;
};

// Each class's key among the placed cores, once the seeds are placed: the integer it equals,
// known already or found among the ids the expansion visits (0 .. id_limit - 1; such an id
// hashes to itself, so only the class's hash can be it), else the seed key it equals.
// `equals(k, key)` asks the host whether class k's values equal that integer or seed key. A
// class that learns its integer here is entered in `table.by_int` too.
template <class Equals>
std::vector<ClassKey> resolve_keys(ClassTable& table, int64_t id_limit, const Placement& placement,
                                   Equals equals) {
    using Kind = ClassKey::Kind;
    std::vector<ClassKey> keys(table.size());
    for (size_t k = 0; k < table.size(); ++k) {
        std::optional<int64_t>& value = table.int_value[k];
        const int64_t hash = table.hash[k];
        if (!value && hash >= 0 && hash < id_limit && equals(k, ClassKey{Kind::Int, hash})) {
            value = hash;
            table.by_int.find_or_insert(static_cast<uint64_t>(hash), static_cast<int32_t>(k));
        }
        if (value) {
            keys[k] = ClassKey{Kind::Int, *value};
        } else if (placement.seed_a_placed() && equals(k, ClassKey{Kind::SeedA, 0})) {
            keys[k] = placement.seed_key(Kind::SeedA);
        } else if (placement.seed_b_placed() && equals(k, ClassKey{Kind::SeedB, 0})) {
            keys[k] = placement.seed_key(Kind::SeedB);
        }
    }
    return keys;
}

}  // namespace zerav::placement
