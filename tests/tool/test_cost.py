"""The cost model against every spike routed hop by hop, and the activity behind it."""

from __future__ import annotations

import random
from collections import Counter

import numpy as np
import pytest

from tests.tool.test_traffic import walk
from zerav_map.chip import make_chip
from zerav_map.cost.model import run_cost


def brute(edges, cell, rate, steps_x, steps_y):
    """Every source's tree as the union of its routes, walked link by link."""
    load, links_x, links_y, routers, longest = Counter(), 0.0, 0.0, Counter(), 0.0
    trees = {}
    for s, d in edges:
        if rate[s] > 0 and cell[s] != cell[d]:
            trees.setdefault(s, set()).update(walk(cell[s], cell[d]))
            (r0, c0), (r1, c1) = cell[s], cell[d]
            longest = max(longest, abs(c1 - c0) * steps_x + abs(r1 - r0) * steps_y)
    for s, tree in trees.items():
        routers[cell[s]] += rate[s]
        for a, b in tree:
            load[(a, b)] += rate[s]
            routers[b] += rate[s]
            if a[0] == b[0]:
                links_x += rate[s]
            else:
                links_y += rate[s]
    return load, links_x, links_y, routers, longest


# Rates that are binary fractions add up exactly; decimal ones leave rounding residues where a
# run of links ends, which must not show as a link carrying spikes.
@pytest.mark.parametrize("rates", [(0.0, 0.5, 2.0, 3.25), (0.0, 0.05, 0.1, 0.3)], ids=["binary", "decimal"])
@pytest.mark.parametrize("seed", range(12))
def test_link_loads_routers_and_route_time_equal_the_walk_of_every_spike(seed, rates):
    rnd = random.Random(seed)
    rows, cols = rnd.randint(1, 4), rnd.randint(1, 5)
    chip = make_chip(None, {"core_mesh_topology": (rows, cols), "num_cores": rows * cols})
    n = rnd.randint(2, 30)
    names = [f"n{i}" for i in range(n)]
    core = {v: rnd.randrange(rows * cols) for v in names}
    cell = {v: divmod(core[v], cols) for v in names}
    off = names[-1]  # a node with no place on the mesh: its edges are left out
    edges = [(rnd.randrange(n), rnd.randrange(n)) for _ in range(3 * n)]
    rate = {v: rnd.choice(rates) for v in names}
    placed = {v: c for v, c in cell.items() if v != off}
    src = np.array([s for s, _ in edges])
    dst = np.array([d for _, d in edges])
    firing = set(names[: n // 2])
    synaptic = {v: 10.0 * rate[v] for v in names}
    synaptic_in = {v: float(i) for i, v in enumerate(names)}
    layer_of = {v: v[:2] for v in names}
    c = run_cost(names, src, dst, placed, core, rate, layer_of, chip, 7, 9.0, firing, synaptic, synaptic_in)

    kept = [(names[s], names[d]) for s, d in edges if off not in (names[s], names[d])]
    load, links_x, links_y, routers, longest = brute(kept, cell, rate, 4.1, 6.5)
    assert {(a, b): x for a, b, x in c.links} == pytest.approx(dict(load))
    assert (c.link_traversals_x, c.link_traversals_y) == pytest.approx((links_x, links_y))
    assert c.router_traversals == pytest.approx(sum(routers.values()))
    assert c.longest_route_ns == pytest.approx(longest)
    busiest = max(load.values(), default=0.0)
    assert (c.busiest_link[2] if c.busiest_link else 0.0) == pytest.approx(busiest)
    assert c.busiest_link_ns == pytest.approx(busiest / 3.44)
    for core_cost in c.cores:
        assert core_cost.router_traversals == pytest.approx(routers.get(core_cost.cell, 0.0))
        out = sum(x for (a, _), x in load.items() if a == core_cost.cell)
        assert core_cost.link_traversals_out == pytest.approx(out)
        arriving = {(s, cell[d]) for s, d in kept if rate[s] > 0 and cell[s] != cell[d]}
        assert core_cost.spikes_in == pytest.approx(sum(rate[s] for s, t in arriving if t == core_cost.cell))
        here = [v for v in placed if core[v] == core_cost.core]
        assert core_cost.synaptic_events == sum(synaptic_in[v] for v in here)
        outgoing = sum(
            x * (3.0 if a[0] == b[0] else 4.0) for (a, b), x in load.items() if a == core_cost.cell
        )
        spent = (
            routers.get(core_cost.cell, 0.0) * 1.7
            + outgoing
            + 29.0 * sum(rate[v] for v in here if v in firing)
        )
        assert core_cost.energy_pj == pytest.approx(spent + 23.6 * core_cost.synaptic_events)
    fired = sum(rate[v] for v in firing if v != off) + rate[off] * (off in firing)
    expected = (
        sum(routers.values()) * 1.7
        + links_x * 3.0
        + links_y * 4.0
        + fired * 29.0
        + sum(synaptic.values()) * 23.6
    )
    assert c.energy_pj == pytest.approx(expected)
    assert sum(layer.energy_pj for layer in c.layers) == pytest.approx(expected)
    assert c.left_out == ([off] if rate[off] > 0 else [])


def test_a_chip_without_a_mesh_routes_nothing_and_says_so(tool, tmp_path):
    from tests.tool.test_activity import small_cnn

    path = small_cnn(tmp_path / "cnn.nir")
    r = tool(path, "--mesh", "none", "--json", "-")
    cost = r.json()["runs"][0]["cost"]
    assert (cost["routed"], cost["left_out"], cost["link_traversals_per_step"]) == (False, [], 0)
    energy = cost["energy_pj_per_step"]
    assert (
        energy["total"] == pytest.approx(energy["spikes"] + energy["synaptic_events"])
        and energy["spikes"] > 0
    )
    assert "the chip has no mesh, so no spike is routed" in tool(path, "--mesh", "none").out


def test_no_mapping_leaves_no_table_of_blanks(tool):
    r = tool("--cores", "1", "--default-rate", "0.1")
    assert r.code == 1
    assert "Cost per step: none, no run produced a mapping to cost" in r.out
    assert "link traversals" not in r.out
