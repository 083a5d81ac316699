"""The text report: header, per-algorithm summary, per-core budgets and the problems found."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence

from zerav_map.chip import Chip
from zerav_map.mapping import Outcome
from zerav_map.models import Model
from zerav_map.version import tool_version

# Partitioner metrics shown in the summary besides the fixed rows, with their labels.
_EXTRA_METRICS = (
    ("balance_stddev", "balance (std/mean)"),
    ("refinement_iterations", "refinement passes"),
    ("improvement_over_greedy", "cut edges saved vs greedy"),
    ("num_partitions", "spectral parts"),
    ("max_link_load", "busiest link (edges)"),
)
_PROBLEM_LABELS = {
    "sram": "over SRAM",
    "node-capacity": "over capacity",
    "neuron-capacity": "over neurons",
    "unplaced": "unplaced",
}
# Long lists stop after this many rows (the per-core table, too-long feedback edges, warnings,
# notes) or core ids (a problem's cores); --json has them all.
ROWS = 40
CORE_IDS = 16


def more(shown: int, total: int, indent: str = "  ") -> list[str]:
    """The line that ends a cut list: "... and N more (see --json)"."""
    return [f"{indent}... and {total - shown} more (see --json)"] if total > shown else []


def _size(n: int) -> str:
    """Bytes for a table column: one decimal of KiB from 1 KiB up, so the column lines up."""
    return f"{n} B" if n < 1024 else f"{n / 1024:.1f} KiB"


def table(
    header: Sequence[str],
    rows: Iterable[Sequence[object]],
    right: Sequence[bool] | None = None,
    indent: str = "  ",
) -> list[str]:
    """Columns padded to their widest cell; ``right`` marks right-aligned columns."""
    rows = [[str(c) for c in row] for row in rows]
    header = [str(h) for h in header]
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    right = list(right) if right is not None else [False] * len(header)

    def line(cells):
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return (indent + "  ".join(parts)).rstrip()

    out = [line(header), indent + "  ".join("-" * w for w in widths)]
    out += [line(r) for r in rows]
    return out


def _num(value, fmt: str = "{}") -> str:
    if value is None:
        return "-"
    if isinstance(value, float) and not math.isfinite(value):
        return "n/a"
    return fmt.format(value)


def _pct(value) -> str:
    return _num(None if value is None else 100.0 * value, "{:.1f} %")


def header_lines(model: Model, chip: Chip) -> list[str]:
    c = model.counts()
    return [
        f"zerav-map {tool_version()}",
        f"model  {model.name} ({model.source}): {c['nodes']} nodes ({c['compute_nodes']} "
        f"compute, {c['inputs']} input(s), {c['outputs']} output(s)), {c['edges']} edges",
        f"chip   {chip.name}: {chip.describe()}",
    ]


def lowering_lines(model: Model) -> list[str]:
    low = model.lowering
    if low is None:
        return []
    out = [
        f"Lowering into neuron groups ({low.seconds * 1000:.1f} ms): groups of at most {low.group_size} "
        f"neurons, block policy '{low.policy}', {low.edges} group edges"
    ]
    out += [f"  derived: {d}" for d in low.derived]
    rows = [
        [
            r.name,
            r.kind,
            "x".join(map(str, r.shape)),
            r.neurons,
            r.group_size,
            r.groups,
            _size(r.bytes_per_group),
            f"x{r.kernel_copies}",
        ]
        for r in low.layers[:ROWS]
    ]
    head = ["layer", "kind", "shape", "neurons", "group size", "groups", "bytes/group", "kernel copies"]
    out += table(head, rows, right=[False, False, True, True, True, True, True, True])
    out += more(len(rows), len(low.layers))
    out += [f"  note: {n}" for n in low.notes[:ROWS]] + more(ROWS, len(low.notes))
    return out


def summary_lines(outcomes: Sequence[Outcome]) -> list[str]:
    def row(label, get):
        return [label] + [get(o) for o in outcomes]

    def part(get):
        return lambda o: get(o) if o.partitioned else "-"

    def mapped(get):
        return lambda o: get(o) if o.resources is not None else "-"

    rows = [
        row("result", lambda o: o.status),
        row("cores used", part(lambda o: o.num_cores_used)),
        row("cut ratio", part(lambda o: _num(o.metrics.get("cut_ratio"), "{:.3f}"))),
        row("cross-core edges", part(lambda o: len(o.cross_core_edges))),
        row("feedback edges", part(lambda o: len(o.feedback_edges))),
        row("hop distance", mapped(lambda o: o.placement.total_hop_distance)),
        # The joint mapping places as it partitions: no row-major layout to gain over.
        row(
            "placement gain",
            mapped(lambda o: "-" if o.algorithm == "mapping" else _num(o.placement.improvement, "{:.1f} %")),
        ),
        row("peak SRAM use", mapped(lambda o: _pct(o.resources.peak_core_utilization))),
        row("SRAM violations", mapped(lambda o: len(o.resources.violations))),
        row("over-capacity cores", mapped(lambda o: _count(o, "node-capacity"))),
        row("unplaced cores", mapped(lambda o: len(o.unplaced))),
    ]
    for key, label in _EXTRA_METRICS:
        if any(key in o.metrics for o in outcomes):
            fmt = "{:.3f}" if key == "balance_stddev" else "{}"
            rows.append(
                row(
                    label,
                    lambda o, k=key, f=fmt: (
                        _num(o.metrics.get(k), f) if o.partitioned and k in o.metrics else "-"
                    ),
                )
            )
    rows.append(row("time", lambda o: f"{o.seconds * 1000:.1f} ms"))
    header = ["Summary"] + [o.algorithm for o in outcomes]
    return table(header, rows, right=[False] + [True] * len(outcomes), indent="")


def _count(o: Outcome, kind: str) -> int:
    return sum(len(p.cores) for p in o.problems if p.kind == kind)


def budget_lines(o: Outcome) -> list[str]:
    if o.resources is None:
        return []
    flagged = {}
    for p in o.problems:
        for c in p.cores:
            flagged.setdefault(c, []).append(_PROBLEM_LABELS.get(p.kind, p.kind))
    rows = []
    for core in o.cores[:ROWS]:
        b = o.budget(core)
        pos = o.position(core)
        where = f"({pos[0]}, {pos[1]})" if pos is not None else "-"
        if b is None:  # a core holding only Input and Output nodes
            rows.append([core, where, 0, "-", "-", "-", "-", "-", "-", ", ".join(flagged.get(core, []))])
            continue
        rows.append(
            [
                core,
                where,
                b.neuron_count,  # the budget's name for its count of nodes
                o.neurons_per_core.get(core, "-"),
                _size(b.weight_bytes),
                _size(b.state_bytes),
                _size(b.routing_bytes),
                _size(b.total_bytes),
                _pct(b.utilization),
                ", ".join(flagged.get(core, [])),
            ]
        )
    head = [
        "core",
        "mesh",
        "nodes",
        "neurons",
        "weights",
        "state",
        "routing",
        "total",
        "SRAM use",
        "problems",
    ]
    out = [f"Per-core budgets ({o.algorithm})"]
    out += table(head, rows, right=[True, False, True, True, True, True, True, True, True, False])
    out += more(len(rows), len(o.cores))
    res = o.resources
    out.append(
        f"  all cores: {_size(res.total_weight_bytes)} of weights, "
        f"{_size(res.total_state_bytes)} of neuron state"
    )
    return out


def problem_lines(o: Outcome) -> list[str]:
    out = [f"Problems ({o.algorithm})"]
    if not o.problems:
        out.append("  none")
    for p in o.problems:
        cores = f": cores {', '.join(map(str, p.cores[:CORE_IDS]))}" if p.cores else ""
        if len(p.cores) > CORE_IDS:
            cores += f" ... and {len(p.cores) - CORE_IDS} more (see --json)"
        out.append(f"  {p.kind}: {p.message}{cores}")
    if o.delay_problems:
        out.append("")
        out.append(f"Feedback-delay problems ({o.algorithm})")
        rows = [[d.src, d.src_core, d.dst, d.dst_core, d.hops, d.limit] for d in o.delay_problems[:ROWS]]
        out += table(
            ["from", "core", "to", "core", "hops", "limit"],
            rows,
            right=[False, True, False, True, True, True],
        )
        out += more(len(rows), len(o.delay_problems))
    if o.warnings:
        out.append("")
        out.append(f"Warnings ({o.algorithm})")
        out += [f"  {w}" for w in o.warnings[:ROWS]] + more(ROWS, len(o.warnings))
    return out


def verdict(outcomes: Sequence[Outcome]) -> str:
    good = [o.algorithm for o in outcomes if o.fits]
    bad = [o.algorithm for o in outcomes if not o.fits]
    if len(outcomes) == 1:
        o = outcomes[0]
        if o.fits:
            return f"Result: the model fits the chip ({o.algorithm})."
        kinds = ", ".join(dict.fromkeys(p.kind for p in o.problems))
        return f"Result: the model does not fit the chip ({o.algorithm}: {kinds})."
    parts = []
    if good:
        parts.append(f"fits with {', '.join(good)}")
    if bad:
        parts.append(f"does not fit with {', '.join(bad)}")
    return "Result: the model " + "; ".join(parts) + "."


def render(model: Model, chip: Chip, outcomes: Sequence[Outcome], detail: bool, advice=None) -> str:
    """The whole report. ``detail`` adds each outcome's per-core budget table; the cost per step
    follows the problems when the model carries an activity; ``advice`` (why the model does
    not fit and what to change) ends it."""
    lines = header_lines(model, chip) + [""]
    lowering = lowering_lines(model)
    if lowering:
        lines += lowering + [""]
    lines += summary_lines(outcomes)
    for o in outcomes:
        if detail:
            budget = budget_lines(o)
            if budget:
                lines += [""] + budget
        lines += [""] + problem_lines(o)
    from zerav_map.costreport import cost_lines

    cost = cost_lines(outcomes, chip, model.activity)
    if cost:
        lines += [""] + cost
    lines += ["", verdict(outcomes)]
    if advice is not None:
        lines += advice.lines()
    return "\n".join(lines) + "\n"
