// partition_spectral: recursive Fiedler-vector bisection of the compute nodes' undirected
// graph, split until each piece fits on one core or no more cores may be spent; then the
// cross-core and feedback edges and three metrics. The plain-Python model of the same steps is
// `spectral` in tests/partition/reference.py.
#include "zerav/graph/partition/edge_lists.hpp"
#include "zerav/graph/partition/partition.hpp"
#include "zerav/graph/partition/spectral_bisect.hpp"
#include "zerav/graph/partition/spectral_fiedler.hpp"

#include "bind/boundary_nodes.hpp"
#include "bind/host.hpp"
#include "bind/module.hpp"
#include "bind/pairs.hpp"

#include <functional>
#include <numeric>
#include <unordered_map>

namespace zerav::partition {

namespace {

// Part ids as native integers (the part count is an int that fits in 64 bits).
struct NativeIds {
    using Value = int64_t;
    std::vector<int64_t> id;
    bool at_most_one(int64_t parts) const { return parts <= 1; }
    int64_t half(int64_t parts) const { return parts / 2; }  // parts >= 2 here
    int64_t rest(int64_t parts, int64_t half) const { return parts - half; }
    void set_zero(int64_t pos) { id[pos] = 0; }
    void set_round_robin(int64_t pos, size_t i, int64_t parts) { id[pos] = static_cast<int64_t>(i) % parts; }
    void add(int64_t pos, int64_t half) { id[pos] += half; }
};

// Part ids as host number objects (a part count of another type, e.g. a numpy integer or a
// float): every step is the host's own arithmetic and comparison.
struct ObjectIds {
    using Value = Ref;
    std::vector<Ref> id;
    Ref zero = bind::py_int(0);
    Ref one = bind::py_int(1);
    Ref two = bind::py_int(2);
    bool at_most_one(const Ref& parts) const {
        Ref r = check(PyObject_RichCompare(parts.get(), one.get(), Py_LE));
        return bind::truthy(r.get());
    }
    Ref half(const Ref& parts) const { return check(PyNumber_FloorDivide(parts.get(), two.get())); }
    Ref rest(const Ref& parts, const Ref& half) const {
        return check(PyNumber_Subtract(parts.get(), half.get()));
    }
    void set_zero(int64_t pos) { id[pos] = zero; }
    void set_round_robin(int64_t pos, size_t i, const Ref& parts) {
        Ref index = bind::py_int(static_cast<long long>(i));
        id[pos] = check(PyNumber_Remainder(index.get(), parts.get()));
    }
    void add(int64_t pos, const Ref& half) { id[pos] = check(PyNumber_Add(id[pos].get(), half.get())); }
};

template <class Ids>
void run_bisection(Ids& ids, size_t n, const typename Ids::Value& parts, PyObject* hw_spec,
                   FiedlerSplit& split) {
    // A piece fits when len(indices) <= hw_spec.max_neurons_per_core.
    auto fits = [hw_spec](size_t size) {
        return compare_with_core_limit(hw_spec, static_cast<int64_t>(size), Py_LE);
    };
    bind::SignalCheck signals;
    std::vector<int64_t> indices(n);
    std::iota(indices.begin(), indices.end(), int64_t{0});
    Bisection bisection(ids, fits, std::ref(split), [&signals] { signals.tick(); }, n);
    bisection.run(indices, parts);
}

// num_partitions = min(max(1, (n + m - 1) // m), hw_spec.num_cores) in the host's arithmetic.
Ref part_count(PyObject* hw_spec, Py_ssize_t n) {
    Ref m = bind::attr(hw_spec, BIND_NAME("max_neurons_per_core"));
    Ref count = bind::py_int(n);
    Ref one = bind::py_int(1);
    Ref sum = check(PyNumber_Add(count.get(), m.get()));
    Ref top = check(PyNumber_Subtract(sum.get(), one.get()));
    Ref quotient = check(PyNumber_FloorDivide(top.get(), m.get()));
    Ref parts = bind::compare(quotient.get(), one.get(), Py_GT) ? quotient : one;
    Ref cores = bind::attr(hw_spec, BIND_NAME("num_cores"));
    return bind::compare(cores.get(), parts.get(), Py_LT) ? cores : parts;
}

// The sparse Laplacian diags(degree) - adj of the symmetric adjacency given as triplets.
Ref laplacian_of(PyObject* np, PyObject* csr_matrix, PyObject* diags, Py_ssize_t n,
                 const std::vector<int64_t>& rows, const std::vector<int64_t>& cols) {
    static_assert(sizeof(int64_t) == sizeof(Py_ssize_t), "numpy's intp is 64-bit here");
    const std::vector<double> ones(rows.size(), 1.0);
    Ref intp = bind::attr(np, BIND_NAME("intp"));
    Ref float64 = bind::attr(np, BIND_NAME("float64"));
    Ref data = numpy_array(np, float64.get(), ones.data(), ones.size() * sizeof(double));
    Ref row_array = numpy_array(np, intp.get(), rows.data(), rows.size() * sizeof(int64_t));
    Ref col_array = numpy_array(np, intp.get(), cols.data(), cols.size() * sizeof(int64_t));
    Ref ij = bind::tuple_of({row_array.get(), col_array.get()});
    Ref triplets = bind::tuple_of({data.get(), ij.get()});
    Ref size = bind::py_int(n);
    Ref shape = bind::tuple_of({size.get(), size.get()});
    Ref adj = bind::call_kw(csr_matrix, {triplets.get()}, {{BIND_NAME("shape"), shape.get()}});

    // degree = np.array(adj.sum(axis=1)).flatten()
    Ref sum = bind::attr(adj.get(), BIND_NAME("sum"));
    Ref axis = bind::py_int(1);
    Ref sums = bind::call_kw(sum.get(), {}, {{BIND_NAME("axis"), axis.get()}});
    Ref array = bind::attr(np, BIND_NAME("array"));
    Ref dense = check(PyObject_CallOneArg(array.get(), sums.get()));
    Ref degree = check(PyObject_CallMethodNoArgs(dense.get(), BIND_NAME("flatten")));
    Ref diagonal = check(PyObject_CallOneArg(diags, degree.get()));
    return check(PyNumber_Subtract(diagonal.get(), adj.get()));
}

}  // namespace

Ref partition_spectral(PyObject* module, PyObject* graph, PyObject* hw_spec) {
    Ref sparse[2], linalg[1];
    bind::import_now(module, "scipy.sparse", {"csr_matrix", "diags"}, sparse);
    bind::import_now(module, "scipy.sparse.linalg", {"eigsh"}, linalg);
    bind::BoundaryTest is_boundary(module);

    // The compute nodes, in the order of graph.nodes; position = index among them. A name
    // yielded twice maps to its later position, as a dict built from the list would.
    WorkingGraph wg;
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    wg.read_nodes(nodes.get(), false);
    const std::vector<int32_t> canonical = canonical_map(wg);
    auto canon = [&](int32_t v) { return canonical_of(canonical, v); };
    std::vector<uint8_t> compute(wg.names.size());
    std::vector<int64_t> position_of(wg.names.size(), -1);  // at canonical vertices
    int64_t n = 0;
    {
        bind::SignalCheck signals;
        for (int32_t v = 0; v < wg.vertex_count(); ++v) {
            Ref node = bind::subscript(nodes.get(), wg.names[v].get());
            compute[v] = !is_boundary(node.get());
            if (compute[v]) position_of[canon(v)] = n++;
            signals.tick();
        }
    }

    Ref zero = bind::py_int(0);
    if (n == 0) {
        Ref assignments = check(PyDict_New());
        for (const Ref& name : wg.names) check(PyDict_SetItem(assignments.get(), name.get(), zero.get()));
        Ref cls = bind::module_global(module, "PartitionResult");
        Ref one = bind::py_int(1);
        return bind::call_kw(
            cls.get(), {},
            {{BIND_NAME("assignments"), assignments.get()}, {BIND_NAME("num_cores_used"), one.get()}});
    }

    // The symmetric adjacency triplets of the edges that join two compute nodes.
    std::vector<int64_t> rows, cols;
    {
        Ref edges = bind::attr(graph, BIND_NAME("edges"));
        wg.for_each_edge(edges.get(), [&](PyObject*, PyObject*, PyObject*, int32_t s, int32_t d) {
            if (s < 0 || d < 0) return;
            const int64_t i = position_of[s], j = position_of[d];
            if (i < 0 || j < 0) return;
            rows.push_back(i), rows.push_back(j);
            cols.push_back(j), cols.push_back(i);
        });
    }
    if (rows.empty()) return call_partitioner(module, "partition_greedy", greedy_def, graph, hw_spec);

    Ref np = bind::module_global(module, "np");
    Ref laplacian = laplacian_of(np.get(), sparse[0].get(), sparse[1].get(), n, rows, cols);
    rows = {};  // the triplets are scipy's now
    cols = {};
    Ref num_partitions = part_count(hw_spec, n);

    // Split, then read each name's core: its position's part (0 for Input/Output nodes and for
    // a position no split kept). Values and cores are kept at canonical vertices, where they
    // are what the assignments dict ends with; values that are not native ints are numbered
    // by host equality (as a set of them would count them), and the cut compares those
    // numbers, which is the host's `!=` for any value equal to itself.
    FiedlerSplit split(np.get(), linalg[0].get(), laplacian.get());
    std::vector<Ref> values(wg.names.size());
    std::vector<int64_t> core_of(wg.names.size(), 0);
    int64_t num_used = 0;
    if (auto parts = bind::exact_small_int(num_partitions.get())) {
        NativeIds ids{std::vector<int64_t>(static_cast<size_t>(n), 0)};
        run_bisection(ids, static_cast<size_t>(n), *parts, hw_spec, split);
        std::unordered_map<int64_t, Ref> ints;  // one int object per id in use
        for (int32_t v = 0; v < wg.vertex_count(); ++v) {
            if (canon(v) != v) continue;
            const int64_t core = compute[v] ? ids.id[position_of[v]] : 0;
            auto [it, fresh] = ints.try_emplace(core);
            if (fresh) it->second = bind::py_int(core);
            values[v] = it->second;
            core_of[v] = core;
        }
        num_used = static_cast<int64_t>(ints.size());
    } else {
        ObjectIds ids;
        ids.id.assign(static_cast<size_t>(n), ids.zero);
        run_bisection(ids, static_cast<size_t>(n), num_partitions, hw_spec, split);
        bind::ValueIds distinct;
        for (int32_t v = 0; v < wg.vertex_count(); ++v) {
            if (canon(v) != v) continue;
            values[v] = compute[v] ? ids.id[position_of[v]] : zero;
            core_of[v] = distinct.id_of(values[v].get());
        }
        num_used = static_cast<int64_t>(distinct.size());
    }
    Ref assignments = check(PyDict_New());
    for (int32_t v = 0; v < wg.vertex_count(); ++v)
        check(PyDict_SetItem(assignments.get(), wg.names[v].get(), values[canon(v)].get()));

    // Cycle analysis on the directed graph of all nodes (a pass of its own over graph.edges,
    // after the split, as the edge lists take theirs), then the edge lists.
    {
        Ref edges = bind::attr(graph, BIND_NAME("edges"));
        wg.for_each_edge(edges.get(), [&](PyObject*, PyObject*, PyObject*, int32_t s, int32_t d) {
            if (s < 0 || d < 0) return;
            wg.edge_src.push_back(s);
            wg.edge_dst.push_back(d);
        });
    }
    Ref rx = bind::module_global(module, "rx");
    Ref rx_graph = build_rx_graph(rx.get(), wg);
    const bool is_dag = rx_is_dag(rx.get(), rx_graph.get());
    const std::vector<int32_t> scc_of =
        is_dag
            ? std::vector<int32_t>()
            : scc_of_names(rx_strongly_connected(rx.get(), rx_graph.get(), wg.vertex_count()), wg, canonical);
    EdgeLists lists = cut_edges(graph, wg, core_of, scc_of);

    Ref ratio = cut_ratio(graph, lists);
    Ref metrics = metrics_dict({{"cut_ratio", ratio.get()},
                                {"total_cross_core_edges", bind::py_int(lists.cross_count()).get()},
                                {"num_partitions", num_partitions.get()}});
    return make_result(module, assignments.get(), num_used, lists, metrics.get());
}

}  // namespace zerav::partition
