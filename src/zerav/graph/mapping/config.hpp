// Every tuning constant of the mapping, one struct per phase, with its default. The entry
// builds one Config and every phase reads its own section; tests and benchmarks set fields by
// name through the module's private `_map_graph_with_config`.
#pragma once

#include <cstdint>
#include <string_view>

namespace zerav::mapping {

struct Config {
    // Coarsening (vertices counted after the components are contracted): graphs of at most
    // `small_size` vertices are coarsened to `coarsest_per_core` vertices per core, a coarse
    // vertex holding at most capacity / small_group_share nodes; larger graphs up to
    // `flat_size` vertices are bisected whole (a hierarchy costs more time than it saves
    // there); larger still are coarsened to about `flat_size` (and no fewer than
    // `coarsest_per_core` per core), a coarse vertex holding at most capacity / group_share.
    struct Coarsening {
        int64_t small_size = 0;
        int64_t small_group_share = 16;
        int64_t flat_size = 150'000;
        int64_t coarsest_per_core = 16;
        int64_t group_share = 4;
        double min_shrink = 0.95;  // a matching that keeps more of the vertices ends coarsening
        // How a matching rates a pair: 0 by the edges between them, 1 by the nets they share
        // (each net's weight / (pins - 1); by the edges for a vertex that shares none). Nets of
        // more than `rated_pins` pins add nothing (their pairs are many and each worth little).
        int64_t rating = 0;
        int64_t rated_pins = 1000;
    } coarsening;

    // The number of cores and the retries of a failed attempt.
    struct Cores {
        double slack = 0.03;        // spare cores, as a share of the cores needed
        int64_t delay_retries = 2;  // new bisections on the same cores after a delay failure
        int64_t growth_share = 8;   // a retry with more cores adds k / growth_share of them (at least 1)
        // A graph of at most this many vertices (after the components are contracted) that the
        // search packs into no cores is packed by trying every partition (11 vertices: 678,570).
        int64_t exact_vertices = 10;
    } cores;

    // The recursive bisection of the coarsest graph and its re-runs on the finer levels.
    struct Bisection {
        // What an edge to a vertex elsewhere weighs against an edge inside the region, per
        // unit of distance between the halves and that vertex's region: more pull gives fewer
        // hops for a larger cut, less gives more hops (docs/EXPERIMENTS.md).
        double outside_pull = 0.5;
        double late_pull = 48.0;         // per hop a feedback edge would reach beyond the limit
        int64_t growth_trials = 3;       // grown splits, the cheapest refined
        int64_t many_vertices = 65'536;  // larger sets are grown once
        int64_t passes = 4;              // Fiduccia-Mattheyses passes per bisection
        int64_t patience = 64;           // moves without a new best before a pass gives up,
        int64_t patience_share = 10;     // or 1 / patience_share of the region, if more
        int64_t gain_units = 256;        // gain units per unit of distance (gains are integers)
        // With the graph's nets (cost.multicast), a block of at most `net_cells` cells is
        // bisected by the nets each split cuts, at their rate units, pins elsewhere pulling a
        // net towards the nearer half; edges then weigh `net_edges` rate units each. On larger
        // blocks the nets' many regions cost 1.5-2 times the time (docs/EXPERIMENTS.md).
        int64_t net_cells = 64;
        int64_t net_edges = 1;
        // There the bisection by edges runs beside, unless most vertices reach at least this
        // share of the graph within two edges (above 1: it always runs): such a graph has no
        // locality for the edges to follow, and the nets' bisection won on every one measured
        // (docs/EXPERIMENTS.md).
        double nets_alone_reach = 0.2;
        // A nets' bisection of the whole graph ends far better or worse with its random stream:
        // `net_streams` of them, each with `net_growth_trials` grown splits per bisection,
        // the best mapping kept (docs/EXPERIMENTS.md).
        int64_t net_growth_trials = 3;
        int64_t net_streams = 1;
    } bisection;

    // The k-way refinement and the rebalancing of every level.
    struct Refinement {
        int64_t coarse_passes = 8;     // on the coarsest level
        int64_t fine_passes = 4;       // on every finer level
        int64_t delay_passes = 16;     // on level zero while feedback edges are late
        int64_t candidates = 4;        // neighbour parts tried per move, most connected first
        int64_t nearby_with_room = 4;  // nearest parts with room a rebalanced vertex may go to
        int64_t stop_share = 1000;     // passes stop once they move fewer than 1 in this many
    } refinement;

    // The cost of a mapping, in integer units: a hop of a feedback edge beyond the delay limit
    // (which must outweigh everything else), then the spike traffic: with `multicast` (1) the
    // links of every source's multicast tree times its rate in `rate_units` (the mean rate of
    // the graph's firing nodes is `rate_units`, the highest at most `rate_spread` times that,
    // a rate above 0 at least 1) at `hop` per unit, with 0 the hops of every edge at `hop`
    // each; then 1 per cut edge. An edge weighs beside a net as beside a net at the mean rate
    // (`bisection.net_edges`, `annealing.edge_hops`), not the highest: with rates the nets'
    // bisection then gathers the targets of the same sources better (docs/EXPERIMENTS.md).
    struct Cost {
        int64_t hop = 16;
        int64_t late_hop = int64_t{1} << 27;  // 2^16 tree links of a net at the highest rate
        int64_t multicast = 1;
        int64_t rate_units = 16;
        int64_t rate_spread = 8;
    } cost;

