"""The machine-readable result: one JSON document for the model, the chip and every run."""

from __future__ import annotations

import dataclasses
import json
import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from zerav_map.chip import Chip
from zerav_map.cost.params import FIELDS, SOURCE
from zerav_map.mapping import Outcome
from zerav_map.models import Model
from zerav_map.version import tool_version


def _plain(value: Any) -> Any:
    """JSON-ready: numpy scalars to Python numbers, tuples to lists, NaN and inf to null."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def run_document(o: Outcome) -> dict[str, Any]:
    doc: dict[str, Any] = {
        "algorithm": o.algorithm,
        "status": o.status,
        "fits": o.fits,
        "seconds": o.seconds,
        "problems": [{"kind": p.kind, "message": p.message, "cores": p.cores} for p in o.problems],
        "feedback_delay_problems": [vars(d) for d in o.delay_problems],
        "warnings": o.warnings,
        "partition": None,
        "placement": None,
        "resources": None,
        "traffic": [[a, b, n] for (a, b), n in o.traffic.items()],
        "cost": _cost(o.cost),
    }
    if o.partitioned:
        doc["partition"] = {
            "num_cores_used": o.num_cores_used,
            "metrics": o.metrics,
            "cross_core_edges": len(o.cross_core_edges),
            "feedback_edges": o.feedback_edges,
            "nodes_per_core": o.nodes_per_core,
            "assignments": o.assignments,
        }
    if o.placement is not None:
        p = o.placement
        doc["placement"] = {
            "positions": {c: list(pos) for c, pos in p.logical_to_physical.items()},
            "total_hop_distance": p.total_hop_distance,
            "improvement": p.improvement,
            "unplaced": o.unplaced,
        }
    if o.resources is not None:
        r = o.resources
        doc["resources"] = {
            "cores": [
                {
                    "core_id": b.core_id,
                    # The budget's neuron_count counts nodes; neurons are what they contain.
                    "nodes": b.neuron_count,
                    "neurons": o.neurons_per_core.get(b.core_id),
                    "weight_bytes": b.weight_bytes,
                    "state_bytes": b.state_bytes,
                    "routing_bytes": b.routing_bytes,
                    "total_bytes": b.total_bytes,
                    "utilization": b.utilization,
                }
                for b in r.budgets.values()
            ],
            "total_weight_bytes": r.total_weight_bytes,
            "total_state_bytes": r.total_state_bytes,
            "peak_core_utilization": r.peak_core_utilization,
            "fits_hardware": r.fits_hardware,
            "violations": list(r.violations),
        }
    return doc


def document(model: Model, chip: Chip, outcomes: Sequence[Outcome], fits: bool, advice=None) -> dict:
    s = chip.hw
    return _plain(
        {
            "tool": "zerav-map",
            "version": tool_version(),
            "model": {"name": model.name, "source": model.source, **model.counts()},
            "chip": {
                "name": chip.name,
                "num_cores": s.num_cores,
                "nodes_per_core": s.max_neurons_per_core,
                "neurons_per_core": chip.neurons_per_core,
                "core_mesh_topology": s.core_mesh_topology,
                "sram_bytes_per_core": s.sram_bytes_per_core,
                "max_feedback_delay": s.max_feedback_delay,
                "cost": {
                    **dataclasses.asdict(chip.cost),
                    "defaults": [k for k in FIELDS if k not in chip.cost_given],
                    "source": SOURCE,
                },
            },
            "lowering": _lowering(model),
            "activity": _activity(model.activity),
            "fits": fits,
            "advice": None if advice is None else vars(advice),
            "runs": [run_document(o) for o in outcomes],
        }
    )


def _lowering(model: Model) -> dict | None:
    low = model.lowering
    if low is None:
        return None
    return {
        "group_size": low.group_size,
        "policy": low.policy,
        "derived": low.derived,
        "edges": low.edges,
        "seconds": low.seconds,
        "layers": [vars(r) for r in low.layers],
        "notes": low.notes,
    }


def _activity(activity) -> dict | None:
    if activity is None:
        return None
    spikes = activity.layer_spikes()
    return {
        "source": activity.source,
        "description": activity.description,
        "steps": activity.steps,
        "default_rate": activity.default_rate,
        "defaulted": activity.defaulted,
        "layers": [
            {
                "layer": name,
                "input": name in activity.inputs,
                "neurons": activity.neurons[name],
                "spikes_per_step": spikes[name],
                "rate_per_neuron": spikes[name] / max(activity.neurons[name], 1),
                "synaptic_events_per_step": (
                    None
                    if activity.fanout is None or name not in activity.fanout
                    else float(activity.rates[name] @ activity.fanout[name])
                ),
            }
            for name in activity.neurons
        ],
    }


def _cost(c) -> dict | None:
    if c is None:
        return None

    def link(a, b, load):
        return {"from": list(a), "to": list(b), "spikes_per_step": load}

    return {
        "steps": c.steps,
        "spikes_per_step": c.spikes,
        "link_traversals_per_step": c.link_traversals,
        "link_traversals_x_per_step": c.link_traversals_x,
        "link_traversals_y_per_step": c.link_traversals_y,
        "router_traversals_per_step": c.router_traversals,
        "synaptic_events_per_step": c.synaptic_events,
        "busiest_link": None if c.busiest_link is None else link(*c.busiest_link),
        "energy_pj_per_step": {
            "total": c.energy_pj,
            "routers": c.energy_routers_pj,
            "links": c.energy_links_pj,
            "spikes": c.energy_spikes_pj,
            "synaptic_events": None if c.synaptic_events is None else c.energy_synapses_pj,
        },
        "energy_pj_per_inference": c.energy_pj * c.steps,
        "latency_ns_per_step": {
            "total": c.latency_ns,
            "longest_route": c.longest_route_ns,
            "longest_route_hops": list(c.longest_route_hops),
            "busiest_link": c.busiest_link_ns,
        },
        "layers": [
            {
                "layer": lc.layer,
                "spikes_per_step": lc.spikes,
                "link_traversals_per_step": lc.link_traversals,
                "router_traversals_per_step": lc.router_traversals,
                "synaptic_events_per_step": lc.synaptic_events,
                "energy_pj_per_step": lc.energy_pj,
                "share": lc.share,
            }
            for lc in c.layers
        ],
        "cores": [
            {
                "core": cc.core,
                "cell": list(cc.cell),
                "spikes_out_per_step": cc.spikes_out,
                "spikes_in_per_step": cc.spikes_in,
                "synaptic_events_per_step": cc.synaptic_events,
                "router_traversals_per_step": cc.router_traversals,
                "link_traversals_out_per_step": cc.link_traversals_out,
                "energy_pj_per_step": cc.energy_pj,
            }
            for cc in c.cores
        ],
        "links": [link(a, b, load) for a, b, load in c.links],
        "left_out": c.left_out,
        "routed": c.routed,
    }


def dumps(doc: dict) -> str:
    return json.dumps(doc, indent=1, allow_nan=False) + "\n"
