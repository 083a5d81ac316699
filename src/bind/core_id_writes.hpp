// The write-back of a mapping onto the host's graph: every node that carries a `core_id` gets
// its core, then the graph gets its `partition_metadata`, all or nothing. The writes are planned
// first (each node's presence test and the place its old value lives), then applied; a refused
// write, or a refused metadata store, leaves every node exactly as it was, including where its
// `core_id` lived (an instance entry a write added over a class attribute is removed again).
// A node reached under several names is restored once, and counted once if that fails.
#pragma once

#include "bind/ref.hpp"

#include <cstdint>
#include <vector>

namespace bind {

class CoreIdWrites {
  public:
    // Plans `node.core_id = core` when the node has a `core_id` (read once, as an optional
    // attribute); a node without one is left alone.
    void plan(Ref node, Ref core);

    // Writes every planned core id, then `graph.partition_metadata = metadata`; when any of it
    // fails, puts back what was written and throws with that failure's error.
    void commit(PyObject* graph, PyObject* metadata);

  private:
    struct Write {
        Ref node, old_value, new_value;
        bool from_class;  // the old value came from the class, not from the node's own dict
    };
    void undo(size_t written) noexcept;
    // Per write below `written`: whether it is its node's first plan (empty without memory).
    std::vector<uint8_t> first_plans(size_t written) const noexcept;

    std::vector<Write> writes_;
};

}  // namespace bind
