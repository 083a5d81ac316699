// The mesh positions of logical cores for the feedback check: the row-major home of each core
// id, and the hop count between two of them (`core_pos` and `hops` in `feedback_violations`,
// tests/partition/reference.py). The rule itself comes first, on native ints; CorePositions
// then applies it to host values, falling back to the host's own arithmetic and dict.
#pragma once

#include "bind/host.hpp"
#include "bind/memory.hpp"
#include "bind/wide_int.hpp"

#include <optional>

namespace zerav::partition {

using bind::check;
using bind::Ref;

// Core `id` of a chip whose cores are 0 .. count - 1 sits at row id // cols, column id % cols
// (floor division, as the host divides); an id outside that range sits at (0, 0).
struct MeshHome {
    bind::i128 row = 0, col = 0;
};

inline MeshHome row_major_home(int64_t id, int64_t cols, bool on_chip) {
    if (!on_chip) return MeshHome{};
    return MeshHome{bind::floor_div(id, cols), bind::floor_mod(id, cols)};
}

// The hops of a feedback edge: the Manhattan distance between its cores' homes.
inline bind::i128 mesh_hops(MeshHome a, MeshHome b) { return bind::manhattan(a.row, a.col, b.row, b.col); }

// The position map {cid: (cid // cols, cid % cols) for cid in range(num_cores)} and its
// `get(core, (0, 0))`. With a nonzero int column count the divisions are pure, so the map stays
// implicit (int core ids computed on demand, the dict built only if another value is looked
// up). Any other column count builds the dict at once, entry by entry, so that its warnings,
// errors and side effects come as and when building it brings them.
class CorePositions {
  public:
    CorePositions(PyObject* num_cores, PyObject* cols) : cols_(Ref::borrow(cols)) {
        count_ = check(PyNumber_Index(num_cores));  // range() accepts exactly what __index__ accepts
        small_count_ = bind::exact_small_int(count_.get());
        auto c = bind::exact_small_int(cols);
        const bool has_cores =
            small_count_ ? *small_count_ > 0 : bind::compare(count_.get(), zero().get(), Py_GT);
        huge_positive_count_ = !small_count_ && has_cores;
        if (c && *c != 0) {
            cols_value_ = *c;
            implicit_ = true;
        } else if (!PyLong_CheckExact(cols) || c) {  // c is 0 here; an int beyond int64 divides purely too
            materialised();                          // a zero column count raises at the first entry
        }
    }

    // The (row, col) of `core`, as `home` when both are exact int64 values, otherwise as host
    // objects in `row_obj`, `col_obj`.
    struct Position {
        bool native;
        MeshHome home;
        Ref row_obj, col_obj;
    };

    Position get(PyObject* core) {
        if (implicit_ && PyLong_CheckExact(core)) {
            if (auto id = bind::exact_small_int(core)) {
                // A count beyond int64 is either above every int64 id or below zero.
                const bool on_chip = *id >= 0 && (small_count_ ? *id < *small_count_ : huge_positive_count_);
                return native(row_major_home(*id, cols_value_, on_chip));
            }
            Ref zero_obj = zero();
            const bool inside =
                bind::compare(core, zero_obj.get(), Py_GE) && bind::compare(core, count_.get(), Py_LT);
            if (!inside) return native(MeshHome{});
            Ref row = check(PyNumber_FloorDivide(core, cols_.get()));
            Ref col = check(PyNumber_Remainder(core, cols_.get()));
            return Position{false, MeshHome{}, row, col};
        }
        const Ref& map = materialised();
        PyObject* value = nullptr;
        if (!check(PyDict_GetItemRef(map.get(), core, &value))) return native(MeshHome{});
        Ref pos = Ref::steal(value);
        Ref parts[2];
        bind::unpack(pos.get(), 2, parts);
        return Position{false, MeshHome{}, parts[0], parts[1]};
    }

  private:
    static Ref zero() { return bind::py_int(0); }
    static Position native(MeshHome home) { return Position{true, home, Ref(), Ref()}; }

    const Ref& materialised() {
        if (map_) return map_;
        // A map that cannot fit in the machine fails at once rather than after exhausting it:
        // each entry holds at least a dict slot, a 2-tuple and its id and position objects.
        constexpr long double kEntryBytes = 128;
        if (small_count_) bind::require_memory(static_cast<long double>(*small_count_) * kEntryBytes);
        if (huge_positive_count_) {  // beyond 64 bits: beyond any machine
            PyErr_NoMemory();
            bind::raise();
        }
        map_ = check(PyDict_New());
        Ref range = check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type), count_.get()));
        Ref it = check(PyObject_GetIter(range.get()));
        bind::SignalCheck signals;
        while (PyObject* raw = PyIter_Next(it.get())) {
            Ref cid = Ref::steal(raw);
            Ref row = check(PyNumber_FloorDivide(cid.get(), cols_.get()));
            Ref col = check(PyNumber_Remainder(cid.get(), cols_.get()));
            Ref pos = bind::tuple_of({row.get(), col.get()});
            check(PyDict_SetItem(map_.get(), cid.get(), pos.get()));
            signals.tick();
        }
        if (PyErr_Occurred()) bind::raise();
        return map_;
    }

    Ref cols_;
    Ref count_;
    std::optional<int64_t> small_count_;
    bool huge_positive_count_ = false;
    bool implicit_ = false;
    int64_t cols_value_ = 1;
    Ref map_;
};

// abs(src_r - dst_r) + abs(src_c - dst_c), natively when both positions are native.
inline bind::Ref manhattan(const CorePositions::Position& a, const CorePositions::Position& b) {
    if (a.native && b.native) return bind::py_int128(mesh_hops(a.home, b.home));
    auto host = [](bind::i128 v, const bind::Ref& obj, bool native) {
        return native ? bind::py_int128(v) : obj;
    };
    Ref ar = host(a.home.row, a.row_obj, a.native), ac = host(a.home.col, a.col_obj, a.native);
    Ref br = host(b.home.row, b.row_obj, b.native), bc = host(b.home.col, b.col_obj, b.native);
    return bind::manhattan(ar.get(), ac.get(), br.get(), bc.get());
}

}  // namespace zerav::partition
