"""NIR files shaped like framework exports (snnTorch, Norse, sinabs), written with ``nir``.

fp32 weights, scalar neuron parameters where the frameworks write them, one graph each:
- ``mlp``: 2 x 34 x 34 events flattened into 512 LIF neurons and a 10-neuron readout; a
  256-neuron group of the hidden layer needs 2.3 MiB of weights.
- ``recurrent``: 700 inputs into 512 LIF neurons with all-to-all recurrence, a 20-neuron LI
  readout (1.2 MiB per 256-neuron group).
- ``reservoir``: 100 inputs into a 2,304-neuron recurrent ring whose int8 recurrent weight
  joins each neuron to a fifth of its neighbours within 48 places, a 10-neuron readout.
- ``dvs128``: a DVS128 CNN, 2 x 128 x 128 events through two convolution stages: far more
  neurons than the 64 cores of the default chip run.
"""

from __future__ import annotations

import nir
import numpy as np


def _lif(n=None):
    one = np.ones(1 if n is None else n, np.float32)
    return nir.LIF(tau=one * 0.02, r=one, v_leak=one * 0, v_threshold=one)


def _graph(nodes, edges):
    return nir.NIRGraph(nodes=nodes, edges=edges, type_check=False)


def _chain(nodes, extra=()):
    names = list(nodes)
    return _graph(nodes, list(zip(names[:-1], names[1:])) + list(extra))


def mlp():
    rng = np.random.default_rng(1)
    return _chain(
        {
            "input": nir.Input(np.array([2, 34, 34])),
            "flat": nir.Flatten(np.array([2, 34, 34]), start_dim=0),
            "fc1": nir.Linear(rng.normal(size=(512, 2312)).astype(np.float32)),
            "lif1": _lif(),
            "fc2": nir.Linear(rng.normal(size=(10, 512)).astype(np.float32)),
            "lif2": _lif(),
            "output": nir.Output(np.array([10])),
        }
    )


def recurrent():
    rng = np.random.default_rng(2)
    nodes = {
        "input": nir.Input(np.array([700])),
        "fc1": nir.Affine(rng.normal(size=(512, 700)).astype(np.float32), np.zeros(512, np.float32)),
        "lif1": _lif(512),
        "fc2": nir.Linear(rng.normal(size=(20, 512)).astype(np.float32)),
        "li2": nir.LI(
            tau=np.ones(20, np.float32), r=np.ones(20, np.float32), v_leak=np.zeros(20, np.float32)
        ),
        "output": nir.Output(np.array([20])),
        "rec": nir.Linear(rng.normal(size=(512, 512)).astype(np.float32)),
    }
    edges = [("input", "fc1"), ("fc1", "lif1"), ("lif1", "fc2"), ("fc2", "li2"), ("li2", "output")]
    return _graph(nodes, edges + [("lif1", "rec"), ("rec", "lif1")])


def reservoir():
    rng = np.random.default_rng(3)
    n = 2304
    w = (rng.normal(size=(n, n)) * 64).astype(np.int8)
    ring = np.abs((np.arange(n)[:, None] - np.arange(n)[None, :] + n // 2) % n - n // 2)
    w[(ring > 48) | (rng.random((n, n)) > 0.2)] = 0
    nodes = {
        "input": nir.Input(np.array([100])),
        "fc_in": nir.Linear(rng.normal(size=(n, 100)).astype(np.float32)),
        "res": _lif(),
        "fc_out": nir.Linear(rng.normal(size=(10, n)).astype(np.float32)),
        "readout": _lif(),
        "output": nir.Output(np.array([10])),
        "rec": nir.Linear(w),
    }
    edges = [("input", "fc_in"), ("fc_in", "res"), ("res", "fc_out"), ("fc_out", "readout")]
    return _graph(nodes, edges + [("readout", "output"), ("res", "rec"), ("rec", "res")])


def dvs128():
    rng = np.random.default_rng(4)

    def conv(cout, cin, size):
        weight = rng.normal(size=(cout, cin, 3, 3)).astype(np.float32)
        return nir.Conv2d((size, size), weight, 1, 1, 1, 1, np.zeros(cout, np.float32))

    return _chain(
        {
            "input": nir.Input(np.array([2, 128, 128])),
            "conv1": conv(16, 2, 128),
            "lif1": _lif(),
            "pool1": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),
            "conv2": conv(32, 16, 64),
            "lif2": _lif(),
            "pool2": nir.SumPool2d(np.array([4, 4]), np.array([4, 4]), np.array([0, 0])),
            "flat": nir.Flatten(np.array([32, 16, 16]), start_dim=0),
            "fc": nir.Linear(rng.normal(size=(11, 32 * 16 * 16)).astype(np.float32)),
            "lif3": _lif(),
            "output": nir.Output(np.array([11])),
        }
    )


MODELS = {"mlp": mlp, "recurrent": recurrent, "reservoir": reservoir, "dvs128": dvs128}


def write(name: str, path) -> None:
    nir.write(str(path), MODELS[name]())
