"""One panel of the mesh picture: one mapping run on the chip's rows x cols cells.

A placed core's cell is filled by its SRAM use (greys up to 100 %, red beyond) with a band along
its top in the colours of the layers it holds, as wide as each layer's share of its nodes. A free
cell is pale. Cores over their SRAM or node capacity get a red or a dashed purple edge and their
numbers, also where the mesh is too wide for the other labels. The title names the run and its
result; the footer says what the panel cannot show (unplaced cores, the over-full ones, the
busiest link). On a chip without a mesh the cores are laid out in id order on a square-ish grid.
"""

from __future__ import annotations

import math
import textwrap
from dataclasses import dataclass

from zerav_map.chip import Chip
from zerav_map.mapping import PARTITIONERS, Outcome
from zerav_map.plot import traffic
from zerav_map.plot.colours import layer_colour

LABELLED = 20  # panels wider than this label only the over-full cores
CROP_FROM = 12
LISTED = 8  # cores named in a footer line before "... and N more"
_INSET, _SIDE = 0.04, 0.92
_BAND = 0.3  # the layer band's share of a cell's height
_FREE = dict(facecolor="#f4f4f4", edgecolor="#d4d4d4", linewidth=0.5)


@dataclass
class Style:
    cmap: object
    norm: object
    traffic: traffic.TrafficScale
    chars: int  # characters of footer text across the panel
    font: float  # cell label size in points
    capacity: int  # nodes a core holds


@dataclass
class Frame:
    """The mesh of a panel, the core of each cell, and the part of the mesh drawn: rows r0 to
    r1 - 1 and columns c0 to c1 - 1."""

    rows: int
    cols: int
    cells: dict[int, tuple[int, int]]
    r0: int
    r1: int
    c0: int
    c1: int

    @property
    def cropped(self) -> bool:
        return (self.r1 - self.r0, self.c1 - self.c0) != (self.rows, self.cols)


