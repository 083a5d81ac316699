"""The interactive report (``--html``): one self-contained page, built with Bokeh from the run's
JSON document, so that the page and ``--json`` always agree.

The page holds a switch for what colours the cores (layer, SRAM use, traffic), every run's
mesh side by side (``panel``), beside them the table a click on a core fills and the key of
the layers, and below them the text report itself. Bokeh's JavaScript is inlined: the file opens offline and fetches
nothing.
"""

from __future__ import annotations

from zerav_map.errors import BackendMissing
from zerav_map.plot.layers import MAX_COLOURED, Layers

_SIDE = 620  # pixels of a panel's longer side when it is shown alone
_SIDE_MANY = 430  # ... and beside others


def check_path(path: str) -> None:
    """Refuse a run without Bokeh before any mapping work (``outputs.check_outputs`` has
    checked the file's name and place)."""
    _bokeh()


def _bokeh():
    try:
        import bokeh
    except ImportError:
        raise BackendMissing("--html needs bokeh: pip install 'bokeh>=3.4'") from None
    return bokeh


def page(doc: dict, layers: Layers, report: str) -> str:
    """The whole page as HTML text, from the JSON document ``doc``, the layer of each node (as
    the mesh picture groups them) and the text report."""
    _bokeh()
    from bokeh.embed import file_html
    from bokeh.layouts import column, gridplot, row
    from bokeh.models import CustomJS, Div, PreText, RadioButtonGroup
    from bokeh.resources import INLINE

    from zerav_map.html.cores import mesh_shape, run_view
    from zerav_map.html.panel import LABELS, MODES, Colours, detail_table, panel, script

    runs = doc["runs"]
    shape = mesh_shape(doc, runs)
    routed = bool(doc["chip"]["core_mesh_topology"])
    views = [run_view(r, shape, layers, routed) for r in runs]
    colours = Colours.of(layers.names, views)
    side = _SIDE if len(views) == 1 else _SIDE_MANY
    detail = detail_table()
    panels = [panel(v, colours, side, detail) for v in views]
    key = _layer_key(layers, colours)
    switch = RadioButtonGroup(labels=list(LABELS), active=0, name="colour by")
    switch.js_on_change(
        "active",
        CustomJS(
            args={
                "modes": list(MODES),
                "sources": [p[1] for p in panels],
                "bars": {m: [p[2][m] for p in panels] for m in ("sram", "traffic")},
                "key": key,
            },
            code=script("colour_mode.js"),
        ),
    )
    title = f"{doc['model']['name']} on {doc['chip']['name']}"
    grid = gridplot([fig for fig, _, _ in panels], ncols=1 if len(panels) == 1 else 2)
    layout = column(
        Div(text=_escaped(title), styles={"font-size": "1.4em", "font-weight": "bold"}),
        row(Div(text="colour the cores by"), switch),
        row(grid, column(detail, key)),
        PreText(text=report, name="report"),
    )
    return file_html(layout, resources=INLINE, title=f"zerav-map: {title}")


def _escaped(text: str) -> str:
    import html

    return html.escape(text)


def _layer_key(layers: Layers, colours) -> object:
    """A narrow figure naming each layer beside its colour (layers past the coloured ones share
    one grey entry)."""
    from bokeh.plotting import figure

    from zerav_map.plot.colours import OTHER_LAYERS, layer_colour

    names = layers.names[:MAX_COLOURED]
    fills = [layer_colour(i) for i in range(len(names))]
    if len(layers.names) > MAX_COLOURED:
        names.append(f"{len(layers.names) - MAX_COLOURED} more")
        fills.append(OTHER_LAYERS)
    fig = figure(
        title=layers.title,
        width=230,
        height=40 + 22 * len(names),
        x_range=(0, 10),
        y_range=(len(names) - 0.5, -0.5),
        tools="",
        toolbar_location=None,
        name="layer key",
    )
    fig.axis.visible = False
    fig.grid.visible = False
    fig.outline_line_color = None
    ys = list(range(len(names)))
    fig.rect(x=[0.6] * len(names), y=ys, width=0.8, height=0.8, fill_color=fills, line_color=None)
    fig.text(x=[1.3] * len(names), y=ys, text=names, text_baseline="middle", text_font_size="11px")
    return fig


def write_html(path: str, doc: dict, layers: Layers, report: str) -> None:
    from zerav_map.outputs import write_output

    text = page(doc, layers, report)
    write_output(path, lambda f: f.write(text), what="HTML report")
