// Indexing and contraction of the nets.
#include "zerav/graph/mapping/nets.hpp"

namespace zerav::mapping {

namespace {

// A net's slot in a table of `size` (a power of two) slots: the hash's bits mixed down first.
size_t slot_of(uint64_t hash, size_t size) {
    hash ^= hash >> 31;
    hash *= 0xBF58476D1CE4E5B9ull;
    hash ^= hash >> 29;
    return static_cast<size_t>(hash) & (size - 1);
}

}  // namespace

int32_t NetBuilder::find(size_t from) {
    uint64_t hash = 0x9E3779B97F4A7C15ull;
    for (size_t i = from; i < nets_.pin.size(); ++i)
        hash = (hash ^ static_cast<uint32_t>(nets_.pin[i])) * 0x100000001B3ull + (hash >> 29);
    if (2 * (static_cast<size_t>(nets_.count) + 1) > table_.size()) {  // grow, keeping it half empty
        table_.assign(std::max<size_t>(64, 4 * table_.size()), -1);
        for (int32_t e = 0; e < nets_.count; ++e) {
            size_t at = slot_of(hash_of_[static_cast<size_t>(e)], table_.size());
            while (table_[at] >= 0) at = (at + 1) & (table_.size() - 1);
            table_[at] = e;
        }
    }
    const auto length = static_cast<int64_t>(nets_.pin.size() - from);
    size_t at = slot_of(hash, table_.size());
    for (; table_[at] >= 0; at = (at + 1) & (table_.size() - 1)) {
        const int32_t e = table_[at];
        if (hash_of_[static_cast<size_t>(e)] == hash && nets_.end(e) - nets_.begin(e) == length &&
            std::equal(nets_.pin.begin() + nets_.begin(e), nets_.pin.begin() + nets_.end(e),
                       nets_.pin.begin() + static_cast<std::ptrdiff_t>(from)))
            return e;
    }
    table_[at] = nets_.count;
    hash_of_.push_back(hash);
    return -1;
}

Nets NetBuilder::finish() {
    table_ = {};
    hash_of_ = {};
    Nets& nets = nets_;
    nets.first.assign(static_cast<size_t>(n_) + 1, 0);
    for (int32_t v : nets.pin) ++nets.first[static_cast<size_t>(v) + 1];
    for (size_t i = 1; i < nets.first.size(); ++i) nets.first[i] += nets.first[i - 1];
    nets.of.resize(nets.pin.size());
    std::vector<int64_t> fill(nets.first.begin(), nets.first.end() - 1);
    for (int32_t e = 0; e < nets.count; ++e)
        for (int64_t i = nets.begin(e); i < nets.end(e); ++i)
            nets.of[static_cast<size_t>(fill[static_cast<size_t>(nets.pin[static_cast<size_t>(i)])]++)] = e;
    return std::move(nets_);
}

Nets contract_nets(const Nets& nets, const std::vector<int32_t>& group, int32_t groups) {
    NetBuilder builder(groups);
    std::vector<int32_t> targets;
    for (int32_t e = 0; e < nets.count; ++e) {
        targets.clear();
        for (int64_t i = nets.begin(e) + 1; i < nets.end(e); ++i)
            targets.push_back(group[static_cast<size_t>(nets.pin[static_cast<size_t>(i)])]);
        builder.add(group[static_cast<size_t>(nets.root(e))], targets, nets.weight[static_cast<size_t>(e)]);
    }
    return builder.finish();
}

}  // namespace zerav::mapping
