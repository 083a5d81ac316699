// Knowing that a host dict has not changed since it was read: a dict watcher (one per module)
// flags every modification of the dicts under watch. Code that read a dict's entries once
// may then reuse them instead of looking each key up again, with the same result.
#pragma once

#include "bind/ref.hpp"

namespace bind {

class DictWatch {
  public:
    // Starts watching `dict` (an exact dict). If no watcher can be had, or the dict can change
    // without the watcher seeing it (an instance's split attribute table, e.g. `vars(obj)`),
    // the watch reports the dict as changed, and callers take their generic path.
    explicit DictWatch(PyObject* dict);
    ~DictWatch();
    DictWatch(const DictWatch&) = delete;
    DictWatch& operator=(const DictWatch&) = delete;

    // True while nothing has modified the dict since the watch began.
    bool unchanged() const { return active_ && !changed_; }
    PyObject* dict() const { return dict_.get(); }

  private:
    friend struct DictWatchRegistry;
    Ref dict_;
    bool active_ = false;
    bool changed_ = false;
    DictWatch* next_ = nullptr;
};

}  // namespace bind
