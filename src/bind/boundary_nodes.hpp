// The test "is this node an Input or an Output" (isinstance against the host's classes).
//
// The classes are imported from `zerav.ir` when the test is made, at each call of the public
// functions. When both are plain classes (no metaclass hook), the answer depends only on the
// node's type unless the type overrides `__class__`; such types are answered from a small
// per-call cache, all others through `isinstance` itself.
#pragma once

#include "bind/ref.hpp"

namespace bind {

class BoundaryTest {
  public:
    explicit BoundaryTest(PyObject* module);
    bool operator()(PyObject* node);

    // True while every answer so far came from the type cache, that is, without running any
    // host code: repeating those tests would give the same answers with no visible effect.
    bool pure() const { return pure_; }

  private:
    bool slow(PyObject* node);
    Ref input_;
    Ref output_;
    Ref classes_;  // (Input, Output)
    bool plain_ = false;
    bool pure_ = true;
    static constexpr int kCache = 4;
    Ref types_[kCache];  // strong references: a cached type cannot be freed and reused
    bool answers_[kCache] = {};
    int next_ = 0;
};

}  // namespace bind
