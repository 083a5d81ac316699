// partition_edgemap: the greedy stage, then passes of single-node moves to a neighbouring core
// that strictly lower the number of cut edges (first improving candidate, candidates in the
// order of the host set the program builds), at most 50 passes. The plain-Python model of the
// same steps is `edgemap` in tests/partition/reference.py.
#include "zerav/graph/partition/adjacency.hpp"
#include "zerav/graph/partition/edge_lists.hpp"
#include "zerav/graph/partition/edgemap_refine.hpp"
#include "zerav/graph/partition/partition.hpp"
#include "zerav/graph/partition/scc_membership.hpp"

#include "bind/boundary_nodes.hpp"
#include "bind/host.hpp"
#include "bind/module.hpp"
#include "bind/pairs.hpp"

namespace zerav::partition {

namespace {

// The neighbour lists of one more pass over graph.edges, each name looked up as it comes
// (source, then destination). Over an exact list of exact tuples of str names that pass can
// have no visible effect and finds the working graph's edges again, which then serve as they are.
Adjacency neighbour_lists(PyObject* graph, const WorkingGraph& wg) {
    Ref edges = bind::attr(graph, BIND_NAME("edges"));
    if (wg.edges_unchanged(edges.get()))
        return undirected_neighbours(wg.vertex_count(), wg.edge_src, wg.edge_dst);
    std::vector<int32_t> src, dst;
    bind::for_each_pair(edges.get(), [&](PyObject*, PyObject* a, PyObject* b) {
        const int32_t s = wg.index.find(a);
        const int32_t d = wg.index.find(b);
        if (s >= 0 && d >= 0) {
            src.push_back(s);
            dst.push_back(d);
        }
    });
    return undirected_neighbours(wg.vertex_count(), src, dst);
}

Ref copy_assignments(PyObject* initial) {
    Ref source = bind::attr(initial, BIND_NAME("assignments"));
    if (PyDict_CheckExact(source.get())) return check(PyDict_Copy(source.get()));
    return check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), source.get()));
}

}  // namespace

