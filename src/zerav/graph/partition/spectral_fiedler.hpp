// One split step of the spectral partitioner: the Fiedler vector of a piece's principal
// Laplacian submatrix (from the eigen-solver, or positional when the solver fails in a
// recoverable way, with a RuntimeWarning) and the median rule that sends each position to the
// first half (value <= median) or the second (value > median).
#pragma once

#include "zerav/graph/partition/spectral_bisect.hpp"

#include "bind/ref.hpp"

#include <cstdint>
#include <span>

namespace zerav::partition {

class FiedlerSplit {
  public:
    // `np` the module's numpy, `eigsh` the solver imported for this call, `laplacian` the
    // sparse Laplacian of all compute nodes.
    FiedlerSplit(PyObject* np, PyObject* eigsh, PyObject* laplacian);

    void operator()(std::span<const int64_t> piece, std::span<Side> side);

  private:
    bind::Ref fiedler_vector(PyObject* sub_lap, Py_ssize_t sub_n);
    bind::Ref fallback_vector(bind::Ref error, Py_ssize_t sub_n);
    bool classify_native(PyObject* fiedler, PyObject* median, std::span<Side> side);
    void classify_generic(PyObject* fiedler, PyObject* median, std::span<Side> side);

    PyObject* np_;
    PyObject* eigsh_;
    PyObject* laplacian_;
    bind::Ref ndarray_, intp_, ix_, median_, last_column_;
};

}  // namespace zerav::partition
