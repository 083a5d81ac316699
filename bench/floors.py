"""The I/O floor of each entry point: the pure Python-object work that any implementation must
do on the same input, written as plain Python loops."""

from __future__ import annotations

import numpy as np

from zerav.ir import Input, Output

BOUNDARY = (Input, Output)


def partition_floor(graph, hw_spec):
    """Iterate the nodes and the edges with unpacking, one isinstance test per node, one dict of
    V entries and one list of E/4 pairs."""
    assignments = {}
    for name, node in graph.nodes.items():
        isinstance(node, BOUNDARY)
        assignments[name] = 0
    cut = []
    k = 0
    for src, dst in graph.edges:
        if not k & 3:
            cut.append((src, dst))
        k += 1
    return assignments, cut


def place_floor(graph, hw_spec):
    """Read the assignments of every edge's endpoints, one pass over the edges."""
    assignments = graph.partition_metadata["assignments"]
    get = assignments.get
    for src, dst in graph.edges:
        get(src, 0)
        get(dst, 0)


_WEIGHTS = ("weight", "bias", "running_mean", "running_var", "gamma", "beta")
_STATE = ("tau", "v_threshold", "v_leak", "r")


def allocate_floor(graph, hw_spec):
    """The attribute reads allocate makes: core_id, precision, the record fields or the ten
    array names, an isinstance and a size per array; one pass over the cross-core edges."""
    ndarray = np.ndarray
    for name, node in graph.nodes.items():
        if isinstance(node, BOUNDARY):
            continue
        getattr(node, "core_id", None)
        getattr(node, "precision", None)
        fields = getattr(node, "__dataclass_fields__", None)
        if fields is not None:
            for f in fields:
                v = getattr(node, f, None)
                if isinstance(v, ndarray):
                    v.size
        else:
            for f in _WEIGHTS + _STATE:
                v = getattr(node, f, None)
                if isinstance(v, ndarray):
                    v.size
    meta = graph.partition_metadata
    assignments = meta["assignments"]
    for src, dst in meta["cross_core_edges"]:
        assignments[dst]
