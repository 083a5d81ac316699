// Building the result objects and writing them onto the host's graph.
#include "zerav/graph/mapping/host_output.hpp"

#include "zerav/graph/mapping/distance.hpp"
#include "zerav/graph/mapping/link_load.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

#include "bind/core_id_writes.hpp"
#include "bind/host.hpp"
#include "bind/module.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

namespace zerav::mapping {

using bind::check;

namespace {

using resource::routing_bytes_per_edge;

void set_item(PyObject* dict, const char* key, Ref value) {
    check(PyDict_SetItemString(dict, key, value.get()));
}

}  // namespace

Answer build_answer(PyObject* module, const HostGraph& graph, const Problem& problem,
                    const Mapping& mapping) {
    Answer a;
    const ChipShape& chip = problem.chip;
    std::map<int32_t, Ref> core_ints;  // used core id -> its int, ascending
    for (int32_t c : mapping.core)
        if (!core_ints.count(c)) core_ints.emplace(c, bind::py_int(c));
    a.cores_used = static_cast<int64_t>(core_ints.size());

    a.assignments = check(PyDict_New());
    a.node_cores.reserve(graph.names.size());
    for (size_t i = 0; i < graph.names.size(); ++i) {
        a.node_cores.push_back(core_ints.at(mapping.core[i]));
        check(PyDict_SetItem(a.assignments.get(), graph.names[i].get(), a.node_cores.back().get()));
    }

    // The edges between cores are found once. The lists are made at their final sizes and hold
    // the edges' own tuples (the host's where graph.edges yields exact tuples), so nothing is
    // made per edge.
    std::vector<size_t> crossing_edges;
    Py_ssize_t feedback_count = 0;
    for (size_t e = 0; e < problem.src.size(); ++e) {
        const auto s = static_cast<size_t>(problem.src[e]), d = static_cast<size_t>(problem.dst[e]);
        if (mapping.core[s] == mapping.core[d]) continue;
        crossing_edges.push_back(e);
        feedback_count += mapping.scc[s] == mapping.scc[d];
    }
    a.cross = check(PyList_New(static_cast<Py_ssize_t>(crossing_edges.size())));
    a.feedback = check(PyList_New(feedback_count));
    std::vector<int32_t> src_core, dst_core;
    src_core.reserve(crossing_edges.size());
    dst_core.reserve(crossing_edges.size());
    int64_t total_hops = 0;
    Py_ssize_t crossing_at = 0, feedback_at = 0;
    for (size_t e : crossing_edges) {
        const auto s = static_cast<size_t>(problem.src[e]), d = static_cast<size_t>(problem.dst[e]);
        PyObject* const pair = graph.edge_pairs[e].get();
        if (mapping.scc[s] == mapping.scc[d])
            PyList_SET_ITEM(a.feedback.get(), feedback_at++, Py_NewRef(pair));
        PyList_SET_ITEM(a.cross.get(), crossing_at++, Py_NewRef(pair));
        src_core.push_back(mapping.core[s]);
        dst_core.push_back(mapping.core[d]);
        if (chip.mesh) total_hops += mesh_hops_of_ids(mapping.core[s], mapping.core[d], chip.cols);
    }

    const auto crossing = static_cast<double>(PyList_GET_SIZE(a.cross.get()));
    a.metrics = check(PyDict_New());
    set_item(a.metrics.get(), "cut_ratio",
             bind::py_float(crossing / static_cast<double>(std::max<Py_ssize_t>(graph.edge_count, 1))));
    set_item(a.metrics.get(), "total_cross_core_edges", bind::py_int(PyList_GET_SIZE(a.cross.get())));
    set_item(a.metrics.get(), "total_feedback_edges", bind::py_int(PyList_GET_SIZE(a.feedback.get())));
    set_item(a.metrics.get(), "total_hop_distance", bind::py_int(total_hops));
    set_item(a.metrics.get(), "max_link_load",
             bind::py_int(chip.mesh ? busiest_link(src_core, dst_core, chip.cols) : 0));
    const double traffic =
        chip.mesh ? multicast_traffic(problem.src, problem.dst, mapping.core, problem.rate, chip.cols) : 0.0;
    // Exact links without rates (a double holds every such count below 2**53), rate-weighted otherwise.
    set_item(a.metrics.get(), "multicast_traffic",
             problem.rate.empty() ? bind::py_int(static_cast<int64_t>(traffic)) : bind::py_float(traffic));

    Ref layout = check(PyDict_New());
    for (const auto& [id, key] : core_ints) {
        Ref row = bind::py_int(chip.mesh ? id / chip.cols : id);
        Ref col = bind::py_int(chip.mesh ? id % chip.cols : 0);
        Ref pos = bind::tuple_of({row.get(), col.get()});
        check(PyDict_SetItem(layout.get(), key.get(), pos.get()));
    }
    Ref cls = bind::module_global(module, "PlacementResult");
    Ref hops_total = bind::py_int(total_hops);
    // The cores sit at their row-major homes, so the identity layout is this one: no change.
    Ref improvement = bind::py_float(0.0);
    a.placement = bind::call_kw(cls.get(), {},
                                {{BIND_NAME("logical_to_physical"), layout.get()},
                                 {BIND_NAME("total_hop_distance"), hops_total.get()},
                                 {BIND_NAME("improvement"), improvement.get()}});
    return a;
}

void check_sram(const HostGraph& graph, const Problem& problem, const Mapping& mapping) {
    if (problem.chip.sram < 0) return;
    std::map<int32_t, int64_t> bytes;  // per core with a compute node, as allocate lists them
    for (size_t i = 0; i < graph.nodes.size(); ++i)
        if (problem.compute[i]) bytes[mapping.core[i]] += problem.node_bytes[i];
    for (size_t e = 0; e < problem.src.size(); ++e) {
        const int32_t s = mapping.core[static_cast<size_t>(problem.src[e])];
        const int32_t d = mapping.core[static_cast<size_t>(problem.dst[e])];
        if (s == d) continue;
        auto it = bytes.find(d);
        if (it != bytes.end()) it->second += routing_bytes_per_edge;
    }
    for (const auto& [core, total] : bytes) {
        if (total <= problem.chip.sram) continue;
        throw Infeasible(Constraint::sram, false, "bytes", total, problem.chip.sram,
                         "SRAM cannot be met: the mapping found puts " + std::to_string(total) +
                             " bytes on core " + std::to_string(core) + ", " +
                             std::to_string(total - problem.chip.sram) +
                             " more than sram_bytes_per_core=" + std::to_string(problem.chip.sram) + ".");
    }
}

void write_answer(PyObject* graph_obj, const HostGraph& graph, const Answer& answer) {
    Ref meta = check(PyDict_New());
    set_item(meta.get(), "assignments", answer.assignments);
    set_item(meta.get(), "num_cores_used", bind::py_int(answer.cores_used));
    set_item(meta.get(), "cross_core_edges", answer.cross);
    set_item(meta.get(), "feedback_edges", answer.feedback);
    set_item(meta.get(), "algorithm", Ref::steal(check(PyUnicode_FromString("mapping")).release()));
    set_item(meta.get(), "metrics", answer.metrics);
    // All or nothing, as partition() writes: the core ids, then the metadata.
    // The core ids come from the native answer, not from the assignments dict: host code
    // (a name's `__eq__`, an attribute read) may have reached and changed that dict.
    bind::CoreIdWrites writes;
    for (size_t i = 0; i < graph.nodes.size(); ++i) writes.plan(graph.nodes[i], answer.node_cores[i]);
    writes.commit(graph_obj, meta.get());
}

}  // namespace zerav::mapping
