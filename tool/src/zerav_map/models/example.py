"""The built-in example: an event-camera gesture classifier, split into core-sized populations.

Input: 2 x 32 x 32 polarity events in four 16 x 16 quadrants. Three convolutional stages
(conv, batch norm, LIF per spatial tile) shrink it to 32 x 8 x 8; two recurrent stages of
32-neuron LIF populations follow, each population with recurrent synapses onto itself and the
next population of its block (a ring); a readout of 11 classes ends in one
Output. Each layer's weight tensor is cut into the blocks one population needs, so the arrays
have the real shapes a chip would store (their values are zero: the mapping reads sizes).
"""

from __future__ import annotations

import numpy as np

from zerav import ir
from zerav_map.models import Model

NAME = "dvs-gesture-snn"
_CLASSES = 11


def _w(*shape):
    return np.zeros(shape, dtype=np.int8)


def _state(n):
    return dict(
        tau=np.zeros(n, np.float32),
        v_threshold=np.zeros(n, np.float32),
        v_leak=np.zeros(n, np.float32),
        r=np.zeros(n, np.float32),
    )


def _tiles_feeding(
    out_tile: int, out_tile_size: int, stride: int, in_tile_size: int, in_tiles: int, kernel: int = 3
):
    """Input tile indices (along one axis) a stride-``stride`` conv output tile reads."""
    pad = kernel // 2
    first = out_tile * out_tile_size * stride - pad
    last = (out_tile + 1) * out_tile_size * stride - stride + kernel - 1 - pad
    lo, hi = max(first, 0) // in_tile_size, min(last, in_tiles * in_tile_size - 1) // in_tile_size
    return range(lo, hi + 1)


def _conv_stage(
    g: ir.Graph,
    name: str,
    sources,
    src_grid: int,
    src_tile: int,
    grid: int,
    tile: int,
    stride: int,
    cin: int,
    cout: int,
) -> None:
    """A conv + batch-norm + LIF population for each of ``grid`` x ``grid`` output tiles."""
    for i in range(grid):
        for j in range(grid):
            t = f"{name}.t{i}{j}"
            g.add_node(
                f"{t}.conv",
                ir.Conv2d(
                    weight=_w(cout, cin, 3, 3),
                    bias=_w(cout),
                    stride=(stride, stride),
                    padding=(1, 1),
                    precision="int8",
                ),
            )
            g.add_node(
                f"{t}.bn",
                ir.BatchNorm(
                    running_mean=np.zeros(cout, np.float16),
                    running_var=np.zeros(cout, np.float16),
                    gamma=np.zeros(cout, np.float16),
                    beta=np.zeros(cout, np.float16),
                    precision="fp16",
                ),
            )
            g.add_node(f"{t}.lif", ir.LIF(**_state(cout * tile * tile)))
            for si in _tiles_feeding(i, tile, stride, src_tile, src_grid):
                for sj in _tiles_feeding(j, tile, stride, src_tile, src_grid):
                    g.add_edge(sources(si, sj), f"{t}.conv")
            g.add_edge(f"{t}.conv", f"{t}.bn")
            g.add_edge(f"{t}.bn", f"{t}.lif")


def _recurrent_block(g: ir.Graph, name: str, pops: int, size: int, sources) -> list:
    """``pops`` LIF populations of ``size`` neurons joined into one recurrent block.

    ``sources`` lists (name, width) of the populations feeding each population of the block.
    Every population gets one input block per source and one recurrent block whose targets
    are its own neurons and those of the next population (a ring), so the block is one cycle
    of 2 x ``pops`` nodes.
    """
    lifs = [f"{name}.p{p}.lif" for p in range(pops)]
    for p, lif in enumerate(lifs):
        for s, (src, width) in enumerate(sources):
            syn = f"{name}.p{p}.in{s}"
            g.add_node(syn, ir.Linear(weight=_w(size, width), precision="int8"))
            g.add_edge(src, syn)
            g.add_edge(syn, lif)
        g.add_node(lif, ir.LIF(**_state(size)))
    for p, lif in enumerate(lifs):
        rec = f"{name}.p{p}.rec"
        g.add_node(rec, ir.Linear(weight=_w(2 * size, size), precision="int8"))
        g.add_edge(lif, rec)
        g.add_edge(rec, lif)
        g.add_edge(rec, lifs[(p + 1) % pops])
    return lifs


def example_graph() -> ir.Graph:
    g = ir.Graph()
    for i in range(2):
        for j in range(2):
            g.add_node(f"events.q{i}{j}", ir.Input(shape=(2, 16, 16)))
    # 2 x 32 x 32 -> 16 x 32 x 32: 8 x 8 tiles of 4 x 4.
    _conv_stage(
        g,
        "conv1",
        lambda i, j: f"events.q{i}{j}",
        src_grid=2,
        src_tile=16,
        grid=8,
        tile=4,
        stride=1,
        cin=2,
        cout=16,
    )
    # 16 x 32 x 32 -> 32 x 16 x 16: 4 x 4 tiles of 4 x 4.
    _conv_stage(
        g,
        "conv2",
        lambda i, j: f"conv1.t{i}{j}.lif",
        src_grid=8,
        src_tile=4,
        grid=4,
        tile=4,
        stride=2,
        cin=16,
        cout=32,
    )
    # 32 x 16 x 16 -> 32 x 8 x 8: 2 x 2 tiles of 4 x 4.
    _conv_stage(
        g,
        "conv3",
        lambda i, j: f"conv2.t{i}{j}.lif",
        src_grid=4,
        src_tile=4,
        grid=2,
        tile=4,
        stride=2,
        cin=32,
        cout=32,
    )
    conv3 = [(f"conv3.t{i}{j}.lif", 32 * 4 * 4) for i in range(2) for j in range(2)]
    # 2048 -> 256 neurons in two recurrent blocks of four 32-neuron populations.
    rec1 = []
    for b in range(2):
        rec1 += _recurrent_block(g, f"rec1.b{b}", pops=4, size=32, sources=conv3)
    # 256 -> 128 neurons: one recurrent block of four populations.
    rec2 = _recurrent_block(g, "rec2", pops=4, size=32, sources=[(s, 32) for s in rec1])
    # Readout: one block per rec2 population, summed by the 11 output neurons.
    for p, src in enumerate(rec2):
        syn = f"readout.in{p}"
        g.add_node(syn, ir.Affine(weight=_w(_CLASSES, 32), bias=_w(_CLASSES), precision="int8"))
        g.add_edge(src, syn)
    g.add_node("readout.lif", ir.LIF(**_state(_CLASSES)))
    for p in range(len(rec2)):
        g.add_edge(f"readout.in{p}", "readout.lif")
    g.add_node("classes", ir.Output(shape=(_CLASSES,)))
    g.add_edge("readout.lif", "classes")
    return g


def example_model() -> Model:
    return Model(name=NAME, graph=example_graph(), source="built-in example")
