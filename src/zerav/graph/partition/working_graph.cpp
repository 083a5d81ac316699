#include "zerav/graph/partition/working_graph.hpp"

#include "bind/index_pairs.hpp"
#include "bind/pairs.hpp"

#include <cstring>
#include <limits>

namespace zerav::partition {

using bind::check;
using bind::Ref;

namespace {

// The library's vertex indices, each checked against the vertex count: an index the working
// graph does not have is the KeyError that looking it up among the vertices gives.
std::vector<int32_t> read_indices(PyObject* sequence, int32_t vertex_count) {
    Ref fast = check(PySequence_Fast(sequence, "expected a sequence of node indices"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject** items = PySequence_Fast_ITEMS(fast.get());
    std::vector<int32_t> out(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const long v = PyLong_AsLong(items[i]);
        if (v == -1 && PyErr_Occurred()) bind::raise();
        if (v < 0 || v >= vertex_count) bind::raise_key_error(items[i]);
        out[i] = static_cast<int32_t>(v);
    }
    return out;
}

// The library's index sequences convert to a 64-bit integer array without a Python int per
// element; read that array's buffer, or fall back to the sequence protocol when there is no
// `__array__` (a plain list) or no such buffer. Any other failure propagates.
std::vector<int32_t> read_index_array(PyObject* sequence, int32_t vertex_count) {
    PyObject* array = PyObject_CallMethodNoArgs(sequence, BIND_NAME("__array__"));
    if (!array) {
        bind::clear_expected({PyExc_AttributeError});
        return read_indices(sequence, vertex_count);
    }
    Ref owned = Ref::steal(array);
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        bind::clear_expected({PyExc_BufferError, PyExc_TypeError});
        return read_indices(sequence, vertex_count);
    }
    std::vector<int32_t> out;
    const char* fmt = view.format ? view.format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    bool wide = view.itemsize == 8 && fmt[1] == '\0' && std::strchr("qQlLnN", fmt[0]);
    if (wide) {
        const auto n = static_cast<size_t>(view.len / 8);
        out.resize(n);
        const auto* data = static_cast<const uint64_t*>(view.buf);
        for (size_t i = 0; i < n && wide; ++i) {
            wide = data[i] < static_cast<uint64_t>(vertex_count);
            out[i] = static_cast<int32_t>(data[i]);
        }
    }
    PyBuffer_Release(&view);
    // An index out of range is reported by the sequence path, which names it.
    return wide ? out : read_indices(sequence, vertex_count);
}

}  // namespace

void WorkingGraph::add_vertex(PyObject* name) {
    if (names.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        bind::raise(PyExc_MemoryError, "graph has too many nodes");
    const auto v = static_cast<int32_t>(names.size());
    names.push_back(Ref::borrow(name));
    replaced_by.push_back(-1);
    const int32_t previous = index.assign(name, v);
    if (previous >= 0) replaced_by[previous] = v;
}

void WorkingGraph::read_nodes(PyObject* nodes, bool add_as_yielded) {
    std::vector<Ref> keys;
    if (PyDict_CheckExact(nodes)) {
        // Collect the entries first: hashing a key may run host code that must not see a
        // half-walked dict.
        std::vector<PyObject*> values;
        keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(nodes)));
        values.reserve(keys.capacity());
        bool all_str = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(nodes, &pos, &key, &value)) {
            keys.push_back(Ref::borrow(key));
            values.push_back(value);
            all_str = all_str && PyUnicode_CheckExact(key);
        }
        if (all_str) {
            // Watch first: nothing can have changed between the walk above and this point.
            nodes_watch = std::make_unique<bind::DictWatch>(nodes);
            node_values = std::move(values);
        }
    } else {
        Ref it = check(PyObject_GetIter(nodes));
        bind::SignalCheck signals;
        while (PyObject* raw = PyIter_Next(it.get())) {
            keys.push_back(Ref::steal(raw));
            if (add_as_yielded) add_vertex(keys.back().get());
            signals.tick();
        }
        if (PyErr_Occurred()) bind::raise();
        if (add_as_yielded) return;
    }
    index = bind::NameIndex(keys.size());
    names.reserve(keys.size());
    for (const Ref& k : keys) add_vertex(k.get());
}

WorkingGraph read_working_graph(PyObject* graph) {
    WorkingGraph wg;
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    wg.read_nodes(nodes.get(), true);

    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    const bool record = PyList_CheckExact(edges.get());
    if (record) {
        const auto n = static_cast<size_t>(PyList_GET_SIZE(edges.get()));
        wg.edge_src.reserve(n);
        wg.edge_dst.reserve(n);
        wg.edge_records.reserve(n);
    }
    bind::for_each_pair(edges.get(), [&](PyObject* item, PyObject* src, PyObject* dst) {
        const int32_t s = wg.index.find(src);
        const int32_t d = s < 0 ? -1 : wg.index.find(dst);
        if (record) {
            // Only exact tuples of exact str names: their lookups run no host code, so the
            // recorded answer is the one a new lookup would give.
            const bool plain = PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2 &&
                               PyUnicode_CheckExact(src) && PyUnicode_CheckExact(dst);
            wg.edge_records.push_back({plain ? Ref::borrow(item) : Ref(), s, d});
        }
        if (s < 0 || d < 0) return;
        wg.edge_src.push_back(s);
        wg.edge_dst.push_back(d);
    });
    return wg;
}

