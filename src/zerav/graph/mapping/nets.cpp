// Indexing and contraction of the nets.
#include "zerav/graph/mapping/nets.hpp"

namespace zerav::mapping {

int32_t NetBuilder::find(size_t from) {
    uint64_t hash = 0x9E3779B97F4A7C15ull;
    for (size_t i = from; i < nets_.pin.size(); ++i)
        hash = (hash ^ static_cast<uint32_t>(nets_.pin[i])) * 0x100000001B3ull + (hash >> 29);
    std::vector<int32_t>& bucket = by_hash_[hash];
    const auto length = static_cast<int64_t>(nets_.pin.size() - from);
    for (int32_t e : bucket)
        if (nets_.end(e) - nets_.begin(e) == length &&
            std::equal(nets_.pin.begin() + nets_.begin(e), nets_.pin.begin() + nets_.end(e),
                       nets_.pin.begin() + static_cast<std::ptrdiff_t>(from)))
            return e;
    bucket.push_back(nets_.count);
    return -1;
}

Nets NetBuilder::finish() {
    by_hash_.clear();
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
