"""Shared builders for host objects used across the module tests."""

from __future__ import annotations

import gc
import os
import sys
import types

import pytest
from hypothesis import settings

from zerav import ir
from zerav.graph.constraints import HardwareSpec

# CI runs the property tests on a fixed sequence of examples, so that a run's verdict is about
# the change and not about the draw; a deeper random search is one environment variable away
# (ZERAV_HOSTILE_EXAMPLES) and runs without this profile.
settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("ZERAV_HYPOTHESIS_PROFILE"):
    settings.load_profile(os.environ["ZERAV_HYPOTHESIS_PROFILE"])


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


@pytest.fixture
def graph_of():
    return make_graph


@pytest.fixture
def hw_of():
    return make_hw


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
