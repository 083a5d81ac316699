// partition_spectral: recursive Fiedler-vector bisection.
#include "zerav/graph/partition/partition.hpp"

namespace zerav::partition {

bind::Ref partition_spectral(PyObject*, PyObject*, PyObject*) {
    bind::raise(PyExc_NotImplementedError, "partition_spectral is not built yet");
}

}  // namespace zerav::partition
