"""Synapses per source neuron: how many synaptic operations one spike of a neuron causes.

For every chain from a spiking tensor into a neuron layer, a vector of ones over the
destination's neurons is pushed back through the chain's steps (each step's 0/1 relation,
transposed): what reaches a source neuron is the number of paths from it to destination
neurons, one synaptic operation each (one per synapse when pooling windows do not overlap).
Convolution and pooling relations stay factorised (channel x row x column per kernel tap), so
the cost is that of the tensors, not of their synapses.
"""

from __future__ import annotations

import numpy as np

from zerav_map.lowering import relations as rel
from zerav_map.lowering.layers import Chain, Layers, Step


def synapses_per_neuron(layers: Layers) -> dict[str, np.ndarray]:
    """Per spiking tensor (inputs and neuron layers), the synapses of each of its neurons into
    neuron layers, in row-major element order; a tensor feeding no neuron layer has zeros."""
    out = {
        name: np.zeros(int(np.prod(layers.shapes[name])), dtype=np.float64)
        for name, role in layers.roles.items()
        if role in ("input", "neuron")
    }
    for chain in layers.chains:
        if layers.roles.get(chain.target) != "neuron" or chain.source not in out:
            continue
        out[chain.source] += _chain_fanout(chain, layers)
    return out


def _chain_fanout(chain: Chain, layers: Layers) -> np.ndarray:
    y = np.ones(int(np.prod(layers.shapes[chain.target])), dtype=np.float64)
    for step in reversed(chain.steps):
        y = _back(step, y)
    n = int(np.prod(layers.shapes[chain.source]))
    if y.size != n:
        raise AssertionError(f"chain sizes disagree: {y.size} != {n}")
    return y


def _back(step: Step, y: np.ndarray) -> np.ndarray:
    """``relation(step).T @ y``: the paths from each input element of the step."""
    if step.role in ("flatten", "elementwise"):
        return y
    if step.role == "dense":
        return (step.weight != 0).T.astype(np.float64) @ y
    c_in, h_in, w_in = step.in_shape
    c_out, h_out, w_out = step.out_shape
    grid = y.reshape(c_out, h_out, w_out)
    x = np.zeros((c_in, h_in, w_in))
    for t in rel.step_terms(step):
        # sum over o of chan[o, i] * rows[p, j] * cols[q, k] * y[o, p, q]
        a = t.chan.T @ grid.reshape(c_out, -1)  # (c_in, h_out * w_out)
        a = np.einsum("jp,cpq->cjq", t.rows.T.toarray(), a.reshape(c_in, h_out, w_out))
        x += np.einsum("kq,cjq->cjk", t.cols.T.toarray(), a)
    return x.reshape(-1)
