"""One mapping run: partition, then place, then allocate, on a fresh copy of the model.

The outcome keeps what each stage returned plus what the tool checks on top of it:
feedback edges that span too many hops, cores holding more nodes than a core can, cores the
placement left off the mesh, and cores over their SRAM. Any of these means the model does not
fit the chip with that algorithm.
"""

from __future__ import annotations

import dataclasses
import importlib
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from zerav import ir
from zerav_map.chip import Chip
from zerav_map.errors import BackendMissing
from zerav_map.models import Model

# The partitioner of each algorithm: (partition module, graph, hw) -> PartitionResult. A new
# partitioner adds its entry here and its name in ``choices``; the rest of the pipeline
# (feedback-delay check, write-back, placement, SRAM budgets, the tool's checks) is shared.
PARTITIONERS: dict[str, Callable[[Any, Any, Any], Any]] = {
    "greedy": lambda mod, graph, hw: mod.partition_greedy(graph, hw),
    "edgemap": lambda mod, graph, hw: mod.partition_edgemap(graph, hw),
    "spectral": lambda mod, graph, hw: mod.partition_spectral(graph, hw),
}
# "mapping" is the joint partition and placement of zerav.graph.mapping: it writes the graph
# itself and its own placement is kept (`place` is not run on it).


@dataclasses.dataclass
class DelayProblem:
    src: str
    src_core: int
    dst: str
    dst_core: int
    hops: int
    limit: int


@dataclasses.dataclass
class Problem:
    """Why a mapping does not fit: a kind and a sentence."""

    kind: str  # "capacity", "feedback-delay", "sram", "node-capacity", "neuron-capacity", "unplaced", "error"
    message: str
    cores: list[int] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Outcome:
    algorithm: str
    seconds: float = 0.0
    partitioned: bool = False
    assignments: dict[str, int] = dataclasses.field(default_factory=dict)
    num_cores_used: int = 0
    cross_core_edges: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    feedback_edges: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    metrics: dict[str, Any] = dataclasses.field(default_factory=dict)
    placement: Any = None  # PlacementResult
    resources: Any = None  # ResourceMap
    cores: list[int] = dataclasses.field(default_factory=list)
    nodes_per_core: dict[int, int] = dataclasses.field(default_factory=dict)
    neurons_per_core: dict[int, int] = dataclasses.field(default_factory=dict)
    traffic: dict[tuple[int, int], int] = dataclasses.field(default_factory=dict)
    unplaced: list[int] = dataclasses.field(default_factory=list)
    delay_problems: list[DelayProblem] = dataclasses.field(default_factory=list)
    problems: list[Problem] = dataclasses.field(default_factory=list)
    warnings: list[str] = dataclasses.field(default_factory=list)
    cost: Any = None  # what the mapping costs per step under the activity (cost.Cost)

    @property
    def fits(self) -> bool:
        return self.partitioned and not self.problems

    @property
    def status(self) -> str:
        if self.fits:
            return "fits"
        if any(p.kind == "error" for p in self.problems):
            return "error"
        return "does not fit"

    def position(self, core: int) -> tuple[int, int] | None:
        if self.placement is None:
            return None
        pos = self.placement.logical_to_physical.get(core)
        return tuple(pos) if pos is not None else None

    def budget(self, core: int):
        if self.resources is None:
            return None
        return self.resources.budgets.get(core)


def backend():
    """The three back-end modules, imported; ``BackendMissing`` names one that is absent."""
    mods = []
    for name in ("partition", "placement", "resource"):
        try:
            mods.append(importlib.import_module(f"zerav.graph.{name}"))
        except ImportError as e:
            raise BackendMissing(
                f"the back-end module zerav.graph.{name} cannot be imported "
                f"({e}); build it with scripts/setup.sh"
            ) from None
    return tuple(mods)


def _mapping_module():
    try:
        return importlib.import_module("zerav.graph.mapping")
    except ImportError as e:
        raise BackendMissing(
            f"the back-end module zerav.graph.mapping cannot be imported ({e}); build it with scripts/setup.sh"
        ) from None


