// _check_feedback_delay, shared with the mapping module, whose public check_feedback_delay is
// the same code.
#pragma once

#include "bind/ref.hpp"

namespace zerav::partition {

// (feedback_edges, assignments, hw_spec) -> list of (src, dst, hops, limit) for the edges over
// the limit; `module` is not used.
bind::Ref check_feedback_delay(PyObject* module, PyObject* const* args);

}  // namespace zerav::partition
