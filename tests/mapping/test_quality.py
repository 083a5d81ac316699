"""Quality floors the mapping must keep on inputs whose best mapping is known."""

from __future__ import annotations

import itertools
import random

import pytest

from tests.helpers import make_graph, make_hw
from tests.mapping.graphs import check_mapping, layered, walked_busiest_link, walked_multicast
from zerav import ir
from zerav.graph.mapping import _map_graph_with_config, map_graph


def grid(side):
    """A side x side grid of compute nodes, each feeding its right and lower neighbour."""
    names = {(r, c): f"g{r}.{c}" for r in range(side) for c in range(side)}
    nodes = {name: ir.LIF() for name in names.values()}
    edges = [(names[r, c], names[r, c + 1]) for r in range(side) for c in range(side - 1)]
    edges += [(names[r, c], names[r + 1, c]) for r in range(side - 1) for c in range(side)]
    return make_graph(nodes, edges)


@pytest.mark.parametrize("side, mesh", [(16, (2, 2)), (32, (4, 4)), (40, (5, 5)), (64, (8, 8))])
def test_full_cores_still_get_a_near_optimal_grid_cut(side, mesh):
    # Every core is filled exactly (no room to move one node at a time), so the bisections
    # must trade nodes between the halves. Square blocks cut 2 * side * (cells per side - 1)
    # edges, the fewest possible; a bisection that cannot trade leaves ragged borders (8-12 %
    # more on the larger grids).
    cells = mesh[0] * mesh[1]
    hw = make_hw(num_cores=cells, max_neurons_per_core=side * side // cells, core_mesh_topology=mesh)
    graph = grid(side)
    check_mapping(graph, hw, map_graph(graph, hw))
    cut = graph.partition_metadata["metrics"]["total_cross_core_edges"]
    best = 2 * side * (mesh[0] - 1)
    assert cut <= 1.04 * best, (cut, best)


def test_a_grid_is_still_bisected_by_edges_beside_the_nets():
    # Graphs whose vertices reach most of the graph within two edges are bisected by nets
    # alone; a grid reaches a few vertices, so the bisection by edges still runs beside and
    # keeps the 64 x 64 grid's cut optimal, where the nets alone leave it ragged.
    hw = make_hw(num_cores=64, max_neurons_per_core=64, core_mesh_topology=(8, 8))
    cuts = []
    for reach in (0.2, 0.0):  # the default; every graph counted as reaching widely
        graph = grid(64)
        _map_graph_with_config(graph, hw, {"bisection.nets_alone_reach": reach}, 0, False, None)
        cuts.append(graph.partition_metadata["metrics"]["total_cross_core_edges"])
    assert cuts[0] == 2 * 64 * 7 < cuts[1], cuts


def linked_clusters(names, size, links, shift=0):
    """One cluster of `size` fully connected compute nodes per name, and three edges for each
    (a, b) in `links`: node i of a to node i + shift of b."""
    nodes, edges = {}, []
    for name in names:
        members = [f"{name}.{i}" for i in range(size)]
        nodes.update({m: ir.LIF() for m in members})
        edges += [(a, b) for a in members for b in members if a < b]
    for a, b in links:
        edges += [(f"{a}.{i}", f"{b}.{i + shift}") for i in range(3)]
    return make_graph(nodes, edges)


def clusters_on_a_grid(side, size):
    """side x side clusters joined to their grid neighbours, so one core per cluster laid out
    like the grid is optimal."""
    names = [f"c{r}.{c}" for r in range(side) for c in range(side)]
    links = [
        (f"c{r}.{c}", f"c{rr}.{cc}")
        for r in range(side)
        for c in range(side)
        for rr, cc in ((r, c + 1), (r + 1, c))
        if rr < side and cc < side
    ]
    return linked_clusters(names, size, links, shift=1)


def test_cores_whose_links_form_a_grid_are_laid_out_as_that_grid():
    # Fixing a cluster that the bisections left two or three hops from a partner means moving
    # whole cores, not single nodes. Without that, 1 of seeds 0-7 reached the optimal layout
    # (hops = cut) and the worst had 282 hops; the annealing of the cores' cells reaches it on
    # all 8, and never ends above where it started.
    hw = make_hw(num_cores=36, max_neurons_per_core=8, core_mesh_topology=(6, 6))
    hops = []
    for seed in range(8):
        graph = clusters_on_a_grid(6, 8)
        result = map_graph(graph, hw, seed=seed)
        check_mapping(graph, hw, result)
        assert graph.partition_metadata["metrics"]["total_cross_core_edges"] == 180
        hops.append(result.total_hop_distance)
    assert sum(h == 180 for h in hops) >= 6, hops
    assert max(hops) <= 1.2 * 180, hops


def test_a_hub_with_four_partners_gets_the_cells_around_it_beyond_the_block():
    # Five core-sized clusters, one linked to each of the other four: only the plus shape
    # around the centre of a 3 x 3 mesh puts every partner next to the hub, and no compact
    # block of five cells is that shape. num_cores=8 leaves out cell 8 (the last corner).
    names = ["hub", "n", "e", "s", "w"]
    hw = make_hw(num_cores=8, max_neurons_per_core=8, core_mesh_topology=(3, 3))
    for seed in range(4):
        graph = linked_clusters(names, 8, [("hub", leaf) for leaf in names[1:]])
        result = map_graph(graph, hw, seed=seed)
        check_mapping(graph, hw, result)
        assert (
            result.total_hop_distance == graph.partition_metadata["metrics"]["total_cross_core_edges"] == 12
        )
        assert graph.partition_metadata["assignments"]["hub.0"] == 4


def test_the_mapping_takes_the_multicast_optimum_where_edge_hops_prefer_another_layout():
    # On a 1 x 5 line, one node per core: every layout of fewest edge hops (9) has 8 tree
    # links, while the fewest tree links (7) take 10 edge hops (all 120 layouts checked).
    edges = [(0, 1), (0, 3), (4, 2), (1, 4), (2, 3), (0, 2)]
    hw = make_hw(num_cores=5, max_neurons_per_core=1, core_mesh_topology=(1, 5))
    for seed in range(3):
        graph = make_graph({f"n{i}": ir.LIF() for i in range(5)}, [(f"n{s}", f"n{d}") for s, d in edges])
        check_mapping(graph, hw, map_graph(graph, hw, seed))
        metrics = graph.partition_metadata["metrics"]
        assert (metrics["multicast_traffic"], metrics["total_hop_distance"]) == (7, 10)


def test_the_bisection_cuts_the_fewest_nets_where_the_fewest_edges_cut_more():
    # Two groups of four, all pairs joined, and h: h feeds a1 to a3, b1 and b2 feed h. On two
    # cores of five, the fewest cut edges (2) put h beside the a's and cut the nets of b1 and
    # b2; beside the b's h cuts 3 edges but one net, its own: one multicast link, not two
    # (all 512 splits checked). The k-way passes are off, so the bisection alone decides
    # (in the sanitizer build its pin counts and gains are recounted after every pass).
    a, b = [f"a{i}" for i in range(1, 5)], [f"b{i}" for i in range(1, 5)]
    edges = [(g[i], g[j]) for g in (a, b) for i in range(4) for j in range(i + 1, 4)]
    edges += [("h", "a1"), ("h", "a2"), ("h", "a3"), ("b1", "h"), ("b2", "h")]
    hw = make_hw(num_cores=2, max_neurons_per_core=5, core_mesh_topology=(1, 2))
    for seed in range(4):
        graph = make_graph({n: ir.LIF() for n in a + b + ["h"]}, edges)
        result, _ = _map_graph_with_config(graph, hw, {"refinement.coarse_passes": 0}, seed)
        check_mapping(graph, hw, result)
        cores = graph.partition_metadata["assignments"]
        assert cores["h"] == cores["b1"] != cores["a1"]
        assert graph.partition_metadata["metrics"]["multicast_traffic"] == 1


def test_a_fast_source_gets_its_targets_gathered():
    # A hub firing 50 times as often as the rest, with 12 targets spread over the layers: its
    # rate-weighted traffic is lower when the mapping knows the rates.
    hw = make_hw(num_cores=16, max_neurons_per_core=8, core_mesh_topology=(4, 4))
    rates = {"hub": 50.0}
    for seed in range(4):
        traffic = []
        for known in (rates, None):
            graph = layered(6, 16, seed=2)
            targets = random.Random(5).sample([n for n in graph.nodes if n.startswith("L")], 12)
            graph.nodes["hub"] = ir.LIF()
            graph.edges += [("hub", t) for t in targets]
            check_mapping(graph, hw, map_graph(graph, hw, seed, rates=known), known)
            cell_of = {n: divmod(c, 4) for n, c in graph.partition_metadata["assignments"].items()}
            traffic.append(walked_multicast(graph.edges, cell_of, rates))
        assert traffic[0] < traffic[1], traffic


def readout_grid(side, channels, readout=ir.Output):
    """Pixels of `channels` neurons, each neuron wired to every neuron of the neighbouring
    pixels and read by its channel's readout: the cores hold patches of pixels, so every core
    reaches every readout."""
    names = {(c, y, x): f"n{c}.{y}.{x}" for c in range(channels) for y in range(side) for x in range(side)}
    nodes = {n: ir.LIF() for n in names.values()}
    nodes.update({f"out{c}": readout() for c in range(channels)})
    edges = []
    for (c, y, x), n in names.items():
        for dy, dx in itertools.product((-1, 0, 1), repeat=2):
            if (dy or dx) and 0 <= y + dy < side and 0 <= x + dx < side:
                edges += [(n, names[(c2, y + dy, x + dx)]) for c2 in range(channels)]
        edges.append((n, f"out{c}"))
    return make_graph(nodes, edges)


def test_the_readouts_move_off_the_busiest_link():
    # All four readouts on one core take the trees of every neuron over that core's incoming
    # links; spread over the cores, the busiest link carries far less for no more traffic.
    hw = make_hw(num_cores=16, max_neurons_per_core=16, core_mesh_topology=(4, 4))
    found = {}
    for moves in (0, 1000):
        graph = readout_grid(8, 4)
        result, _ = _map_graph_with_config(graph, hw, {"link_balance.moves": moves})
        check_mapping(graph, hw, result)
        cell_of = {n: divmod(c, 4) for n, c in graph.partition_metadata["assignments"].items()}
        found[moves] = walked_busiest_link(graph.edges, cell_of), walked_multicast(graph.edges, cell_of)
    (busiest_before, traffic_before), (busiest, traffic) = found[0], found[1000]
    assert busiest < 0.7 * busiest_before, found
    assert traffic <= 1.02 * traffic_before, found


def test_a_trade_lowers_the_busiest_link_where_no_move_can():
    # Compute readouts and every core exactly full: no node can move alone, so without trades
    # the pass leaves the busiest link as it is; a readout that trades places with a node of
    # a neighbouring core spreads the trees over other links, for a few % of traffic.
    hw = make_hw(num_cores=4, max_neurons_per_core=50, core_mesh_topology=(2, 2))
    found = {}
    for name, settings in (
        ("none", {"link_balance.moves": 0}),
        ("moves", {}),
        ("trades", {"link_balance.trade_parts": 2}),
    ):
        graph = readout_grid(7, 4, ir.LIF)
        result, _ = _map_graph_with_config(graph, hw, settings)
        check_mapping(graph, hw, result)
        cell_of = {n: divmod(c, 2) for n, c in graph.partition_metadata["assignments"].items()}
        found[name] = walked_busiest_link(graph.edges, cell_of), walked_multicast(graph.edges, cell_of)
    assert found["moves"] == found["none"], found
    assert found["trades"][0] < 0.8 * found["none"][0], found
    assert found["trades"][1] <= 1.02 * found["none"][1], found


@pytest.mark.parametrize("mesh", [(1, 2), (1, 3)])
def test_sources_move_off_the_busiest_link(mesh):
    # 20 inputs each feed every node of a layer that fills the cores: no target can move, but
    # an input moved across the busiest link sends its tree back over the other direction.
    # Every input crosses the link east out of column 0 or the one west into it, so the
    # busiest carries at least 10; each tree already has its fewest links.
    cores = mesh[0] * mesh[1]
    nodes = {f"i{k}": ir.Input() for k in range(20)}
    nodes.update({f"a{k}": ir.LIF() for k in range(8 * cores)})
    edges = [(f"i{k}", f"a{j}") for k in range(20) for j in range(8 * cores)]
    graph = make_graph(nodes, edges)
    hw = make_hw(num_cores=cores, max_neurons_per_core=8, core_mesh_topology=mesh)
    result, _ = _map_graph_with_config(graph, hw, {})
    check_mapping(graph, hw, result)
    cell_of = {n: divmod(c, mesh[1]) for n, c in graph.partition_metadata["assignments"].items()}
    assert walked_busiest_link(edges, cell_of) == 10
    assert walked_multicast(edges, cell_of) == 20 * (cores - 1)


def test_the_core_annealing_weighs_the_busiest_link():
    # On a small window the annealing prices the busiest link beside the traffic: never a
    # busier link, a few % of traffic at most, and on some seeds a much quieter link.
    hw = make_hw(num_cores=16, max_neurons_per_core=8, core_mesh_topology=(4, 4))
    found = []
    for seed in range(4):
        pair = []
        for peak in (0, 1):
            graph = layered(6, 16, seed=2)
            result, _ = _map_graph_with_config(
                graph, hw, {"annealing.peak": peak, "link_balance.moves": 0}, seed
            )
            check_mapping(graph, hw, result)
            cell_of = {n: divmod(c, 4) for n, c in graph.partition_metadata["assignments"].items()}
            pair.append((walked_busiest_link(graph.edges, cell_of), walked_multicast(graph.edges, cell_of)))
        found.append(pair)
    assert all(on[0] <= off[0] and on[1] <= 1.02 * off[1] for off, on in found), found
    assert sum(on[0] for _, on in found) < 0.9 * sum(off[0] for off, _ in found), found


def layout_cost(edges, cell_of):
    """The core annealing's cost of a layout at unit rates: 16 rate units per tree link and per
    tree on the busiest link, plus the edge hops."""
    hops = sum(abs(cell_of[s][0] - cell_of[d][0]) + abs(cell_of[s][1] - cell_of[d][1]) for s, d in edges)
    return 16 * (walked_multicast(edges, cell_of) + walked_busiest_link(edges, cell_of)) + hops


def a_loop_and_its_readers():
    """Cores a and d hold one loop (a0 a1 a2 d0 d1 d2), which they must split; every node of a
    and of d feeds every node of b and of c. The fewest links put a and d on a diagonal of a
    square, b and c on the other: a feedback edge of 2 hops."""
    names = [f"{g}{i}" for g in "abcd" for i in range(3)]
    loop = ["a0", "a1", "a2", "d0", "d1", "d2"]
    edges = [(loop[i], loop[(i + 1) % 6]) for i in range(6)]
    edges += [(f"{s}{i}", f"{t}{j}") for s in "ad" for t in "bc" for i in range(3) for j in range(3)]
    edges += [(f"{g}{i}", f"{g}{j}") for g in "bc" for i in range(3) for j in range(i + 1, 3)]
    return make_graph({n: ir.LIF() for n in names}, edges)


@pytest.mark.parametrize("delay", [-1, 1])
def test_a_few_cores_on_a_small_mesh_get_their_cheapest_layout(delay):
    # Four cores on a 3 x 3 mesh have 3,024 layouts, fewer than the moves an annealing would
    # try: the layout kept is the cheapest of all (under a 1-hop limit, of those that keep
    # every feedback edge within it), and the same for the same seed.
    hw = make_hw(num_cores=9, max_neurons_per_core=3, core_mesh_topology=(3, 3), max_feedback_delay=delay)
    for seed in range(3):
        rng = random.Random(seed)
        if delay < 0:
            nodes = {f"n{i}": ir.LIF() for i in range(12)}
            edges = [(f"n{a}", f"n{b}") for a, b in (rng.sample(range(12), 2) for _ in range(30))]
            graph = make_graph(nodes, edges)
        else:
            graph = a_loop_and_its_readers()
        config = {"link_balance.moves": 0}
        result, _ = _map_graph_with_config(graph, hw, config, seed)
        check_mapping(graph, hw, result)
        meta = graph.partition_metadata
        core = meta["assignments"]
        again = make_graph(dict(graph.nodes), list(graph.edges))
        _map_graph_with_config(again, hw, config, seed)
        assert again.partition_metadata["assignments"] == core
        cores = sorted(set(core.values()))
        feedback = {(core[s], core[d]) for s, d in meta["feedback_edges"]}
        best = None
        for cells in itertools.permutations(range(9), len(cores)):
            at = {c: divmod(x, 3) for c, x in zip(cores, cells)}
            if (
                any(abs(at[a][0] - at[b][0]) + abs(at[a][1] - at[b][1]) > 1 for a, b in feedback)
                and delay >= 0
            ):
                continue
            cost = layout_cost(graph.edges, {n: at[c] for n, c in core.items()})
            best = cost if best is None else min(best, cost)
        assert layout_cost(graph.edges, {n: divmod(c, 3) for n, c in core.items()}) == best


def test_further_nets_bisections_draw_streams_of_their_own():
    # More nets' bisections of the whole graph, each from its own random stream, keep the
    # best: a mapping within every limit, the same for the same seed, and on some seeds
    # another mapping than one stream gives.
    hw = make_hw(num_cores=16, max_neurons_per_core=24, core_mesh_topology=(4, 4))
    changed = 0
    for seed in range(4):
        found = []
        for config in ({}, {"bisection.net_streams": 3}, {"bisection.net_streams": 3}):
            graph = layered(8, 40, seed=seed)
            result, _ = _map_graph_with_config(graph, hw, config, seed)
            check_mapping(graph, hw, result)
            found.append(graph.partition_metadata["assignments"])
        assert found[1] == found[2]
        changed += found[0] != found[1]
    assert changed > 0
