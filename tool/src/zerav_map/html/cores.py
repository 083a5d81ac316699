"""What the interactive report shows of one run, read from its JSON document: one row per core
on the mesh (its cell, layers, groups, neurons, bytes, spikes in and out) and the load of
every mesh link. Plain columns, no plotting: ``panel`` draws them, tests check them.

With the run's cost (spike rates known), traffic is spikes per step: in and out of each core,
and along each directed link. Without it, traffic is the count of cross-core edges at a core
and on a link, each pair of cores' edges routed along the row, then the column.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

import numpy as np

from zerav_map.links import link_loads
from zerav_map.plot.layers import Layers, core_layers


@dataclass
class CoreColumns:
    """One entry per core that has a mesh cell, in core-id order."""

    core: list[int] = field(default_factory=list)
    row: list[int] = field(default_factory=list)
    col: list[int] = field(default_factory=list)
    layer: list[str] = field(default_factory=list)  # the layer the core runs (Layers.main_layer)
    layers: list[str] = field(default_factory=list)  # "conv1 x3, lif1 x13": every layer, with its groups
    nodes: list[int] = field(default_factory=list)
    neurons: list[int] = field(default_factory=list)
    weight_bytes: list[int] = field(default_factory=list)
    state_bytes: list[int] = field(default_factory=list)
    routing_bytes: list[int] = field(default_factory=list)
    total_bytes: list[int] = field(default_factory=list)
    sram: list[float] = field(default_factory=list)  # SRAM use, 1.0 = full
    traffic: list[float] = field(default_factory=list)  # spikes in + out, or cross-core edges at the core
    # With the run's cost only: spikes per step in and out, energy per step in pJ.
    spikes_in: list[float] = field(default_factory=list)
    spikes_out: list[float] = field(default_factory=list)
    energy: list[float] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)


@dataclass
class LinkColumns:
    """The mesh links that carry spikes: from cell (r0, c0) to its neighbour (r1, c1)."""

    r0: list[int] = field(default_factory=list)
    c0: list[int] = field(default_factory=list)
    r1: list[int] = field(default_factory=list)
    c1: list[int] = field(default_factory=list)
    load: list[float] = field(default_factory=list)  # both directions
    ways: list[str] = field(default_factory=list)  # each direction's load, with the run's cost


@dataclass
class RunView:
    algorithm: str
    status: str
    rows: int
    cols: int
    cores: CoreColumns
    links: LinkColumns
    traffic: str  # what the traffic columns count
    costed: bool  # spikes in and out, energy: the run's cost is known


def mesh_shape(doc: dict, runs: list[dict]) -> tuple[int, int]:
    """The chip's mesh, or without one the block the placements use."""
    mesh = doc["chip"]["core_mesh_topology"]
    if mesh:
        return int(mesh[0]), int(mesh[1])
    cells = [p for r in runs if r["placement"] for p in r["placement"]["positions"].values()]
    return (max((p[0] for p in cells), default=0) + 1, max((p[1] for p in cells), default=0) + 1)


def run_view(run: dict, shape: tuple[int, int], layers: Layers, routed: bool = True) -> RunView:
    """``routed``: the chip has a mesh whose links carry the spikes (without one, the cores are
    laid out in a column and no link is drawn)."""
    rows, cols = shape
    positions = {int(c): tuple(p) for c, p in (run["placement"] or {}).get("positions", {}).items()}
    cells = {c: p for c, p in positions.items() if 0 <= p[0] < rows and 0 <= p[1] < cols}
    cost = run.get("cost")
    pairs = {(a, b): n for a, b, n in run["traffic"]}  # either direction, by core pair
    at_core = Counter()
    for (a, b), n in pairs.items():
        at_core[a] += n
        at_core[b] += n
    costs = {c["core"]: c for c in cost["cores"]} if cost else {}
    budgets = {b["core_id"]: b for b in (run["resources"] or {}).get("cores", [])}
    held_by = core_layers((run["partition"] or {}).get("assignments") or {}, layers)
    flagged: dict[int, list[str]] = {}
    for p in run["problems"]:
        for c in p["cores"]:
            flagged.setdefault(c, []).append(p["kind"])

    out = CoreColumns()
    for core in sorted(cells):
        held = held_by.get(core, [])  # layers in model order
        b = budgets.get(core, {})
        out.core.append(core)
        out.row.append(cells[core][0])
        out.col.append(cells[core][1])
        top = layers.main_layer(held)
        out.layer.append("(none)" if top is None else layers.names[top])
        out.layers.append(", ".join(f"{layers.names[i]} x{n}" for i, n in held) or "-")
        out.nodes.append(b.get("nodes", 0))
        out.neurons.append(b.get("neurons") or 0)
        for key in ("weight_bytes", "state_bytes", "routing_bytes", "total_bytes"):
            getattr(out, key).append(b.get(key, 0))
        out.sram.append(b.get("utilization") or 0.0)
        if cost:
            c = costs.get(core, {})
            out.spikes_in.append(c.get("spikes_in_per_step", 0.0))
            out.spikes_out.append(c.get("spikes_out_per_step", 0.0))
            out.energy.append(c.get("energy_pj_per_step", 0.0))
            out.traffic.append(out.spikes_in[-1] + out.spikes_out[-1])
        else:
            out.traffic.append(at_core[core])
        out.problems.append(", ".join(dict.fromkeys(flagged.get(core, []))) or "none")
    if not routed:
        links = LinkColumns()
    elif cost:
        links = _spike_links(cost["links"])
    else:
        links = _links(pairs, cells, rows, cols)
    label = "spikes/step in + out" if cost else "cross-core edges"
    return RunView(run["algorithm"], run["status"], rows, cols, out, links, label, bool(cost))


def _links(pairs: dict, cells: dict, rows: int, cols: int) -> LinkColumns:
    """Each pair's edges routed along the row, then the column; both directions of a link summed."""
    horizontal, vertical = link_loads(pairs, cells, rows, cols)
    out = LinkColumns()
    for loads, dr, dc in ((horizontal, 0, 1), (vertical, 1, 0)):
        for r, c in zip(*np.nonzero(loads)):
            out.r0.append(int(r))
            out.c0.append(int(c))
            out.r1.append(int(r) + dr)
            out.c1.append(int(c) + dc)
            out.load.append(loads[r, c].item())
    return out


def _spike_links(directed: list[dict]) -> LinkColumns:
    """Spikes per step on each link that carries any, both directions on one line."""
    ways: dict[tuple, list[float]] = {}
    for link in directed:
        a, b = tuple(link["from"]), tuple(link["to"])
        ways.setdefault((min(a, b), max(a, b)), [0.0, 0.0])[a > b] += link["spikes_per_step"]
    out = LinkColumns()
    for (a, b), (forth, back) in sorted(ways.items()):
        out.r0.append(a[0])
        out.c0.append(a[1])
        out.r1.append(b[0])
        out.c1.append(b[1])
        out.load.append(forth + back)
        out.ways.append(f"{forth:.4g} towards ({b[0]}, {b[1]}), {back:.4g} back")
    return out
