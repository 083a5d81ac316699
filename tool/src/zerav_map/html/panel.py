"""One run's mesh in the interactive report: a cell per core, coloured by layer, SRAM use or
traffic (``Colours`` holds the three colourings; ``page`` switches between them), lines on
the mesh links as wide as their load, a core's detail in its tooltip and, on a click, in the
table beside the mesh.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass
from importlib.resources import files

from bokeh.models import (
    ColorBar,
    ColumnDataSource,
    CustomJS,
    DataTable,
    HoverTool,
    LinearColorMapper,
    LogColorMapper,
    Range1d,
    TableColumn,
    TapTool,
)
from bokeh.palettes import Greys256, Viridis256
from bokeh.plotting import figure

from zerav_map.html.cores import RunView
from zerav_map.plot.colours import OVER, layer_colour
from zerav_map.plot.traffic import ALPHA, COLOUR

MODES = ("layer", "sram", "traffic")  # the order of the switch's buttons
LABELS = ("layer", "SRAM use", "traffic")
NO_LAYER_COLOUR = "#f4f4f4"  # a core holding no node of a known layer
NO_TRAFFIC_COLOUR = "#f4f4f4"  # a core no spike reaches or leaves


def script(name: str) -> str:
    """The JavaScript of a callback, kept beside this file."""
    return (files("zerav_map.html") / name).read_text(encoding="utf-8")


@dataclass
class Colours:
    """The three colourings, on scales shared by every panel so that the panels compare. Each
    core gets its colour in every mode (``colour_<mode>`` columns); the switch copies one mode's
    into the column the cells are filled from."""

    layers: list[str]
    sram: LinearColorMapper
    traffic: LogColorMapper  # rates differ by orders of magnitude between layers
    top_link: float  # the heaviest link of all runs: the widest line

    @classmethod
    def of(cls, layer_names: list[str], views: list[RunView]) -> Colours:
        traffic = [t for v in views for t in v.cores.traffic if t > 0]
        busiest = max(traffic, default=1)
        # Four decades at most, so that one quiet core does not squeeze the rest into one hue.
        quietest = min(max(min(traffic, default=1), busiest / 1e4), busiest / 10)
        return cls(
            list(layer_names),
            # Light greys up to 100 %, so the labels stay legible; over 100 % in red.
            LinearColorMapper(palette=list(reversed(Greys256))[5:175], low=0.0, high=1.0, high_color=OVER),
            LogColorMapper(palette=Viridis256, low=quietest, high=busiest, low_color=NO_TRAFFIC_COLOUR),
            max((max(v.links.load, default=0) for v in views), default=0),
        )

    def columns(self, v: RunView) -> dict[str, list[str]]:
        index = {name: i for i, name in enumerate(self.layers)}
        return {
            "colour_layer": [
                layer_colour(index[n]) if n in index else NO_LAYER_COLOUR for n in v.cores.layer
            ],
            "colour_sram": [_on_scale(self.sram, u) for u in v.cores.sram],
            "colour_traffic": [_on_scale(self.traffic, t) for t in v.cores.traffic],
        }


def _on_scale(mapper: LinearColorMapper | LogColorMapper, value: float) -> str:
    """The colour ``mapper`` gives ``value``, as its colour bar shows it."""
    if value > mapper.high:
        return mapper.high_color or mapper.palette[-1]
    if isinstance(mapper, LogColorMapper):
        if value <= 0:
            return mapper.low_color
        share = math.log(value / mapper.low) / math.log(mapper.high / mapper.low)
    else:
        share = (value - mapper.low) / (mapper.high - mapper.low)
    return mapper.palette[min(len(mapper.palette) - 1, max(0, int(share * len(mapper.palette))))]


# A core's detail: (label, column) in the tooltip and the table, in this order; the traffic
# rows depend on whether the run's cost is known.
_BUDGET = (
    ("core", "core"),
    ("cell", "cell"),
    ("layers (groups)", "layers"),
    ("nodes", "nodes"),
    ("neurons", "neurons"),
    ("weights", "weight_text"),
    ("state", "state_text"),
    ("routing", "routing_text"),
    ("total", "total_text"),
    ("SRAM use", "sram_text"),
)
_SPIKES = (
    ("spikes in per step", "spikes_in_text"),
    ("spikes out per step", "spikes_out_text"),
    ("energy per step", "energy_text"),
)
_EDGES = (("cross-core edges", "traffic"),)
_PROBLEMS = (("problems", "problems"),)
DETAIL_ROWS = 1 + len(_BUDGET) + len(_SPIKES) + len(_PROBLEMS)  # the run's name first


def detail_rows(v: RunView) -> tuple[tuple[str, str], ...]:
    return _BUDGET + (_SPIKES if v.costed else _EDGES) + _PROBLEMS


def _size(n: int) -> str:
    return f"{n} B" if n < 1024 else f"{n / 1024:.1f} KiB"


def _core_source(v: RunView, colours: Colours) -> ColumnDataSource:
    data = {k: col for k, col in asdict(v.cores).items() if len(col) == len(v.cores.core)}
    data |= colours.columns(v)
    data["colour"] = data["colour_layer"]
    data["cell"] = [f"({r}, {c})" for r, c in zip(v.cores.row, v.cores.col)]
    for key in ("weight", "state", "routing", "total"):
        data[f"{key}_text"] = [_size(n) for n in data[f"{key}_bytes"]]
    data["sram_text"] = [f"{100 * u:.1f} %" for u in v.cores.sram]
    if v.costed:
        data["spikes_in_text"] = [f"{x:.4g}" for x in v.cores.spikes_in]
        data["spikes_out_text"] = [f"{x:.4g}" for x in v.cores.spikes_out]
        data["energy_text"] = [f"{x:.4g} pJ" for x in v.cores.energy]
    return ColumnDataSource(data, name=f"cores {v.algorithm}")


def detail_table() -> DataTable:
    """The table a click on a core fills, shared by all panels."""
    return DataTable(
        source=ColumnDataSource({"field": [], "value": []}),
        columns=[TableColumn(field="field", title="click a core"), TableColumn(field="value", title="")],
        width=340,
        height=26 * DETAIL_ROWS + 30,
        index_position=None,
        name="core detail",
    )


def panel(v: RunView, colours: Colours, side: int, detail: DataTable):
    """(mesh figure, the cells' data, its colour bars by mode) of one run; a click on a core
    shows its detail in ``detail``."""
    width = side if v.cols >= v.rows else max(160, side * v.cols // v.rows)
    height = side if v.rows >= v.cols else max(160, side * v.rows // v.cols)
    fig = figure(
        title=f"{v.algorithm}: {v.status}" + ("" if v.cores.core else " (no core placed)"),
        width=width + 90,
        height=height + 40,
        x_range=Range1d(-0.6, v.cols - 0.4),
        y_range=Range1d(v.rows - 0.4, -0.6),  # row 0 on top, as in the text report
        tools="pan,wheel_zoom,reset,save",
        toolbar_location="above",
        name=f"mesh {v.algorithm}",
    )
    fig.grid.visible = False
    fig.xaxis.axis_label = "column"
    fig.yaxis.axis_label = "row"
    cores = _core_source(v, colours)
    cells = fig.rect(
        x="col",
        y="row",
        width=0.9,
        height=0.9,
        source=cores,
        fill_color="colour",
        line_color="#555555",
        selection_line_color="black",
        selection_line_width=3,
        nonselection_fill_alpha=0.55,
    )
    rows = detail_rows(v)
    fig.add_tools(HoverTool(renderers=[cells], tooltips=[(label, f"@{{{col}}}") for label, col in rows]))
    links = v.links
    if links.load:
        source = ColumnDataSource(
            {
                **{k: col for k, col in asdict(links).items() if len(col) == len(links.load)},
                "width": [1 + 6 * n / (colours.top_link or 1) for n in links.load],
                "ends": [
                    f"({a}, {b}) - ({c}, {d})" for a, b, c, d in zip(links.r0, links.c0, links.r1, links.c1)
                ],
            }
        )
        lines = fig.segment(
            x0="c0",
            y0="r0",
            x1="c1",
            y1="r1",
            source=source,
            line_width="width",
            line_color=COLOUR,
            alpha=ALPHA,
        )
        fig.add_tools(
            HoverTool(
                renderers=[lines],
                tooltips=[
                    ("link", "@ends"),
                    ("spikes per step", "@ways") if v.costed else ("cross-core edges", "@load"),
                ],
            )
        )
    bars = {}
    for mode, title in (
        ("sram", "SRAM use (1 = full, red: over)"),
        ("traffic", f"{v.traffic} (log)"),
    ):
        bars[mode] = ColorBar(color_mapper=getattr(colours, mode), title=title, visible=False, width=10)
        fig.add_layout(bars[mode], "right")

    fig.add_tools(TapTool(renderers=[cells]))
    cores.selected.js_on_change(
        "indices",
        CustomJS(
            args={
                "run": v.algorithm,
                "cores": cores,
                "detail": detail.source,
                "rows": [list(d) for d in rows],
            },
            code=script("detail.js"),
        ),
    )
    return fig, cores, bars
