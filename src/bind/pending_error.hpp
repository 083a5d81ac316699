// Setting the pending Python error aside while cleanup code runs: the scope takes the error
// (or the absence of one) when it begins and makes it pending again when it ends, whatever the
// code inside did meanwhile (an error raised there and not handled is discarded).
#pragma once

#include "bind/ref.hpp"

namespace bind {

class PendingError {
  public:
    PendingError() noexcept : error_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(error_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // The error set aside (borrowed), or null when none was pending.
    PyObject* get() const noexcept { return error_; }

    // Adds `note` (a str) to the error set aside, if any; a failure to add it is discarded.
    void add_note(PyObject* note) noexcept {
        if (!error_ || !note) return;
        PyObject* r = PyObject_CallMethod(error_, "add_note", "O", note);
        if (r) Py_DECREF(r);
        PyErr_Clear();
    }

    // Hands the error over to the caller: nothing is made pending when the scope ends.
    Ref take() noexcept { return Ref::steal(std::exchange(error_, nullptr)); }

  private:
    PyObject* error_;
};

}  // namespace bind
