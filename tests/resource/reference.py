"""A plain-Python model of allocate, step by step, for differential tests.

It reads the module's own `_precision_to_bytes`, `_STATE_ATTRS`, `CoreBudget` and `ResourceMap`
through the module namespace, as the native code does, so both see the same patches.
"""

from __future__ import annotations

import numpy as np

from zerav.graph import resource

_MISSING = object()
WEIGHT_ATTRS = ("weight", "bias", "running_mean", "running_var", "gamma", "beta")


def allocate(graph, hw_spec):
    from zerav.ir import Input, Output

    budgets = {}
    for _name, node in graph.nodes.items():
        if isinstance(node, (Input, Output)):
            continue
        core_id = getattr(node, "core_id", None) or 0
        if core_id not in budgets:
            budgets[core_id] = resource.CoreBudget(core_id=core_id)
        budget = budgets[core_id]
        budget.neuron_count += 1
        precision = getattr(node, "precision", None) or "fp32"
        element = resource._precision_to_bytes(precision)
        fields = getattr(node, "__dataclass_fields__", _MISSING)
        if fields is not _MISSING:
            for fname in fields:
                value = getattr(node, fname, None)
                if isinstance(value, np.ndarray):
                    if fname in resource._STATE_ATTRS:
                        budget.state_bytes += value.size * 4
                    else:
                        budget.weight_bytes += value.size * element
        else:
            for attr in WEIGHT_ATTRS:
                value = getattr(node, attr, None)
                if isinstance(value, np.ndarray):
                    budget.weight_bytes += value.size * element
            for attr in resource._STATE_ATTRS:
                value = getattr(node, attr, None)
                if isinstance(value, np.ndarray):
                    budget.state_bytes += value.size * 4

    incoming = {}
    metadata = getattr(graph, "partition_metadata", None)
    if metadata:
        cross_edges = metadata.get("cross_core_edges", [])
        assignments = metadata.get("assignments", {})
        for _src, dst in cross_edges:
            core = assignments.get(dst)
            if core is not None:
                incoming[core] = incoming.get(core, 0) + 1

    result = resource.ResourceMap()
    total_weight = total_state = 0
    peak = 0.0
    violations = []
    for core_id, budget in budgets.items():
        budget.routing_bytes = incoming.get(core_id, 0) * 8
        budget.total_bytes = budget.weight_bytes + budget.state_bytes + budget.routing_bytes
        budget.utilization = budget.total_bytes / max(hw_spec.sram_bytes_per_core, 1)
        total_weight += budget.weight_bytes
        total_state += budget.state_bytes
        if budget.utilization > peak:
            peak = budget.utilization
        if budget.total_bytes > hw_spec.sram_bytes_per_core:
            violations.append(core_id)
    result.budgets = budgets
    result.total_weight_bytes = total_weight
    result.total_state_bytes = total_state
    result.peak_core_utilization = peak
    result.fits_hardware = len(violations) == 0
    result.violations = violations
    return result
