// map_graph(): validate, read the host objects once, map natively, check the exact SRAM
// totals, then write the result onto the graph and return the placement.
#include "zerav/graph/mapping/failure.hpp"
#include "zerav/graph/mapping/host_output.hpp"
#include "zerav/graph/mapping/mapping.hpp"

#include "bind/host.hpp"

namespace zerav::mapping {

using bind::check;

namespace {

void poll_signals() { check(PyErr_CheckSignals()); }

std::string name_text(const void* context, int32_t node) {
    const auto& graph = *static_cast<const HostGraph*>(context);
    Ref repr = check(PyObject_Repr(graph.names[static_cast<size_t>(node)].get()));
    const char* utf8 = PyUnicode_AsUTF8(repr.get());
    if (!utf8) bind::raise();
    return utf8;
}

}  // namespace

Ref map_graph(PyObject* module, PyObject* const* args) {
    PyObject* graph_obj = args[0];
    PyObject* hw_spec = args[1];
    Ref seed = check(PyNumber_Index(args[2]));
    const bool sram = bind::truthy(args[3]);
    check(PyObject_CallMethodNoArgs(hw_spec, BIND_NAME("validate")));

    Problem problem;
    problem.seed = PyLong_AsUnsignedLongLongMask(seed.get());
    if (problem.seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) bind::raise();
    problem.poll = poll_signals;
    problem.chip = read_chip(hw_spec, sram);
    HostGraph graph;
    read_graph(module, graph_obj, graph, problem);
    if (sram) read_node_bytes(graph, problem);

    Mapping mapping;
    try {
        mapping = map_problem(problem, name_text, &graph);
        check_sram(graph, problem, mapping);
    } catch (const Infeasible& e) {
        raise_mapping_error(module, e);
    }
    const Answer answer = build_answer(module, graph, problem, mapping);
    write_answer(graph_obj, graph, answer);
    return answer.placement;
}

}  // namespace zerav::mapping
