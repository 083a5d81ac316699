"""No silent wrong answers: what the tool reports is what the model is."""

from __future__ import annotations

import numpy as np
import pytest

nir = pytest.importorskip("nir")
from tests.tool import framework_models  # noqa: E402

pytestmark = pytest.mark.usefixtures("backend")


def _lif(n):
    return nir.LIF(tau=np.ones(n), r=np.ones(n), v_leak=np.zeros(n), v_threshold=np.ones(n))


def test_weights_given_by_shape_are_dense(tool, write_json):
    state = {n: {"shape": [64]} for n in ("tau", "v_threshold", "v_leak", "r")}
    doc = {
        "nodes": [
            {"name": "in", "kind": "Input", "params": {"shape": [64]}},
            {"name": "fc", "kind": "Linear", "arrays": {"weight": {"shape": [64, 64]}}},
            {"name": "lif", "kind": "LIF", "arrays": state},
            {"name": "out", "kind": "Output", "params": {"shape": [64]}},
        ],
        "edges": [["in", "fc"], ["fc", "lif"], ["lif", "out"]],
    }
    r = tool(write_json("shape.json", doc), "--lower", "--group-size", "16", "--json", "-")
    assert r.code == 0, r
    # Every one of the 4 input groups feeds every one of the 4 neuron groups, which feed the Output.
    assert r.json()["lowering"]["edges"] == 4 * 4 + 4


def test_exported_model_lowers_to_the_same_groups(tool, tmp_path):
    rng = np.random.default_rng(5)
    nodes = {
        "input": nir.Input(np.array([2, 16, 16])),
        "conv": nir.Conv2d((16, 16), rng.normal(size=(4, 2, 3, 3)), 1, 1, 1, 1, np.zeros(4)),
        "lif1": _lif(4 * 16 * 16),
        "pool": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),
        "flat": nir.Flatten(np.array([4, 8, 8]), start_dim=0),
        "fc": nir.Linear(rng.normal(size=(32, 256))),
        "lif2": _lif(32),
        "output": nir.Output(np.array([32])),
    }
    names = list(nodes)
    path = tmp_path / "cnn.nir"
    nir.write(str(path), nir.NIRGraph(nodes=nodes, edges=list(zip(names, names[1:])), type_check=False))
    flags = ("--group-size", "64", "--json", "-")
    first = tool(path, *flags, "--export-model", "cnn.json")
    again = tool("cnn.json", "--lower", *flags)
    assert first.code == again.code == 0, again
    a, b = first.json(), again.json()
    assert b["lowering"]["layers"] == a["lowering"]["layers"]
    assert b["lowering"]["edges"] == a["lowering"]["edges"] > 0
    assert b["runs"][0]["partition"] == a["runs"][0]["partition"]


def test_unlowered_layer_larger_than_a_core_does_not_fit(tool, tmp_path):
    n = 18_234
    nodes = {
        "input": nir.Input(np.array([n])),
        "scale": nir.Scale(np.ones(n, np.float32)),
        "lif": nir.LIF(tau=np.ones(1), r=np.ones(1), v_leak=np.zeros(1), v_threshold=np.ones(1)),
        "output": nir.Output(np.array([n])),
    }
    path = tmp_path / "wide.nir"
    nir.write(str(path), nir.NIRGraph(nodes=nodes, edges=list(zip(nodes, list(nodes)[1:])), type_check=False))
    r = tool(path, "--no-lower", "--no-cores")
    assert r.code == 1, r
    assert "neuron-capacity: 1 core(s) run more than 4,096 neurons (the fullest 18,234)" in r.out
    assert "Binding constraint (neurons): node 'lif' holds 18,234 neurons, a core runs 4,096" in r.out


def test_long_lists_are_cut(tool, tmp_path):
    path = tmp_path / "dvs128.nir"
    framework_models.write("dvs128", path)
    r = tool(path, "--cores", "128", "--mesh", "8x16")
    assert r.code == 0, r
    table = r.out.split("Per-core budgets (mapping)\n")[1].split("\n\n")[0].splitlines()
    assert (
        len(table) == 2 + 40 + 2 and table[-2].startswith("  ... and ") and "more (see --json)" in table[-2]
    )
    assert len(r.out.splitlines()) < 140  # the cut tables plus the fixed rows of the cost section
