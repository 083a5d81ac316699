"""--html: one self-contained page built from the JSON document. In headless Chromium it loads
with no console error and no request beyond the file, shows every run's mesh, and a click or
a hover on a core shows that core's detail."""

from __future__ import annotations

import contextlib
import json
import os
import shutil

import pytest

from tests.tool.conftest import SMALL_MODEL

pytest.importorskip("bokeh")
pytestmark = pytest.mark.usefixtures("backend")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("--html", "report.htm"), "--html report.htm: the file must end in .html"),
        (("--html", "r.html", "--plot", "r.html"), "--html r.html: --plot writes the same file"),
    ],
)
def test_the_page_name_is_checked_before_mapping(tool, args, message):
    r = tool(*args)
    assert r.code == 2, r
    assert message in r.err


def test_a_run_that_placed_nothing_still_gets_its_page(tool, tmp_path):
    r = tool("--cores", "8", "-a", "greedy", "--html", "r.html")
    assert r.code == 1, r
    page = (tmp_path / "r.html").read_text()
    assert "greedy: does not fit (no core placed)" in page
    assert "<script src=" not in page  # Bokeh inlined


def test_core_columns_read_the_document():
    from zerav_map.html.cores import run_view
    from zerav_map.plot.layers import Layers

    layers = Layers("layers", ["a", "b"], {"a#0": 0, "a#1": 0, "b#0": 1, "in": 0})
    run = {
        "algorithm": "greedy",
        "status": "fits",
        "partition": {"assignments": {"in": 0, "a#0": 0, "a#1": 1, "b#0": 1}},
        "placement": {"positions": {"0": [0, 0], "1": [1, 2], "7": [5, 5]}},  # core 7 is off a 2x3 mesh
        "resources": {
            "cores": [
                {"core_id": 1, "nodes": 2, "neurons": 40, "weight_bytes": 1, "state_bytes": 2}
                | {"routing_bytes": 8, "total_bytes": 11, "utilization": 1.25}
            ]
        },
        "problems": [{"kind": "sram", "message": "", "cores": [1]}],
        "traffic": [[0, 1, 5], [1, 7, 9]],
    }
    v = run_view(run, (2, 3), layers)
    c = v.cores
    assert (c.core, c.row, c.col) == ([0, 1], [0, 1], [0, 2])
    assert (c.layer, c.layers) == (["a", "a"], ["a x2", "a x1, b x1"])
    assert (c.nodes, c.neurons, c.total_bytes, c.sram) == ([0, 2], [0, 40], [0, 11], [0.0, 1.25])
    assert c.traffic == [5, 14]
    assert c.problems == ["none", "sram"]
    # The pair runs along row 0 to column 2, then down column 2; core 7 has no cell.
    links = sorted(zip(v.links.r0, v.links.c0, v.links.r1, v.links.c1, v.links.load))
    assert links == [(0, 0, 0, 1, 5), (0, 1, 0, 2, 5), (0, 2, 1, 2, 5)]
    assert run_view(run, (2, 3), layers, routed=False).links.load == []  # no mesh, no links

    # With the run's cost, traffic is spikes per step, and a link's two directions share a line.
    run["cost"] = {
        "cores": [
            {"core": 1, "spikes_in_per_step": 0.5, "spikes_out_per_step": 2.0, "energy_pj_per_step": 9.0}
        ],
        "links": [
            {"from": [0, 1], "to": [0, 0], "spikes_per_step": 0.25},
            {"from": [0, 0], "to": [0, 1], "spikes_per_step": 1.5},
            {"from": [1, 2], "to": [0, 2], "spikes_per_step": 2.0},
        ],
    }
    v = run_view(run, (2, 3), layers)
    assert (v.costed, v.cores.spikes_in, v.cores.spikes_out) == (True, [0.0, 0.5], [0.0, 2.0])
    assert (v.cores.traffic, v.cores.energy) == ([0.0, 2.5], [0.0, 9.0])
    links = sorted(zip(v.links.r0, v.links.c0, v.links.r1, v.links.c1, v.links.load, v.links.ways))
    assert links == [
        (0, 0, 0, 1, 1.75, "1.5 towards (0, 1), 0.25 back"),
        (0, 2, 1, 2, 2.0, "0 towards (1, 2), 2 back"),
    ]


