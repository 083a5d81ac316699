#include "zerav/graph/placement/expansion.hpp"

#include <algorithm>
#include <numeric>

namespace zerav::placement {

std::vector<uint32_t> heaviest_first(const Pairs& pairs) {
    std::vector<uint32_t> order(pairs.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return pairs.weight[a] > pairs.weight[b]; });
    return order;
}

NeighborLists neighbor_lists(const Pairs& pairs, std::span<const uint32_t> sorted, size_t class_count) {
    NeighborLists out;
    out.start.assign(class_count + 1, 0);
    for (size_t p = 0; p < pairs.size(); ++p) {
        ++out.start[pairs.lo[p] + 1];
        ++out.start[pairs.hi[p] + 1];
    }
    for (size_t k = 0; k < class_count; ++k) out.start[k + 1] += out.start[k];
    out.partner.resize(out.start[class_count]);
    out.weight.resize(out.start[class_count]);
    std::vector<size_t> next(out.start.begin(), out.start.end() - 1);
    auto append = [&](int32_t owner, int32_t partner, int64_t weight) {
        const size_t at = next[owner]++;
        out.partner[at] = partner;
        out.weight[at] = weight;
    };
    for (const uint32_t p : sorted) {
        append(pairs.lo[p], pairs.hi[p], pairs.weight[p]);
        append(pairs.hi[p], pairs.lo[p], pairs.weight[p]);
    }
    return out;
}

void Placement::place_seed_a(const Coord& centre, std::optional<int64_t> key) {
    a_placed_ = true;
    a_key_ = key;
    a_pos_ = centre;
    mesh_.occupy(centre);
}

void Placement::place_seed_b(uint32_t cell, std::optional<int64_t> key, bool same_key_as_a) {
    b_placed_ = true;
    b_key_ = key;
    b_cell_ = cell;
    same_key_ = same_key_as_a;
    mesh_.occupy(cell);
}

Spot Placement::find(const ClassKey& key) const {
    using Kind = ClassKey::Kind;
    const int64_t v = key.value;
    const bool int_key = key.kind == Kind::Int;
    // When both seeds have one key, the later placement replaced the position.
    if (b_placed_ && (key.kind == Kind::SeedB || (key.kind == Kind::SeedA && same_key_) ||
                      (int_key && b_key_ && *b_key_ == v)))
        return {Spot::Kind::SeedB, mesh_.coord_of(b_cell_)};
    if (a_placed_ && (key.kind == Kind::SeedA || (int_key && a_key_ && *a_key_ == v)))
        return {Spot::Kind::SeedA, a_pos_};
    if (int_key && v >= 0 && static_cast<uint64_t>(v) < cells_.size() && cells_[v] >= 0)
        return {Spot::Kind::Expansion, mesh_.coord_of(static_cast<uint32_t>(cells_[v]))};
    return {};
}

void Placement::expand(int64_t count, const IdMap& classes, std::span<const ClassKey> keys,
                       const NeighborLists& nbrs, const std::function<void()>& poll) {
    constexpr int64_t kPollPeriod = int64_t{1} << 14;
    for (int64_t i = 0; i < count; ++i) {
        // A full mesh offers no neighbour and no free cell: no later id can be placed.
        if (mesh_.full()) break;
        if ((i + 1) % kPollPeriod == 0) poll();
        if (is_seed_key(i)) {
            cells_.push_back(-1);
            continue;
        }
        // The first partner in the (heaviest first) list that is placed and still has a free
        // neighbour decides; every weight is above the initial best score, so it is the first.
        std::optional<uint32_t> best;
        const int32_t k = classes.find(static_cast<uint64_t>(i));
        if (k >= 0) {
            for (size_t e = nbrs.start[k]; e < nbrs.start[k + 1] && !best; ++e) {
                const Spot spot = find(keys[nbrs.partner[e]]);
                if (spot.kind != Spot::Kind::None) best = mesh_.first_free_neighbor(spot.pos);
            }
        }
        if (!best) best = mesh_.first_free_cell();
        if (best) mesh_.occupy(*best);
        cells_.push_back(best ? static_cast<int64_t>(*best) : -1);
    }
}

}  // namespace zerav::placement
