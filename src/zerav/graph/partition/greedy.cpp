// partition_greedy: fill cores one after another in topological order (DAG) or SCC by SCC,
// largest first (cyclic graph), keeping every SCC's compute nodes on one core. The plain-Python
// model of the same steps is `greedy` in tests/partition/reference.py.
#include "zerav/graph/partition/edge_lists.hpp"
#include "zerav/graph/partition/greedy_fill.hpp"
#include "zerav/graph/partition/partition.hpp"
#include "zerav/graph/partition/working_graph.hpp"

#include "bind/boundary_nodes.hpp"
#include "bind/host.hpp"
#include "bind/module.hpp"

#include <algorithm>
#include <numeric>

namespace zerav::partition {

namespace {

// The order in which the fill visits the nodes: the library's topological order for a DAG; for a
// cyclic graph the SCCs in the library's order, stably sorted longest first, members in the
// library's order. Each name is visited once.
struct VisitingOrder {
    bool is_dag = true;
    std::vector<int32_t> vertices;  // one vertex per distinct name, in visiting order
    std::vector<int32_t> scc_of;    // cyclic graph: vertex -> SCC of its name; empty for a DAG
    int32_t scc_count = 0;
};

// Keeps the first vertex of every name (names repeat only in mappings that yield a name twice).
void drop_repeated_names(std::vector<int32_t>& vertices, const std::vector<int32_t>& canonical) {
    if (canonical.empty()) return;
    std::vector<bool> seen(canonical.size(), false);
    size_t kept = 0;
    for (int32_t v : vertices) {
        if (seen[canonical[v]]) continue;
        seen[canonical[v]] = true;
        vertices[kept++] = v;
    }
    vertices.resize(kept);
}

VisitingOrder visiting_order(PyObject* rx, PyObject* rx_graph, const WorkingGraph& wg) {
    VisitingOrder out;
    const std::vector<int32_t> canonical = canonical_map(wg);
    out.is_dag = rx_is_dag(rx, rx_graph);
    if (out.is_dag) {
        out.vertices = rx_topological_order(rx, rx_graph, wg.vertex_count());
    } else {
        const Components c = rx_strongly_connected(rx, rx_graph, wg.vertex_count());
        out.scc_count = c.count();
        out.scc_of = scc_of_names(c, wg, canonical);
        std::vector<int32_t> by_size(static_cast<size_t>(c.count()));
        std::iota(by_size.begin(), by_size.end(), 0);
        std::stable_sort(by_size.begin(), by_size.end(), [&](int32_t a, int32_t b) {
            return c.start[a + 1] - c.start[a] > c.start[b + 1] - c.start[b];
        });
        out.vertices.reserve(c.members.size());
        for (int32_t k : by_size)
            out.vertices.insert(out.vertices.end(), c.members.begin() + c.start[k],
                                c.members.begin() + c.start[k + 1]);
    }
    drop_repeated_names(out.vertices, canonical);
    return out;
}

// Opening core `core`: fails when `core >= hw_spec.num_cores`.
void open_core(PyObject* hw_spec, int64_t core) {
    Ref available = bind::attr(hw_spec, BIND_NAME("num_cores"));
    const auto n = bind::exact_small_int(available.get());
    if (n ? core < *n : !bind::compare(bind::py_int(core).get(), available.get(), Py_GE)) return;
    Ref again = bind::attr(hw_spec, BIND_NAME("num_cores"));
    Ref count = bind::text(again.get());
    Ref message = check(PyUnicode_FromFormat(
        "Graph requires more than %U cores. Reduce model size or increase core capacity.", count.get()));
    PyErr_SetObject(PyExc_ValueError, message.get());
    bind::raise();
}

}  // namespace

Ref partition_greedy(PyObject* module, PyObject* graph, PyObject* hw_spec, WorkingGraph* keep,
                     std::vector<int32_t>* keep_scc_of) {
    WorkingGraph own;
    WorkingGraph& wg = keep ? *keep : own;
    bind::BoundaryTest is_boundary(module);
    wg = read_working_graph(graph);
    Ref rx = bind::module_global(module, "rx");
    Ref rx_graph = build_rx_graph(rx.get(), wg);
    const VisitingOrder order = visiting_order(rx.get(), rx_graph.get(), wg);

    // The fill: the node objects are looked up as the fill reaches them.
    std::vector<int32_t> order_scc(order.vertices.size(), -1);
    if (!order.is_dag)
        for (size_t i = 0; i < order.vertices.size(); ++i) order_scc[i] = order.scc_of[order.vertices[i]];
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    bind::SignalCheck signals;
    const std::vector<int64_t> core_of_entry = greedy_fill(
        order_scc, order.scc_count,
        [&](size_t i) {
            signals.tick();
            Ref node = wg.node(nodes.get(), order.vertices[i]);
            return is_boundary(node.get());
        },
        [&](int64_t count) { return compare_with_core_limit(hw_spec, count, Py_GE); },
        [&](int64_t core) { open_core(hw_spec, core); });

    // The assignments dict, in visiting order; one int object per core.
    Ref assignments = check(PyDict_New());
    std::vector<Ref> core_ints;
    // The cut looks names up, so cores are read at canonical vertices (a repeated name's last).
    const std::vector<int32_t> canonical = canonical_map(wg);
    std::vector<int64_t> core_of_vertex(wg.names.size(), 0);
    for (size_t i = 0; i < order.vertices.size(); ++i) {
        const int64_t core = core_of_entry[i];
        while (static_cast<int64_t>(core_ints.size()) <= core)
            core_ints.push_back(bind::py_int(static_cast<long long>(core_ints.size())));
        const int32_t v = order.vertices[i];
        check(PyDict_SetItem(assignments.get(), wg.names[v].get(), core_ints[core].get()));
        core_of_vertex[canonical_of(canonical, v)] = core;
    }

    // The cut: cross-core and feedback edges, in graph.edges order.
    EdgeLists lists =
        cut_edges(graph, wg, core_of_vertex, order.is_dag ? std::span<const int32_t>() : order.scc_of);

    // The metrics.
    const int64_t num_used = count_distinct<int64_t>(core_of_entry, core_ints.size());
    Ref ratio = cut_ratio(graph, lists);
    Ref balance = balance_stddev(module, core_of_entry, num_used);
    Ref metrics = metrics_dict({{"cut_ratio", ratio.get()},
                                {"balance_stddev", balance.get()},
                                {"total_cross_core_edges", bind::py_int(lists.cross_count()).get()},
                                {"total_feedback_edges", bind::py_int(lists.feedback_count()).get()}});
    if (keep_scc_of && !order.is_dag) *keep_scc_of = order.scc_of;
    return make_result(module, assignments.get(), num_used, lists, metrics.get());
}

}  // namespace zerav::partition
