"""`zerav-map MODEL` with no flags, on framework-like exports: a mapping where one exists,
otherwise the binding constraint with its numbers and a change that was checked to fit."""

from __future__ import annotations

import pytest

pytest.importorskip("nir")
from tests.tool import framework_models  # noqa: E402

pytestmark = pytest.mark.usefixtures("backend")


@pytest.fixture
def export(tmp_path):
    def make(name):
        path = tmp_path / f"{name}.nir"
        framework_models.write(name, path)
        return path

    return make


@pytest.mark.parametrize("name", ["mlp", "recurrent", "reservoir"])
def test_framework_exports_map_on_the_defaults(tool, export, name):
    r = tool(export(name), "--json", "-")
    assert r.code == 0, r
    doc = r.json()
    (run,) = doc["runs"]
    assert run["algorithm"] == "mapping" and run["problems"] == []
    # Every group fits one core's SRAM on its own: the largest such size, not a halving.
    sram = doc["chip"]["sram_bytes_per_core"]
    layers = {row["name"]: row for row in doc["lowering"]["layers"]}
    assert all(row["bytes_per_group"] <= sram for row in layers.values())
    assert max(b["total_bytes"] for b in run["resources"]["cores"]) <= sram
    # Each core's neurons: every neuron of every spiking layer, once.
    neurons = sum(row["neurons"] for row in layers.values() if row["kind"] != "Input")
    assert sum(b["neurons"] for b in run["resources"]["cores"]) == neurons
    big = {"mlp": "lif1", "recurrent": "lif1", "reservoir": "res"}[name]
    g = layers[big]["group_size"]
    assert 1 < g < 256 and layers[big]["bytes_per_group"] > sram * (g - 1) / (g + 1)


def test_too_big_for_the_chip_names_the_cores_and_a_checked_change(tool, export):
    path = export("dvs128")
    r = tool(path, "--no-cores")
    assert r.code == 1, r
    assert (
        "Binding constraint (cores): the model needs at least 97 cores (1,537 compute nodes at 16 per "
        "core; layer 'lif1' alone has 1,024 groups of 256), the chip has 64 (8x8 mesh)" in r.out
    )
    assert "Change that fits: --cores 128 --mesh 8x16 (checked: the model fits with it)" in r.out
    assert tool(path, "--cores", "128", "--mesh", "8x16", "--json", "-").code == 0
    # Greedy's own message stays, with the count it lacks.
    r = tool(path, "-a", "greedy", "--no-cores", "--json", "-")
    (problem,) = r.json()["runs"][0]["problems"]
    assert problem["message"] == (
        "Graph requires more than 64 cores. Reduce model size or increase core capacity. (greedy needs 97 cores)"
    )
    assert r.json()["advice"]["change"] == "--cores 128 --mesh 8x16"


def test_failures_name_the_constraint(tool, export, small_model):
    # The joint mapping's message stays; the advice gives the numbers and the checked change.
    r = tool("--cores", "8", "--json", "-")
    advice = r.json()["advice"]
    assert r.code == 1 and advice["constraint"] == "cores" and advice["checked"], r
    assert advice["change"] == "--cores 22" and "the chip has 8 (8x8 mesh)" in advice["reason"]
    # Greedy piles a recurrent layer onto one core: the change is the joint mapping.
    r = tool(export("reservoir"), "-a", "greedy", "--json", "-")
    assert r.code == 1 and r.json()["advice"]["change"] == "-a mapping", r
    # A node larger than a core's SRAM: the SRAM it needs.
    r = tool(small_model, "--sram", "100", "--mesh", "none")
    assert r.code == 1, r
    assert "Binding constraint (sram): node 'l1' needs 136 B of SRAM on its own, a core has 100 B" in r.out
    assert "Change that fits: --sram 256 (checked" in r.out
