// A host iterator that yields the pairs (a[i], b[i]) of two native index arrays as int tuples,
// one at a time: a consumer that takes an iterable of pairs never needs all of them alive at
// once. The arrays are borrowed for the lifetime of the `IndexPairs` guard: when it ends, the
// iterator is exhausted, whatever its consumer kept of it.
#pragma once

#include "bind/ref.hpp"

#include <cstdint>
#include <span>

namespace bind {

class IndexPairs {
  public:
    IndexPairs(std::span<const int32_t> a, std::span<const int32_t> b);
    ~IndexPairs();
    IndexPairs(const IndexPairs&) = delete;
    IndexPairs& operator=(const IndexPairs&) = delete;

    PyObject* iterator() const noexcept { return iterator_.get(); }

  private:
    Ref iterator_;
};

}  // namespace bind
