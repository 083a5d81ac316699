"""One mapping run: partition, then place, then allocate, on a fresh copy of the model.

The outcome keeps what each stage returned plus what the tool checks on top of it:
feedback edges that span too many hops, cores holding more nodes than a core can, cores the
placement left off the mesh, and cores over their SRAM. Any of these means the model does not
fit the chip with that algorithm.
"""

from __future__ import annotations

import dataclasses
import importlib
import re
import time
import warnings
from collections import Counter
from typing import Any

from zerav import ir
from zerav_map.chip import Chip
from zerav_map.errors import BackendMissing
from zerav_map.models import Model

# "mapping" is the joint partition and placement of zerav.graph.mapping (its own placement is
# kept; `place` is not run on it).
ALGORITHMS = ("greedy", "edgemap", "spectral", "mapping")

_DELAY_LINE = re.compile(
    r"^  (?P<src>.*) \(core (?P<src_core>-?\d+)\) -> (?P<dst>.*) \(core (?P<dst_core>-?\d+)\): "
    r"(?P<hops>-?\d+) hops > max_feedback_delay=(?P<limit>-?\d+)$"
)


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

    kind: str  # "capacity", "feedback-delay", "sram", "node-capacity", "unplaced", "error"
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
    traffic: dict[tuple[int, int], int] = dataclasses.field(default_factory=dict)
    unplaced: list[int] = dataclasses.field(default_factory=list)
    delay_problems: list[DelayProblem] = dataclasses.field(default_factory=list)
    problems: list[Problem] = dataclasses.field(default_factory=list)
    warnings: list[str] = dataclasses.field(default_factory=list)

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


def run(model: Model, chip: Chip, algorithm: str) -> Outcome:
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
                    out.placement = _mapping_module().map_graph(graph, hw, sram=True)
                else:
                    partition_mod.partition(graph, hw, algorithm)
            finally:
                out.warnings = [f"{w.category.__name__}: {w.message}" for w in caught]
    except ValueError as e:
        out.seconds = time.perf_counter() - start
        _partition_failure(out, str(e))
        return out
    except Exception as e:  # a partitioner that is not built, or a fault in one
        out.seconds = time.perf_counter() - start
        out.problems.append(Problem("error", f"partition failed: {type(e).__name__}: {e}"))
        return out
    meta = graph.partition_metadata
    out.partitioned = True
    out.assignments = dict(meta["assignments"])
    out.num_cores_used = meta["num_cores_used"]
    out.cross_core_edges = [tuple(e) for e in meta["cross_core_edges"]]
    out.feedback_edges = [tuple(e) for e in meta["feedback_edges"]]
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
    _check(out, graph, hw)
    return out


def _partition_failure(out: Outcome, message: str) -> None:
    first, _, rest = message.partition("\n")
    if first.startswith("Feedback delay constraint violated"):
        for line in rest.split("\n"):
            m = _DELAY_LINE.match(line)
            if m:
                out.delay_problems.append(
                    DelayProblem(
                        m["src"],
                        int(m["src_core"]),
                        m["dst"],
                        int(m["dst_core"]),
                        int(m["hops"]),
                        int(m["limit"]),
                    )
                )
        out.problems.append(
            Problem(
                "feedback-delay",
                first.rstrip(":") + ": they span more hops than the chip's feedback-delay limit",
            )
        )
    elif first.startswith("Graph requires more than"):
        out.problems.append(Problem("capacity", first))
    elif first.startswith(("Capacity cannot be met", "Core count cannot be met")):
        out.problems.append(Problem("capacity", first))
    elif first.startswith("Feedback delay cannot be met"):
        out.problems.append(Problem("feedback-delay", first))
    elif first.startswith("SRAM cannot be met"):
        out.problems.append(Problem("sram", first))
    else:
        out.problems.append(Problem("error", f"partition failed: ValueError: {message}"))


def _check(out: Outcome, graph: ir.Graph, hw) -> None:
    compute = {n for n, node in graph.nodes.items() if not isinstance(node, (ir.Input, ir.Output))}
    out.cores = sorted(set(out.assignments.values()))
    out.nodes_per_core = dict(sorted(Counter(c for n, c in out.assignments.items() if n in compute).items()))
    traffic: Counter = Counter()
    for src, dst in out.cross_core_edges:
        a, b = out.assignments.get(src), out.assignments.get(dst)
        if a is not None and b is not None and a != b:
            traffic[(min(a, b), max(a, b))] += 1
    out.traffic = dict(sorted(traffic.items()))

    over = [c for c, n in out.nodes_per_core.items() if n > hw.max_neurons_per_core]
    if over:
        out.problems.append(
            Problem(
                "node-capacity",
                f"{len(over)} core(s) hold more than {hw.max_neurons_per_core} compute nodes",
                over,
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
