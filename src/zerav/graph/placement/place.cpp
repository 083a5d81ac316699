// place(): map the logical cores of a partitioned graph onto the core mesh. The host objects
// are read once, in the documented order; the placement itself runs natively; the result
// objects are built once at the end. The plain-Python model of the same steps is `place_model`
// in tests/placement/reference.py.
#include "zerav/graph/placement/placement.hpp"

#include "bind/host.hpp"
#include "bind/memory.hpp"
#include "bind/module.hpp"

#include <functional>

namespace zerav::placement {

namespace {

const std::function<void()> poll_signals = [] { check(PyErr_CheckSignals()); };

Ref make_result(PyObject* module, PyObject* placed, PyObject* total, PyObject* improvement) {
    Ref cls = bind::module_global(module, "PlacementResult");
    return bind::call_kw(cls.get(), {},
                         {{BIND_NAME("logical_to_physical"), placed},
                          {BIND_NAME("total_hop_distance"), total},
                          {BIND_NAME("improvement"), improvement}});
}

Ref fixed_result(PyObject* module, const Ref& layout) {
    Ref zero = bind::py_int(0);
    Ref no_gain = bind::py_float(0.0);
    return make_result(module, layout.get(), zero.get(), no_gain.get());
}

Ref partition_metadata(PyObject* graph) {
    Ref metadata = bind::optional_attr(graph, BIND_NAME("partition_metadata"));
    return metadata ? metadata : Ref::borrow(Py_None);
}

// getattr(graph, "partition_metadata", None).get(key, default), the attribute read afresh.
Ref metadata_get(PyObject* graph, PyObject* key, PyObject* default_value) {
    Ref metadata = partition_metadata(graph);
    return bind::get_or(metadata.get(), key, default_value);
}

// The free-cell set over range(rows) x range(cols) (cols is taken only when there is a row).
Mesh make_mesh(PyObject* rows, PyObject* cols) {
    Ref r = as_index(rows);
    if (sign_of(r.get()) <= 0) return Mesh(0, 0, 0, poll_signals);
    Ref c = as_index(cols);
    if (sign_of(c.get()) <= 0) return Mesh(0, 0, 0, poll_signals);
    const auto rv = bind::exact_small_int(r.get()), cv = bind::exact_small_int(c.get());
    const bind::i128 cells = rv && cv ? static_cast<bind::i128>(*rv) * *cv : -1;
    if (cells < 0 || cells > static_cast<bind::i128>(FreeCellOrder::kMaxCells)) {
        PyErr_NoMemory();
        bind::raise();
    }
    const auto n = static_cast<uint64_t>(cells);
    bind::require_memory(static_cast<long double>(FreeCellOrder::peak_bytes(n)) + n / 8.0L);
    return Mesh(*rv, *cv, n, poll_signals);
}

// rows // 2 (and cols // 2).
Ref half(PyObject* size) {
    if (auto v = bind::exact_small_int(size)) return bind::py_int128(floor_div(*v, 2));
    Ref two = bind::py_int(2);
    return check(PyNumber_FloorDivide(size, two.get()));
}

// The heaviest pair at the centre: its smaller core there, the larger one on the centre's first
// free neighbour (up on a mesh of two rows or more), if it has one.
Seeds place_seed_pair(const CorePairs& cp, uint32_t first, PyObject* rows, PyObject* cols,
                      Placement& placement) {
    Seeds seeds;
    seeds.row = half(rows);
    seeds.col = half(cols);
    seeds.centre_native = bind::exact_small_int(seeds.row.get()) && bind::exact_small_int(seeds.col.get());
    seeds.a = as_int(cp.keys[first][0].host().get());
    const auto a_value = bind::exact_small_int(seeds.a.get());
    Ref r = as_int(seeds.row.get());
    Ref c = as_int(seeds.col.get());
    const auto rv = bind::exact_small_int(r.get()), cv = bind::exact_small_int(c.get());
    placement.place_seed_a(rv && cv ? Coord{*rv, *cv, true} : Coord{0, 0, false}, a_value);
    const std::optional<uint32_t> cell = placement.free_neighbor_of_centre();
    if (!cell) return seeds;
    seeds.b = as_int(cp.keys[first][1].host().get());
    const auto b_value = bind::exact_small_int(seeds.b.get());
    const bool same_key =
        a_value && b_value ? *a_value == *b_value : bind::compare(seeds.a.get(), seeds.b.get(), Py_EQ);
    placement.place_seed_b(*cell, b_value, same_key);
    return seeds;
}

// The number of ids range(num_cores_used) visits (counts beyond 64 bits are cut: the
// expansion stops once the mesh is full anyway).
int64_t expansion_count(PyObject* num_cores_used) {
    Ref n = as_index(num_cores_used);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0 || v <= 0) return 0;
    return v;
}

// The placed dict: the seeds first, then the expansion in ascending id order.
Ref placed_dict(const Placement& placement, const Seeds& seeds) {
    Ref placed = check(PyDict_New());
    if (placement.seed_a_placed()) {
        Ref pos = position_tuple(seeds.row.get(), seeds.col.get());
        check(PyDict_SetItem(placed.get(), seeds.a.get(), pos.get()));
    }
    // The other positions are mesh cells: their coordinate ints are shared.
    const Mesh& mesh = placement.mesh();
    CoordinateInts rows(static_cast<size_t>(mesh.rows())), cols(static_cast<size_t>(mesh.cols()));
    auto position = [&](uint32_t cell) {
        const Coord p = mesh.coord_of(cell);
        Ref r = rows.get(p.row), c = cols.get(p.col);
        return position_tuple(r.get(), c.get());
    };
    if (placement.seed_b_placed()) {
        Ref pos = position(placement.seed_b_cell());
        check(PyDict_SetItem(placed.get(), seeds.b.get(), pos.get()));
    }
    const std::vector<int64_t>& cells = placement.expansion_cells();
    bind::SignalCheck signals;
    for (size_t i = 0; i < cells.size(); ++i) {
        if (cells[i] < 0) continue;
        Ref key = bind::py_int(static_cast<long long>(i));
        Ref pos = position(static_cast<uint32_t>(cells[i]));
        check(PyDict_SetItem(placed.get(), key.get(), pos.get()));
        signals.tick();
    }
    return placed;
}

}  // namespace

