"""What one mapping costs on the chip per time step, from the spike rates of its nodes.

Each source node's spikes leave its core once and are copied along its x-then-y multicast
tree to every other core holding one of its targets (``traffic.trees``). Per step:

- link traversals: rate x links of the tree, along rows and along columns apart;
- router traversals: rate x (links + 1), the source's router and one per link, for sources
  whose spikes leave their core;
- energy: routers, links (row and column figures), the extra of every firing neuron update,
  and one synaptic operation per synapse a spike reaches;
- time: the longest route of a spike (hops along rows and columns times their latencies) and
  the busiest directed link's load over its bandwidth; the step takes at least the larger.

Energy is attributed to the layer whose spikes cause it, and per core to the core whose
router, outgoing link, firing neurons or synapses (at the destination neurons) spend it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from zerav_map.cost.params import CostParams
from zerav_map.traffic import Trees, trees

if TYPE_CHECKING:
    from zerav_map.chip import Chip


@dataclass
class LayerCost:
    layer: str
    spikes: float  # spikes per step its neurons fire (or its node forwards)
    link_traversals: float
    router_traversals: float
    synaptic_events: float | None
    energy_pj: float
    share: float = 0.0  # of the run's energy per step


@dataclass
class CoreCost:
    core: int
    cell: tuple[int, int]
    spikes_out: float  # spikes per step leaving the core's nodes
    spikes_in: float  # spikes per step arriving from other cores (one per source tree)
    synaptic_events: float | None  # synaptic operations per step at the core's neurons
    router_traversals: float
    link_traversals_out: float  # over the links leaving the core's router
    energy_pj: float  # routing, firing and synaptic operations spent at this core


@dataclass
class Cost:
    steps: int
    spikes: float
    link_traversals_x: float
    link_traversals_y: float
    router_traversals: float
    synaptic_events: float | None
    energy_routers_pj: float
    energy_links_pj: float
    energy_spikes_pj: float
    energy_synapses_pj: float
    longest_route_ns: float
    longest_route_hops: tuple[int, int]  # along rows, along columns
    busiest_link: tuple[tuple[int, int], tuple[int, int], float] | None  # from, to, spikes per step
    busiest_link_ns: float
    layers: list[LayerCost] = field(default_factory=list)
    cores: list[CoreCost] = field(default_factory=list)
    links: list[tuple[tuple[int, int], tuple[int, int], float]] = field(default_factory=list)
    left_out: list[str] = field(default_factory=list)  # rated nodes with no mesh cell
    routed: bool = True  # False on a chip without a mesh: no routing is counted

    @property
    def link_traversals(self) -> float:
        return self.link_traversals_x + self.link_traversals_y

    @property
    def energy_pj(self) -> float:
        return self.energy_routers_pj + self.energy_links_pj + self.energy_spikes_pj + self.energy_synapses_pj

    @property
    def latency_ns(self) -> float:
        return max(self.longest_route_ns, self.busiest_link_ns)


def mapping_cost(mapped, outcome, chip: Chip, activity, nodes) -> Cost | None:
    """The cost of ``outcome`` (a run on the model as mapped) under ``activity`` (its figures
    per node: ``nodes``, an ``activity.NodeActivity``); None for a run that placed nothing."""
    from zerav_map.mapping import edge_ids

    if not outcome.partitioned or outcome.placement is None:
        return None
    names = list(mapped.graph.nodes)
    src, dst = edge_ids(mapped, names)
    core_of = dict(outcome.assignments)
    routed = chip.hw.core_mesh_topology is not None
    placed = outcome.placement.logical_to_physical if routed else {}
    cell_of = {n: tuple(int(x) for x in placed[c]) for n, c in core_of.items() if c in placed}
    cost = run_cost(
        names,
        np.asarray(src, dtype=np.int64),
        np.asarray(dst, dtype=np.int64),
        cell_of,
        core_of,
        nodes.rates,
        nodes.layer_of,
        chip,
        activity.steps,
        sum(activity.layer_spikes().values()),
        nodes.firing,
        nodes.synaptic,
        nodes.synaptic_in,
    )
    if not routed:
        cost.routed, cost.left_out = False, []
    return cost


def run_cost(
    names: list[str],
    src: np.ndarray,
    dst: np.ndarray,
    cell_of: dict[str, tuple[int, int]],
    core_of: dict[str, int],
    rates: dict[str, float],
    layer_of: dict[str, str],
    chip: Chip,
    steps: int,
    spikes: float,
    firing: set[str],
    synaptic: dict[str, float] | None,
    synaptic_in: dict[str, float] | None = None,
) -> Cost:
    """The cost of one mapping: ``names`` its nodes, ``src -> dst`` its edges (node indices),
    ``cell_of`` / ``core_of`` where each placed node sits, ``rates`` spikes per step of each
    node, ``layer_of`` the layer it belongs to; ``spikes`` the spikes per step of all spiking layers,
    inputs included; ``firing`` the nodes whose spikes are neuron firings (what the spike energy
    counts), ``synaptic`` the synaptic operations per step each node's spikes cause and
    ``synaptic_in`` those at each node's neurons (None when unknown)."""
    p: CostParams = chip.cost
    mesh = chip.hw.core_mesh_topology
    shape = (int(mesh[0]), int(mesh[1])) if mesh is not None else (1, 1)
    rate = np.array([rates.get(n, 0.0) for n in names], dtype=np.float64)
    placed = np.array([n in cell_of for n in names], dtype=bool)
    cells = np.array([cell_of.get(n, (0, 0)) for n in names], dtype=np.int64).reshape(-1, 2)
    keep = placed[src] & placed[dst] & (rate[src] > 0)
    t = trees(src[keep], dst[keep], cells, rate, shape)
    w = rate[t.source]
    links_x, links_y = t.links_x * w, t.links_y * w

    layer_names = list(dict.fromkeys(layer_of[n] for n in names))
    layer_index = {name: i for i, name in enumerate(layer_names)}
    node_layer = np.array([layer_index[layer_of[n]] for n in names], dtype=np.int64)
    k = len(layer_names)
    by_layer = lambda idx, v: np.bincount(node_layer[idx], v, minlength=k)  # noqa: E731
    l_x, l_y = by_layer(t.source, links_x), by_layer(t.source, links_y)
    l_routers = by_layer(t.source, (t.links_x + t.links_y + 1) * w)
    every = np.arange(len(names))
    l_spikes = by_layer(every, rate)
    fire = np.array([rates.get(n, 0.0) if n in firing else 0.0 for n in names])
    syn = np.array([(synaptic or {}).get(n, 0.0) for n in names])
    l_fire, l_syn = by_layer(every, fire), by_layer(every, syn)
    l_energy = (
        l_routers * p.router_energy_pj
        + l_x * p.link_energy_x_pj
        + l_y * p.link_energy_y_pj
        + l_fire * p.spike_energy_pj
        + l_syn * p.synaptic_event_energy_pj
    )

    cost = Cost(
        steps=steps,
        spikes=float(spikes),
        link_traversals_x=float(links_x.sum()),
        link_traversals_y=float(links_y.sum()),
        router_traversals=float(l_routers.sum()),
        synaptic_events=None if synaptic is None else float(sum(synaptic.values())),
        energy_routers_pj=float(l_routers.sum()) * p.router_energy_pj,
        energy_links_pj=float(l_x.sum() * p.link_energy_x_pj + l_y.sum() * p.link_energy_y_pj),
        energy_spikes_pj=float(l_fire.sum()) * p.spike_energy_pj,
        energy_synapses_pj=float(l_syn.sum()) * p.synaptic_event_energy_pj,
        longest_route_ns=0.0,
        longest_route_hops=(0, 0),
        busiest_link=None,
        busiest_link_ns=0.0,
        left_out=[n for n in names if rates.get(n, 0.0) > 0 and n not in cell_of],
    )
    _route_time(cost, t, cells, p)
    cost.links = _link_list(t)
    if cost.links:
        cost.busiest_link = max(cost.links, key=lambda link: link[2])
        cost.busiest_link_ns = cost.busiest_link[2] / p.link_bandwidth_spikes_per_ns
    total = cost.energy_pj
    cost.layers = [
        LayerCost(
            name,
            float(l_spikes[i]),
            float(l_x[i] + l_y[i]),
            float(l_routers[i]),
            None if synaptic is None else float(l_syn[i]),
            float(l_energy[i]),
            float(l_energy[i] / total) if total > 0 else 0.0,
        )
        for i, name in enumerate(layer_names)
        if l_spikes[i] > 0 or l_energy[i] > 0
    ]
    arriving = None if synaptic_in is None else np.array([synaptic_in.get(n, 0.0) for n in names])
    cost.cores = _cores(names, rate, fire, arriving, core_of, cell_of, cells, t, p, shape)
    return cost


