// Iteration over a host collection of pairs, e.g. graph edges: `for src, dst in items`.
#pragma once

#include "bind/host.hpp"

namespace bind {

// Calls `f(item, first, second)` with `item` unpacked into exactly two values (the host's
// unpacking rules and messages); the pointers are borrowed and valid during the call.
template <class F>
void with_pair(PyObject* item, F&& f) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        f(item, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
        return;
    }
    Ref parts[2];
    unpack(item, 2, parts);
    f(item, parts[0].get(), parts[1].get());
}

// Calls `f(item, first, second)` for every item of `iterable`, each unpacked into exactly two
// values (the host's unpacking rules and messages). The three pointers are borrowed and valid
// during the call. An exact list is walked by index (re-reading its size, as the list iterator
// does); anything else through the iterator protocol. Ctrl-C is checked now and then.
template <class F>
void for_each_pair(PyObject* iterable, F&& f) {
    SignalCheck signals;
    auto visit = [&](PyObject* item) {
        with_pair(item, f);
        signals.tick();
    };
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            visit(item.get());
        }
        return;
    }
    Ref it = check(PyObject_GetIter(iterable));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        visit(item.get());
    }
    if (PyErr_Occurred()) raise();
}

}  // namespace bind
