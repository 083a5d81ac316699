"""--plot draws the mesh to PNG or SVG, also when the mapping does not fit."""

from __future__ import annotations

import pytest

pytest.importorskip("matplotlib")
pytestmark = pytest.mark.usefixtures("backend")


def test_png_of_the_built_in_example(tool, tmp_path):
    r = tool("--plot", "mesh.png")
    assert r.code == 0, r
    assert "mesh picture written to mesh.png" in r.out
    data = (tmp_path / "mesh.png").read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    import matplotlib.image

    height, width, _ = matplotlib.image.imread(tmp_path / "mesh.png").shape
    assert width > 600 and height > 600


def test_svg_compare_has_a_panel_per_algorithm(tool, tmp_path):
    r = tool("--compare", "--plot", "mesh.svg", "--no-cores")
    assert r.code == 0, r
    svg = (tmp_path / "mesh.svg").read_text()
    assert svg.lstrip().startswith("<?xml") and "<svg" in svg
    for algorithm in ("greedy", "edgemap", "spectral", "mapping"):
        assert f"{algorithm}: " in svg
    assert svg.count("unplaced cores: ") >= 2
    assert "SRAM utilisation" in svg and "dvs-gesture-snn on the default chip" in svg


def test_plot_of_a_mapping_that_does_not_fit_shows_why(tool, tmp_path):
    r = tool("--cores", "8", "-a", "greedy", "--plot", "mesh.svg")
    assert r.code == 1, r
    svg = (tmp_path / "mesh.svg").read_text()
    assert "greedy: does not fit" in svg
    assert "Graph requires more than 8 cores" in svg


def test_links_carry_each_pair_along_its_row_then_its_column():
    from zerav_map.links import link_loads

    cells = {0: (0, 0), 1: (1, 2), 2: (2, 2), 3: (2, 0)}
    horizontal, vertical = link_loads({(0, 1): 3, (1, 2): 1, (2, 3): 5, (0, 9): 7}, cells, 3, 3)
    assert horizontal.tolist() == [[3, 3], [0, 0], [5, 5]]  # core 9 is off the mesh
    assert vertical.tolist() == [[0, 0, 3], [0, 0, 1]]


def test_hundreds_of_communicating_pairs_draw_the_link_load(tool, tmp_path):
    r = tool(
        "--cores", "256", "--mesh", "16x16", "--nodes-per-core", "2", "--plot", "mesh.svg", "-a", "edgemap"
    )
    assert r.code == 1, r  # the example's recurrent blocks exceed 2 nodes per core
    svg = (tmp_path / "mesh.svg").read_text()
    assert "link load" in svg and "busiest mesh link" in svg
