#include "zerav/graph/placement/free_cells.hpp"

#include "bind/set_table.hpp"

namespace zerav::placement {

namespace {

namespace set_table = bind::set_table;

constexpr uint64_t kPrime1 = 11400714785074694791ull;
constexpr uint64_t kPrime2 = 14029467366897019727ull;
constexpr uint64_t kPrime5 = 2870177450012600261ull;
constexpr size_t kPollPeriod = size_t{1} << 16;

uint64_t rotate31(uint64_t x) { return (x << 31) | (x >> 33); }

// hash((r, c)) of the host for two ints in [0, 2**61 - 1) (such an int hashes to itself), as
// an unsigned 64-bit value: the host's tuple hash, an xxHash-style mix of the item hashes.
uint64_t cell_tuple_hash(uint64_t r, uint64_t c) {
    uint64_t acc = kPrime5;
    acc += r * kPrime2;
    acc = rotate31(acc);
    acc *= kPrime1;
    acc += c * kPrime2;
    acc = rotate31(acc);
    acc *= kPrime1;
    acc += 2 ^ (kPrime5 ^ 3527539ull);
    return acc == UINT64_MAX ? 1546275796ull : acc;
}

// The fill at which a table of `size` slots grows: the first for which set_table::must_grow.
constexpr size_t growth_fill(size_t size) { return (3 * (size - 1) + 4) / 5; }
static_assert(set_table::must_grow(growth_fill(64), 63) && !set_table::must_grow(growth_fill(64) - 1, 63));

// Stores `cell` in the first empty slot of its probe sequence (the table has no dummies).
void insert_clean(std::vector<uint32_t>& table, uint64_t hash, uint32_t cell) {
    table[set_table::probe(hash, table.size() - 1,
                           [&](size_t k) { return table[k] == FreeCellOrder::kEmpty; })] = cell;
}

}  // namespace

size_t FreeCellOrder::final_slots(uint64_t cells) {
    size_t size = set_table::kMinSize;
    for (size_t fill = growth_fill(size); fill <= cells; fill = growth_fill(size)) {
        size = set_table::grown_size(fill);
    }
    return size;
}

uint64_t FreeCellOrder::peak_bytes(uint64_t cells) {
    const uint64_t last = final_slots(cells);
    return (last + last / 2) * sizeof(uint32_t);
}

FreeCellOrder::FreeCellOrder(uint32_t rows, uint32_t cols, const std::function<void()>& poll)
    : cols_(cols), slots_(set_table::kMinSize, kEmpty) {
    size_t fill = 0;
    size_t next_growth = growth_fill(slots_.size());
    uint32_t cell = 0;
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < cols; ++c, ++cell) {
            insert_clean(slots_, cell_tuple_hash(r, c), cell);
            if (++fill == next_growth) {
                resize(set_table::grown_size(fill));
                next_growth = growth_fill(slots_.size());
            }
            if (fill % kPollPeriod == 0) poll();
        }
    }
}

void FreeCellOrder::resize(size_t size) {
    set_table::rebuild(
        slots_, size, kEmpty, [](uint32_t cell) { return cell != kEmpty; },
        [this](uint32_t cell) { return cell_tuple_hash(cell / cols_, cell % cols_); });
}

}  // namespace zerav::placement
