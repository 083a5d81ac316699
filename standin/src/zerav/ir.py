"""Minimal intermediate representation of a spiking network: a graph of named nodes.

``Graph.nodes`` maps a node name to its node object and ``Graph.edges`` lists directed
(source, destination) pairs. ``Input`` and ``Output`` mark the graph's boundary; every other node
is a compute node (a neuron population or a layer). Compute nodes carry their parameters and
neuron state as numpy arrays, an optional ``core_id`` (written by partitioning) and an optional
``precision`` naming the element type of their arrays.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np


def _zeros(*shape: int) -> np.ndarray:
    return np.zeros(shape, dtype=np.float32)


@dataclass
class Input:
    """A graph input: spikes enter the chip here."""

    shape: tuple[int, ...] = ()
    core_id: int | None = None


@dataclass
class Output:
    """A graph output: spikes leave the chip here."""

    shape: tuple[int, ...] = ()
    core_id: int | None = None


@dataclass
class LIF:
    """Leaky integrate-and-fire neurons; all four arrays are neuron state."""

    tau: np.ndarray = field(default_factory=lambda: _zeros(1))
    v_threshold: np.ndarray = field(default_factory=lambda: _zeros(1))
    v_leak: np.ndarray = field(default_factory=lambda: _zeros(1))
    r: np.ndarray = field(default_factory=lambda: _zeros(1))
    core_id: int | None = None
    precision: str | None = None


@dataclass
class Linear:
    """Dense synapses without bias: ``weight`` has shape (out, in)."""

    weight: np.ndarray = field(default_factory=lambda: _zeros(1, 1))
    core_id: int | None = None
    precision: str | None = None


@dataclass
class Affine:
    """Dense synapses with bias."""

    weight: np.ndarray = field(default_factory=lambda: _zeros(1, 1))
    bias: np.ndarray = field(default_factory=lambda: _zeros(1))
    core_id: int | None = None
    precision: str | None = None


@dataclass
class Conv2d:
    """Convolutional synapses: ``weight`` has shape (out_ch, in_ch, kh, kw)."""

    weight: np.ndarray = field(default_factory=lambda: _zeros(1, 1, 3, 3))
    bias: np.ndarray = field(default_factory=lambda: _zeros(1))
    stride: tuple[int, int] = (1, 1)
    padding: tuple[int, int] = (0, 0)
    core_id: int | None = None
    precision: str | None = None


@dataclass
class BatchNorm:
    """Per-channel normalisation folded into the synapses."""

    running_mean: np.ndarray = field(default_factory=lambda: _zeros(1))
    running_var: np.ndarray = field(default_factory=lambda: _zeros(1))
    gamma: np.ndarray = field(default_factory=lambda: _zeros(1))
    beta: np.ndarray = field(default_factory=lambda: _zeros(1))
    core_id: int | None = None
    precision: str | None = None


@dataclass
class Graph:
    """A model graph: named nodes and directed edges between their names."""

    nodes: dict[str, Any] = field(default_factory=dict)
    edges: list[tuple[str, str]] = field(default_factory=list)
    partition_metadata: dict[str, Any] | None = None

    def add_node(self, name: str, node: Any) -> None:
        if name in self.nodes:
            raise ValueError(f"duplicate node name: {name!r}")
        self.nodes[name] = node

    def add_edge(self, src: str, dst: str) -> None:
        self.edges.append((src, dst))


__all__ = ["Graph", "Input", "Output", "LIF", "Linear", "Affine", "Conv2d", "BatchNorm"]