def run(model: Model, chip: Chip, algorithm: str, rates: dict[str, float] | None = None) -> Outcome:
    """One mapping run of ``algorithm``; a model that does not fit is an outcome with problems.
    ``rates`` (spikes per step of each node) weight the joint mapping's multicast traffic."""
    partition_mod, placement_mod, resource_mod = backend()
    out = Outcome(algorithm=algorithm)
    graph = model.fresh_graph()
    hw = chip.hw
    start = time.perf_counter()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                if algorithm == "mapping":
                    out.placement = _mapping_module().map_graph(graph, hw, sram=True, rates=rates)
                    result = None
                else:
                    result = PARTITIONERS[algorithm](partition_mod, graph, hw)
            finally:
                out.warnings = [f"{w.category.__name__}: {w.message}" for w in caught]
    except ValueError as e:
        out.seconds = time.perf_counter() - start
        out.problems.append(
            classify_failure(e, algorithm, lambda: _cores_needed(model, hw, algorithm, partition_mod))
        )
        return out
    except Exception as e:  # a partitioner that is not built, or a fault in one
        out.seconds = time.perf_counter() - start
        out.problems.append(Problem("error", f"partition failed: {type(e).__name__}: {e}"))
        return out
    if result is not None:
        if _too_long_feedback(out, result, hw):
            out.seconds = time.perf_counter() - start
            return out
        _record_partition(graph, result, algorithm)
    meta = graph.partition_metadata
    out.partitioned = True
    out.assignments = meta["assignments"]
    out.num_cores_used = meta["num_cores_used"]
    out.cross_core_edges = meta["cross_core_edges"]
    out.feedback_edges = meta["feedback_edges"]
    out.metrics = dict(meta["metrics"])
    try:
        if out.placement is None:
            out.placement = placement_mod.place(graph, hw)
        out.resources = resource_mod.allocate(graph, hw)
    except Exception as e:
        out.seconds = time.perf_counter() - start
        stage = "placement" if out.placement is None else "resource allocation"
        out.problems.append(Problem("error", f"{stage} failed: {type(e).__name__}: {e}"))
        return out
    out.seconds = time.perf_counter() - start
    _check(out, model, graph, chip)
    return out


def _too_long_feedback(out: Outcome, result, hw) -> bool:
    """The feedback-delay check of the ``partition`` entry point (public in the mapping module)
    on the partitioner's result; True when some feedback edge is too long."""
    if not (result.feedback_edges and hw.max_feedback_delay >= 0):
        return False
    assignments = result.assignments
    violations = _mapping_module().check_feedback_delay(result.feedback_edges, assignments, hw)
    if not violations:
        return False
    for src, dst, hops, limit in violations:
        out.delay_problems.append(DelayProblem(src, assignments[src], dst, assignments[dst], hops, limit))
    out.problems.append(
        Problem(
            "feedback-delay",
            f"Feedback delay constraint violated for {len(violations)} edge(s): they span more hops "
            "than the chip's feedback-delay limit",
        )
    )
    return True


def _record_partition(graph: ir.Graph, result, algorithm: str) -> None:
    """Write the result into the graph as the ``partition`` entry point does: each node's
    ``core_id``, then ``partition_metadata``, which placement and the SRAM budgets read."""
    nodes = graph.nodes
    for name, core in result.assignments.items():
        node = nodes[name]
        if hasattr(node, "core_id"):
            node.core_id = core
    graph.partition_metadata = {
        "assignments": result.assignments,
        "num_cores_used": result.num_cores_used,
        "cross_core_edges": result.cross_core_edges,
        "feedback_edges": result.feedback_edges,
        "algorithm": algorithm,
        "metrics": result.metrics,
    }


# The problem kind of each constraint a MappingError names.
_MAPPING_KINDS = {"capacity": "capacity", "sram": "sram", "delay": "feedback-delay"}


def classify_failure(error: ValueError, algorithm: str, cores_needed: Callable[[], int | None]) -> Problem:
    """The problem a partitioner's or the joint mapping's ``ValueError`` stands for: its first
    line, verbatim, under the constraint it names. Greedy's "requires more than N cores" gets
    the count it lacks (``cores_needed``, run only then). The one place that sorts failures."""
    message = str(error)
    first = message.partition("\n")[0]
    # A MappingError can only come from the mapping module, so it is imported when one is raised.
    mapping_mod = sys.modules.get("zerav.graph.mapping")
    if mapping_mod is not None and isinstance(error, mapping_mod.MappingError):
        return Problem(_MAPPING_KINDS[error.constraint], first)
    if first.startswith("Graph requires more than"):  # the partitioners' one failure, a fixed text
        needed = cores_needed()
        if needed is not None:
            first += f" ({algorithm} needs {needed} cores)"
        return Problem("capacity", first)
    return Problem("error", f"partition failed: ValueError: {message}")


def _cores_needed(model: Model, hw, algorithm: str, partition_mod) -> int | None:
    """How many cores the partitioner uses when the chip has one per node: the count its
    "requires more than" message leaves out."""
    if algorithm not in PARTITIONERS:
        return None
    roomy = dataclasses.replace(hw, num_cores=max(1, len(model.graph.nodes)), core_mesh_topology=None)
    try:
        return PARTITIONERS[algorithm](partition_mod, model.fresh_graph(), roomy).num_cores_used
    except ValueError:
        return None


