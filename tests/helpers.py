"""Builders of host objects and measuring helpers shared by the test suites."""

from __future__ import annotations

import gc
import sys
import types

from zerav import ir
from zerav.graph.constraints import HardwareSpec


def make_graph(nodes, edges=()):
    """A host graph: `nodes` maps names to node objects, or is an iterable of compute-node names."""
    g = ir.Graph()
    if isinstance(nodes, dict):
        g.nodes = dict(nodes)
    else:
        g.nodes = {name: ir.LIF() for name in nodes}
    g.edges = list(edges)
    return g


def make_hw(**members):
    """A HardwareSpec with the given members (defaults: roomy chip, no mesh, no delay check)."""
    defaults = dict(
        num_cores=64,
        max_neurons_per_core=64,
        core_mesh_topology=None,
        sram_bytes_per_core=1 << 20,
        max_feedback_delay=-1,
    )
    defaults.update(members)
    return HardwareSpec(**defaults)


class CountingEdges:
    """A re-iterable, sized edge collection that counts how often it is passed over."""

    def __init__(self, pairs):
        self.pairs, self.passes = list(pairs), 0

    def __iter__(self):
        self.passes += 1
        return iter(self.pairs)

    def __len__(self):
        return len(self.pairs)


class Spec(types.SimpleNamespace):
    """A duck-typed hardware description whose members can be anything (or missing)."""

    def validate(self):
        return None


def leaked_blocks(fn, rounds=200, warmup=60, trials=3):
    """Blocks that `rounds` more calls of fn leave allocated once caches and free lists have
    settled. A leak of one block per call shows as at least `rounds` in every trial; the
    interpreter's own caches grow now and then by a few blocks, so the fewest seen over a
    few trials is the figure (a real leak cannot hide from the minimum)."""
    for _ in range(warmup):
        fn()
    fewest = None
    for _ in range(trials):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            fn()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        fewest = grown if fewest is None else min(fewest, grown)
        if fewest <= 0:
            break
    return fewest


def placed_graph(assignments, edges, num_cores_used=None, nodes=None):
    """A graph carrying partition metadata with these assignments (and core count)."""
    graph = make_graph(nodes if nodes is not None else list(assignments), edges)
    metadata = {"assignments": assignments}
    if num_cores_used is not None:
        metadata["num_cores_used"] = num_cores_used
    graph.partition_metadata = metadata
    return graph


def placement_outcome(result):
    """A PlacementResult as (mapping items, total hops, improvement)."""
    return list(result.logical_to_physical.items()), result.total_hop_distance, result.improvement


# The keys of `graph.partition_metadata`, in the order partition() and map_graph write them.
METADATA_KEYS = [
    "assignments",
    "num_cores_used",
    "cross_core_edges",
    "feedback_edges",
    "algorithm",
    "metrics",
]
