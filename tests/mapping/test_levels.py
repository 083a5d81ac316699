"""The multilevel path under test: the private entry with the coarsening threshold lowered maps
small graphs through several levels (pairs rated by their edges or by their shared nets),
within every hard constraint, SRAM included; and the entry's checks of the settings it is
given."""

from __future__ import annotations

import os
import random

import pytest

from tests.helpers import make_graph, make_hw
from tests.mapping.graphs import check_mapping, layered, looped_layers
from zerav.graph import mapping, resource

# Coarsening down to a hundred vertices, groups up to a whole core: a large graph's way, and a
# small graph's with pairs rated by their nets.
COARSE = {"coarsening.flat_size": 100, "coarsening.coarsest_per_core": 1, "coarsening.group_share": 1}
BY_NETS = {
    "coarsening.small_size": 10**6,
    "coarsening.coarsest_per_core": 1,
    "coarsening.small_group_share": 1,
    "coarsening.rating": 1,
}


@pytest.mark.parametrize("config", [COARSE, BY_NETS], ids=["edges", "nets"])
@pytest.mark.parametrize(
    ("build", "delay"),
    [
        (lambda: looped_layers(40, 50, blocks=4, back_edges=6), 3),  # SCCs of 500 nodes split
        (lambda: layered(40, 50), -1),
    ],
)
def test_three_or_more_levels_within_every_constraint(build, delay, config):
    hw = make_hw(
        num_cores=100, max_neurons_per_core=32, core_mesh_topology=(10, 10), max_feedback_delay=delay
    )
    graph = build()
    assert len(graph.nodes) >= 2000
    result, stats = mapping._map_graph_with_config(graph, hw, config)
    assert stats["levels"] >= 3
    check_mapping(graph, hw, result)
    # The bookkeeping checks run in the sanitizer build (as CI runs it), not in release builds.
    assert (stats["checks"] > 0) == bool(os.environ.get("ZERAV_SANITIZED"))


@pytest.mark.parametrize("config", [COARSE, BY_NETS], ids=["edges", "nets"])
def test_levels_keep_every_core_within_sram(config):
    # 32 nodes' own bytes and 300 of routing buffers per core: the bytes bind, and the levels'
    # bytes (less the buffers of edges inside a group) must be counted as allocate counts them.
    graph = layered(40, 50)
    own = resource.allocate(make_graph({"n": graph.nodes["L0.0"]}), make_hw()).budgets[0].total_bytes
    sram = 32 * own + 300
    hw = make_hw(
        num_cores=100, max_neurons_per_core=32, core_mesh_topology=(10, 10), sram_bytes_per_core=sram
    )
    result, stats = mapping._map_graph_with_config(graph, hw, config, 0, True)
    assert stats["levels"] >= 3
    check_mapping(graph, hw, result)
    assert resource.allocate(graph, hw).fits_hardware


def test_default_settings_give_map_graphs_mapping():
    hw = make_hw(num_cores=100, max_neurons_per_core=32, core_mesh_topology=(10, 10), max_feedback_delay=3)
    graph = looped_layers(40, 50, blocks=4, back_edges=6)
    mapping.map_graph(graph, hw, seed=3)
    expected = graph.partition_metadata["assignments"]
    _, stats = mapping._map_graph_with_config(graph, hw, {}, seed=3)
    assert graph.partition_metadata["assignments"] == expected
    assert stats["levels"] == 0


@pytest.mark.parametrize(
    ("config", "error", "message"),
    [
        ({"coarsening.flat": 1}, KeyError, "unknown mapping setting: coarsening.flat"),
        ({"coarsening.flat_size": 0}, ValueError, "coarsening.flat_size must lie in [1, 2147483647]"),
        ({"coarsening.min_shrink": 1.0}, ValueError, "coarsening.min_shrink must lie in"),
        ({"bisection.passes": 2.0}, ValueError, "bisection.passes takes an integer"),
        ({"cost.hop": "16"}, TypeError, "config values must be int or float"),
        ({1: 2}, TypeError, "config keys must be str"),
        ([("cost.hop", 1)], TypeError, "Argument 'config' has incorrect type (expected dict, got list)"),
    ],
)
def test_settings_are_checked(config, error, message):
    graph = layered(2, 4)
    with pytest.raises(error, match=None) as info:
        mapping._map_graph_with_config(graph, make_hw(), config)
    assert message in str(info.value)
    assert not hasattr(graph, "partition_metadata") or graph.partition_metadata is None


def test_hub_nets_over_many_cores_keep_their_bookkeeping():
    # Preferential attachment: a few hubs feed and are fed by nodes on most cores, so their
    # nets reach far more cores than a net usually does; the oracle takes such nets apart column
    # by column rather than by sorting, and the checks recount it after every phase.
    rnd = random.Random(5)
    nodes = [f"v{i}" for i in range(1200)]
    ends, edges = [0], []
    for i in range(1, len(nodes)):
        for _ in range(3):
            j = rnd.choice(ends)
            edges.append((nodes[j], nodes[i]) if rnd.random() < 0.5 else (nodes[i], nodes[j]))
            ends += [j, i]
    graph = make_graph(nodes, edges)
    hw = make_hw(num_cores=100, max_neurons_per_core=20, core_mesh_topology=(10, 10))
    result, stats = mapping._map_graph_with_config(graph, hw, {})
    check_mapping(graph, hw, result)
    cores = graph.partition_metadata["assignments"]
    reach = max(len({cores[d] for s2, d in edges if s2 == s}) for s in nodes[:5])
    assert reach > 16
    assert (stats["checks"] > 0) == bool(os.environ.get("ZERAV_SANITIZED"))
