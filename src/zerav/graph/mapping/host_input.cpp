// Reading the host objects into the plain problem.
#include "zerav/graph/mapping/host_input.hpp"

#include "zerav/graph/resource/node_bytes.hpp"

#include "bind/boundary_nodes.hpp"
#include "bind/host.hpp"
#include "bind/pairs.hpp"

#include <algorithm>
#include <climits>
#include <limits>
#include <unordered_map>

namespace zerav::mapping {

using bind::check;

namespace {

constexpr int64_t kLargest = int64_t{1} << 40;  // larger chip numbers change nothing

// An int member, clamped to +-2**40: `operator.index(value)`, so a float is a TypeError.
int64_t clamped(PyObject* value) {
    Ref index = check(PyNumber_Index(value));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) bind::raise();
    if (overflow) return overflow > 0 ? kLargest : -kLargest;
    return std::clamp<int64_t>(v, -kLargest, kLargest);
}

int64_t member(PyObject* hw_spec, const char* name) {
    Ref value = check(PyObject_GetAttrString(hw_spec, name));
    return clamped(value.get());
}

// A count (of cores, nodes or bytes): a negative one means nothing the mapping could honour,
// so it is refused with the host's own value rather than read as 0.
int64_t count_member(PyObject* hw_spec, const char* name) {
    Ref value = check(PyObject_GetAttrString(hw_spec, name));
    const int64_t v = clamped(value.get());
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, got %R", name, value.get());
        bind::raise();
    }
    return v;
}

// A new (src, dst) tuple for an edge the host yields as something else. A tuple of two names
// the collector does not track (strings, ints) can never be part of a cycle, so it is untracked
// at once, as the collector itself would do on its first pass over it.
Ref untracked_pair(PyObject* src, PyObject* dst) {
    Ref pair = bind::tuple_of({src, dst});
    if (!PyObject_GC_IsTracked(src) && !PyObject_GC_IsTracked(dst)) PyObject_GC_UnTrack(pair.get());
    return pair;
}

}  // namespace

void read_graph(PyObject* module, PyObject* graph_obj, HostGraph& graph, Problem& problem) {
    Ref nodes = bind::attr(graph_obj, BIND_NAME("nodes"));
    Ref items = check(PyObject_CallMethodNoArgs(nodes.get(), BIND_NAME("items")));
    bind::for_each_pair(items.get(), [&](PyObject*, PyObject* name, PyObject* node) {
        graph.names.push_back(Ref::borrow(name));
        graph.nodes.push_back(Ref::borrow(node));
    });
    if (graph.names.size() >= static_cast<size_t>(INT32_MAX))
        bind::raise(PyExc_MemoryError, "too many nodes");
    bind::NameIndex index(graph.names.size());
    std::vector<Ref> names, objects;
    for (size_t i = 0; i < graph.names.size(); ++i) {
        // A mapping that yields one key twice names one node: the first entry stands.
        if (index.find(graph.names[i].get()) >= 0) continue;
        index.assign(graph.names[i].get(), static_cast<int32_t>(names.size()));
        names.push_back(graph.names[i]);
        objects.push_back(graph.nodes[i]);
    }
    graph.names = std::move(names);
    graph.nodes = std::move(objects);
    problem.nodes = static_cast<int32_t>(graph.names.size());

    // Each name's first name of the same node object; kept only when some object has two.
    std::unordered_map<PyObject*, int32_t> first_name;
    std::vector<int32_t> alias(static_cast<size_t>(problem.nodes));
    bool shared = false;
    for (int32_t i = 0; i < problem.nodes; ++i) {
        const auto [at, added] = first_name.emplace(graph.nodes[static_cast<size_t>(i)].get(), i);
        alias[static_cast<size_t>(i)] = at->second;
        shared = shared || !added;
    }
    if (shared) problem.alias = std::move(alias);

    bind::BoundaryTest boundary(module);
    problem.compute.reserve(graph.nodes.size());
    for (const Ref& node : graph.nodes) problem.compute.push_back(boundary(node.get()) ? 0 : 1);

    Ref edges = bind::attr(graph_obj, BIND_NAME("edges"));
    bind::for_each_pair(edges.get(), [&](PyObject* item, PyObject* src, PyObject* dst) {
        const int32_t a = index.find(src);
        if (a < 0) return;
        const int32_t b = index.find(dst);
        if (b < 0) return;
        problem.src.push_back(a);
        problem.dst.push_back(b);
        graph.edge_pairs.push_back(PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2
                                       ? Ref::borrow(item)
                                       : untracked_pair(src, dst));
    });
    graph.edge_count = bind::length(edges.get());
}

