"""Seeded, SNN-shaped inputs: layered feed-forward, recurrent, and power-law random graphs."""

from __future__ import annotations

import math
import random

import numpy as np

from zerav import ir
from zerav.graph.constraints import HardwareSpec

FAN_OUT = 4  # about four edges per node


class PlainNode:
    """A compute node that is not a data record: attributes only."""

    def __init__(self, weight, bias, tau):
        self.weight = weight
        self.bias = bias
        self.tau = tau
        self.v_threshold = tau
        self.core_id = None
        self.precision = "int8"


def _array_pool(rnd: random.Random, count: int = 64):
    return [np.zeros(rnd.choice([16, 64, 256, 1024]), dtype=np.float32) for _ in range(count)]


def _nodes(names, rnd, plain):
    pool = _array_pool(rnd)
    nodes = {}
    last = len(names) - 1
    for i, name in enumerate(names):
        if i < max(1, len(names) // 100):
            nodes[name] = ir.Input()
        elif i >= last - max(0, len(names) // 100 - 1):
            nodes[name] = ir.Output()
        elif plain:
            nodes[name] = PlainNode(rnd.choice(pool), rnd.choice(pool), rnd.choice(pool))
        elif i % 2:
            nodes[name] = ir.LIF(
                tau=rnd.choice(pool),
                v_threshold=rnd.choice(pool),
                v_leak=rnd.choice(pool),
                r=rnd.choice(pool),
                precision="fp16",
            )
        else:
            nodes[name] = ir.Affine(weight=rnd.choice(pool), bias=rnd.choice(pool), precision="int8")
    return nodes


def layered(n: int, seed: int = 1, plain: bool = False, recurrent: bool = False) -> ir.Graph:
    """Layers of about sqrt(n) populations; each node feeds FAN_OUT nodes of the next layer.
    The recurrent variant adds self-loops, 2-cycles and backward edges that close large SCCs."""
    rnd = random.Random(seed)
    width = max(1, int(math.sqrt(n)))
    names = [f"L{i // width}.n{i % width}" for i in range(n)]
    g = ir.Graph()
    g.nodes = _nodes(names, rnd, plain)
    edges = []
    for i in range(n - width):
        layer_start = (i // width + 1) * width
        for _ in range(FAN_OUT):
            j = min(n - 1, layer_start + rnd.randrange(width))
            edges.append((names[i], names[j]))
    if recurrent:
        k = len(edges) // 20
        for _ in range(k):  # self-loops and 2-cycles
            i = rnd.randrange(n)
            edges.append((names[i], names[i]))
            j = min(n - 1, i + 1)
            edges.append((names[j], names[i]))
        blocks = 8
        for b in range(blocks):  # a backward edge every few layers closes a large SCC per block
            lo = b * n // blocks
            hi = (b + 1) * n // blocks - 1
            for _ in range(max(1, (hi - lo) // (4 * width))):
                edges.append((names[rnd.randint((lo + hi) // 2, hi)], names[rnd.randint(lo, (lo + hi) // 2)]))
    g.edges = edges
    return g


def power_law(n: int, seed: int = 1, plain: bool = False) -> ir.Graph:
    """Sparse random graph whose degrees follow a power law (preferential attachment)."""
    rnd = random.Random(seed)
    names = [f"v{i}" for i in range(n)]
    g = ir.Graph()
    g.nodes = _nodes(names, rnd, plain)
    targets = [0]
    edges = []
    for i in range(1, n):
        for _ in range(FAN_OUT):
            j = rnd.choice(targets)
            edges.append((names[j], names[i]) if rnd.random() < 0.5 else (names[i], names[j]))
            targets.append(j)
        targets.append(i)
    g.edges = edges
    return g


def chip_for(n: int, per_core: int = 256) -> HardwareSpec:
    cores = max(1, -(-n // per_core)) * 2
    cols = max(1, int(math.ceil(math.sqrt(cores))))
    rows = max(1, -(-cores // cols))
    return HardwareSpec(
        num_cores=rows * cols,
        max_neurons_per_core=per_core,
        core_mesh_topology=(rows, cols),
        sram_bytes_per_core=1 << 20,
        max_feedback_delay=-1,
    )


SHAPES = {
    "layered": lambda n: layered(n),
    "recurrent": lambda n: layered(n, recurrent=True),
    "powerlaw": lambda n: power_law(n),
    "plain": lambda n: layered(n, plain=True),
}
