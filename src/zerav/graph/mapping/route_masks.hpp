// The directed links of a small window of the mesh as the bits of a 128-bit mask, and the
// dimension-order route between two of its cells as such a mask. A multicast tree is the union
// of the routes to its destinations, so its links are the OR of their masks and their count
// the bits set; the links a tree gains or loses when a core moves are the bits that differ.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace zerav::mapping {

struct LinkMask {
    uint64_t low = 0, high = 0;

    LinkMask& operator|=(const LinkMask& o) {
        low |= o.low, high |= o.high;
        return *this;
    }
    LinkMask without(const LinkMask& o) const { return {low & ~o.low, high & ~o.high}; }
    int64_t count() const { return bits(low) + bits(high); }
    bool operator==(const LinkMask&) const = default;

    // The bits set in `x`, counted in registers: the build targets baseline x86-64, where
    // std::popcount is a call into the compiler's runtime library.
    static int64_t bits(uint64_t x) {
        x -= (x >> 1) & 0x5555555555555555ull;
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<int64_t>((x * 0x0101010101010101ull) >> 56);
    }

    // Calls f(link) for every bit set.
    template <class F>
    void each(F&& f) const {
        for (uint64_t w = low; w != 0; w &= w - 1) f(std::countr_zero(w));
        for (uint64_t w = high; w != 0; w &= w - 1) f(64 + std::countr_zero(w));
    }
};

// The routes of a window of `rows` x `cols` cells (numbered row * cols + col) with at most
// kMostLinks directed links: the links along rows first (per row, per column gap, east then
// west), then the links along columns (per column, per row gap, south then north).
class RouteMasks {
  public:
    static constexpr int64_t kMostLinks = 128;

    static int64_t links(int64_t rows, int64_t cols) { return 2 * (rows * (cols - 1) + cols * (rows - 1)); }

    RouteMasks() = default;
    RouteMasks(int32_t rows, int32_t cols) : cells_(rows * cols) {
        route_.resize(static_cast<size_t>(cells_) * static_cast<size_t>(cells_));
        const int32_t row_links = 2 * rows * (cols - 1);
        auto set = [](LinkMask& m, int32_t bit) { (bit < 64 ? m.low : m.high) |= uint64_t{1} << (bit % 64); };
        for (int32_t a = 0; a < cells_; ++a)
            for (int32_t b = 0; b < cells_; ++b) {
                const int32_t r0 = a / cols, c0 = a % cols, r1 = b / cols, c1 = b % cols;
                LinkMask& m = route_[static_cast<size_t>(a * cells_ + b)];
                for (int32_t c = std::min(c0, c1); c < std::max(c0, c1); ++c)
                    set(m, 2 * (r0 * (cols - 1) + c) + (c1 < c0 ? 1 : 0));
                for (int32_t r = std::min(r0, r1); r < std::max(r0, r1); ++r)
                    set(m, row_links + 2 * (c1 * (rows - 1) + r) + (r1 < r0 ? 1 : 0));
            }
    }

    const LinkMask& route(int32_t from, int32_t to) const {
        return route_[static_cast<size_t>(from) * static_cast<size_t>(cells_) + static_cast<size_t>(to)];
    }

  private:
    int32_t cells_ = 0;
    std::vector<LinkMask> route_;
};

}  // namespace zerav::mapping
