// The write-back of partition(): the planned `core_id` writes of a result's assignments.
#pragma once

#include "bind/core_id_writes.hpp"

namespace zerav::partition {

// Reads `result.assignments` and, unless it is empty, `graph.nodes[name]` and the presence of
// `core_id` for each of its names; writes nothing.
bind::CoreIdWrites plan_core_id_writes(PyObject* graph, PyObject* result);

}  // namespace zerav::partition
