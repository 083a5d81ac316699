"""Synaptic operations: how many one spike of a neuron causes, and how many reach a neuron.

For every chain from a spiking tensor into a neuron layer, a vector of ones over the
destination's neurons is pushed back through the chain's steps (each step's 0/1 relation,
transposed): what reaches a source neuron is the number of paths from it to destination
neurons, one synaptic operation each (one per synapse when pooling windows do not overlap).
Pushing the source's rates forward instead gives the synaptic operations per step at each
destination neuron, where the chip performs them.
Convolution and pooling relations stay factorised (channel x row x column per kernel tap), so
the cost is that of the tensors, not of their synapses. Dense steps in a row with no neuron
between them are one synapse per source and destination pair that the product of their
matrices joins, as the lowering folds them: counting paths there would count one operation per
intermediate element too.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from zerav_map.lowering import relations as rel
from zerav_map.lowering.layers import Chain, Layers, Step


def synapses_per_neuron(layers: Layers) -> dict[str, np.ndarray]:
    """Per spiking tensor (inputs and neuron layers), the synapses of each of its neurons into
    neuron layers, in row-major element order; a tensor feeding no neuron layer has zeros."""
    out = _zeros(layers, ("input", "neuron"))
    for chain in _into_neurons(layers):
        y = np.ones(_size(layers, chain.target))
        for step in reversed(_folded(chain.steps)):
            y = _relate(step, y, back=True)
        out[chain.source] += _sized(y, _size(layers, chain.source))
    return out


def synaptic_events_into(layers: Layers, rates: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """Per neuron layer, the synaptic operations per step at each of its neurons from the
    spikes of the tensors feeding it at ``rates`` (per neuron, row-major)."""
    out = _zeros(layers, ("neuron",))
    for chain in _into_neurons(layers):
        x = np.asarray(rates[chain.source], dtype=np.float64)
        for step in _folded(chain.steps):
            x = _relate(step, x, back=False)
        out[chain.target] += _sized(x, _size(layers, chain.target))
    return out


def _folded(steps: list[Step]) -> list[Step]:
    """The steps with every run of dense steps (Flatten between them allowed) made one dense
    step whose weight joins what the run's product joins."""
    out: list[Step] = []
    for step in steps:
        if step.role == "flatten" and out and out[-1].role == "dense":
            continue
        if step.role == "dense" and out and out[-1].role == "dense":
            joined = (step.weight != 0).astype(np.float64) @ (out[-1].weight != 0).astype(np.float64)
            out[-1] = dataclasses.replace(out[-1], weight=joined, out_shape=step.out_shape)
            continue
        out.append(step)
    return out


def _zeros(layers: Layers, roles) -> dict[str, np.ndarray]:
    return {name: np.zeros(_size(layers, name)) for name, role in layers.roles.items() if role in roles}


def _size(layers: Layers, name: str) -> int:
    return int(np.prod(layers.shapes[name]))


def _into_neurons(layers: Layers) -> list[Chain]:
    return [
        c
        for c in layers.chains
        if layers.roles.get(c.target) == "neuron" and layers.roles.get(c.source) in ("input", "neuron")
    ]


def _sized(v: np.ndarray, n: int) -> np.ndarray:
    if v.size != n:
        raise AssertionError(f"chain sizes disagree: {v.size} != {n}")
    return v


def _relate(step: Step, v: np.ndarray, back: bool) -> np.ndarray:
    """``relation(step) @ v``, or ``relation(step).T @ v`` when ``back``: per output element
    the paths from the inputs weighted by ``v``, or per input element the paths to outputs."""
    if step.role in ("flatten", "elementwise"):
        return v
    if step.role == "dense":
        w = (step.weight != 0).astype(np.float64)
        return w.T @ v if back else w @ v
    src, dst = (step.out_shape, step.in_shape) if back else (step.in_shape, step.out_shape)
    grid = v.reshape(src)
    out = np.zeros(dst)
    for t in rel.step_terms(step):
        chan, rows, cols = (m.T if back else m for m in (t.chan, t.rows, t.cols))
        # out[c, j, k] = sum of chan[c, i] * rows[j, p] * cols[k, q] * v[i, p, q]
        a = (chan @ grid.reshape(src[0], -1)).reshape(dst[0], src[1], src[2])
        a = np.einsum("jp,cpq->cjq", rows.toarray(), a)
        out += np.einsum("kq,cjq->cjk", cols.toarray(), a)
    return out.reshape(-1)