Ref partition_edgemap(PyObject* module, PyObject* graph, PyObject* hw_spec) {
    // Stage 1 through the module namespace. When it is our own greedy partitioner, its
    // working graph is kept and reused if re-reading the graph would give it again.
    WorkingGraph wg;
    std::vector<int32_t> stage1_scc;
    Ref stage1 = bind::module_global(module, "partition_greedy");
    const bool own_stage1 = bind::is_function_for(stage1.get(), greedy_def);
    Ref initial;
    if (own_stage1) {
        initial = partition_greedy(module, graph, hw_spec, &wg, &stage1_scc);
    } else {
        PyObject* args[2] = {graph, hw_spec};
        initial = check(PyObject_Vectorcall(stage1.get(), args, 2, nullptr));
    }

    bind::BoundaryTest is_boundary(module);
    // The library's SCCs of stage 1 serve for the feedback edges when its working graph does.
    const bool reused = own_stage1 && still_current(wg, graph);
    if (!reused) wg = read_working_graph(graph);
    const int32_t n = wg.vertex_count();
    Ref assignments = copy_assignments(initial.get());

    // The assignment as native arrays: per key its vertex, per vertex its dense core (-1 when
    // its name has no assignment). `items` keeps stage 1's core objects (a move writes one of
    // them; see edgemap_refine.hpp).
    const std::vector<std::pair<Ref, Ref>> items = items_of(assignments.get());
    auto key = [&](size_t k) { return items[k].first.get(); };
    RefinementArrays a;
    bind::ValueIds cores;  // the core values, as dense ids
    for (const auto& [name, core] : items) a.key_core.push_back(cores.id_of(core.get()));
    a.core_sizes.assign(cores.size(), 0);
    for (int32_t c : a.key_core) ++a.core_sizes[c];
    a.core_hashes = cores.hashes();
    a.core_of.assign(n, -1);
    a.key_of_vertex.assign(n, -1);
    for (size_t k = 0; k < items.size(); ++k) {
        const int32_t v = wg.index.find(key(k));
        a.key_vertex.push_back(v);
        a.value_of_key.push_back(static_cast<int32_t>(k));
        if (v >= 0) {
            a.core_of[v] = a.key_core[k];
            a.key_of_vertex[v] = static_cast<int32_t>(k);
        }
    }

    const Adjacency neighbours = neighbour_lists(graph, wg);
    const Adjacency successors = successors_newest_first(n, wg.edge_src, wg.edge_dst);
    const Adjacency predecessors = successors_newest_first(n, wg.edge_dst, wg.edge_src);

    // Whether node k is an Input or Output. The lookups are repeated in every pass unless they
    // provably run no host code (exact dict, exact str names, plain classes), in which case
    // the first pass's answers stand for the others.
    Ref nodes = bind::attr(graph, BIND_NAME("nodes"));
    bool lookups_pure = PyDict_CheckExact(nodes.get());
    for (const auto& [name, core] : items) lookups_pure = lookups_pure && PyUnicode_CheckExact(name.get());
    std::vector<int8_t> boundary(items.size(), -1);
    auto skip_node = [&](size_t k) {
        if (boundary[k] >= 0) return boundary[k] == 1;
        Ref node = a.key_vertex[k] >= 0 && lookups_pure ? wg.node(nodes.get(), a.key_vertex[k])
                                                        : bind::subscript(nodes.get(), key(k));
        const bool answer = is_boundary(node.get());
        if (lookups_pure && is_boundary.pure()) boundary[k] = answer ? 1 : 0;
        return answer;
    };
    bind::SignalCheck signals(1u << 12);
    const int iteration = refine(
        a, neighbours, successors, predecessors, skip_node,
        [&](int32_t, int64_t size) { return compare_with_core_limit(hw_spec, size, Py_GE); },
        [&](size_t k) { bind::require_exact(key(k), &PyUnicode_Type, "node_name"); },
        [&](size_t k) { bind::raise_key_error(key(k)); }, [&] { signals.tick(); });

    // The refined assignment, written into the copy (same keys, same order).
    for (size_t k = 0; k < items.size(); ++k)
        if (a.value_of_key[k] != static_cast<int32_t>(k))
            check(PyDict_SetItem(assignments.get(), key(k), items[a.value_of_key[k]].second.get()));

    // Feedback edges over the final assignment: cross-core edges inside one SCC (the library's,
    // from stage 1, when its working graph is this one; a DAG has none).
    const std::vector<int32_t> scc =
        reused ? std::move(stage1_scc) : scc_membership(successors.start, successors.items);
    std::vector<int64_t> core_of_vertex(a.core_of.begin(), a.core_of.end());
    EdgeLists lists = cut_edges(graph, wg, core_of_vertex, scc);

    const int64_t num_used = count_distinct<int32_t>(a.key_core, cores.size());
    Ref ratio = cut_ratio(graph, lists);
    Ref initial_metrics = bind::attr(initial.get(), BIND_NAME("metrics"));
    Ref zero = bind::py_int(0);
    Ref greedy_cut = check(PyObject_CallMethodObjArgs(
        initial_metrics.get(), BIND_NAME("get"), BIND_NAME("total_cross_core_edges"), zero.get(), nullptr));
    Ref cross_count = bind::py_int(lists.cross_count());
    Ref improvement = check(PyNumber_Subtract(greedy_cut.get(), cross_count.get()));
    Ref metrics = metrics_dict({{"cut_ratio", ratio.get()},
                                {"total_cross_core_edges", cross_count.get()},
                                {"total_feedback_edges", bind::py_int(lists.feedback_count()).get()},
                                {"refinement_iterations", bind::py_int(iteration).get()},
                                {"improvement_over_greedy", improvement.get()}});
    return make_result(module, assignments.get(), num_used, lists, metrics.get());
}

}  // namespace zerav::partition