def test_traffic_colours_span_decades():
    from zerav_map.html.cores import CoreColumns, LinkColumns, RunView
    from zerav_map.html.panel import NO_TRAFFIC_COLOUR, Colours

    cores = CoreColumns(traffic=[0.0, 0.001, 1.0, 10.0, 100.0], layer=["a"] * 5, sram=[0.0] * 5)
    view = RunView("greedy", "fits", 1, 5, cores, LinkColumns(), "spikes", True)
    colours = Colours.of(["a"], [view])
    traffic = colours.columns(view)["colour_traffic"]
    palette = colours.traffic.palette
    # 0.001 lies below the four decades under the busiest core: the scale's lowest colour.
    assert traffic[0] == NO_TRAFFIC_COLOUR
    assert [palette.index(c) for c in traffic[1:]] == pytest.approx([0, 128, 192, 255], abs=1)


def _chromium() -> str:
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    pytest.skip(
        "no headless Chromium (Debian: apt-get install chromium; scripts/setup.sh installs it as root)"
    )


# The pixel of a core's cell on the screen, from the panel's own scales.
_CELL_ON_SCREEN = """([algorithm, i]) => {
  const doc = Bokeh.documents[0];
  const cores = doc.get_model_by_name(`cores ${algorithm}`);
  const view = Bokeh.index.find_one(doc.get_model_by_name(`mesh ${algorithm}`));
  const box = view.canvas_view.el.getBoundingClientRect();
  return [box.left + view.frame.x_scale.compute(cores.data.col[i]),
          box.top + view.frame.y_scale.compute(cores.data.row[i])];
}"""


browser_test = pytest.mark.skipif(
    os.environ.get("ZERAV_SANITIZED") == "1",
    reason="the page does not depend on the build flavour, and the browser is not run under the sanitizer",
)


@contextlib.contextmanager
def opened(path):
    """(page, console errors and warnings, request URLs) of ``path`` loaded in headless Chromium."""
    sync_api = pytest.importorskip("playwright.sync_api")
    executable = _chromium()
    with sync_api.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1400, "height": 1000})
        problems, requests = [], []
        page.on("console", lambda m: m.type in ("error", "warning") and problems.append(m.text))
        page.on("pageerror", lambda e: problems.append(str(e)))
        page.on("request", lambda q: requests.append(q.url))
        page.goto(path.as_uri())
        page.wait_for_function("() => window.Bokeh?.documents[0]?.is_idle")
        yield page, problems, requests
        browser.close()


