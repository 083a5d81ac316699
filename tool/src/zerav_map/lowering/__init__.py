"""Lowering of layer-level models into core-sized neuron groups (see ``lower``)."""

from __future__ import annotations

from dataclasses import dataclass

from zerav_map.chip import Chip, with_nodes_per_core
from zerav_map.errors import InputError
from zerav_map.lowering.lower import Options, Summary, lower

__all__ = ["GroupPlan", "Options", "Summary", "lower", "plan_groups"]


@dataclass
class GroupPlan:
    group_size: int
    chip: Chip  # the chip with the nodes per core the groups give
    derived: list[str]  # the numbers the tool derived, in words, for the report


def plan_groups(chip: Chip, group_size: int | None, nodes_given: bool = False) -> GroupPlan:
    """The group size g and the nodes per core (neurons per core // g).

    Without a group size, g is the chip's neurons per core divided by its nodes per core. A
    group size whose nodes per core differ from ones the user gave (``nodes_given``) is an
    error: the two flags would contradict each other.
    """
    neurons = chip.neurons_per_core
    nodes = chip.hw.max_neurons_per_core
    derived = []
    if group_size is None:
        group_size = max(1, neurons // nodes)
        derived.append(f"group size {group_size} = {neurons} neurons per core // {nodes} nodes per core")
    elif group_size < 1:
        raise InputError(f"--group-size must be at least 1, got {group_size}")
    if group_size > neurons:
        raise InputError(f"a group of {group_size} neurons does not fit a core of {neurons} neurons")
    if nodes_given and neurons // group_size != nodes:
        raise InputError(
            f"--group-size {group_size} gives {neurons // group_size} nodes per core on a core of "
            f"{neurons} neurons, but {nodes} nodes per core are asked for; give one of the two, or "
            f"--neurons-per-core {group_size * nodes}"
        )
    per_core = neurons // group_size
    if per_core != nodes:
        derived.append(f"nodes per core {per_core} = {neurons} neurons per core // group size {group_size}")
    return GroupPlan(group_size, with_nodes_per_core(chip, per_core), derived)