def _route_time(cost: Cost, t: Trees, cells: np.ndarray, p: CostParams) -> None:
    if not len(t.reach_source):
        return
    dx = np.abs(t.reach_col - cells[t.reach_source, 1])
    dy = np.abs(t.reach_row - cells[t.reach_source, 0])
    ns = dx * p.link_latency_x_ns + dy * p.link_latency_y_ns
    i = int(np.argmax(ns))
    cost.longest_route_ns = float(ns[i])
    cost.longest_route_hops = (int(dx[i]), int(dy[i]))


def _link_list(t: Trees) -> list[tuple[tuple[int, int], tuple[int, int], float]]:
    """Every directed link with a load, as (from cell, to cell, spikes per step)."""
    out = []
    for loads, step in ((t.east, (0, 1)), (t.west, (0, -1)), (t.south, (1, 0)), (t.north, (-1, 0))):
        for r, c in zip(*np.nonzero(loads > 0)):
            r, c = int(r), int(c)
            # west and north loads are indexed by the cell they reach; the link starts one cell on
            a = (r, c) if step in ((0, 1), (1, 0)) else (r - step[0], c - step[1])
            b = (a[0] + step[0], a[1] + step[1])
            out.append((a, b, float(loads[r, c])))
    return out


def _cores(
    names, rate, fire, arriving, core_of, cell_of, cells, t: Trees, p: CostParams, shape
) -> list[CoreCost]:
    rows, cols = shape
    cell_index = lambda r, c: r * cols + c  # noqa: E731
    n_cells = rows * cols
    arrivals = np.bincount(cell_index(t.reach_row, t.reach_col), rate[t.reach_source], n_cells)
    # A router is traversed by every tree entering its cell and by every tree leaving from it.
    origin = np.bincount(cell_index(cells[t.source, 0], cells[t.source, 1]), rate[t.source], n_cells)
    routers = _per_cell(t, shape, leaving=False).reshape(-1) + origin
    out_links = _per_cell(t, shape, leaving=True).reshape(-1)
    link_energy = _per_cell(t, shape, leaving=True, x=p.link_energy_x_pj, y=p.link_energy_y_pj).reshape(-1)
    spikes_out: dict[int, float] = {}
    fired: dict[int, float] = {}
    synapses: dict[int, float] = {}
    syn = arriving if arriving is not None else np.zeros(len(names))
    for name, r, f, a in zip(names, rate.tolist(), fire.tolist(), syn.tolist()):
        core = core_of.get(name)
        if core is None or name not in cell_of:
            continue
        spikes_out[core] = spikes_out.get(core, 0.0) + r
        fired[core] = fired.get(core, 0.0) + f
        synapses[core] = synapses.get(core, 0.0) + a
    out = []
    for core, cell in sorted(
        {core_of[n]: cell_of[n] for n in names if n in cell_of and n in core_of}.items()
    ):
        i = cell_index(*cell)
        out.append(
            CoreCost(
                core,
                tuple(cell),
                spikes_out.get(core, 0.0),
                float(arrivals[i]),
                None if arriving is None else synapses.get(core, 0.0),
                float(routers[i]),
                float(out_links[i]),
                float(
                    routers[i] * p.router_energy_pj
                    + link_energy[i]
                    + fired.get(core, 0.0) * p.spike_energy_pj
                    + synapses.get(core, 0.0) * p.synaptic_event_energy_pj
                ),
            )
        )
    return out


def _per_cell(t: Trees, shape, leaving: bool, x: float = 1.0, y: float = 1.0) -> np.ndarray:
    """Per cell, the loads of the links leaving it (or entering it), those along rows times
    ``x`` and those along columns times ``y``. East and south loads are indexed by the cell the
    link leaves, west and north loads by the cell it reaches."""
    out = np.zeros(shape)
    if leaving:
        out[:, :-1] += t.east * x
        out[:, 1:] += t.west * x
        out[:-1, :] += t.south * y
        out[1:, :] += t.north * y
    else:
        out[:, 1:] += t.east * x
        out[:, :-1] += t.west * x
        out[1:, :] += t.south * y
        out[:-1, :] += t.north * y
    return out
