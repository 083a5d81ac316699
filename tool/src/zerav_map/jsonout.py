"""The machine-readable result: one JSON document for the model, the chip and every run."""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from zerav_map.chip import Chip
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
            },
            "lowering": _lowering(model),
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


def dumps(doc: dict) -> str:
    return json.dumps(doc, indent=1, allow_nan=False) + "\n"
