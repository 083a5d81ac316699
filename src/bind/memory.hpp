// Work sized by host values (a mesh of rows x cols cells, a layout of n entries) is checked
// against the machine before it starts: a size that cannot fit at all fails at once with
// MemoryError, as a failed allocation does, instead of running until the system kills the
// process.
#pragma once

#include "bind/ref.hpp"

namespace bind {

// Raises MemoryError when `bytes` exceed the machine's physical memory plus swap.
void require_memory(long double bytes);

}  // namespace bind
