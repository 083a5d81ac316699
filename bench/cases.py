"""The entry points under test, each with its floor and the preparation it needs."""

from __future__ import annotations

import importlib

from bench import floors


def _module(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


partition_mod = _module("zerav.graph.partition")
placement_mod = _module("zerav.graph.placement")
resource_mod = _module("zerav.graph.resource")


def _partitioned(graph, hw):
    partition_mod.partition(graph, hw, "greedy")
    return graph


ENTRIES = {}
if partition_mod:
    for algo in ("greedy", "edgemap", "spectral"):
        ENTRIES[f"partition({algo})"] = dict(
            call=(lambda a: lambda g, hw: partition_mod.partition(g, hw, a))(algo),
            floor=floors.partition_floor,
            prepare=None,
            max_n=20_000 if algo == "spectral" else None,
        )
if placement_mod:
    ENTRIES["place"] = dict(
        call=lambda g, hw: placement_mod.place(g, hw),
        floor=floors.place_floor,
        prepare=_partitioned,
        max_n=None,
    )
if resource_mod:
    ENTRIES["allocate"] = dict(
        call=lambda g, hw: resource_mod.allocate(g, hw),
        floor=floors.allocate_floor,
        prepare=_partitioned,
        max_n=None,
    )
