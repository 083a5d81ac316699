"""Write the README's example NIR model: a DVS CNN for 2 x 34 x 34 event frames (N-MNIST size).

    python docs/models/dvs_cnn.py dvs-cnn.nir

Three convolutional stages (the first strided, a sum pooling after the second and the third), a recurrent
layer of 256 LIF neurons, and a 10-class readout. Weights are int8 with some kernels pruned,
neuron parameters fp32: one value per layer (as snnTorch and Norse export them) for the
convolutional stages, one per neuron for the dense layers. The nodes sit in one nested
subgraph per stage, as a framework exporting modules writes them.
"""

from __future__ import annotations

import sys

import nir
import numpy as np

rng = np.random.default_rng(2026)


def _int8(*shape, keep=1.0):
    w = rng.integers(-127, 128, size=shape).astype(np.int8)
    return w * (rng.random(shape) < keep).astype(np.int8)


def _lif(n=1):
    return nir.LIF(
        tau=np.full(n, 0.02, np.float32),
        r=np.ones(n, np.float32),
        v_leak=np.zeros(n, np.float32),
        v_threshold=np.ones(n, np.float32),
        v_reset=np.zeros(n, np.float32),
    )


def _stage(cin, cout, side, kernel, stride, padding, keep):
    weight = _int8(cout, cin, kernel, kernel, keep=keep)
    conv = nir.Conv2d((side, side), weight, stride, padding, 1, 1, np.zeros(cout, np.int8))
    out = (side + 2 * padding - kernel) // stride + 1
    return nir.NIRGraph(
        nodes={
            "input": nir.Input(np.array([cin, side, side])),
            "conv": conv,
            "lif": _lif(),
            "output": nir.Output(np.array([cout, out, out])),
        },
        edges=[("input", "conv"), ("conv", "lif"), ("lif", "output")],
        type_check=False,
    )


def dvs_cnn() -> nir.NIRGraph:
    recurrent = nir.NIRGraph(
        nodes={
            "input": nir.Input(np.array([64 * 4 * 4])),
            "fc": nir.Linear(_int8(256, 64 * 4 * 4, keep=0.5)),
            "lif": _lif(256),
            "rec": nir.Linear(_int8(256, 256, keep=0.2)),
            "output": nir.Output(np.array([256])),
        },
        edges=[("input", "fc"), ("fc", "lif"), ("lif", "rec"), ("rec", "lif"), ("lif", "output")],
        type_check=False,
    )
    nodes = {
        "events": nir.Input(np.array([2, 34, 34])),
        "stage1": _stage(2, 16, 34, 5, 2, 2, keep=1.0),  # -> 16 x 17 x 17
        "stage2": _stage(16, 32, 17, 3, 1, 1, keep=0.7),  # -> 32 x 17 x 17
        "pool": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),  # -> 32 x 8 x 8
        "stage3": _stage(32, 64, 8, 3, 1, 1, keep=0.7),  # -> 64 x 8 x 8
        "pool3": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),  # -> 64 x 4 x 4
        "flat": nir.Flatten(np.array([64, 4, 4]), start_dim=0),
        "recurrent": recurrent,
        "readout": nir.Affine(_int8(10, 256), np.zeros(10, np.int8)),
        "classes": nir.LI(np.full(10, 0.02, np.float32), np.ones(10, np.float32), np.zeros(10, np.float32)),
        "output": nir.Output(np.array([10])),
    }
    order = list(nodes)
    return nir.NIRGraph(
        nodes=nodes, edges=list(zip(order[:-1], order[1:])), metadata={"name": "dvs-cnn"}, type_check=False
    )


if __name__ == "__main__":
    nir.write(sys.argv[1] if len(sys.argv) > 1 else "dvs-cnn.nir", dvs_cnn())