@browser_test
def test_the_page_in_a_browser(tool, tmp_path):
    r = tool("--compare", "--html", "report.html", "--json", "result.json", "--no-cores")
    assert r.code == 0, r
    assert "interactive report written to report.html" in r.out
    doc = json.loads((tmp_path / "result.json").read_text())
    url = (tmp_path / "report.html").as_uri()

    with opened(tmp_path / "report.html") as (page, problems, requests):
        # Every run's mesh holds a cell per placed core.
        for run in doc["runs"]:
            cells = page.evaluate(
                "a => Bokeh.documents[0].get_model_by_name(`cores ${a}`).data.core.length", run["algorithm"]
            )
            assert cells == len(run["placement"]["positions"])

        # A hover on a core shows its detail in a tooltip.
        greedy = next(r for r in doc["runs"] if r["algorithm"] == "greedy")
        page.mouse.move(*page.evaluate(_CELL_ON_SCREEN, ["greedy", 0]))
        page.locator(".bk-tooltip-row-label").first.wait_for(state="visible")
        rows = page.locator(".bk-tooltip-row-label").all_inner_texts()
        tip = dict(zip(rows, page.locator(".bk-tooltip-row-value").all_inner_texts()))
        core = min(int(c) for c in greedy["placement"]["positions"])
        assert tip["core:"] == str(core)
        assert tip["cell:"] == "({}, {})".format(*greedy["placement"]["positions"][str(core)])

        # A click on a core of the joint mapping fills its detail table.
        run = next(r for r in doc["runs"] if r["algorithm"] == "mapping")
        core = max(run["resources"]["cores"], key=lambda b: b["neurons"])
        index = page.evaluate(
            "c => Bokeh.documents[0].get_model_by_name('cores mapping').data.core.indexOf(c)", core["core_id"]
        )
        x, y = page.evaluate(_CELL_ON_SCREEN, ["mapping", index])
        page.mouse.click(x, y)
        detail = page.evaluate("() => Bokeh.documents[0].get_model_by_name('core detail').source.data")
        shown = dict(zip(detail["field"], detail["value"]))
        assert (shown["run"], shown["core"]) == ("mapping", str(core["core_id"]))
        assert (shown["nodes"], shown["neurons"]) == (str(core["nodes"]), str(core["neurons"]))
        assert shown["SRAM use"] == f"{100 * core['utilization']:.1f} %"
        spikes = next(c for c in run["cost"]["cores"] if c["core"] == core["core_id"])
        assert shown["spikes out per step"] == f"{spikes['spikes_out_per_step']:.4g}"
        assert page.get_by_text(shown["layers (groups)"], exact=True).first.is_visible()

        # The switch colours the cores by SRAM use.
        page.get_by_role("button", name="SRAM use").click()
        for a in ("greedy", "mapping"):
            colours = page.evaluate(
                "a => { const d = Bokeh.documents[0].get_model_by_name(`cores ${a}`).data;"
                " return [d.colour, d.colour_sram, d.colour_layer]; }",
                a,
            )
            assert colours[0] == colours[1] != colours[2]
        page.get_by_role("button", name="layer").click()
        colours = page.evaluate("() => Bokeh.documents[0].get_model_by_name('cores greedy').data")
        assert colours["colour"] == colours["colour_layer"]

        page.screenshot(path=tmp_path / "report.png")
    assert problems == []
    assert requests == [url]
    shot = os.environ.get("ZERAV_HTML_SCREENSHOT")  # where the README's picture is taken
    if shot:
        shutil.copyfile(tmp_path / "report.png", shot)


@browser_test
def test_names_stay_text(tool, write_json, tmp_path):
    """Names come from the user's model: markup in them is shown, never run or fetched."""
    bad = "<img src=x onerror=\"console.error('injected')\">"
    model = {
        "name": bad + SMALL_MODEL["name"],
        "nodes": [{**node, "name": bad + node["name"]} for node in SMALL_MODEL["nodes"]],
        "edges": [[bad + a, bad + b] for a, b in SMALL_MODEL["edges"]],
    }
    r = tool(write_json("m.json", model), "--html", "r.html", "--json", "r.json")
    assert r.code == 0, r
    run = json.loads((tmp_path / "r.json").read_text())["runs"][0]
    with opened(tmp_path / "r.html") as (page, problems, requests):
        page.mouse.move(*page.evaluate(_CELL_ON_SCREEN, [run["algorithm"], 0]))
        page.locator(".bk-tooltip-row-label").first.wait_for(state="visible")
        page.mouse.click(*page.evaluate(_CELL_ON_SCREEN, [run["algorithm"], 0]))
        assert page.get_by_text(bad + "small on default chip").is_visible()
    assert problems == []
    assert requests == [(tmp_path / "r.html").as_uri()]


def test_a_core_is_coloured_by_the_compute_layer_it_runs_not_its_input_groups():
    from zerav import ir
    from zerav_map.plot.layers import _indexed

    nodes = {"in#0": ir.Input(), "in#1": ir.Input(), "in#2": ir.Input(), "a#0": ir.LIF(), "b#0": ir.LIF()}
    layers = _indexed("layers", nodes, lambda name: name.partition("#")[0])
    assert layers.boundary == {0}
    assert layers.main_layer([(0, 3), (1, 1)]) == 1  # three input groups beside one of "a"
    assert layers.main_layer([(0, 3)]) == 0  # a core of input groups alone
    assert layers.main_layer([(1, 2), (2, 2)]) == 1  # a tie goes to the earlier layer
    assert layers.main_layer([]) is None
