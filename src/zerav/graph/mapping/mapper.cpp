// The multilevel mapping: strongly connected components that fit a core become single
// vertices, heavy-edge matching coarsens the graph, the coarsest graph is mapped onto a compact
// block of cells by recursive bisection, each finer level is rebalanced and refined on the way
// back, and last the cores themselves are placed anew on the mesh. Impossible constraints are
// reported before any work, with how far they are missed.
#include "zerav/graph/mapping/checks.hpp"
#include "zerav/graph/mapping/multicast.hpp"
#include "zerav/graph/mapping/multicast_cost.hpp"
#include "zerav/graph/mapping/partition_state.hpp"
#include "zerav/graph/mapping/steps.hpp"
#include "zerav/graph/resource/routing_bytes.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>

namespace zerav::mapping {

namespace {

using resource::routing_bytes_per_edge;

std::string text(int64_t v) { return std::to_string(v); }

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

struct Components {
    std::vector<int32_t> scc;           // strongly connected component of each node
    std::vector<int32_t> of;            // its component joined with those of its other names
    std::vector<int64_t> count, bytes;  // compute nodes and node bytes per component
    std::vector<int32_t> first;         // a node of each component, for messages
    std::vector<uint8_t> whole;         // the component fits one core and stays whole
};

// The components of `scc` joined wherever one node object has names in two of them (its
// names share a core), numbered anew from 0.
std::vector<int32_t> join_aliases(const Problem& p, const std::vector<int32_t>& scc) {
    if (p.alias.empty()) return scc;
    std::vector<int32_t> root(scc.size());
    for (size_t s = 0; s < root.size(); ++s) root[s] = static_cast<int32_t>(s);
    auto find = [&](int32_t s) {
        while (root[static_cast<size_t>(s)] != s)
            s = root[static_cast<size_t>(s)] = root[static_cast<size_t>(root[static_cast<size_t>(s)])];
        return s;
    };
    for (int32_t v = 0; v < p.nodes; ++v) {
        const int32_t a = find(scc[static_cast<size_t>(v)]);
        const int32_t b = find(scc[static_cast<size_t>(p.alias[static_cast<size_t>(v)])]);
        root[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
    }
    std::vector<int32_t> id(scc.size(), -1), of(scc.size());
    int32_t n = 0;
    for (size_t v = 0; v < scc.size(); ++v) {
        int32_t& i = id[static_cast<size_t>(find(scc[v]))];
        if (i < 0) i = n++;
        of[v] = i;
    }
    return of;
}

Components components(const Problem& p, const Limits& limits) {
    Components c;
    c.scc = strongly_connected(p);
    c.of = join_aliases(p, c.scc);
    int32_t n = 0;
    for (int32_t s : c.of) n = std::max(n, s + 1);
    c.count.assign(static_cast<size_t>(n), 0);
    c.bytes.assign(static_cast<size_t>(n), 0);
    c.first.assign(static_cast<size_t>(n), -1);
    for (int32_t v = 0; v < p.nodes; ++v) {
        const auto s = static_cast<size_t>(c.of[static_cast<size_t>(v)]);
        c.count[s] += p.compute[static_cast<size_t>(v)];
        if (!p.node_bytes.empty()) c.bytes[s] += p.node_bytes[static_cast<size_t>(v)];
        if (c.first[s] < 0 ||
            (!p.compute[static_cast<size_t>(c.first[s])] && p.compute[static_cast<size_t>(v)]))
            c.first[s] = v;
    }
    c.whole.resize(static_cast<size_t>(n));
    for (size_t s = 0; s < c.whole.size(); ++s) c.whole[s] = limits.fits(c.count[s], c.bytes[s]);
    return c;
}

// Every constraint that no mapping can meet, checked before the search.
void check_possible(const Problem& p, const Components& c, const Limits& limits, NameOf name_of,
                    const void* context) {
    const ChipShape& chip = p.chip;
    int64_t total = 0;
    for (uint8_t is_compute : p.compute) total += is_compute;
    const int64_t available = available_cores(chip);
    const std::string cores_text =
        "num_cores=" + text(chip.num_cores) +
        (chip.mesh ? ", a " + text(chip.rows) + "x" + text(chip.cols) + " mesh" : std::string());
    if (p.nodes > 0 && available <= 0)
        throw Infeasible(Constraint::capacity, true, "cores",
                         limits.capacity > 0 ? std::max<int64_t>(1, ceil_div(total, limits.capacity)) : 1,
                         available,
                         "Core count cannot be met: the chip offers no core (" + cores_text + ").");
    if (total > 0 && limits.capacity <= 0)
        throw Infeasible(Constraint::capacity, true, "compute nodes", total, 0,
                         "Capacity cannot be met: max_neurons_per_core=" + text(limits.capacity) +
                             " holds no compute node, and the graph has " + text(total) + ".");
    if (total > 0 && ceil_div(total, limits.capacity) > available)
        throw Infeasible(Constraint::capacity, true, "cores", ceil_div(total, limits.capacity), available,
                         "Capacity cannot be met: " + text(total) +
                             " compute nodes at max_neurons_per_core=" + text(limits.capacity) + " need " +
                             text(ceil_div(total, limits.capacity)) + " cores, " +
                             text(ceil_div(total, limits.capacity) - available) + " more than the " +
                             text(available) + " available (" + cores_text + ").");
    if (limits.sram >= 0) {
        int64_t bytes = 0;
        for (int32_t v = 0; v < p.nodes; ++v) {
            const int64_t b = p.node_bytes[static_cast<size_t>(v)];
            bytes += b;
            if (p.compute[static_cast<size_t>(v)] && b > limits.sram)
                throw Infeasible(Constraint::sram, true, "bytes", b, limits.sram,
                                 "SRAM cannot be met: node " + name_of(context, v) + " needs " + text(b) +
                                     " bytes, " + text(b - limits.sram) +
                                     " more than sram_bytes_per_core=" + text(limits.sram) + ".");
        }
        const int64_t need =
            limits.sram == 0 ? (bytes > 0 ? available + 1 : 0) : ceil_div(bytes, limits.sram);
        if (need > available)
            throw Infeasible(Constraint::sram, true, "bytes", bytes, available * limits.sram,
                             "SRAM cannot be met: the nodes need " + text(bytes) + " bytes, " +
                                 text(bytes - available * limits.sram) + " more than " + text(available) +
                                 " cores of sram_bytes_per_core=" + text(limits.sram) + " hold (" +
                                 cores_text + ").");
    }
    // A node object under several names is on one core once per name.
    if (!p.alias.empty()) {
        std::vector<int64_t> names(static_cast<size_t>(p.nodes), 0), bytes(static_cast<size_t>(p.nodes), 0);
        for (int32_t v = 0; v < p.nodes; ++v) {
            const auto a = static_cast<size_t>(p.alias[static_cast<size_t>(v)]);
            names[a] += p.compute[static_cast<size_t>(v)];
            if (!p.node_bytes.empty()) bytes[a] += p.node_bytes[static_cast<size_t>(v)];
        }
        for (int32_t v = 0; v < p.nodes; ++v) {
            const auto vs = static_cast<size_t>(v);
            if (names[vs] > limits.capacity)
                throw Infeasible(Constraint::capacity, true, "compute nodes", names[vs], limits.capacity,
                                 "Capacity cannot be met: node " + name_of(context, v) +
                                     " is reached under " + text(names[vs]) +
                                     " names, which share its one core and count once each, " +
                                     text(names[vs] - limits.capacity) +
                                     " more than max_neurons_per_core=" + text(limits.capacity) + ".");
            if (limits.sram >= 0 && bytes[vs] > limits.sram)
                throw Infeasible(Constraint::sram, true, "bytes", bytes[vs], limits.sram,
                                 "SRAM cannot be met: node " + name_of(context, v) + " is reached under " +
                                     text(names[vs]) + " names, which share its one core: " +
                                     text(bytes[vs]) + " bytes, " + text(bytes[vs] - limits.sram) +
                                     " more than sram_bytes_per_core=" + text(limits.sram) + ".");
        }
    }
    // With no hop to spare, a component that must be split has a feedback edge too long.
    const bool no_hop = limits.delay == 0;
    if (no_hop)
        for (size_t s = 0; s < c.whole.size(); ++s)
            if (!c.whole[s])
                throw Infeasible(
                    Constraint::delay, true, "hops", 1, 0,
                    "Feedback delay cannot be met: the strongly connected component of " +
                        name_of(context, c.first[s]) + " has " + text(c.count[s]) + " compute nodes, " +
                        text(c.count[s] - limits.capacity) +
                        " more than max_neurons_per_core=" + text(limits.capacity) +
                        " (or more bytes than one core holds), and max_feedback_delay=0 allows no "
                        "feedback edge between cores.");
}

// The hops of the longest feedback edge of a mapping (0 without one).
int64_t longest_feedback(const LevelGraph& g, const ChipCells& cells, const std::vector<int32_t>& part) {
    int64_t longest = 0;
    for (int32_t v = 0; v < g.n; ++v)
        for (int64_t i = g.begin(v); i < g.end(v); ++i)
            if (g.feedback[static_cast<size_t>(i)])
                longest =
                    std::max(longest, cells.hops(part[static_cast<size_t>(v)],
                                                 part[static_cast<size_t>(g.adj[static_cast<size_t>(i)])]));
    return longest;
}

// Each node's firing rate in integer units: the mean rate of the nodes that fire is `units`,
// the highest at most `spread` times that, any rate above 0 at least 1 (all `units` without
// rates).
std::vector<int64_t> rate_units(const Problem& p, int64_t units, int64_t spread) {
    std::vector<int64_t> out(static_cast<size_t>(p.nodes), units);
    if (p.rate.empty()) return out;
    // Rates relative to the highest lie in [0, 1], and their mean over the firing nodes in
    // [1 / nodes, 1]: no quotient below overflows, whatever the rates' magnitude.
    const double top = *std::max_element(p.rate.begin(), p.rate.end());
    double sum = 0;
    int64_t firing = 0;
    for (const double r : p.rate)
        if (r > 0) sum += r / top, ++firing;
    const double mean = firing > 0 ? sum / static_cast<double>(firing) : 1;
    for (size_t v = 0; v < out.size(); ++v) {
        const double r = p.rate[v];
        if (r <= 0) {
            out[v] = 0;
            continue;
        }
        const double relative = r / top;
        const double weight = std::min(relative / mean, relative * static_cast<double>(spread));
        out[v] = std::max<int64_t>(1, std::llround(weight * static_cast<double>(units)));
    }
    return out;
}

// One net per node with out-edges: its vertex (the root) and its targets' vertices.
Nets source_nets(const Problem& p, const std::vector<int32_t>& vertex_of, int32_t n, int64_t units,
                 int64_t spread) {
    const Fanout fanout(p.nodes, p.src, p.dst);
    const std::vector<int64_t> weight = rate_units(p, units, spread);
    NetBuilder builder(n);
    std::vector<int32_t> targets;
    for (int32_t s = 0; s < p.nodes; ++s) {
        targets.clear();
        for (int32_t d : fanout.of(s)) targets.push_back(vertex_of[static_cast<size_t>(d)]);
        builder.add(vertex_of[static_cast<size_t>(s)], targets, weight[static_cast<size_t>(s)]);
    }
    return builder.finish();
}

struct LevelZero {
    LevelGraph graph;
    std::vector<int32_t> vertex_of;  // node -> vertex
};

// One vertex per component that stays whole, one per node of the others. The bytes of a
// vertex are what its core holds for it alone: its nodes' bytes and a routing buffer for every
// edge that enters it (a part's bytes give back the buffers of the edges inside the part).
LevelZero level_zero(const Problem& p, const Components& c, const Limits& limits) {
    LevelZero z;
    z.vertex_of.assign(static_cast<size_t>(p.nodes), -1);
    std::vector<int32_t> component_vertex(c.whole.size(), -1);
    int32_t n = 0;
    for (int32_t v = 0; v < p.nodes; ++v) {
        const auto s = static_cast<size_t>(c.of[static_cast<size_t>(v)]);
        if (c.whole[s]) {
            if (component_vertex[s] < 0) component_vertex[s] = n++;
            z.vertex_of[static_cast<size_t>(v)] = component_vertex[s];
        } else if (!p.alias.empty() && p.alias[static_cast<size_t>(v)] != v) {
            z.vertex_of[static_cast<size_t>(v)] =
                z.vertex_of[static_cast<size_t>(p.alias[static_cast<size_t>(v)])];  // one core per object
        } else {
            z.vertex_of[static_cast<size_t>(v)] = n++;
        }
    }
    std::vector<int64_t> count(static_cast<size_t>(n), 0), bytes;
    if (limits.sram >= 0) bytes.assign(static_cast<size_t>(n), 0);
    for (int32_t v = 0; v < p.nodes; ++v) {
        const auto x = static_cast<size_t>(z.vertex_of[static_cast<size_t>(v)]);
        count[x] += p.compute[static_cast<size_t>(v)];
        if (!bytes.empty()) bytes[x] += p.node_bytes[static_cast<size_t>(v)];
    }
    std::vector<LevelEdge> edges;
    edges.reserve(p.src.size());
    for (size_t e = 0; e < p.src.size(); ++e) {
        const int32_t a = p.src[e], b = p.dst[e];
        const int32_t va = z.vertex_of[static_cast<size_t>(a)], vb = z.vertex_of[static_cast<size_t>(b)];
        if (va == vb) continue;
        if (!bytes.empty()) bytes[static_cast<size_t>(vb)] += routing_bytes_per_edge;
        const bool feedback = c.scc[static_cast<size_t>(a)] == c.scc[static_cast<size_t>(b)];
        edges.push_back(LevelEdge{va, vb, feedback});
    }
    z.graph = build_level(n, edges, std::move(count), std::move(bytes));
    if (limits.config.cost.multicast)
        z.graph.nets =
            source_nets(p, z.vertex_of, n, limits.config.cost.rate_units, limits.config.cost.rate_spread);
    return z;
}

// A vertex of the largest component that does not stay whole, or -1.
int32_t largest_split(const Components& c, const LevelZero& z) {
    int64_t best = -1;
    int32_t vertex = -1;
    for (size_t s = 0; s < c.whole.size(); ++s)
        if (!c.whole[s] && c.count[s] > best)
            best = c.count[s], vertex = z.vertex_of[static_cast<size_t>(c.first[s])];
    return vertex;
}

// The number of cores to use: enough for the nodes (and bytes) with a little room to move.
int32_t core_count(const LevelGraph& g, const Limits& limits, int64_t available) {
    int64_t count = 0, bytes = 0;
    for (int32_t v = 0; v < g.n; ++v) {
        count += g.count[static_cast<size_t>(v)];
        if (g.has_bytes()) bytes += g.bytes[static_cast<size_t>(v)];
    }
    // A graph of Input and Output nodes alone holds no compute node: one core, whatever the
    // capacity (which may be 0 then, since no node has to fit).
    int64_t k = count > 0 ? std::max<int64_t>(1, ceil_div(count, limits.capacity)) : 1;
    if (limits.sram > 0) k = std::max(k, ceil_div(bytes, limits.sram));
    k += static_cast<int64_t>(limits.config.cores.slack * static_cast<double>(k));
    return static_cast<int32_t>(std::min(k, available));
}

// The failure of a search under SRAM whose cores all hold few enough nodes: throws for the
// first core (by id) over its bytes, in the words of the exact check after a mapping. Returns
// when some core holds too many nodes, or none is over its bytes.
void raise_sram_overflow(const LevelGraph& g, const ChipCells& cells, const Limits& limits,
                         std::vector<int32_t>& part) {
    const PartitionState state(g, cells.size(), part);
    int32_t worst = -1;
    for (int32_t p = 0; p < cells.size(); ++p) {
        if (state.count(p) > limits.capacity) return;
        if (state.over(limits, p) && (worst < 0 || cells.id(p) < cells.id(worst))) worst = p;
    }
    if (worst < 0) return;
    const int64_t total = state.bytes(worst);
    throw Infeasible(Constraint::sram, false, "bytes", total, limits.sram,
                     "SRAM cannot be met: the mapping found puts " + text(total) + " bytes on core " +
                         text(cells.id(worst)) + ", " + text(total - limits.sram) +
                         " more than sram_bytes_per_core=" + text(limits.sram) + ".");
}

// The cut edges and the multicast cost of a mapping, recounted: projecting a mapping to a finer
// level keeps both, if the contraction kept the edges and the nets.
std::pair<int64_t, int64_t> cut_and_traffic(const LevelGraph& g, const ChipCells& cells,
                                            const std::vector<int32_t>& part) {
    int64_t cut = 0;
    for (int32_t v = 0; v < g.n; ++v)
        for (int64_t i = g.begin(v); i < g.end(v); ++i)
            if (part[static_cast<size_t>(v)] != part[static_cast<size_t>(g.adj[static_cast<size_t>(i)])])
                cut += g.weight[static_cast<size_t>(i)];
    return {cut / 2, MulticastCost(g.nets, cells, part).total()};
}

// The mapping of the coarsest level: bisected by edges and rebalanced; on a block of at most
// `bisection.net_cells` cells also bisected by nets (`bisection.net_streams` times) and
// rebalanced, and the one of fewer cores over full, fewer late feedback edges, then lower
// multicast traffic kept (neither bisection wins everywhere: nets gather the targets of wide
// sources, edges keep grids and clusters whole; docs/EXPERIMENTS.md), or by nets alone where
// the graph reaches widely within two edges (`bisection.nets_alone_reach`); then refined.
// Returns whether the nets' bisection was kept.
bool first_mapping(const LevelGraph& g, const ChipCells& cells, const Limits& limits, Rng& rng,
                   std::vector<int32_t>& part) {
    const Config& config = limits.config;
    auto map = [&](bool by_nets, std::vector<int32_t>& out, Rng& r) {
        out = initial_mapping(g, cells, limits, r, by_nets);
        const bool full = !rebalance(g, cells, limits, out);
        return std::tuple(full, delay_violations(g, cells, limits, out),
                          MulticastCost(g.nets, cells, out).total());
    };
    const int64_t streams = config.bisection.net_streams;
    bool by_nets = false;
    if (g.nets.empty() || cells.size() > config.bisection.net_cells) {
        part = initial_mapping(g, cells, limits, rng, false);
        rebalance(g, cells, limits, part);
    } else if (const bool edges_too = !reaches_widely(g, config.bisection.nets_alone_reach);
               !edges_too && streams == 1) {
        part = initial_mapping(g, cells, limits, rng, true);
        rebalance(g, cells, limits, part);
        by_nets = true;
    } else {
        // The edges' bisection and the first of the nets' draw the same random stream, and the
        // later phases go on from the kept one's: where the edges win, the mapping is the one
        // the edges alone give. A nets' bisection's outcome varies much with its stream, so
        // further ones draw streams of their own (each seeded from the first stream's first
        // draw, offset per stream).
        const Rng start = rng;
        Rng seeds = start;
        const uint64_t seed = seeds.next();
        std::vector<int32_t> other;
        std::optional<std::tuple<bool, int64_t, int64_t>> best;
        if (edges_too) best = map(false, part, rng);
        for (int64_t stream = 0; stream < streams; ++stream) {
            Rng r = stream == 0 ? start : Rng(seed + static_cast<uint64_t>(stream) * 0x632BE59BD9B4E019ull);
            const auto rank = map(true, other, r);
            if (!best || rank < *best) best = rank, std::swap(part, other), rng = r, by_nets = true;
        }
    }
    refine(g, cells, limits, part, config.refinement.coarse_passes, rng);
    return by_nets;
}

// Maps level zero onto `cells`; false when some core stays over-full.
bool map_levels(const LevelGraph& g0, const ChipCells& cells, const Limits& limits, Rng& rng,
                std::vector<int32_t>& part, int32_t& level_count) {
    const Config& config = limits.config;
    std::vector<LevelGraph> levels;
    std::vector<std::vector<int32_t>> groups;
    const LevelGraph* g = &g0;
    const Config::Coarsening& tuning = config.coarsening;
    // A small graph is coarsened all the way, a larger one bisected whole, a larger still
    // coarsened to `flat_size`.
    const bool small = g0.n <= tuning.small_size;
    const int64_t per_core = tuning.coarsest_per_core * cells.size();
    const int64_t coarsest = small ? per_core : std::max(tuning.flat_size, per_core);
    const int64_t max_group =
        std::max<int64_t>(1, limits.capacity / (small ? tuning.small_group_share : tuning.group_share));
    while (g->n > coarsest) {
        int32_t count = 0;
        std::vector<int32_t> group = match_groups(*g, limits, max_group, rng, count);
        if (count > tuning.min_shrink * g->n) break;
        levels.push_back(contract(*g, group, count));
        groups.push_back(std::move(group));
        g = &levels.back();
        if (limits.poll) limits.poll();
    }
    level_count = static_cast<int32_t>(levels.size());
    const bool by_nets = first_mapping(*g, cells, limits, rng, part);
    for (size_t level = levels.size(); level-- > 0;) {
        const LevelGraph& finer = level == 0 ? g0 : levels[level - 1];
        std::vector<int32_t> projected(static_cast<size_t>(finer.n));
        for (int32_t v = 0; v < finer.n; ++v)
            projected[static_cast<size_t>(v)] =
                part[static_cast<size_t>(groups[level][static_cast<size_t>(v)])];
        if constexpr (kChecks)
            invariant(cut_and_traffic(finer, cells, projected) == cut_and_traffic(levels[level], cells, part),
                      "contraction", "a level's cut or multicast cost differs from the coarser level's");
        // Each level re-runs the bisections from the projected sides: slower than the k-way
        // refinement alone, but a lower cut and fewer hops (docs/EXPERIMENTS.md).
        part = initial_mapping(finer, cells, limits, rng, by_nets, &projected);
        rebalance(finer, cells, limits, part);
        refine(finer, cells, limits, part, config.refinement.fine_passes, rng);
    }
    if (!rebalance(g0, cells, limits, part)) {
        // Moving vertices out of over-full cores found no packing. Under SRAM, neighbours that
        // join a core may lower its bytes; a small graph is packed exactly.
        const bool pulled = limits.sram >= 0 && (pull_buffered_neighbours(g0, cells, limits, part),
                                                 rebalance(g0, cells, limits, part));
        if (!pulled && !pack_exactly(g0, cells, limits, part)) return false;
    }
    if (delay_violations(g0, cells, limits, part) > 0) {
        refine(g0, cells, limits, part, config.refinement.delay_passes, rng);
        repair_delay(g0, cells, limits, part);
        repair_delay_pairs(g0, cells, limits, part);
    }
    return true;
}

}  // namespace

Mapping map_problem(const Problem& p, NameOf name_of, const void* context) {
    const Limits limits{p.chip.capacity, p.chip.sram, p.chip.feedback_delay, p.poll, p.config};
    Components comps = components(p, limits);
    check_possible(p, comps, limits, name_of, context);
    const LevelZero zero = level_zero(p, comps, limits);
    const int64_t available = available_cores(p.chip);

    Mapping result;
    result.scc = std::move(comps.scc);
    if (p.nodes == 0) return result;
    int32_t k = core_count(zero.graph, limits, available);
    // More cores than vertices give no more room: every vertex may already have one to itself.
    const int64_t most = std::min<int64_t>(available, std::max<int64_t>(k, zero.graph.n));
    const int32_t split = largest_split(comps, zero);
    std::vector<int32_t> part;
    int delay_retries = 0;
    bool delay_grown = false, banded_helps = true;
    for (uint64_t attempt = 0;; ++attempt) {
        const ChipCells cells(p.chip, k);
        // Each attempt draws its own stream: a retry explores other bisections, not only more cores.
        Rng rng(p.seed + attempt * 0x9E3779B97F4A7C15ull);
        bool packed = map_levels(zero.graph, cells, limits, rng, part, result.levels);
        int64_t late = packed ? delay_violations(zero.graph, cells, limits, part) : 0;
        if (late > 0 && split >= 0 && banded_helps) {
            // The components that must be split do not fit the limit as bisection cut them:
            // lay them along a path of neighbouring cells instead.
            std::vector<int32_t> banded = banded_mapping(zero.graph, cells, limits, split);
            const bool banded_packed = rebalance(zero.graph, cells, limits, banded);
            refine(zero.graph, cells, limits, banded, p.config.refinement.delay_passes, rng);
            repair_delay(zero.graph, cells, limits, banded);
            const int64_t banded_late = delay_violations(zero.graph, cells, limits, banded);
            if (banded_packed && banded_late < late)
                part = std::move(banded), late = banded_late;
            else
                banded_helps = false;  // not tried again: a few more cores rarely change that
        }
        if (packed && late == 0) {
            const std::vector<int32_t> id = place_cores(zero.graph, cells, p.chip, limits, part, rng);
            balance_links(zero.graph, ChipCells(p.chip, id), limits, part);
            result.core.resize(static_cast<size_t>(p.nodes));
            for (int32_t v = 0; v < p.nodes; ++v)
                result.core[static_cast<size_t>(v)] = id[static_cast<size_t>(
                    part[static_cast<size_t>(zero.vertex_of[static_cast<size_t>(v)])])];
            return result;
        }
        // A delay failure is a matter of layout more than of room: new bisections on the same
        // cores first (measured: they succeed where more cores fail), then more cores once. More
        // cores give room for capacity as often as needed.
        if (packed && delay_retries < p.config.cores.delay_retries) {
            ++delay_retries;
            continue;
        }
        if (k < most && (!packed || !delay_grown)) {
            delay_grown = delay_grown || packed;
            k = static_cast<int32_t>(
                std::min<int64_t>(most, k + std::max<int64_t>(1, k / p.config.cores.growth_share)));
            continue;
        }
        if (!packed && limits.sram >= 0) raise_sram_overflow(zero.graph, cells, limits, part);
        if (!packed)
            throw Infeasible(
                Constraint::capacity, false, "cores", -1, available,
                "Capacity cannot be met: no packing of the strongly connected components into " +
                    text(available) + " cores of max_neurons_per_core=" + text(limits.capacity) +
                    (limits.sram >= 0 ? " and sram_bytes_per_core=" + text(limits.sram) : std::string()) +
                    " was found.");
        throw Infeasible(Constraint::delay, false, "hops", longest_feedback(zero.graph, cells, part),
                         limits.delay,
                         "Feedback delay cannot be met: no mapping found keeps every feedback edge within "
                         "max_feedback_delay=" +
                             text(limits.delay) + " hops; the best found leaves " + text(late) +
                             " feedback edge(s) longer.");
    }
}

}  // namespace zerav::mapping
