"""Spike rates: per neuron of every spiking layer (inputs and neuron layers), from a profile
of the user's own simulation, from a simulation the tool runs, from the model file's per-node
rates, or one default rate; then per node of the model as it is mapped.

Rates are spikes per step. A group's rate is the sum of its neurons' rates. In a model that is
not lowered, a synapse node forwards what reaches it: its rate is the sum of the rates of the
nodes that feed it; an Output node sends nothing.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from zerav import ir
from zerav_map.choices import DEFAULT_RATE, DEFAULT_STEPS
from zerav_map.errors import InputError
from zerav_map.models import Model


@dataclass
class Activity:
    source: str  # "default", "profile", "simulation" or "model"
    description: str  # what the figures assume, for the report
    steps: int  # time steps of one inference
    default_rate: float
    neurons: dict[str, int]  # every spiking layer's neurons
    rates: dict[str, np.ndarray] = field(default_factory=dict)  # per layer: each neuron's rate
    defaulted: list[str] = field(default_factory=list)  # layers left at the default rate
    fanout: dict[str, np.ndarray] | None = None  # per layer: each neuron's synapses (None: unknown)
    arrivals: dict[str, np.ndarray] | None = None  # per neuron layer: synaptic events per step at each neuron
    inputs: frozenset[str] = frozenset()  # the layers that are inputs

    def layer_spikes(self) -> dict[str, float]:
        return {name: float(r.sum()) for name, r in self.rates.items()}


def spiking_layers(graph: ir.Graph):
    """(the layer view or None, {layer: neurons} of inputs and neuron layers, input names)."""
    from zerav_map.lowering.layers import LoweringError, neurons_of, read_layers

    try:
        layers = read_layers(graph)
    except LoweringError:
        layers = None
    if layers is not None:
        sizes = {
            n: math.prod(layers.shapes[n]) for n, role in layers.roles.items() if role in ("input", "neuron")
        }
        inputs = frozenset(n for n, role in layers.roles.items() if role == "input")
        return layers, sizes, inputs
    sizes = {
        n: math.prod(getattr(node, "shape", None) or (1,))
        for n, node in graph.nodes.items()
        if isinstance(node, ir.Input)
    }
    inputs = frozenset(sizes)
    sizes.update(neurons_of(graph))
    return None, sizes, inputs


def make_activity(
    model: Model,
    *,
    profile: str | None = None,
    simulate: dict | None = None,
    default_rate: float = DEFAULT_RATE,
    steps: int | None = None,
) -> Activity:
    """The activity of ``model`` (as read, one node per layer) from the source given."""
    if not (default_rate >= 0 and math.isfinite(default_rate)):
        raise InputError(f"--default-rate must be a number >= 0, got {default_rate}")
    layers, sizes, inputs = spiking_layers(model.graph)
    given: dict[str, np.ndarray] = {}
    if profile is not None:
        from zerav_map.activity.profile import read_profile

        given, profile_steps = read_profile(profile, sizes)
        source, description = "profile", f"rates from the profile {profile}"
        steps = steps or profile_steps
    elif simulate is not None:
        from zerav_map.activity.simulate import simulate_rates

        given = simulate_rates(model, layers, sizes, **simulate)
        source = "simulation"
        description = (
            f"rates from a simulation of {simulate['steps']} steps on Poisson input at "
            f"{simulate['input_rate']:g} spikes per neuron per step"
        )
        steps = steps or simulate["steps"]
    elif model.rates:
        given = {n: np.full(sizes[n], model.rates[n] / sizes[n]) for n in sizes if n in model.rates}
        source, description = "model", "rates from the model file"
    else:
        source = "default"
        description = f"every neuron at the default rate of {default_rate:g} spikes per step"
    activity = Activity(source, description, steps or DEFAULT_STEPS, default_rate, sizes, inputs=inputs)
    for name, n in sizes.items():
        if name in given:
            activity.rates[name] = np.asarray(given[name], dtype=np.float64).reshape(-1)
        else:
            activity.rates[name] = np.full(n, default_rate)
            if source != "default":
                activity.defaulted.append(name)
    if layers is not None:
        from zerav_map.cost.fanout import synapses_per_neuron, synaptic_events_into

        activity.fanout = {n: f for n, f in synapses_per_neuron(layers).items() if n in activity.rates}
        activity.arrivals = synaptic_events_into(layers, activity.rates)
    return activity


@dataclass
class NodeActivity:
    """The activity per node of the model as mapped."""

    rates: dict[str, float]  # spikes per step each node sends
    firing: set[str]  # nodes whose spikes are neuron firings (not inputs, not forwarded)
    synaptic: dict[str, float] | None  # synaptic operations per step each node's spikes cause
    synaptic_in: dict[str, float] | None  # synaptic operations per step at each node's neurons
    layer_of: dict[str, str]  # the layer each node is counted under in the report


def node_activity(activity: Activity, mapped: Model) -> NodeActivity:
    graph = mapped.graph
    rates: dict[str, float] = {}
    synaptic: dict[str, float] = {}
    arriving: dict[str, float] = {}
    fan, into = activity.fanout or {}, activity.arrivals or {}
    if mapped.groups is not None:
        for layer, (names, tiling) in mapped.groups.items():
            r = activity.rates.get(layer)
            if r is None:
                continue
            ids = tiling.group_ids()
            rates.update(zip(names, np.bincount(ids, r, minlength=len(names)).tolist()))
            if layer in fan:
                synaptic.update(zip(names, np.bincount(ids, r * fan[layer], minlength=len(names)).tolist()))
            if layer in into:
                arriving.update(zip(names, np.bincount(ids, into[layer], minlength=len(names)).tolist()))
        spiking = {name: layer for layer, (names, _) in mapped.groups.items() for name in names}
    else:
        spiking = {}
        for name in graph.nodes:
            if name in activity.rates:
                rates[name] = float(activity.rates[name].sum())
                spiking[name] = name
                if name in fan:
                    synaptic[name] = float(activity.rates[name] @ fan[name])
                if name in into:
                    arriving[name] = float(into[name].sum())
            elif mapped.rates and name in mapped.rates:
                rates[name] = float(mapped.rates[name])
    for name, node in graph.nodes.items():
        if isinstance(node, ir.Output):
            rates[name] = 0.0
    _relay(graph, rates)
    firing = {n for n, layer in spiking.items() if layer not in activity.inputs}
    known = activity.fanout is not None
    return NodeActivity(
        rates, firing, synaptic if known else None, arriving if known else None, _layers(mapped)
    )


def _layers(mapped: Model) -> dict[str, str]:
    """The layer of every node, as the mesh picture names them."""
    from zerav_map.plot.layers import model_layers

    layers = model_layers(mapped)
    return {n: layers.names[i] for n, i in layers.of_node.items()}


def _relay(graph: ir.Graph, rates: dict[str, float]) -> None:
    """Give every node without a rate the sum of its predecessors' rates, in dependency
    order; nodes on a cycle of such nodes only get what reaches them from outside it."""
    preds: dict[str, list[str]] = {n: [] for n in graph.nodes}
    for s, d in graph.edges:
        preds[d].append(s)
    pending = [n for n in graph.nodes if n not in rates]
    changed = True
    while pending and changed:
        changed = False
        rest = []
        for n in pending:
            if all(p in rates for p in preds[n]):
                rates[n] = float(sum(rates[p] for p in preds[n]))
                changed = True
            else:
                rest.append(n)
        pending = rest
    for n in pending:  # on a cycle without spiking nodes
        rates[n] = float(sum(rates.get(p, 0.0) for p in preds[n]))