    // The two repairs of feedback edges beyond the delay limit.
    struct DelayRepair {
        int64_t rounds = 16;      // passes of single-end moves and trades
        int64_t trade_tries = 8;  // vertices of a full cell considered for a trade
        int64_t few_late = 64;    // with this few late edges left, every vertex is considered
        int64_t pair_rounds = 4;  // passes of moves of both ends
    } delay_repair;

    // The simulated annealing of whole cores over the mesh.
    struct Annealing {
        int64_t trials_per_core = 10'000;
        // and at most this many per cell of the window (0: no such bound): the cores of a small
        // window have few cells to go to and settle in fewer moves; windows of 36 cells and
        // more keep `trials_per_core` (docs/EXPERIMENTS.md)
        int64_t trials_per_cell = 300;
        int64_t min_trials_per_core = 50;      // with fewer moves per core in the budget, no annealing
        int64_t max_link_visits = 25'000'000;  // bounds the work on dense graphs of cores
        int64_t samples = 256;  // moves to a neighbouring cell sampled for the starting temperature
        // The starting temperature against the mean cost of a costly move to a neighbouring
        // cell: the layout is already good, so the annealing starts cool (heated from the cost
        // of moves across the whole mesh it melts the layout; docs/EXPERIMENTS.md).
        double start_heat = 0.3;
        int64_t margin = 2;  // rows and columns of the mesh beyond the block cores may move to
        // With the multicast cost: what a hop of an edge between cores weighs beside a link
        // of a tree in rate units (16 per link at the mean rate).
        int64_t edge_hops = 1;
        // The busiest link's load (in rate units) weighs `peak` times a tree link, on windows
        // of at most `peak_links` directed links, at most 128 (each net's tree is then kept link
        // by link: on the windows of about 40 cores that took 1.4-2.3 times as long;
        // docs/EXPERIMENTS.md).
        int64_t peak = 1;
        int64_t peak_links = 128;
        // With 1, where a window of at most 128 directed links has no more layouts of its cores
        // than the moves the annealing would try, every layout is tried instead.
        int64_t exact = 1;
    } annealing;

    // After the cores are placed, vertices move off the busiest mesh link under multicast (a
    // core that many sources reach, such as one holding the readouts of a whole layer, takes
    // them all over its few incoming links), for as long as the busiest link drops and the
    // traffic grows by at most `traffic_share` of itself (docs/EXPERIMENTS.md).
    struct LinkBalance {
        double traffic_share = 0.02;  // 0: no moves
        int64_t moves = 1000;         // moves at most
        // Per move, the first `candidates` vertices (of those that relieve the busiest link most)
        // that have a part with room are tried (while none of them has a move, the next ones),
        int64_t candidates = 4;
        int64_t nearby = 8;  // each to its nearest parts with room,
        int64_t tries = 4;   // the cheapest of them in traffic priced on the links
        // 1: the sources of the trees over the busiest link are candidates too (a source moved
        // beyond the link sends its tree back over other links, often for no more traffic:
        // the inputs of a layer that feeds two cores); 0: only the targets that alone bring a
        // tree over it.
        int64_t roots = 1;
        // 0: a candidate that had a move off the busiest link and is still a candidate after
        // another vertex's move tries that same part again, alone, and is priced in full only
        // if the move no longer fits (a hub's full pricing costs thousands of nets, so the
        // work bound then buys many more moves); 1: every candidate priced in full every time.
        int64_t reprice = 0;
        // Where no candidate has such a move, a candidate may trade places with a vertex of the
        // same size in each of its `trade_parts` nearest full parts: of the `trade_partners`
        // with the fewest nets there, the one whose move adds the least traffic (0, the
        // default: no trades; they cut more edges, docs/EXPERIMENTS.md).
        int64_t trade_parts = 0;
        int64_t trade_partners = 4;
        // The work of the pass, in nets and their parts visited, at most this many times the
        // pins of all nets (the nets of a hub reach most cores: each of its moves costs).
        double work_share = 8;
    } link_balance;
};

// A setting's value as the caller gave it: an integer, or a real number (for a real field).
struct SettingValue {
    bool integer;
    int64_t i;
    double d;
};

// Sets the field named "section.field" (e.g. "coarsening.flat_size"). Returns false for an
// unknown name; throws std::invalid_argument, saying why, when the value is outside the
// field's range or a real number for an integer field.
bool set_config_field(Config& config, std::string_view name, SettingValue value);

}  // namespace zerav::mapping