Ref place(PyObject* module, PyObject* graph, PyObject* hw_spec) {
    Ref topology = bind::attr(hw_spec, BIND_NAME("core_mesh_topology"));
    if (topology.get() == Py_None) {
        Ref num_cores = bind::attr(hw_spec, BIND_NAME("num_cores"));
        return fixed_result(module, column_layout(num_cores.get()));
    }
    topology = bind::attr(hw_spec, BIND_NAME("core_mesh_topology"));
    Ref shape[2];
    bind::unpack(topology.get(), 2, shape);
    PyObject* rows = shape[0].get();
    PyObject* cols = shape[1].get();
    if (partition_metadata(graph).get() == Py_None) return fixed_result(module, row_major_layout(rows, cols));

    Ref no_assignments = check(PyDict_New());
    Ref assignments = metadata_get(graph, BIND_NAME("assignments"), no_assignments.get());
    Ref one = bind::py_int(1);
    Ref num_cores_used = metadata_get(graph, BIND_NAME("num_cores_used"), one.get());

    // The pairs heaviest first; the heaviest at the centre, then every id 0 .. num_cores_used - 1
    // next to its heaviest placed partner (expansion.hpp).
    CorePairs cp = read_core_pairs(graph, assignments.get());
    const std::vector<uint32_t> sorted = heaviest_first(cp.pairs);
    Mesh mesh = make_mesh(rows, cols);
    Placement placement(mesh);
    const Seeds seeds = sorted.empty() ? Seeds{} : place_seed_pair(cp, sorted[0], rows, cols, placement);
    const int64_t count = expansion_count(num_cores_used.get());
    const std::vector<ClassKey> keys =
        resolve_keys(cp.classes.table, count, placement, [&](size_t k, const ClassKey& key) {
            Ref id = key.kind == ClassKey::Kind::Int ? bind::py_int(key.value) : Ref();
            const Ref& seed = key.kind == ClassKey::Kind::SeedA ? seeds.a : seeds.b;
            return cp.classes.equals(static_cast<int32_t>(k), id ? id.get() : seed.get());
        });
    const NeighborLists neighbors = neighbor_lists(cp.pairs, sorted, cp.classes.table.size());
    placement.expand(count, cp.classes.table.by_int, keys, neighbors, poll_signals);

    const Costs costs = placement_costs(cp, keys, placement, seeds, cols);
    Ref placed = placed_dict(placement, seeds);
    return make_result(module, placed.get(), costs.total_hops.get(), costs.improvement.get());
}

}  // namespace zerav::placement
