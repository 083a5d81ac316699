"""Real models for the mapping benchmark, lowered by the mapping tool (`zerav_map.lowering`):
the README's event-camera CNN (docs/models/dvs_cnn.py) in groups of 8 neurons, and two dense
spiking networks lowered one node per neuron, an MLP and a recurrent SNN.

Rates: the two dense networks are simulated for `STEPS` steps (discrete-time LIF, v <- 0.9 v +
W s, a spike and reset to 0 at v >= 1) on Bernoulli input spikes whose probability is drawn per
input neuron from U(0, 0.4); a node's rate is its spike count over the run (inputs included).
The CNN, whose int8 weights and unit thresholds are only a shape, keeps unit rates."""

from __future__ import annotations

import importlib.util
import pathlib

import numpy as np

STEPS = 50
_RATES: dict[str, dict[str, int]] = {}


def _lower(nir_graph, name, group_size):
    from zerav.graph.resource import _precision_to_bytes
    from zerav_map.lowering import Options, lower
    from zerav_map.models import Model
    from zerav_map.models.nir_model import nir_to_graph

    model = Model(name, nir_to_graph(nir_graph), "bench", format="nir")
    return lower(model, Options(group_size=group_size), _precision_to_bytes)[0].fresh_graph()


def dvs_cnn(group_size: int = 8):
    path = pathlib.Path(__file__).resolve().parent.parent / "docs" / "models" / "dvs_cnn.py"
    spec = importlib.util.spec_from_file_location("dvs_cnn_model", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return _lower(module.dvs_cnn(), "dvs-cnn", group_size)


def _sparse(rng, rows, cols, keep, gain):
    w = rng.normal(0, gain / np.sqrt(keep * cols), size=(rows, cols)).astype(np.float32)
    return w * (rng.random((rows, cols)) < keep)


def _lif(nir, n):
    return nir.LIF(
        tau=np.full(n, 0.02, np.float32),
        r=np.ones(n, np.float32),
        v_leak=np.zeros(n, np.float32),
        v_threshold=np.ones(n, np.float32),
    )


def _simulate(rng, inputs, layers, recurrent=None):
    """Spike counts per layer (input first). `layers` are the feed-forward matrices in order;
    `recurrent` (if given) is the first hidden layer's own matrix."""
    p = rng.uniform(0, 0.4, inputs)
    counts = [np.zeros(inputs, np.int64)] + [np.zeros(w.shape[0], np.int64) for w in layers]
    v = [np.zeros(w.shape[0]) for w in layers]
    spikes = [np.zeros(w.shape[0]) for w in layers]
    for _ in range(STEPS):
        s = (rng.random(inputs) < p).astype(np.float64)
        counts[0] += s.astype(np.int64)
        for i, w in enumerate(layers):
            current = w @ s + (recurrent @ spikes[0] if recurrent is not None and i == 0 else 0)
            v[i] = 0.9 * v[i] + current
            s = (v[i] >= 1).astype(np.float64)
            v[i][s > 0] = 0
            spikes[i] = s
            counts[i + 1] += s.astype(np.int64)
    return counts


def _dense_snn(name, sizes, keep, recurrent_keep=None, seed=7):
    """A chain Input -> (Linear -> LIF) per layer -> Output, lowered one node per neuron, with
    the rates of a simulation of the same weights."""
    import nir

    rng = np.random.default_rng(seed)
    weights = [_sparse(rng, b, a, keep, 3.0) for a, b in zip(sizes, sizes[1:])]
    rec = None if recurrent_keep is None else _sparse(rng, sizes[1], sizes[1], recurrent_keep, 1.0)
    nodes = {"input": nir.Input(np.array([sizes[0]]))}
    edges, last = [], "input"
    for i, w in enumerate(weights):
        nodes[f"fc{i}"], nodes[f"lif{i}"] = nir.Linear(w), _lif(nir, w.shape[0])
        edges += [(last, f"fc{i}"), (f"fc{i}", f"lif{i}")]
        last = f"lif{i}"
    if rec is not None:
        nodes["rec"] = nir.Linear(rec)
        edges += [("lif0", "rec"), ("rec", "lif0")]
    nodes["output"] = nir.Output(np.array([sizes[-1]]))
    edges.append((last, "output"))
    graph = _lower(nir.NIRGraph(nodes=nodes, edges=edges, type_check=False), name, 1)
    counts = _simulate(rng, sizes[0], weights, rec)
    layers = ["input"] + [f"lif{i}" for i in range(len(weights))]
    rates = {f"{layer}#{j}": int(c) for layer, cs in zip(layers, counts) for j, c in enumerate(cs)}
    _RATES[name] = {n: rates[n] for n in graph.nodes if n in rates}
    return graph


def mlp_snn():
    return _dense_snn("MLP SNN", (784, 400, 400, 10), keep=0.15)


def recurrent_snn():
    return _dense_snn("recurrent SNN", (200, 1000, 10), keep=0.2, recurrent_keep=0.05)


def rates(name: str):
    """The simulated rates of a model built here (node name -> spikes in the run), or None."""
    return _RATES.get(name)
