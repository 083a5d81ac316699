"""The cost part of the text report: spikes, traffic, energy and time per step per algorithm,
each layer's share of the energy, and the figures the model assumed."""

from __future__ import annotations

from collections.abc import Sequence

from zerav_map.chip import Chip
from zerav_map.cost.params import FIELDS, SOURCE
from zerav_map.mapping import Outcome
from zerav_map.report import ROWS, more, table


def energy(pj: float) -> str:
    for unit, scale in (("mJ", 1e9), ("uJ", 1e6), ("nJ", 1e3)):
        if pj >= scale:
            return f"{pj / scale:.2f} {unit}"
    return f"{pj:.1f} pJ"


def duration(ns: float) -> str:
    for unit, scale in (("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.2f} {unit}"
    return f"{ns:.1f} ns"


def _n(x: float) -> str:
    return f"{x:,.1f}" if x < 1e6 else f"{x:.3g}"


def cost_lines(outcomes: Sequence[Outcome], chip: Chip, activity) -> list[str]:
    if activity is None:
        return []
    steps = activity.steps
    if all(o.cost is None for o in outcomes):
        return ["Cost per step: none, no run produced a mapping to cost"]
    out = [f"Cost per step ({activity.description}; {steps} steps per inference)"]
    if activity.defaulted:
        names = ", ".join(activity.defaulted[:8]) + (" ..." if len(activity.defaulted) > 8 else "")
        out.append(f"  at the default rate of {activity.default_rate:g}: {names}")

    def row(label, get):
        return [label] + [get(o.cost) if o.cost is not None else "-" for o in outcomes]

    def busiest(c):
        if c.busiest_link is None:
            return "0"
        a, b, load = c.busiest_link
        return f"{_n(load)} ({a[0]},{a[1]})->({b[0]},{b[1]})"

    syn = lambda c: "-" if c.synaptic_events is None else _n(c.synaptic_events)  # noqa: E731
    rows = [
        row("spikes", lambda c: _n(c.spikes)),
        row("link traversals", lambda c: _n(c.link_traversals)),
        row("router traversals", lambda c: _n(c.router_traversals)),
        row("synaptic events", syn),
        row("busiest link (spikes)", busiest),
        row("energy", lambda c: energy(c.energy_pj)),
        row("  routers", lambda c: energy(c.energy_routers_pj)),
        row("  links", lambda c: energy(c.energy_links_pj)),
        row("  spikes", lambda c: energy(c.energy_spikes_pj)),
        row("  synapses", lambda c: "-" if c.synaptic_events is None else energy(c.energy_synapses_pj)),
        row(f"energy per inference ({steps} steps)", lambda c: energy(c.energy_pj * steps)),
        row("longest route", lambda c: f"{duration(c.longest_route_ns)} ({sum(c.longest_route_hops)} hops)"),
        row("busiest link time", lambda c: duration(c.busiest_link_ns)),
        row("latency per step", lambda c: duration(c.latency_ns)),
    ]
    out += table(
        [""] + [o.algorithm for o in outcomes], rows, right=[False] + [True] * len(outcomes), indent="  "
    )
    out += _share_lines(outcomes)
    if chip.hw.core_mesh_topology is None:
        out.append(
            "  note: the chip has no mesh, so no spike is routed: the figures count spikes and synapses"
        )
    left = [o for o in outcomes if o.cost is not None and o.cost.left_out]
    for o in left:
        out.append(
            f"  note ({o.algorithm}): {len(o.cost.left_out)} rated node(s) have no mesh cell; their spikes are left out"
        )
    out += _figures(chip)
    return out


def _share_lines(outcomes: Sequence[Outcome]) -> list[str]:
    costed = [o for o in outcomes if o.cost is not None]
    if not costed:
        return []
    layers: dict[str, dict[str, float]] = {}
    for o in costed:
        for lc in o.cost.layers:
            layers.setdefault(lc.layer, {})[o.algorithm] = lc.share
    order = sorted(layers, key=lambda name: -max(layers[name].values()))
    rows = [
        [name] + [f"{100 * layers[name].get(o.algorithm, 0.0):.1f} %" for o in costed]
        for name in order[:ROWS]
    ]
    out = ["", "Energy share by layer (whose spikes spend it)"]
    out += table(["layer"] + [o.algorithm for o in costed], rows, right=[False] + [True] * len(costed))
    out += more(len(rows), len(order))
    return out


def _figures(chip: Chip) -> list[str]:
    p = chip.cost
    text = ", ".join(f"{k} {getattr(p, k):g}" for k in FIELDS if k not in chip.cost_given)
    if len(chip.cost_given) == len(FIELDS):
        return ["  cost figures: all from the chip file"]
    return [f"  cost figures at their defaults, from {SOURCE}:", f"    {text}"]
