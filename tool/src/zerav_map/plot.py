"""A picture of the mesh for each run: cores coloured by SRAM use, traffic as weighted lines.

Each panel draws the chip's rows x cols cells. A placed core is filled by its SRAM utilisation
(a cell over 100 % gets a thick red edge and a bold label); a free cell is grey. A line
joins two cores for each pair that exchanges spikes, its width proportional to the number of
cross-core edges between them. With more than ``_PAIR_LINES`` such pairs (a lowered model on
hundreds of cores) the lines would hide the mesh, so the panel draws the load of each mesh
link instead: every pair's edges routed along the row, then the column, summed per link and
drawn as the link's colour and width; cell labels are left out on meshes wider than
``_LABELLED``. Cores the placement left off the mesh are listed under the
panel; a core holding more nodes than a core can gets a dashed purple edge. On a chip without a
mesh the cores are laid out in id order on a square-ish grid.
"""

from __future__ import annotations

import math
import os
import textwrap
from collections.abc import Sequence

import numpy as np

from zerav_map.chip import Chip
from zerav_map.errors import BackendMissing, InputError
from zerav_map.mapping import Outcome
from zerav_map.models import Model

FORMATS = (".png", ".svg")
_PAIR_LINES = 150
_LABELLED = 20


def check_path(path: str) -> None:
    """Refuse an output path the plot cannot be written to, before any mapping work."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise InputError(f"{path}: the plot file must end in .png or .svg")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise InputError(f"{path}: the folder {folder} does not exist")
    _matplotlib()


def _matplotlib():
    try:
        import matplotlib
    except ImportError:
        raise BackendMissing("--plot needs matplotlib: pip install matplotlib") from None
    matplotlib.use("Agg")
    return matplotlib


def _layout(o: Outcome, chip: Chip) -> tuple[int, int, dict[int, tuple[int, int]]]:
    """(rows, cols, core -> cell) for the panel."""
    mesh = chip.hw.core_mesh_topology
    placed = dict(o.placement.logical_to_physical) if o.placement is not None else {}
    if mesh is not None:
        return mesh[0], mesh[1], {c: tuple(p) for c, p in placed.items()}
    cores = o.cores or sorted(placed)
    cols = max(1, math.ceil(math.sqrt(len(cores))))
    rows = max(1, math.ceil(len(cores) / cols))
    return rows, cols, {c: (i // cols, i % cols) for i, c in enumerate(cores)}


_EMPTY_CELL = dict(facecolor="#eeeeee", edgecolor="#cccccc", linewidth=0.5)


def _cell(ax, x: float, y: float, **style) -> None:
    """One mesh cell: a square inset in its unit square, drawn below the labels and links."""
    from matplotlib.patches import Rectangle

    ax.add_patch(Rectangle((x + 0.04, y + 0.04), 0.92, 0.92, zorder=1, **style))


def _panel(fig, ax, model: Model, chip: Chip, o: Outcome, cmap, norm) -> None:
    ax.set_aspect("equal")
    ax.set_xticks([])
    ax.set_yticks([])
    for side in ax.spines.values():
        side.set_visible(False)
    rows, cols, cells = _layout(o, chip)
    if o.placement is None or o.resources is None:
        # No mapping to draw: the empty mesh, and why.
        if chip.hw.core_mesh_topology is not None:
            for r in range(rows):
                for c in range(cols):
                    _cell(ax, c, r, **_EMPTY_CELL)
            ax.set_xlim(-0.1, cols + 0.1)
            ax.set_ylim(-0.1, rows + 0.1)
        reason = "; ".join(p.message for p in o.problems) or "no mapping"
        ax.set_title(f"{o.algorithm}: {o.status}", fontsize=10)
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
        return
    size = max(rows, cols)
    font = max(4.5, min(9.0, 70.0 / size))
    budgets = o.resources.budgets
    sram = chip.hw.sram_bytes_per_core
    crowded_cores = {c for p in o.problems if p.kind == "node-capacity" for c in p.cores}
    # Row 0 at the top, as the mesh is usually drawn.
    occupied = {pos: core for core, pos in cells.items()}
    for r in range(rows):
        for c in range(cols):
            core = occupied.get((r, c))
            x, y = c, rows - 1 - r
            if core is None:
                _cell(ax, x, y, **_EMPTY_CELL)
                continue
            b = budgets.get(core)
            util = b.utilization if b is not None else 0.0
            over = b is not None and b.total_bytes > sram
            crowded = core in crowded_cores
            _cell(
                ax,
                x,
                y,
                facecolor=cmap(norm(util)) if b is not None else "white",
                edgecolor="red" if over else ("purple" if crowded else "#555555"),
                linestyle="--" if crowded and not over else "-",
                linewidth=2.0 if over or crowded else 0.6,
            )
            if size > _LABELLED:
                continue
            label = f"{core}\n{100 * util:.0f}%" if b is not None else f"{core}\nI/O"
            fill = cmap(norm(util)) if b is not None else "white"
            # The label sits on a patch of the cell's own colour so traffic lines crossing the
            # cell do not hide it.
            ax.text(
                x + 0.5,
                y + 0.5,
                label,
                ha="center",
                va="center",
                fontsize=font,
                color="white" if norm(util) > 0.6 else "black",
                fontweight="bold" if over else "normal",
                zorder=4,
                linespacing=1.1,
                bbox=dict(boxstyle="round,pad=0.15", facecolor=fill, edgecolor="none", alpha=0.9),
            )
    volume = {pair: n for pair, n in o.traffic.items() if pair[0] in cells and pair[1] in cells}
    if len(volume) > _PAIR_LINES:
        top = _link_load(ax, volume, cells, rows, cols)
        key_title = "link load"
    else:
        top = _pair_lines(ax, volume, cells, rows)
        key_title = "traffic"
    ax.set_xlim(-0.1, cols + 0.1)
    ax.set_ylim(-0.1, rows + 0.1)
    pl = o.placement
    ax.set_title(
        f"{o.algorithm}: {o.status} — {len(o.cores)} cores, hop distance "
        f"{pl.total_hop_distance}, {pl.improvement:+.1f} % vs row-major",
        fontsize=10,
    )
    unplaced = ", ".join(map(str, o.unplaced)) if o.unplaced else "none"
    if len(o.unplaced) > 12:
        unplaced = f"{len(o.unplaced)} ({', '.join(map(str, o.unplaced[:12]))}, ...)"
    note = f"unplaced cores: {unplaced}    busiest {'link' if key_title == 'traffic' else 'mesh link'}: {top} edges"
    if key_title == "link load":
        note += "    (each pair's edges routed along the row, then the column)"
    if crowded_cores or o.resources.violations:
        note += "    red edge: over SRAM, purple dashed: over node capacity"
    if chip.hw.core_mesh_topology is None:
        note += "    (no mesh: cores in id order)"
    ax.text(
        0.5,
        -0.03,
        textwrap.fill(note, 90),
        ha="center",
        va="top",
        transform=ax.transAxes,
        fontsize=8.5,
        color="darkred" if o.unplaced else "black",
    )
    # Line-width key: the busiest link and a quarter of it.
    from matplotlib.lines import Line2D

    keys = sorted({top, max(1, round(top / 4))}, reverse=True)
    handles = [Line2D([], [], color="#1f3b73", alpha=0.55, linewidth=0.6 + 5.0 * k / top) for k in keys]
    ax.legend(
        handles,
        [f"{k} edge{'s' if k != 1 else ''}" for k in keys],
        loc="upper left",
        bbox_to_anchor=(1.0, 1.0),
        fontsize=8,
        frameon=False,
        title=key_title,
        title_fontsize=8,
    )


def _link_load(ax, volume, cells, rows: int, cols: int) -> int:
    """Each mesh link as a segment as wide as its load; returns the largest load."""
    from matplotlib.collections import LineCollection

    from zerav_map.links import link_loads

    horizontal, vertical = link_loads(volume, cells, rows, cols)
    top = int(max(horizontal.max(initial=0), vertical.max(initial=0), 1))
    segments, loads = [], []
    for r, c in zip(*np.nonzero(horizontal)):
        y = rows - 1 - r + 0.5
        segments.append([(c + 0.5, y), (c + 1.5, y)])
        loads.append(horizontal[r, c])
    for r, c in zip(*np.nonzero(vertical)):
        x = c + 0.5
        segments.append([(x, rows - 1 - r + 0.5), (x, rows - 2 - r + 0.5)])
        loads.append(vertical[r, c])
    widths = [0.6 + 5.0 * n / top for n in loads]
    ax.add_collection(LineCollection(segments, linewidths=widths, colors="#1f3b73", alpha=0.55, zorder=3))
    return top


def _pair_lines(ax, volume, cells, rows: int) -> int:
    """One line per communicating pair of placed cores; returns the largest pair volume."""
    from matplotlib.patches import FancyArrowPatch

    top = max(volume.values(), default=1)
    for (a, b), n in sorted(volume.items(), key=lambda kv: kv[1]):
        (ra, ca), (rb, cb) = cells[a], cells[b]
        start = (ca + 0.5, rows - 1 - ra + 0.5)
        end = (cb + 0.5, rows - 1 - rb + 0.5)
        adjacent = abs(ra - rb) + abs(ca - cb) == 1
        ax.add_patch(
            FancyArrowPatch(
                start,
                end,
                arrowstyle="-",
                connectionstyle=f"arc3,rad={0 if adjacent else 0.25}",
                linewidth=0.6 + 5.0 * n / top,
                color="#1f3b73",
                alpha=0.55,
                zorder=3,
                shrinkA=0,
                shrinkB=0,
            )
        )
    return top


def write_plot(path: str, model: Model, chip: Chip, outcomes: Sequence[Outcome]) -> None:
    mpl = _matplotlib()
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    peak = max((o.resources.peak_core_utilization for o in outcomes if o.resources is not None), default=1.0)
    norm = Normalize(vmin=0.0, vmax=max(1.0, peak))
    cmap = mpl.colormaps["YlOrRd"]
    n = len(outcomes)
    fig = Figure(figsize=(7.6 * n, 6.8), layout="constrained")
    axes = fig.subplots(1, n, squeeze=False)[0]
    for ax, o in zip(axes, outcomes):
        _panel(fig, ax, model, chip, o, cmap, norm)
    bar = fig.colorbar(
        ScalarMappable(norm=norm, cmap=cmap), ax=list(axes), shrink=0.7, location="right", pad=0.02
    )
    bar.set_label("SRAM utilisation")
    bar.ax.yaxis.set_major_formatter(PercentFormatter(xmax=1.0))
    fig.suptitle(f"{model.name} on the {chip.name}\n{chip.describe()}", fontsize=10)
    try:
        # SVG keeps its text as text (searchable, selectable) rather than outlines.
        with mpl.rc_context({"svg.fonttype": "none"}):
            fig.savefig(path, dpi=130)
    except OSError as e:
        raise InputError(f"{path}: cannot write the plot: {e.strerror or e}") from None
