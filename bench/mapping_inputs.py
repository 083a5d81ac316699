"""Inputs of the mapping benchmark: the layered, recurrent and power-law graphs of the main
benchmark, and a neuron-level conv net, an MLP with 10 % random connectivity and a recurrent
reservoir, each with the chip it is mapped onto; then real models lowered by the mapping tool
(`bench.mapping_models`), with simulated firing rates where it has them."""

from __future__ import annotations

import random

from bench import mapping_models
from bench.inputs import chip_for, layered, power_law
from zerav import ir


def conv_net(side: int, channels: int = 16) -> ir.Graph:
    """Two 3x3 convolutions, one node per neuron: 2 input maps -> `channels` maps -> `channels`
    maps, all side x side with zero padding, every neuron fed by its full 3x3 window."""
    g = ir.Graph()
    maps = [[f"in{c}.{y}.{x}" for c in range(2) for y in range(side) for x in range(side)]]
    g.nodes = {name: ir.Input() for name in maps[0]}
    edges = []
    previous = 2
    for layer in (1, 2):
        names = [f"c{layer}.{c}.{y}.{x}" for c in range(channels) for y in range(side) for x in range(side)]
        g.nodes.update({name: ir.LIF() for name in names})
        for c in range(channels):
            for y in range(side):
                for x in range(side):
                    dst = names[(c * side + y) * side + x]
                    for pc in range(previous):
                        for yy in range(max(0, y - 1), min(side, y + 2)):
                            for xx in range(max(0, x - 1), min(side, x + 2)):
                                edges.append((maps[-1][(pc * side + yy) * side + xx], dst))
        maps.append(names)
        previous = channels
    outs = [f"out{c}" for c in range(channels)]
    g.nodes.update({name: ir.Output() for name in outs})
    edges += [
        (maps[-1][(c * side + y) * side + x], outs[c])
        for c in range(channels)
        for y in range(side)
        for x in range(side)
    ]
    g.edges = edges
    return g


def mlp(sizes=(784, 500, 500, 10), density=0.1, seed=1) -> ir.Graph:
    """Fully connected layers with a random 10 % of the synapses."""
    rnd = random.Random(seed)
    g = ir.Graph()
    layers = [[f"l{i}.{j}" for j in range(n)] for i, n in enumerate(sizes)]
    g.nodes = {name: ir.Input() for name in layers[0]}
    for layer in layers[1:-1]:
        g.nodes.update({name: ir.LIF() for name in layer})
    g.nodes.update({name: ir.Output() for name in layers[-1]})
    g.edges = [(a, b) for x, y in zip(layers, layers[1:]) for a in x for b in y if rnd.random() < density]
    return g


def reservoir(n: int, fan_out: int = 8, seed: int = 1) -> ir.Graph:
    """A recurrent reservoir: n neurons, each with `fan_out` random synapses (one giant SCC),
    fed by n / 50 inputs and read by n / 100 outputs."""
    rnd = random.Random(seed)
    g = ir.Graph()
    inputs = [f"in{i}" for i in range(max(1, n // 50))]
    cells = [f"r{i}" for i in range(n)]
    outputs = [f"out{i}" for i in range(max(1, n // 100))]
    g.nodes = {name: ir.Input() for name in inputs}
    g.nodes.update({name: ir.LIF() for name in cells})
    g.nodes.update({name: ir.Output() for name in outputs})
    edges = [(i, rnd.choice(cells)) for i in inputs for _ in range(4)]
    edges += [(c, rnd.choice(cells)) for c in cells for _ in range(fan_out)]
    edges += [(rnd.choice(cells), o) for o in outputs for _ in range(20)]
    g.edges = edges
    return g


def chip(graph: ir.Graph, delay: int = -1):
    hw = chip_for(len(graph.nodes))
    hw.max_feedback_delay = delay
    return hw


# The delay limit per input: 4 hops where the feedback is local (backward edges within a
# block of layers); none for the random recurrent graphs, whose giant components talk from
# every piece to every other, which no mesh serves within a few hops.
def delay_for(name: str) -> int:
    return 4 if name.startswith("recurrent") else -1


def cases(quick: bool):
    """(name, builder) of every input, small ones only when quick."""
    sizes = (1_000, 10_000) if quick else (1_000, 10_000, 100_000)
    out = []
    for n in sizes:
        out += [
            (f"layered {n:.0e}", lambda n=n: layered(n)),
            (f"recurrent {n:.0e}", lambda n=n: layered(n, recurrent=True)),
            (f"power-law {n:.0e}", lambda n=n: power_law(n)),
        ]
    out += [
        ("conv net", lambda: conv_net(12 if quick else 32)),
        ("MLP 10%", lambda: mlp((196, 200, 200, 10) if quick else (784, 500, 500, 10))),
        ("reservoir", lambda: reservoir(2_000 if quick else 20_000)),
        ("dvs-cnn", mapping_models.dvs_cnn),
        ("MLP SNN", mapping_models.mlp_snn),
        ("recurrent SNN", mapping_models.recurrent_snn),
    ]
    return out


def rates_for(name: str, graph: ir.Graph):
    """Firing rates per node name for the input built last under `name`, or None (rate 1)."""
    rates = mapping_models.rates(name)
    return None if rates is None else {n: r for n, r in rates.items() if n in graph.nodes}
