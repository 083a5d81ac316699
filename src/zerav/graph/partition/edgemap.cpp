// partition_edgemap: greedy stage, then single-node moves that strictly lower the cut.
#include "zerav/graph/partition/partition.hpp"

namespace zerav::partition {

bind::Ref partition_edgemap(PyObject*, PyObject*, PyObject*) {
    bind::raise(PyExc_NotImplementedError, "partition_edgemap is not built yet");
}

}  // namespace zerav::partition
