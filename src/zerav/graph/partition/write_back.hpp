// The write-back of partition(): every node that carries a `core_id` gets its assigned core,
// all or nothing. All lookups and presence tests come first, then the writes; a failure at any
// point after the first write (a refused write, or a later step of the caller that undoes
// them) leaves every node exactly as it was, including where its `core_id` lived.
#pragma once

#include "bind/ref.hpp"

#include <vector>

namespace zerav::partition {

class CoreIdWrites {
  public:
    // Reads `result.assignments` and, unless it is empty, `graph.nodes[name]` and the presence
    // of `core_id` for each of its names; writes nothing.
    CoreIdWrites(PyObject* graph, PyObject* result);

    // Writes every planned core id; when one write fails, undoes the others and throws with
    // that write's error.
    void apply();

    // Puts back what apply() overwrote (after a later failure of the caller); the pending
    // error, if any, stays pending.
    void undo() noexcept;

  private:
    struct Write {
        bind::Ref node, old_value, new_value;
        bool from_class;  // the old value came from the class, not from the node's own dict
    };
    // Puts back writes [0, count); returns how many of them could not be put back.
    size_t restore(size_t count) noexcept;

    std::vector<Write> writes_;
    size_t written_ = 0;
};

}  // namespace zerav::partition
