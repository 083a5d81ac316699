#include "zerav/graph/partition/spectral_fiedler.hpp"

#include "zerav/graph/partition/partition.hpp"

#include "bind/host.hpp"
#include "bind/pending_error.hpp"

#include <algorithm>
#include <cstring>

namespace zerav::partition {

namespace {

// While alive, `exc` is the exception being handled (as inside an `except` block), so that an
// exception raised meanwhile gets it as its context.
class Handling {
  public:
    explicit Handling(PyObject* exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    Ref previous_;
};

// A RuntimeWarning at stack level 2 (a warning that the filters turn into an error propagates).
void warn(PyObject* message) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(message, &size);
    if (utf8 && std::strlen(utf8) == static_cast<size_t>(size)) {
        check(PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 2));
        return;
    }
    // Text that has no C-string form (a NUL inside, or lone surrogates): the same warning
    // through the warnings module, which takes the str object itself.
    if (!utf8) bind::clear_expected({PyExc_UnicodeEncodeError});
    Ref warnings = check(PyImport_ImportModule("warnings"));
    Ref warn_fn = bind::attr(warnings.get(), BIND_NAME("warn"));
    Ref level = bind::py_int(2);
    PyObject* args[3] = {message, PyExc_RuntimeWarning, level.get()};
    check(PyObject_Vectorcall(warn_fn.get(), args, 3, nullptr));
}

}  // namespace

FiedlerSplit::FiedlerSplit(PyObject* np, PyObject* eigsh, PyObject* laplacian)
    : np_(np), eigsh_(eigsh), laplacian_(laplacian) {
    ndarray_ = bind::attr(np, BIND_NAME("ndarray"));
    intp_ = bind::attr(np, BIND_NAME("intp"));
    ix_ = bind::attr(np, BIND_NAME("ix_"));
    median_ = bind::attr(np, BIND_NAME("median"));
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    Ref last = bind::py_int(-1);
    last_column_ = bind::tuple_of({all.get(), last.get()});
}

void FiedlerSplit::operator()(std::span<const int64_t> piece, std::span<Side> side) {
    const auto sub_n = static_cast<Py_ssize_t>(piece.size());
    // The principal submatrix of the whole Laplacian, rows and columns in piece order.
    static_assert(sizeof(int64_t) == sizeof(Py_ssize_t), "numpy's intp is 64-bit here");
    Ref positions = numpy_array(np_, intp_.get(), piece.data(), piece.size_bytes());
    PyObject* ix_args[2] = {positions.get(), positions.get()};
    Ref ix = check(PyObject_Vectorcall(ix_.get(), ix_args, 2, nullptr));
    Ref sub_lap = check(PyObject_GetItem(laplacian_, ix.get()));

    Ref fiedler = fiedler_vector(sub_lap.get(), sub_n);
    Ref median = check(PyObject_CallOneArg(median_.get(), fiedler.get()));
    if (!classify_native(fiedler.get(), median.get(), side))
        classify_generic(fiedler.get(), median.get(), side);
}

// eigenvalues, eigenvectors = eigsh(sub_lap, k=k, which="SM"); fiedler = eigenvectors[:, -1]
Ref FiedlerSplit::fiedler_vector(PyObject* sub_lap, Py_ssize_t sub_n) {
    try {
        Ref k = bind::py_int(std::min<Py_ssize_t>(2, sub_n - 1));
        Ref which = check(PyUnicode_FromString("SM"));
        Ref pair =
            bind::call_kw(eigsh_, {sub_lap}, {{BIND_NAME("k"), k.get()}, {BIND_NAME("which"), which.get()}});
        Ref values_vectors[2];
        bind::unpack(pair.get(), 2, values_vectors);
        return check(PyObject_GetItem(values_vectors[1].get(), last_column_.get()));
    } catch (const bind::PyError&) {
        Ref error = bind::PendingError().take();
        return fallback_vector(std::move(error), sub_n);
    }
}

// The recoverable solver failures (ValueError, numpy's LinAlgError, ArithmeticError, with
// subclasses) warn and give the positional vector 0.0, 1.0, ...; anything else propagates.
Ref FiedlerSplit::fallback_vector(Ref error, Py_ssize_t sub_n) {
    Handling handling(error.get());
    Ref linalg = bind::attr(np_, BIND_NAME("linalg"));
    Ref linalg_error = bind::attr(linalg.get(), BIND_NAME("LinAlgError"));
    Ref recoverable = bind::tuple_of({PyExc_ValueError, linalg_error.get(), PyExc_ArithmeticError});
    if (!PyErr_GivenExceptionMatches(error.get(), recoverable.get())) {
        PyErr_SetRaisedException(error.release());
        bind::raise();
    }
    Ref type_name = bind::attr(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), BIND_NAME("__name__"));
    Ref type_text = bind::text(type_name.get());
    Ref error_text = bind::text(error.get());
    Ref message = check(PyUnicode_FromFormat("Spectral bisection fallback (subgraph size %zd): %U: %U", sub_n,
                                             type_text.get(), error_text.get()));
    warn(message.get());
    Ref arange = bind::attr(np_, BIND_NAME("arange"));
    Ref float64 = bind::attr(np_, BIND_NAME("float64"));
    Ref size = bind::py_int(sub_n);
    return bind::call_kw(arange.get(), {size.get()}, {{BIND_NAME("dtype"), float64.get()}});
}

// A 1-D float64 ndarray (any strides) with at least one value per position, and a float
// median: compared natively, IEEE rules (a NaN compares false both ways). False otherwise.
bool FiedlerSplit::classify_native(PyObject* fiedler, PyObject* median, std::span<Side> side) {
    if (Py_TYPE(fiedler) != reinterpret_cast<PyTypeObject*>(ndarray_.get()) || !PyFloat_Check(median))
        return false;
    Py_buffer view;
    if (PyObject_GetBuffer(fiedler, &view, PyBUF_RECORDS_RO) < 0) {
        bind::clear_expected({PyExc_BufferError, PyExc_TypeError});  // no such buffer
        return false;
    }
    const bool usable = view.ndim == 1 && view.itemsize == 8 && view.format &&
                        std::strcmp(view.format, "d") == 0 &&
                        view.shape[0] >= static_cast<Py_ssize_t>(side.size());
    if (usable) {
        const double m = PyFloat_AS_DOUBLE(median);
        const auto* base = static_cast<const char*>(view.buf);
        for (size_t i = 0; i < side.size(); ++i) {
            double x;
            std::memcpy(&x, base + static_cast<Py_ssize_t>(i) * view.strides[0], sizeof x);
            side[i] = x <= m ? Side::First : x > m ? Side::Second : Side::Neither;
        }
    }
    PyBuffer_Release(&view);
    return usable;
}

// Anything else: `fiedler[i] <= median` for every i, then `fiedler[i] > median` for every i,
// through the host's own indexing and comparisons. A value for which both hold stays in the
// first half.
void FiedlerSplit::classify_generic(PyObject* fiedler, PyObject* median, std::span<Side> side) {
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < side.size(); ++i) {
            Ref index = bind::py_int(static_cast<long long>(i));
            Ref value = check(PyObject_GetItem(fiedler, index.get()));
            Ref test = check(PyObject_RichCompare(value.get(), median, pass == 0 ? Py_LE : Py_GT));
            const bool holds = bind::truthy(test.get());
            if (pass == 0)
                side[i] = holds ? Side::First : Side::Neither;
            else if (holds && side[i] == Side::Neither)
                side[i] = Side::Second;
        }
    }
}

}  // namespace zerav::partition
