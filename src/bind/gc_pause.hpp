// A pause of CPython's cyclic garbage collector over native code that makes many container
// objects (result tuples) and calls no host code, so that the collector does not walk them
// again every 2,000 allocations. It is paused only if it was on, and turned on again on every
// way out of the scope; host code cannot change its state in between, since none runs there.
#pragma once

#include <Python.h>

namespace bind {

class GcPause {
  public:
    GcPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    bool was_enabled_;
};

}  // namespace bind