Ref WorkingGraph::node(PyObject* nodes, int32_t v) const {
    if (nodes_watch && nodes == nodes_watch->dict() && nodes_watch->unchanged())
        return Ref::borrow(node_values[v]);
    return bind::subscript(nodes, names[v].get());
}

bool WorkingGraph::edges_unchanged(PyObject* edges) const {
    if (!PyList_CheckExact(edges) || static_cast<size_t>(PyList_GET_SIZE(edges)) != edge_records.size())
        return false;
    for (size_t i = 0; i < edge_records.size(); ++i) {
        const PyObject* recorded = edge_records[i].item.get();
        if (!recorded || recorded != PyList_GET_ITEM(edges, static_cast<Py_ssize_t>(i))) return false;
    }
    return true;
}

bool still_current(const WorkingGraph& wg, PyObject* graph) {
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    if (!wg.nodes_watch || nodes.get() != wg.nodes_watch->dict() || !wg.nodes_watch->unchanged())
        return false;
    return wg.edges_unchanged(edges.get());
}

std::vector<int32_t> canonical_map(const WorkingGraph& wg) {
    if (wg.index.size() == wg.names.size()) return {};
    // Replacements always point to a later vertex: resolve from the last vertex down.
    std::vector<int32_t> map(wg.names.size());
    for (int32_t v = wg.vertex_count(); v-- > 0;) {
        const int32_t later = wg.replaced_by[v];
        map[v] = later < 0 ? v : map[later];
    }
    return map;
}

std::vector<int32_t> scc_of_names(const Components& c, const WorkingGraph& wg,
                                  const std::vector<int32_t>& canonical) {
    std::vector<int32_t> scc_of(wg.names.size(), -1);
    for (int32_t k = 0; k < c.count(); ++k)
        for (int32_t i = c.start[k]; i < c.start[k + 1]; ++i)
            scc_of[canonical_of(canonical, c.members[i])] = k;
    for (int32_t v = 0; v < wg.vertex_count(); ++v) scc_of[v] = scc_of[canonical_of(canonical, v)];
    return scc_of;
}

Ref build_rx_graph(PyObject* rx, const WorkingGraph& wg) {
    const Py_ssize_t v = wg.vertex_count();
    const auto e = static_cast<Py_ssize_t>(wg.edge_src.size());
    Ref cls = bind::attr(rx, BIND_NAME("PyDiGraph"));
    Ref v_hint = bind::py_int(v);
    Ref e_hint = bind::py_int(e);
    Ref rx_graph = bind::call_kw(
        cls.get(), {},
        {{BIND_NAME("node_count_hint"), v_hint.get()}, {BIND_NAME("edge_count_hint"), e_hint.get()}});
    Ref names = check(PyList_New(v));
    for (Py_ssize_t i = 0; i < v; ++i) PyList_SET_ITEM(names.get(), i, Py_NewRef(wg.names[i].get()));
    check(PyObject_CallMethodOneArg(rx_graph.get(), BIND_NAME("add_nodes_from"), names.get()));

    // The edges go in as a lazy iterator of index pairs: the library consumes one pair at a
    // time, so the E tuples never exist together.
    bind::IndexPairs pairs(wg.edge_src, wg.edge_dst);
    check(PyObject_CallMethodOneArg(rx_graph.get(), BIND_NAME("add_edges_from_no_data"), pairs.iterator()));
    return rx_graph;
}

bool rx_is_dag(PyObject* rx, PyObject* rx_graph) {
    Ref fn = bind::attr(rx, BIND_NAME("is_directed_acyclic_graph"));
    Ref r = check(PyObject_CallOneArg(fn.get(), rx_graph));
    return bind::truthy(r.get());
}

std::vector<int32_t> rx_topological_order(PyObject* rx, PyObject* rx_graph, int32_t vertex_count) {
    Ref fn = bind::attr(rx, BIND_NAME("topological_sort"));
    Ref r = check(PyObject_CallOneArg(fn.get(), rx_graph));
    return read_index_array(r.get(), vertex_count);
}

Components rx_strongly_connected(PyObject* rx, PyObject* rx_graph, int32_t vertex_count) {
    Ref fn = bind::attr(rx, BIND_NAME("strongly_connected_components"));
    Ref r = check(PyObject_CallOneArg(fn.get(), rx_graph));
    Components c;
    c.start.push_back(0);
    Ref it = check(PyObject_GetIter(r.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref component = Ref::steal(raw);
        for (int32_t m : read_indices(component.get(), vertex_count)) c.members.push_back(m);
        c.start.push_back(static_cast<int32_t>(c.members.size()));
    }
    if (PyErr_Occurred()) bind::raise();
    return c;
}

}  // namespace zerav::partition
