// The boundary between C++ and CPython: no C++ exception crosses it.
#pragma once

#include "bind/ref.hpp"

#include <exception>
#include <new>

namespace bind {

// Runs `body` (returning a Ref) and converts the outcome into the CPython convention: a new
// reference, or NULL with a Python error set. A pending Python error is never overwritten.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace bind
