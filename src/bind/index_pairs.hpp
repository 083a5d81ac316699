// A host iterator that yields the pairs (a[i], b[i]) of two native index arrays as int tuples,
// one at a time: a consumer that takes an iterable of pairs never needs all of them alive at
// once. The arrays are borrowed: call expire() before they go away, after which the iterator
// is exhausted whatever its consumer does with it.
#pragma once

#include "bind/ref.hpp"

#include <cstdint>
#include <span>

namespace bind {

Ref index_pairs(std::span<const int32_t> a, std::span<const int32_t> b);
void expire_index_pairs(PyObject* iterator);

}  // namespace bind
