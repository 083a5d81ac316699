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

Ref position_tuple(PyObject* row, PyObject* col) {
    Ref pos = bind::tuple_of({row, col});
    if (PyLong_CheckExact(row) && PyLong_CheckExact(col)) PyObject_GC_UnTrack(pos.get());
    return pos;
}

void add_weighted(bind::Amount& total, bind::i128 manhattan, int64_t weight) {
    const bind::Amount term = bind::multiply(bind::Amount(manhattan), bind::Amount(weight));
    total = bind::add(total, term, true);
}

}  // namespace zerav::placement