ChipShape read_chip(PyObject* hw_spec, bool sram) {
    ChipShape chip;
    chip.capacity = count_member(hw_spec, "max_neurons_per_core");
    chip.num_cores = count_member(hw_spec, "num_cores");
    Ref mesh = check(PyObject_GetAttrString(hw_spec, "core_mesh_topology"));
    if (mesh.get() != Py_None) {
        Ref parts[2];
        bind::unpack(mesh.get(), 2, parts);
        chip.mesh = true;
        // Core ids are 32-bit (row * cols + col). Rows past 2**31 hold no such id; with more
        // than 2**31 - 1 columns only the first row does, so that row is the mesh the mapping
        // may use (there an id is its column, as on the host's mesh).
        const int64_t rows = clamped(parts[0].get()), cols = clamped(parts[1].get());
        if (rows < 0 || cols < 0) {
            PyErr_Format(PyExc_ValueError,
                         "core_mesh_topology must not have a negative row or column count, got %R",
                         mesh.get());
            bind::raise();
        }
        chip.rows = std::min<int64_t>(rows, INT32_MAX);
        chip.cols = std::min<int64_t>(cols, INT32_MAX);
        if (cols > INT32_MAX) chip.rows = std::min<int64_t>(chip.rows, 1);
    }
    chip.feedback_delay = member(hw_spec, "max_feedback_delay");
    if (chip.feedback_delay < 0) chip.feedback_delay = -1;
    if (sram) chip.sram = count_member(hw_spec, "sram_bytes_per_core");
    return chip;
}

void read_rates(PyObject* rates, const HostGraph& graph, Problem& problem) {
    if (rates == Py_None) return;
    // A fresh object as the default of `get` tells a missing name from any value.
    Ref missing = check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    problem.rate.assign(graph.names.size(), 1.0);
    bind::SignalCheck signals(1u << 10);
    for (size_t i = 0; i < graph.names.size(); ++i) {
        Ref value = bind::get_or(rates, graph.names[i].get(), missing.get());
        signals.tick();
        if (value.get() == missing.get()) continue;
        // float(value) as the number protocol gives it; what is no number is refused below.
        double rate = PyFloat_AsDouble(value.get());
        if (rate == -1.0 && PyErr_Occurred()) {
            bind::clear_expected({PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError});
            rate = std::numeric_limits<double>::quiet_NaN();
        }
        if (!(rate >= 0.0 && rate <= std::numeric_limits<double>::max())) {
            PyErr_Format(PyExc_ValueError, "rates: node %R has rate %R; a rate is a finite number >= 0",
                         graph.names[i].get(), value.get());
            bind::raise();
        }
        problem.rate[i] = rate;
    }
}

void read_node_bytes(const HostGraph& graph, Problem& problem) {
    Ref resource = check(PyImport_ImportModule("zerav.graph.resource"));
    resource::NodeBytes counter(resource.get());
    problem.node_bytes.assign(graph.nodes.size(), 0);
    bind::SignalCheck signals(1u << 10);
    for (size_t i = 0; i < graph.nodes.size(); ++i) {
        if (!problem.compute[i]) continue;  // allocate counts compute nodes only
        bind::Amount weight, state;
        counter.add(graph.nodes[i].get(), weight, state);
        const bind::Amount total = bind::add(weight, state);
        if (!total.native() || total.value() < 0 || total.value() > kLargest) {
            Ref value = total.object();
            PyErr_Format(PyExc_ValueError,
                         "sram=True needs byte counts that are ints from 0 to 2**40; node %R has %R",
                         graph.names[i].get(), value.get());
            bind::raise();
        }
        problem.node_bytes[i] = static_cast<int64_t>(total.value());
        signals.tick();
    }
}

}  // namespace zerav::mapping