def frame(o: Outcome, chip: Chip) -> Frame:
    """The panel's frame. On a mesh more than ``CROP_FROM`` cells wide or high, a panel shows the
    block of used cells and one cell around it when that is at most half of the mesh, so a small
    mapping on a large chip keeps readable cells."""
    mesh = chip.hw.core_mesh_topology
    placed = dict(o.placement.logical_to_physical) if o.placement is not None else {}
    if mesh is None:
        cores = o.cores or sorted(placed)
        cols = max(1, math.ceil(math.sqrt(len(cores))))
        rows = max(1, math.ceil(len(cores) / cols))
        return Frame(rows, cols, {c: (i // cols, i % cols) for i, c in enumerate(cores)}, 0, rows, 0, cols)
    rows, cols = mesh
    cells = {c: tuple(p) for c, p in placed.items()}
    if max(rows, cols) <= CROP_FROM or not cells:
        return Frame(rows, cols, cells, 0, rows, 0, cols)
    used_rows = [p[0] for p in cells.values()]
    used_cols = [p[1] for p in cells.values()]
    r0, r1 = max(0, min(used_rows) - 1), min(rows, max(used_rows) + 2)
    c0, c1 = max(0, min(used_cols) - 1), min(cols, max(used_cols) + 2)
    if 2 * (r1 - r0) * (c1 - c0) > rows * cols:
        return Frame(rows, cols, cells, 0, rows, 0, cols)
    return Frame(rows, cols, cells, r0, r1, c0, c1)


def title(o: Outcome, chip: Chip) -> str:
    """The run and its result; on a mesh its hop distance, and the gain over the row-major layout
    only where ``place`` chose the cells (the joint mapping puts its cores where it wants them)
    and spikes cross cores."""
    head = f"{o.algorithm}: {o.status}"
    if o.placement is None or o.resources is None:
        return head
    pl = o.placement
    line = f"{len(o.cores)} core{'s' if len(o.cores) != 1 else ''}"
    if chip.hw.core_mesh_topology is not None:
        line += f", hop distance {pl.total_hop_distance}"
        if o.algorithm in PARTITIONERS and o.traffic:
            line += f", {pl.improvement:+.1f} % vs row-major"
    return f"{head}\n{line}"


def draw(ax, o: Outcome, chip: Chip, f: Frame, held: dict[int, list[tuple[int, int]]], style: Style) -> None:
    """The panel; ``held`` is core -> [(layer, nodes)]."""
    ax.set_aspect("equal")
    for side in ax.spines.values():
        side.set_visible(False)
    _axes(ax, f, chip.hw.core_mesh_topology is not None)
    ax.set_title(title(o, chip), fontsize=10)
    if o.placement is None or o.resources is None:
        _no_mapping(ax, o, chip, f)
        return
    flags = _flags(o, chip)
    _cells(ax, o, f, held, flags, style)
    volume = traffic.on_mesh(o.traffic, f.cells)
    busiest = traffic.draw(ax, volume, f.cells, f.rows, f.cols, style.traffic)
    ax.set_xlabel(
        _footer(o, chip, f, flags, busiest, style), fontsize=8.5, color="darkred" if o.unplaced else "black"
    )


def _axes(ax, f: Frame, mesh: bool) -> None:
    """Limits to the frame; on a mesh, its column numbers below and row numbers left."""
    ax.set_xlim(f.c0 - 0.1, f.c1 + 0.1)
    ax.set_ylim(f.rows - f.r1 - 0.1, f.rows - f.r0 + 0.1)
    ax.tick_params(length=0, labelsize=6.5, pad=1)
    if not mesh:
        ax.set_xticks([])
        ax.set_yticks([])
        return
    step = max(1, math.ceil(max(f.r1 - f.r0, f.c1 - f.c0) / 16))
    columns = range(f.c0, f.c1, step)
    rows = range(f.r0, f.r1, step)
    ax.set_xticks([c + 0.5 for c in columns], [str(c) for c in columns])
    ax.set_yticks([f.rows - 1 - r + 0.5 for r in rows], [str(r) for r in rows])


def _no_mapping(ax, o: Outcome, chip: Chip, f: Frame) -> None:
    """The empty mesh, and why there is no mapping on it."""
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Rectangle

    if chip.hw.core_mesh_topology is not None:
        squares = [
            Rectangle((c + _INSET, r + _INSET), _SIDE, _SIDE) for r in range(f.rows) for c in range(f.cols)
        ]
        ax.add_collection(PatchCollection(squares, zorder=1, **_FREE))
    reason = "; ".join(p.message for p in o.problems) or "no mapping"
    ax.text(
        0.5,
        0.5,
        textwrap.fill(reason, 40),
        ha="center",
        va="center",
        transform=ax.transAxes,
        fontsize=9,
        color="darkred",
        zorder=5,
        bbox=dict(boxstyle="round,pad=0.5", facecolor="white", edgecolor="darkred"),
    )


@dataclass
class _Flags:
    over_sram: dict[int, float]  # core -> SRAM use beyond 1.0
    crowded: dict[int, int]  # core -> compute nodes beyond the node capacity


def _flags(o: Outcome, chip: Chip) -> _Flags:
    sram = chip.hw.sram_bytes_per_core
    over = {c: b.utilization for c, b in o.resources.budgets.items() if b.total_bytes > sram}
    crowded = {
        c: o.nodes_per_core.get(c, 0) for p in o.problems if p.kind == "node-capacity" for c in p.cores
    }
    return _Flags(over, crowded)


def _cells(ax, o: Outcome, f: Frame, held, flags: _Flags, style: Style) -> None:
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Rectangle

    occupied = {pos: core for core, pos in f.cells.items()}
    labelled = f.c1 - f.c0 <= LABELLED
    free, fills, bands, edges = [], [], [], []
    body_h = _SIDE * (1 - _BAND)
    for r in range(f.r0, f.r1):
        for c in range(f.c0, f.c1):
            x, y = c + _INSET, f.rows - 1 - r + _INSET  # row 0 at the top, as a mesh is usually drawn
            core = occupied.get((r, c))
            if core is None:
                free.append(Rectangle((x, y), _SIDE, _SIDE))
                continue
            b = o.resources.budgets.get(core)
            over, crowded = core in flags.over_sram, core in flags.crowded
            fill = style.cmap(style.norm(b.utilization)) if b is not None else "white"
            fills.append(Rectangle((x, y), _SIDE, body_h, facecolor=fill, linewidth=0))
            parts = held.get(core, [])
            total = sum(n for _, n in parts) or 1
            left = x
            for layer, n in parts:
                w = _SIDE * n / total
                bands.append(
                    Rectangle(
                        (left, y + body_h), w, _SIDE * _BAND, facecolor=layer_colour(layer), linewidth=0
                    )
                )
                left += w
            edges.append(
                Rectangle(
                    (x, y),
                    _SIDE,
                    _SIDE,
                    facecolor="none",
                    edgecolor="red" if over else ("purple" if crowded else "#555555"),
                    linestyle="--" if crowded and not over else "-",
                    linewidth=2.0 if over or crowded else 0.6,
                )
            )
            if labelled or over or crowded:
                _label(ax, core, b, x, y, body_h, fill, flags, style, full=labelled)
    ax.add_collection(PatchCollection(free, zorder=1, **_FREE))
    for patches in (fills, bands):
        ax.add_collection(PatchCollection(patches, zorder=1, match_original=True))
    ax.add_collection(PatchCollection(edges, zorder=2, match_original=True))


def _label(
    ax, core: int, b, x: float, y: float, h: float, fill, flags: _Flags, style: Style, full: bool
) -> None:
    """The core's id and SRAM use (``full``), or only the numbers of what is over: the SRAM use over
    100 %, the nodes over the node capacity as "nodes/capacity"."""
    lines = [str(core)] if full else []
    if b is None:
        lines.append("I/O")
    elif full or core in flags.over_sram:
        lines.append(f"{100 * b.utilization:.0f}%")
    if core in flags.crowded:
        lines.append(f"{flags.crowded[core]}/{style.capacity}")
    over = core in flags.over_sram
    dark = over or (b is not None and style.norm(b.utilization) > 0.6)
    # The label sits on a patch of the cell's own colour so traffic lines crossing the cell do not
    # hide it.
    ax.text(
        x + _SIDE / 2,
        y + h / 2,
        "\n".join(lines),
        ha="center",
        va="center",
        fontsize=style.font if full else max(style.font, 4.5),
        color="white" if dark else "black",
        fontweight="bold" if over or core in flags.crowded else "normal",
        zorder=4,
        linespacing=1.05,
        bbox=dict(boxstyle="round,pad=0.1", facecolor=fill, edgecolor="none", alpha=0.9),
    )


def _cores(values: dict[int, object], fmt) -> str:
    shown = [fmt(c, v) for c, v in sorted(values.items())[:LISTED]]
    more = len(values) - LISTED
    return ", ".join(shown) + (f" ... and {more} more" if more > 0 else "")


def _footer(o: Outcome, chip: Chip, f: Frame, flags: _Flags, busiest: int, style: Style) -> str:
    lines = []
    if f.cropped:
        lines.append(
            f"rows {f.r0}-{f.r1 - 1} and columns {f.c0}-{f.c1 - 1} of the {f.rows} x {f.cols} mesh"
            " (the other cells are free)"
        )
    if busiest:
        edges = f"{busiest} edge{'s' if busiest != 1 else ''}"
        if style.traffic.links:
            lines.append(
                f"busiest mesh link: {edges} (both directions; each pair's edges routed along the row,"
                " then the column)"
            )
        else:
            lines.append(f"heaviest pair of cores: {edges}")
    elif o.traffic:
        lines.append("no spikes cross between cores on the mesh")
    else:
        lines.append("no spikes cross between cores")
    if flags.over_sram:
        lines.append("over SRAM (red): " + _cores(flags.over_sram, lambda c, u: f"core {c}: {100 * u:.0f} %"))
    if flags.crowded:
        lines.append(
            f"over {style.capacity} nodes (purple dashed, nodes/capacity): "
            + _cores(flags.crowded, lambda c, n: f"core {c}: {n} nodes")
        )
    if o.unplaced:
        lines.append("unplaced cores: " + _cores(dict.fromkeys(o.unplaced), lambda c, _: str(c)))
    if chip.hw.core_mesh_topology is None:
        lines.append("no mesh: cores in id order")
    return "\n".join(textwrap.fill(line, style.chars) for line in lines)
