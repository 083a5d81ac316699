#include "zerav/graph/placement/host_ints.hpp"

namespace zerav::placement {

using bind::check;
using bind::Ref;

Ref as_int(PyObject* value) {
    if (PyLong_CheckExact(value)) return Ref::borrow(value);
    const PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (nb && (nb->nb_int || nb->nb_index)) return check(PyNumber_Long(value));
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(value)->tp_name);
    bind::raise();
}

int sign_of(PyObject* int_value) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(int_value, &overflow);
    if (overflow) return overflow;
    if (v == -1 && PyErr_Occurred()) bind::raise();
    return (v > 0) - (v < 0);
}

void HostTotal::add(bind::i128 term) {
    if (!object_) {
        bind::i128 sum;
        if (!__builtin_add_overflow(value_, term, &sum)) {
            value_ = sum;
            return;
        }
        object_ = bind::py_int128(value_);
    }
    Ref t = bind::py_int128(term);
    object_ = check(PyNumber_InPlaceAdd(object_.get(), t.get()));
}

void HostTotal::add(PyObject* term) {
    if (!object_) object_ = bind::py_int128(value_);
    object_ = check(PyNumber_InPlaceAdd(object_.get(), term));
}

Ref position_tuple(PyObject* row, PyObject* col) {
    Ref pos = bind::tuple_of({row, col});
    if (PyLong_CheckExact(row) && PyLong_CheckExact(col)) PyObject_GC_UnTrack(pos.get());
    return pos;
}

void add_weighted(HostTotal& total, bind::i128 manhattan, int64_t weight) {
    bind::i128 product;
    if (!__builtin_mul_overflow(manhattan, static_cast<bind::i128>(weight), &product)) {
        total.add(product);
        return;
    }
    Ref m = bind::py_int128(manhattan);
    Ref w = bind::py_int(weight);
    Ref p = check(PyNumber_Multiply(m.get(), w.get()));
    total.add(p.get());
}

}  // namespace zerav::placement