def node_bytes(model: Model, hw) -> dict[str, int]:
    """The SRAM bytes of every compute node alone on a core, as the budget module counts
    them: weights, state and the routing bytes of every edge into it."""
    resource_mod = backend()[2]
    graph = model.fresh_graph()
    names = []
    for name, node in graph.nodes.items():
        if not isinstance(node, (ir.Input, ir.Output)) and hasattr(node, "core_id"):
            node.core_id = len(names)
            names.append(name)
    cores = {name: i for i, name in enumerate(names)}
    graph.partition_metadata = {
        "assignments": cores,
        "cross_core_edges": [(s, d) for s, d in set(graph.edges) if d in cores and s != d],
    }
    budgets = resource_mod.allocate(graph, hw).budgets
    return {name: budgets[i].total_bytes for i, name in enumerate(names) if i in budgets}


def _check(out: Outcome, model: Model, graph: ir.Graph, chip: Chip) -> None:
    hw = chip.hw
    names = list(graph.nodes)
    compute = np.array([not isinstance(n, (ir.Input, ir.Output)) for n in graph.nodes.values()], dtype=bool)
    core_of = np.array([out.assignments.get(n, -1) for n in names], dtype=np.int64)
    used = core_of[core_of >= 0]
    out.cores = np.unique(used).tolist()
    counted = np.unique(core_of[compute & (core_of >= 0)], return_counts=True)
    out.nodes_per_core = dict(zip(counted[0].tolist(), counted[1].tolist()))
    src, dst = edge_ids(model, names)
    a, b = core_of[src], core_of[dst]
    cross = (a != b) & (a >= 0) & (b >= 0)
    out.traffic = _pair_counts(np.minimum(a[cross], b[cross]), np.maximum(a[cross], b[cross]))

    over = [c for c, n in out.nodes_per_core.items() if n > hw.max_neurons_per_core]
    if over:
        out.problems.append(
            Problem(
                "node-capacity",
                f"{len(over)} core(s) hold more than {hw.max_neurons_per_core} compute nodes",
                over,
            )
        )
    if model.neurons:
        weight = np.array([model.neurons.get(n, 0) for n in names], dtype=np.int64)
        keep = compute & (core_of >= 0)
        load = np.bincount(core_of[keep], weights=weight[keep]).astype(np.int64) if keep.any() else weight[:0]
        out.neurons_per_core = {int(c): int(load[c]) for c in out.cores if c < len(load)}
        crowded = [c for c, n in out.neurons_per_core.items() if n > chip.neurons_per_core]
        if crowded:
            most = max(out.neurons_per_core[c] for c in crowded)
            out.problems.append(
                Problem(
                    "neuron-capacity",
                    f"{len(crowded)} core(s) run more than {chip.neurons_per_core:,} neurons "
                    f"(the fullest {most:,})",
                    crowded,
                )
            )
    placed = out.placement.logical_to_physical
    out.unplaced = [c for c in out.cores if c not in placed]
    # A core holding only Input and Output nodes runs nothing, so it may stay off the mesh.
    lost = [c for c in out.unplaced if c in out.nodes_per_core]
    if lost:
        out.problems.append(
            Problem("unplaced", f"{len(lost)} core(s) with compute nodes got no place on the mesh", lost)
        )
    res = out.resources
    if res.violations:
        out.problems.append(
            Problem(
                "sram",
                f"{len(res.violations)} core(s) need more than {hw.sram_bytes_per_core} bytes of SRAM",
                list(res.violations),
            )
        )


def _pair_counts(low: np.ndarray, high: np.ndarray) -> dict[tuple[int, int], int]:
    """{(low, high): how often} in ascending order: one counting pass while the pair table is
    small (cores number in the hundreds), a sort otherwise."""
    if len(low) == 0:
        return {}
    n = int(high.max()) + 1
    if n * n <= 1 << 24:
        counts = np.bincount(low * n + high, minlength=n * n)
        pairs = np.flatnonzero(counts)
        counts = counts[pairs]
    else:
        n = 1 << 32
        pairs, counts = np.unique(low * n + high, return_counts=True)
    return {(int(p // n), int(p % n)): int(c) for p, c in zip(pairs.tolist(), counts.tolist())}


def edge_ids(model: Model, names: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """Node indices of the model's edges (a lowered model keeps them as arrays)."""
    if model.edge_ids is not None:
        return model.edge_ids
    index = {n: i for i, n in enumerate(names)}
    ids = np.array([(index[s], index[d]) for s, d in model.graph.edges], dtype=np.int64).reshape(-1, 2)
    return ids[:, 0], ids[:, 1]
