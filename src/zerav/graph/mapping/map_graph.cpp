// map_graph(): validate, read the host objects once, map natively, check the exact SRAM
// totals, then write the result onto the graph and return the placement. The private
// _map_graph_with_config() does the same with some tuning of the mapping set, for tests and
// benchmarks.
#include "zerav/graph/mapping/checks.hpp"
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

// Sets the fields named by the keys of `settings` (an exact dict of str to int or float).
void read_settings(PyObject* settings, Config& config) {
    bind::require_exact(settings, &PyDict_Type, "config");
    Ref items = check(PyDict_Items(settings));  // a snapshot: reading it runs no host code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_CheckExact(key)) bind::raise(PyExc_TypeError, "config keys must be str");
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(key, &size);
        if (!name) bind::raise();
        SettingValue setting{true, 0, 0.0};
        if (PyLong_CheckExact(value)) {
            setting.i = PyLong_AsLongLong(value);
            if (setting.i == -1 && PyErr_Occurred()) bind::raise();
        } else if (PyFloat_CheckExact(value)) {
            setting = SettingValue{false, 0, PyFloat_AS_DOUBLE(value)};
        } else {
            bind::raise(PyExc_TypeError, "config values must be int or float");
        }
        try {
            if (!set_config_field(config, std::string_view(name, static_cast<size_t>(size)), setting))
                bind::raise(
                    PyExc_KeyError,
                    ("unknown mapping setting: " + std::string(name, static_cast<size_t>(size))).c_str());
        } catch (const std::invalid_argument& e) {
            bind::raise(PyExc_ValueError, e.what());
        }
    }
}

// What the mapping did, for the private entry.
struct Stats {
    int32_t levels = 0;
    int64_t checks = 0;
};

Ref map_with(PyObject* module, PyObject* const* args, const Config& config, Stats* stats) {
    PyObject* graph_obj = args[0];
    PyObject* hw_spec = args[1];
    Ref seed = check(PyNumber_Index(args[2]));
    const bool sram = bind::truthy(args[3]);
    check(PyObject_CallMethodNoArgs(hw_spec, BIND_NAME("validate")));

    Problem problem;
    problem.config = config;
    problem.seed = PyLong_AsUnsignedLongLongMask(seed.get());
    if (problem.seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) bind::raise();
    problem.poll = poll_signals;
    problem.chip = read_chip(hw_spec, sram);
    HostGraph graph;
    read_graph(module, graph_obj, graph, problem);
    if (sram) read_node_bytes(graph, problem);
    read_rates(args[4], graph, problem);

    Mapping mapping;
    int64_t checks = 0;
    checks_passed = 0;
    try {
        mapping = map_problem(problem, name_text, &graph);
        checks = checks_passed;  // before any host code can run (and re-enter)
        check_sram(graph, problem, mapping);
    } catch (const Infeasible& e) {
        raise_mapping_error(module, e);
    }
    const Answer answer = build_answer(module, graph, problem, mapping);
    write_answer(graph_obj, graph, answer);
    if (stats) *stats = Stats{mapping.levels, checks};
    return answer.placement;
}

}  // namespace

Ref map_graph(PyObject* module, PyObject* const* args) { return map_with(module, args, Config{}, nullptr); }

Ref map_graph_with_config(PyObject* module, PyObject* const* args) {
    Config config;
    read_settings(args[2], config);
    PyObject* const rest[] = {args[0], args[1], args[3], args[4], args[5]};
    Stats stats;
    Ref placement = map_with(module, rest, config, &stats);
    Ref out = check(PyDict_New());
    Ref levels = bind::py_int(stats.levels), checks = bind::py_int(stats.checks);
    check(PyDict_SetItemString(out.get(), "levels", levels.get()));
    check(PyDict_SetItemString(out.get(), "checks", checks.get()));
    return bind::tuple_of({placement.get(), out.get()});
}

}  // namespace zerav::mapping
