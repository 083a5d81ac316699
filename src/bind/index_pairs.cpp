#include "bind/index_pairs.hpp"

namespace bind {
namespace {

struct PairIterator {
    PyObject_HEAD const int32_t* a;
    const int32_t* b;
    Py_ssize_t size;
    Py_ssize_t next;
};

PyObject* next_pair(PyObject* self) {
    auto* it = reinterpret_cast<PairIterator*>(self);
    if (it->next >= it->size) return nullptr;
    const Py_ssize_t i = it->next++;
    return Py_BuildValue("(ii)", it->a[i], it->b[i]);
}

PyObject* length_hint(PyObject* self, PyObject*) {
    auto* it = reinterpret_cast<PairIterator*>(self);
    return PyLong_FromSsize_t(it->size - it->next);
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"__length_hint__", length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_pair)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"zerav.index_pairs", sizeof(PairIterator), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

PyTypeObject* type() {
    static PyObject* t = nullptr;
    if (!t) t = check(PyType_FromSpec(&spec)).release();
    return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace

IndexPairs::IndexPairs(std::span<const int32_t> a, std::span<const int32_t> b) {
    auto* it = PyObject_New(PairIterator, type());
    if (!it) raise();
    it->a = a.data();
    it->b = b.data();
    it->size = static_cast<Py_ssize_t>(a.size() < b.size() ? a.size() : b.size());
    it->next = 0;
    iterator_ = Ref::steal(reinterpret_cast<PyObject*>(it));
}

IndexPairs::~IndexPairs() {
    auto* it = reinterpret_cast<PairIterator*>(iterator_.get());
    it->a = it->b = nullptr;
    it->size = it->next = 0;
}

}  // namespace bind
