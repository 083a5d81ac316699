// The cost of a placement: spike hops (Manhattan distance times pair weight) summed over the
// communicating pairs whose cores are both placed, the same sum for the row-major identity
// layout over every pair, and the percentage improvement of the first over the second.
// Exact ints are summed natively; any other value (a float core id, a numpy mesh size) makes
// that term, and the sum from there on, a host computation in the host's order.
#include "zerav/graph/placement/placement.hpp"

#include "bind/host.hpp"

namespace zerav::placement {

using bind::i128;

namespace {

// (abs(ra - rb) + abs(ca - cb)) * weight, added to `total` by the host.
void add_host_term(bind::Amount& total, PyObject* ra, PyObject* ca, PyObject* rb, PyObject* cb,
                   int64_t weight) {
    Ref manhattan = bind::manhattan(ra, ca, rb, cb);
    Ref w = bind::py_int(weight);
    Ref term = check(PyNumber_Multiply(manhattan.get(), w.get()));
    total = bind::add(total, bind::Amount::of(term), true);
}

// The position objects of a spot: the centre's own objects for the first seed core.
std::pair<Ref, Ref> host_position(const Spot& spot, const Seeds& centre) {
    if (spot.kind == Spot::Kind::SeedA) return {centre.row, centre.col};
    return {bind::py_int(spot.pos.row), bind::py_int(spot.pos.col)};
}

bind::Amount placed_hops(const CorePairs& cp, const std::vector<ClassKey>& keys, const Placement& placement,
                         const Seeds& centre) {
    bind::Amount total;
    bind::SignalCheck signals;
    for (size_t p = 0; p < cp.pairs.size(); ++p) {
        signals.tick();
        const Spot a = placement.find(keys[cp.pairs.lo[p]]);
        if (a.kind == Spot::Kind::None) continue;
        const Spot b = placement.find(keys[cp.pairs.hi[p]]);
        if (b.kind == Spot::Kind::None) continue;
        const bool host =
            !centre.centre_native && (a.kind == Spot::Kind::SeedA || b.kind == Spot::Kind::SeedA);
        if (!host) {
            add_weighted(total, bind::manhattan(a.pos.row, a.pos.col, b.pos.row, b.pos.col),
                         cp.pairs.weight[p]);
            continue;
        }
        auto [ra, ca] = host_position(a, centre);
        auto [rb, cb] = host_position(b, centre);
        add_host_term(total, ra.get(), ca.get(), rb.get(), cb.get(), cp.pairs.weight[p]);
    }
    return total;
}

bind::Amount identity_hops(const CorePairs& cp, PyObject* cols) {
    bind::Amount total;
    const auto c = bind::exact_small_int(cols);
    const bool native_cols = c && *c != 0;
    bind::SignalCheck signals;
    for (size_t p = 0; p < cp.pairs.size(); ++p) {
        signals.tick();
        const KeyValue& a = cp.keys[p][0];
        const KeyValue& b = cp.keys[p][1];
        if (native_cols && !a.object && !b.object) {
            const i128 m = bind::manhattan(floor_div(a.value, *c), floor_mod(a.value, *c),
                                           floor_div(b.value, *c), floor_mod(b.value, *c));
            add_weighted(total, m, cp.pairs.weight[p]);
            continue;
        }
        Ref av = a.host(), bv = b.host();
        Ref ra = check(PyNumber_FloorDivide(av.get(), cols));
        Ref ca = check(PyNumber_Remainder(av.get(), cols));
        Ref rb = check(PyNumber_FloorDivide(bv.get(), cols));
        Ref cb = check(PyNumber_Remainder(bv.get(), cols));
        add_host_term(total, ra.get(), ca.get(), rb.get(), cb.get(), cp.pairs.weight[p]);
    }
    return total;
}

// (baseline - total) / max(baseline, 1) * 100.0 when baseline > 0, else 0.0, in the host's
// arithmetic (bind::true_divide divides ints as the host does).
Ref improvement(const bind::Amount& baseline, const bind::Amount& total) {
    if (!bind::greater(baseline, bind::Amount(0))) return bind::py_float(0.0);
    Ref base = baseline.object(), hops = total.object();
    // Two native sums of non-negative terms: their difference fits.
    const bind::Amount diff = baseline.native() && total.native()
                                  ? bind::Amount(baseline.value() - total.value())
                                  : bind::Amount::of(check(PyNumber_Subtract(base.get(), hops.get())));
    Ref one = bind::py_int(1);
    const bool below_one = !baseline.native() && bind::compare(one.get(), base.get(), Py_GT);
    Ref quotient = bind::true_divide(diff, below_one ? bind::Amount(1) : baseline);
    Ref hundred = bind::py_float(100.0);
    return check(PyNumber_Multiply(quotient.get(), hundred.get()));
}

}  // namespace

Costs placement_costs(const CorePairs& cp, const std::vector<ClassKey>& keys, const Placement& placement,
                      const Seeds& seeds, PyObject* cols) {
    const bind::Amount total = placed_hops(cp, keys, placement, seeds);
    const bind::Amount baseline = identity_hops(cp, cols);
    return Costs{total.object(), improvement(baseline, total)};
}

}  // namespace zerav::placement
