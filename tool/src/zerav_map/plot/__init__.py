"""The mesh picture (``--plot``): one panel per mapping run, in a grid, with one shared key.

``panel`` draws a run; ``layers`` finds the layer of each node; ``colours`` holds the two colour
channels (SRAM use, layers); ``traffic`` draws the spikes between cores on one scale for all
panels. This module sizes the figure from the mesh, so a cell keeps a readable size from 8 x 8
to 32 x 32 meshes, and writes the file.
"""

from __future__ import annotations

import math
import os
import textwrap
from collections.abc import Sequence

from zerav_map.chip import Chip
from zerav_map.errors import BackendMissing, InputError
from zerav_map.mapping import Outcome
from zerav_map.models import Model

FORMATS = (".png", ".svg")
_KEY_WIDTH = 2.8  # inches right of the panels for the colour bar and the legends
_NAME_CHARS = 28  # a layer name longer than this is cut in the legend


def check_path(path: str) -> None:
    """Refuse a plot file of another format, and a run without matplotlib, before any mapping
    work (``outputs.check_outputs`` has checked the file's place)."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise InputError(f"{path}: the plot file must end in .png or .svg")
    _matplotlib()


def _matplotlib():
    try:
        import matplotlib
    except ImportError:
        raise BackendMissing("--plot needs matplotlib: pip install matplotlib") from None
    matplotlib.use("Agg")
    return matplotlib


def grid_shape(n: int) -> tuple[int, int]:
    """(rows, columns) of panels: as square as n allows, never a long strip."""
    cols = max(1, math.ceil(math.sqrt(n)))
    return max(1, math.ceil(n / cols)), cols


def chip_title(chip: Chip) -> str:
    """The chip's name without the folders of its file."""
    name = os.path.basename(chip.name) or chip.name
    return f"the {name}" if name.startswith("default chip") else name


def figure(model: Model, chip: Chip, outcomes: Sequence[Outcome]):
    """The whole picture as a matplotlib ``Figure``."""
    mpl = _matplotlib()
    from matplotlib.cm import ScalarMappable
    from matplotlib.figure import Figure
    from matplotlib.ticker import PercentFormatter

    from zerav_map.plot import panel, traffic
    from zerav_map.plot.colours import sram_scale
    from zerav_map.plot.layers import core_layers, model_layers

    frames = [panel.frame(o, chip) for o in outcomes]
    rows = max(f.r1 - f.r0 for f in frames)
    cols = max(f.c1 - f.c0 for f in frames)
    size = max(rows, cols)
    side = min(9.5, max(5.0, 2.6 + 0.22 * size))  # the longer side of a panel, in inches
    width, height = max(4.6, side * cols / size), max(2.0, side * rows / size)
    cell_pt = 72.0 * side / size
    grid_rows, grid_cols = grid_shape(len(outcomes))
    fig = Figure(
        figsize=(grid_cols * (width + 0.3) + _KEY_WIDTH, grid_rows * (height + 1.5) + 0.9),
        layout="constrained",
    )
    cmap, norm = sram_scale(mpl)
    volumes = [traffic.on_mesh(o.traffic, f.cells) for o, f in zip(outcomes, frames)]
    style = panel.Style(
        cmap=cmap,
        norm=norm,
        traffic=traffic.scale(volumes, [(f.rows, f.cols, f.cells) for f in frames]),
        chars=int(width * 14),
        font=min(9.0, max(4.0, cell_pt * 0.7 * 0.36)),
        capacity=chip.hw.max_neurons_per_core,
    )
    layers = model_layers(model)
    axes = fig.subplots(grid_rows, grid_cols, squeeze=False).ravel()
    for ax in axes[len(outcomes) :]:
        ax.set_visible(False)
    for ax, o, f in zip(axes, outcomes, frames):
        panel.draw(ax, o, chip, f, core_layers(o.assignments, layers), style)
    used = list(axes[: len(outcomes)])
    bar = fig.colorbar(
        ScalarMappable(norm=norm, cmap=cmap),
        ax=used,
        shrink=0.5 if grid_rows == 1 else 0.3,
        aspect=25,
        location="right",
        pad=0.02,
        extend="max",
    )
    bar.set_label("SRAM use per core (red: over 100 %)")
    bar.ax.yaxis.set_major_formatter(PercentFormatter(xmax=1.0))
    _legends(fig, layers, style.traffic)
    # Centred over the panels and wrapped to their width, clear of the key on the right.
    panels = fig.get_figwidth() - _KEY_WIDTH
    fig.suptitle(
        f"{model.name} on {chip_title(chip)}\n{textwrap.fill(chip.describe(), int(panels * 12))}",
        x=panels / 2 / fig.get_figwidth(),
        fontsize=10,
    )
    return fig


def _legends(fig, layers, scale) -> None:
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    from zerav_map.plot.colours import OTHER_LAYERS, layer_colour
    from zerav_map.plot.layers import MAX_COLOURED
    from zerav_map.plot.traffic import ALPHA, COLOUR

    def short(name: str) -> str:
        return name if len(name) <= _NAME_CHARS else name[: _NAME_CHARS - 1] + "…"

    handles = [
        Patch(facecolor=layer_colour(i), label=short(n)) for i, n in enumerate(layers.names[:MAX_COLOURED])
    ]
    rest = len(layers.names) - MAX_COLOURED
    if rest > 0:
        handles.append(Patch(facecolor=OTHER_LAYERS, label=f"{rest} more"))
    fig.legend(
        handles=handles,
        loc="outside right upper",
        fontsize=8,
        title=f"{layers.title}\n(band atop each core)",
        title_fontsize=8,
        frameon=False,
    )
    if scale.top == 0:
        return
    keys = sorted({scale.top, max(1, round(scale.top / 4))}, reverse=True)
    lines = [
        Line2D(
            [],
            [],
            color=COLOUR,
            alpha=ALPHA,
            linewidth=scale.width(k),
            label=f"{k} edge{'s' if k != 1 else ''}",
        )
        for k in keys
    ]
    fig.legend(
        handles=lines,
        loc="outside right lower",
        fontsize=8,
        title="load of a mesh link" if scale.links else "spikes between\ntwo cores",
        title_fontsize=8,
        frameon=False,
    )


def write_plot(path: str, model: Model, chip: Chip, outcomes: Sequence[Outcome]) -> None:
    from zerav_map.outputs import write_output

    mpl = _matplotlib()
    fig = figure(model, chip, outcomes)
    # SVG keeps its text as text (searchable, selectable) rather than outlines.
    with mpl.rc_context({"svg.fonttype": "none"}):
        write_output(
            path,
            lambda f: fig.savefig(f, format=os.path.splitext(path)[1][1:].lower(), dpi=130),
            binary=True,
            what="plot",
        )
