// Setting Config fields by name, each within the range in which the phases stay sound (a
// divisor above zero, a shrink factor below one, work bounds that cannot overflow).
#include "zerav/graph/mapping/config.hpp"

#include <stdexcept>
#include <string>

namespace zerav::mapping {

namespace {

struct Field {
    std::string_view name;
    int64_t* (*integer)(Config&) = nullptr;
    double* (*real)(Config&) = nullptr;
    double low, high;
};

#define ZERAV_INT(path, low, high) {#path, [](Config& c) { return &c.path; }, nullptr, low, high}
#define ZERAV_REAL(path, low, high) {#path, nullptr, [](Config& c) { return &c.path; }, low, high}

constexpr double kLarge = 0x1p40;

const Field kFields[] = {
    ZERAV_INT(coarsening.small_size, 0, 0x1p31 - 1),
    ZERAV_INT(coarsening.small_group_share, 1, kLarge),
    ZERAV_INT(coarsening.flat_size, 1, 0x1p31 - 1),
    ZERAV_INT(coarsening.coarsest_per_core, 1, 0x1p20),
    ZERAV_INT(coarsening.group_share, 1, kLarge),
    ZERAV_REAL(coarsening.min_shrink, 0, 0.999),
    ZERAV_INT(coarsening.rating, 0, 1),
    ZERAV_INT(coarsening.rated_pins, 2, kLarge),
    ZERAV_REAL(cores.slack, 0, 10),
    ZERAV_INT(cores.delay_retries, 0, 100),
    ZERAV_INT(cores.growth_share, 1, 0x1p30),
    ZERAV_INT(cores.exact_vertices, 0, 12),
    ZERAV_REAL(bisection.outside_pull, 0, 1e6),
    ZERAV_REAL(bisection.late_pull, 0, 1e9),
    ZERAV_INT(bisection.growth_trials, 1, 1000),
    ZERAV_INT(bisection.many_vertices, 0, kLarge),
    ZERAV_INT(bisection.passes, 0, 1000),
    ZERAV_INT(bisection.patience, 1, kLarge),
    ZERAV_INT(bisection.patience_share, 1, kLarge),
    ZERAV_INT(bisection.gain_units, 1, 0x1p16),
    ZERAV_INT(bisection.net_cells, 0, kLarge),
    ZERAV_INT(bisection.net_edges, 0, 0x1p16),
    ZERAV_REAL(bisection.nets_alone_reach, 0, 2),
    ZERAV_INT(bisection.net_streams, 1, 100),
    ZERAV_INT(bisection.net_growth_trials, 1, 1000),
    ZERAV_INT(refinement.coarse_passes, 0, 1000),
    ZERAV_INT(refinement.fine_passes, 0, 1000),
    ZERAV_INT(refinement.delay_passes, 0, 1000),
    ZERAV_INT(refinement.candidates, 0, 0x1p20),
    ZERAV_INT(refinement.nearby_with_room, 0, 0x1p20),
    ZERAV_INT(refinement.stop_share, 0, 0x1p31),
    ZERAV_INT(cost.hop, 1, 1024),
    ZERAV_INT(cost.late_hop, 1, 0x1p30),
    ZERAV_INT(cost.multicast, 0, 1),
    ZERAV_INT(cost.rate_units, 1, 0x1p16),
    ZERAV_INT(cost.rate_spread, 1, 0x1p16),
    ZERAV_INT(delay_repair.rounds, 0, 1000),
    ZERAV_INT(delay_repair.trade_tries, 1, 0x1p30),
    ZERAV_INT(delay_repair.few_late, 0, kLarge),
    ZERAV_INT(delay_repair.pair_rounds, 0, 1000),
    ZERAV_INT(annealing.trials_per_core, 0, 0x1p30),
    ZERAV_INT(annealing.trials_per_cell, 0, 0x1p30),
    ZERAV_INT(annealing.min_trials_per_core, 0, 0x1p30),
    ZERAV_INT(annealing.max_link_visits, 0, kLarge),
    ZERAV_INT(annealing.samples, 0, 0x1p20),
    ZERAV_REAL(annealing.start_heat, 0, 1e6),
    ZERAV_INT(annealing.margin, 0, 1024),
    ZERAV_INT(annealing.edge_hops, 0, 1024),
    ZERAV_INT(annealing.peak, 0, 1024),
    ZERAV_INT(annealing.peak_links, 0, 128),
    ZERAV_INT(annealing.exact, 0, 1),
    ZERAV_REAL(link_balance.traffic_share, 0, 1e6),
    ZERAV_INT(link_balance.moves, 0, 0x1p30),
    ZERAV_INT(link_balance.candidates, 1, 0x1p20),
    ZERAV_INT(link_balance.nearby, 1, 0x1p20),
    ZERAV_INT(link_balance.tries, 1, 0x1p20),
    ZERAV_INT(link_balance.roots, 0, 1),
    ZERAV_INT(link_balance.reprice, 0, 1),
    ZERAV_INT(link_balance.trade_parts, 0, 0x1p20),
    ZERAV_INT(link_balance.trade_partners, 1, 0x1p20),
    ZERAV_REAL(link_balance.work_share, 0, 1e6),
};

#undef ZERAV_INT
#undef ZERAV_REAL

std::string range_text(const Field& f) {
    auto text = [&](double x) {
        return f.integer ? std::to_string(static_cast<int64_t>(x)) : std::to_string(x);
    };
    return std::string(f.name) + " must lie in [" + text(f.low) + ", " + text(f.high) + "]";
}

}  // namespace

bool set_config_field(Config& config, std::string_view name, SettingValue value) {
    for (const Field& f : kFields) {
        if (f.name != name) continue;
        if (f.integer) {
            if (!value.integer) throw std::invalid_argument(std::string(f.name) + " takes an integer");
            if (static_cast<double>(value.i) < f.low || static_cast<double>(value.i) > f.high)
                throw std::invalid_argument(range_text(f));
            *f.integer(config) = value.i;
        } else {
            const double x = value.integer ? static_cast<double>(value.i) : value.d;
            if (!(x >= f.low && x <= f.high)) throw std::invalid_argument(range_text(f));
            *f.real(config) = x;
        }
        return true;
    }
    return false;
}

}  // namespace zerav::mapping
