#include "bind/boundary_nodes.hpp"

#include "bind/host.hpp"
#include "bind/module.hpp"

namespace bind {

namespace {

// True when attribute lookup of `__class__` on instances of `type` reaches object's own
// descriptor through the generic lookup, so that isinstance sees the real type.
bool reports_real_class(PyTypeObject* type) {
    // A type with its own attribute hook (__getattribute__ or __getattr__) may answer
    // `__class__` itself.
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = check(PyType_GetDict(base));
        int found = check(PyDict_Contains(dict.get(), BIND_NAME("__class__")));
        if (found) return base == &PyBaseObject_Type;
    }
    return false;
}

}  // namespace

BoundaryTest::BoundaryTest(PyObject* module) {
    Ref classes[2];
    import_now(module, "zerav.ir", {"Input", "Output"}, classes);
    input_ = classes[0];
    output_ = classes[1];
    classes_ = tuple_of({input_.get(), output_.get()});
    plain_ = PyType_CheckExact(input_.get()) && PyType_CheckExact(output_.get());
}

bool BoundaryTest::slow(PyObject* node) {
    pure_ = false;
    if (check(PyObject_IsInstance(node, input_.get()))) return true;
    return check(PyObject_IsInstance(node, output_.get())) != 0;
}

bool BoundaryTest::operator()(PyObject* node) {
    if (!plain_) return slow(node);
    PyTypeObject* type = Py_TYPE(node);
    for (int i = 0; i < kCache; ++i)
        if (types_[i].get() == reinterpret_cast<PyObject*>(type)) return answers_[i];
    if (!reports_real_class(type)) return slow(node);
    const bool answer = PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(input_.get())) ||
                        PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(output_.get()));
    types_[next_] = Ref::borrow(reinterpret_cast<PyObject*>(type));
    answers_[next_] = answer;
    next_ = (next_ + 1) % kCache;
    return answer;
}

}  // namespace bind
