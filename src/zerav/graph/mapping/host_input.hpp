// The host objects read once into the plain problem: node names and objects in the order of
// `graph.nodes`, the edges between known nodes, the chip's numbers and, for the SRAM
// constraint, each node's bytes as allocate counts them.
#pragma once

#include "zerav/graph/mapping/problem.hpp"

#include "bind/name_index.hpp"

namespace zerav::mapping {

using bind::Ref;

struct HostGraph {
    std::vector<Ref> names, nodes;  // node i: its key in graph.nodes and its object
    // Each kept edge as an exact (src, dst) tuple of the endpoints graph.edges yields: the
    // edge itself where it is one (the cut lists then share it, and make nothing), else one
    // made here.
    std::vector<Ref> edge_pairs;
    Py_ssize_t edge_count = 0;  // len(graph.edges), every edge counted
};

// Reads the graph (nodes, kinds, edges) into `graph` and `problem`.
void read_graph(PyObject* module, PyObject* graph_obj, HostGraph& graph, Problem& problem);

// Reads the chip; `sram` says whether SRAM is a constraint.
ChipShape read_chip(PyObject* hw_spec, bool sram);

// Reads the firing rate of every node from `rates` (a mapping from node names, read with
// `get`), unless it is None; a node it lacks fires at rate 1. A rate that is not a finite
// number >= 0 is a ValueError naming the node and the value.
void read_rates(PyObject* rates, const HostGraph& graph, Problem& problem);

// Counts each compute node's weight and state bytes with the resource module's own code and
// helpers, so that the totals are allocate's.
void read_node_bytes(const HostGraph& graph, Problem& problem);

}  // namespace zerav::mapping
