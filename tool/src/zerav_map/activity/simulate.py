"""Rates from a simulation: the NIR model run by Spyx (JAX, on the CPU) on Poisson input.

Spyx imports a NIR graph that is one chain from its ``input`` node to its ``output`` node
(convolutions, pooling, dense layers, LIF, CubaLIF and IF neurons, the recurrent pattern of a
neuron layer and its own dense loop) into layers that map ``(input, state)`` to ``(spikes,
state)``. The tool runs those layers step by step itself, so that it sees every neuron
layer's spikes, not only the last one's. Neuron parameters given as scalars are spread over
the layer's shape first, as Spyx takes a layer's shape from them.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import sys

import numpy as np

from zerav_map.errors import BackendMissing, InputError

INSTALL = "pip install 'zerav-map[simulate]'  (or: pip install spyx)"
_PARAMS = ("tau", "tau_mem", "tau_syn", "r", "v_leak", "v_threshold", "v_reset")


def simulate_rates(
    model, layers, sizes: dict[str, int], *, steps: int, input_rate: float, dt: float, seed: int = 0
):
    """{layer: spikes per step of each neuron} for the inputs and neuron layers of ``model``
    (a NIR model as read), over ``steps`` steps of Poisson input at ``input_rate``."""
    try:
        import jax
        import jax.numpy as jnp
        import nir
        import spyx.nir
    except ImportError as e:
        raise BackendMissing(
            f"--simulate needs the simulator Spyx, which is not installed ({e}); {INSTALL}"
        ) from None
    if layers is None:
        raise InputError(f"{model.source}: --simulate needs a model whose layers the tool can read")
    from zerav_map.models.nir_model import read_unchecked

    graph = read_unchecked(nir, model.source)
    inputs = [n for n, role in layers.roles.items() if role == "input"]
    if len(inputs) != 1:
        raise InputError(f"{model.source}: --simulate runs models with one input, this one has {len(inputs)}")
    neurons = [n for n in layers.tensors if layers.roles[n] == "neuron"]
    _broadcast_neurons(graph, layers, neurons)
    shape = layers.shapes[inputs[0]]
    rng = np.random.default_rng(seed)
    spikes_in = (rng.random((steps, 1, *shape)) < input_rate).astype(np.float32)
    channels_last = lambda a: np.moveaxis(a, -3, -1) if a.ndim >= 4 else a  # noqa: E731
    try:
        # The simulator prints notes on stdout, which holds the JSON result with --json -.
        with contextlib.redirect_stdout(sys.stderr):
            sim, _ = spyx.nir.from_nir(graph, jnp.asarray(channels_last(spikes_in[:1])), dt=dt)
    except Exception as e:  # the simulator's own refusal of a graph it cannot import
        raise InputError(
            f"{model.source}: the simulator cannot run this model: {type(e).__name__}: {e}"
        ) from None
    stateful = [i for i, layer in enumerate(sim.layers) if hasattr(layer, "initial_state")]
    if len(stateful) != len(neurons):
        raise InputError(
            f"{model.source}: the simulator built {len(stateful)} neuron layer(s) for the model's "
            f"{len(neurons)} ({', '.join(neurons)}); --simulate runs chains from 'input' to 'output'"
        )

    def step(state, x):
        new, fired = [], []
        for i, layer in enumerate(sim.layers):
            if state[i] is None:
                x = layer(x)
                new.append(None)
            else:
                x, s = layer(x, state[i])
                new.append(s)
                fired.append(x)
        return new, fired

    def run(carry, x):
        state, totals = carry
        state, fired = step(state, x)
        return (state, [t + f[0] for t, f in zip(totals, fired)]), None

    xs = jnp.asarray(channels_last(spikes_in))
    state = sim.initial_state(1)
    shapes = jax.eval_shape(step, state, xs[0])[1]
    totals = [jnp.zeros(f.shape[1:], jnp.float32) for f in shapes]
    (_, counts), _ = jax.lax.scan(run, (state, totals), xs)
    rates = {inputs[0]: spikes_in.sum(axis=(0, 1)).reshape(-1) / steps}
    for name, c in zip(neurons, counts):
        c = np.asarray(c)
        if c.ndim == 3:
            c = np.moveaxis(c, -1, 0)  # back to (C, H, W)
        if c.size != sizes[name]:
            raise InputError(
                f"{model.source}: the simulator's layer for {name!r} has {c.size} neurons, the model {sizes[name]}"
            )
        rates[name] = c.reshape(-1).astype(np.float64) / steps
    return rates


def _broadcast_neurons(graph, layers, neurons) -> None:
    """Spread scalar neuron parameters over their layer's shape: each such node of the top
    graph is made anew, so that its port shapes follow (nested graphs are left as they are)."""
    for name in neurons:
        node = graph.nodes.get(name)
        if node is None:
            continue
        shape = tuple(layers.shapes[name])
        spread = {}
        for field in _PARAMS:
            value = getattr(node, field, None)
            if value is None:
                continue
            a = np.asarray(value)
            if a.size == 1 and math.prod(shape) != 1:
                spread[field] = np.full(shape, a.reshape(-1)[0], dtype=a.dtype)
        if spread:
            graph.nodes[name] = dataclasses.replace(node, **spread)
