// The order in which the host's set of free mesh cells yields its cells, reproduced natively.
//
// The placement takes "any free cell" as the first element that iteration over a CPython 3.13
// set yields, the set having been filled with every (row, col) tuple in row-major order and
// then had cells discarded. That order is the slot order of the set's hash table, which is
// fixed by the tuple hashes, the probe sequence and the table's growth while it was filled.
// Discards only turn slots into dummies (nothing moves and nothing resizes), so the survivors
// keep their relative order and a cursor over the slot order finds the first free cell
// without rescanning from the start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace zerav::placement {

class FreeCellOrder {
  public:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    // Cells are numbered r * cols + c; a mesh may have at most this many of them.
    static constexpr uint64_t kMaxCells = UINT32_MAX - 1;

    // The slot count of the host's table after `cells` row-major adds, and the largest number
    // of bytes the emulation holds at once while reaching it (old and new table in a resize).
    static size_t final_slots(uint64_t cells);
    static uint64_t peak_bytes(uint64_t cells);

    // Fills the table with every cell of a rows x cols mesh (rows, cols >= 1, at most
    // kMaxCells cells). `poll` is called now and then (it may throw to abandon the work).
    FreeCellOrder(uint32_t rows, uint32_t cols, const std::function<void()>& poll);

    // The first cell in slot order for which `taken(cell)` is false, or -1 when every cell is
    // taken. Taken cells must stay taken: the cursor never moves back.
    template <class Taken>
    int64_t first(Taken&& taken) {
        while (cursor_ < slots_.size()) {
            const uint32_t cell = slots_[cursor_];
            if (cell != kEmpty && !taken(cell)) return cell;
            ++cursor_;
        }
        return -1;
    }

  private:
    void resize(size_t size);

    uint32_t cols_;
    std::vector<uint32_t> slots_;
    size_t cursor_ = 0;
};

}  // namespace zerav::placement
