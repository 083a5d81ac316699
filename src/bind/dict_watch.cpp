#include "bind/dict_watch.hpp"

#include "bind/pending_error.hpp"

namespace bind {

// The live watches of this module, as an intrusive list (calls can nest through host code).
struct DictWatchRegistry {
    static inline int watcher = -2;  // -2: not yet asked for, -1: none available
    static inline DictWatch* head = nullptr;

    static int callback(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
        for (DictWatch* w = head; w; w = w->next_)
            if (w->dict_.get() == dict) w->changed_ = true;
        return 0;
    }

    static bool watched_elsewhere(const DictWatch* self, PyObject* dict) {
        for (DictWatch* w = head; w; w = w->next_)
            if (w != self && w->active_ && w->dict_.get() == dict) return true;
        return false;
    }
};

DictWatch::DictWatch(PyObject* dict) : dict_(Ref::borrow(dict)) {
    if (DictWatchRegistry::watcher == -2) {
        DictWatchRegistry::watcher = PyDict_AddWatcher(DictWatchRegistry::callback);
        if (DictWatchRegistry::watcher < 0) PyErr_Clear();
    }
    if (DictWatchRegistry::watcher < 0 || !PyDict_CheckExact(dict)) return;
    // A split table is an instance's attribute dict sharing the instance's value array:
    // attribute stores write that array without notifying the watcher, so such a dict can
    // change unseen. Only combined tables, whose every change goes through the dict, are
    // watched.
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) return;
    if (PyDict_Watch(DictWatchRegistry::watcher, dict) < 0) {
        PyErr_Clear();
        return;
    }
    active_ = true;
    next_ = DictWatchRegistry::head;
    DictWatchRegistry::head = this;
}

DictWatch::~DictWatch() {
    if (!active_) return;
    DictWatch** link = &DictWatchRegistry::head;
    while (*link && *link != this) link = &(*link)->next_;
    if (*link) *link = next_;
    if (!DictWatchRegistry::watched_elsewhere(this, dict_.get())) {
        PendingError pending;  // a failure to unwatch is discarded
        PyDict_Unwatch(DictWatchRegistry::watcher, dict_.get());
    }
}

}  // namespace bind
