"""Spike rates from each source, group rates as sums of neuron rates, synapses per neuron."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import nir
import numpy as np
import pytest

from tests.tool import lowering_reference as ref
from zerav_map.activity import make_activity, node_activity
from zerav_map.chip import make_chip
from zerav_map.cli import _parser, _prepared
from zerav_map.lowering.layers import read_layers
from zerav_map.models import load_model


def _conv(rng, cout, cin, stride=1):
    w = rng.normal(size=(cout, cin, 3, 3)).astype(np.float32)
    w[0, 0, 0, 0] = 0  # one missing synapse
    return nir.Conv2d((8, 8), w, stride, 1, 1, 1, np.zeros(cout, np.float32))


def small_cnn(path):
    """2 x 8 x 8 events, a convolution into 4 x 8 x 8 LIF neurons, 2 x 2 sum pooling, a dense
    readout of 5 LIF neurons."""
    rng = np.random.default_rng(0)
    one = np.ones(1, np.float32)
    lif = lambda: nir.LIF(tau=one * 0.02, r=one, v_leak=one * 0, v_threshold=one)  # noqa: E731
    nodes = {
        "input": nir.Input(np.array([2, 8, 8])),
        "conv": _conv(rng, 4, 2),
        "lif1": lif(),
        "pool": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),
        "flat": nir.Flatten(np.array([4, 4, 4]), start_dim=0),
        "fc": nir.Linear((rng.normal(size=(5, 64)) * (rng.random((5, 64)) > 0.3)).astype(np.float32)),
        "lif2": lif(),
        "output": nir.Output(np.array([5])),
    }
    names = list(nodes)
    nir.write(str(path), nir.NIRGraph(nodes=nodes, edges=list(zip(names[:-1], names[1:])), type_check=False))
    return path


@pytest.fixture
def cnn(tmp_path):
    return small_cnn(tmp_path / "cnn.nir")


def _lowered(path, *flags):
    model = load_model(str(path))
    chip = make_chip(None, {"neurons_per_core": 64})
    mapped, _ = _prepared(model, chip, _parser().parse_args([str(path), *flags]))
    return model, mapped


def test_group_rate_is_the_sum_of_its_neurons_rates_and_json_equals_npz(cnn, tmp_path):
    rng = np.random.default_rng(1)
    counts = {"input": rng.integers(0, 20, (2, 8, 8)), "lif1": rng.integers(0, 20, (4, 8, 8))}
    (tmp_path / "p.json").write_text(
        json.dumps(
            {"steps": 20, "counts": {k: v.tolist() for k, v in counts.items()}, "rates": {"lif2": 0.25}}
        )
    )
    np.savez(
        tmp_path / "p.npz", steps=20, **{f"counts/{k}": v for k, v in counts.items()}, **{"rates/lif2": 0.25}
    )
    model, mapped = _lowered(cnn, "--group-size", "16")
    by_file = []
    for name in ("p.json", "p.npz"):
        activity = make_activity(model, profile=str(tmp_path / name))
        nodes = node_activity(activity, mapped)
        by_file.append(nodes.rates)
        for layer, (groups, tiling) in mapped.groups.items():
            per_neuron = counts[layer] / 20 if layer in counts else np.full(tiling.shape, 0.25)
            for group, box in zip(groups, tiling.boxes()):
                assert nodes.rates[group] == pytest.approx(per_neuron[box].sum())
        assert nodes.rates["output"] == 0
        assert activity.steps == 20 and activity.source == "profile" and not activity.defaulted
    assert by_file[0] == by_file[1]
    assert len(mapped.groups["lif1"][0]) == 16  # bands of two rows: the sums are not whole layers


def test_synapses_per_neuron_count_every_path_through_the_chain(cnn):
    model = load_model(str(cnn))
    g = model.graph.nodes
    conv, _ = ref.conv_matrix((2, 8, 8), g["conv"].weight, (1, 1), (1, 1), (1, 1), 1)
    pool, _ = ref.pool_matrix((4, 8, 8), (2, 2), (2, 2), (0, 0))
    dense = g["fc"].weight != 0
    activity = make_activity(model, default_rate=0.5)
    assert activity.fanout["input"] == pytest.approx(conv.sum(axis=0))
    assert activity.fanout["lif1"] == pytest.approx((dense.astype(int) @ pool.astype(int)).sum(axis=0))
    assert activity.fanout["lif2"] == pytest.approx(np.zeros(5))
    # the same paths pushed forward with the rates: the operations at each destination neuron
    rates = {n: np.linspace(0, 1, r.size) for n, r in activity.rates.items()}
    from zerav_map.cost.fanout import synaptic_events_into

    into = synaptic_events_into(read_layers(model.graph), rates)
    assert into["lif1"] == pytest.approx(conv.astype(int) @ rates["input"])
    assert into["lif2"] == pytest.approx((dense.astype(int) @ pool.astype(int)) @ rates["lif1"])
    assert set(read_layers(model.graph).roles) >= set(activity.fanout)


@pytest.mark.parametrize(
    ("profile", "message"),
    [
        ({"steps": 10, "counts": {"lif9": [1]}}, "'lif9' is not an input or neuron layer of the model"),
        ({"steps": 10, "counts": {"lif2": [1, 2]}}, "'lif2' has 2 values for 5 neurons"),
        ({"counts": {"lif2": [1] * 5}}, '"counts" need "steps"'),
        ({"rates": {"lif2": 30}}, "rates are spikes per neuron per step, not per second"),
        ({"steps": 2, "counts": {"lif2": [3] * 5}}, "more spikes than the 2 steps"),
    ],
)
def test_a_profile_the_model_cannot_use_is_named(tool, cnn, write_json, profile, message):
    r = tool(cnn, "--rates", write_json("p.json", profile))
    assert r.code == 2, r
    assert message in r.err


def test_default_rate_is_stated_and_every_layer_is_costed(tool, cnn):
    r = tool(cnn, "--default-rate", "0.2", "--steps", "7")
    assert r.code == 0, r
    assert "every neuron at the default rate of 0.2 spikes per step; 7 steps per inference" in r.out
    doc = tool(cnn, "--default-rate", "0.2", "--json", "-").json()
    assert doc["activity"]["source"] == "default"
    spikes = {x["layer"]: x["spikes_per_step"] for x in doc["activity"]["layers"]}
    assert spikes == pytest.approx({"input": 0.2 * 128, "lif1": 0.2 * 256, "lif2": 0.2 * 5})
    cost = doc["runs"][0]["cost"]
    assert cost["spikes_per_step"] == pytest.approx(0.2 * (128 + 256 + 5))
    assert cost["energy_pj_per_inference"] == pytest.approx(100 * cost["energy_pj_per_step"]["total"])
    assert sum(x["share"] for x in cost["layers"]) == pytest.approx(1)
    # every core placed: the cores' figures add up to the run's
    for key, total in (
        ("energy_pj_per_step", cost["energy_pj_per_step"]["total"]),
        ("synaptic_events_per_step", None),
    ):
        total = cost[key] if total is None else total
        assert sum(x[key] for x in cost["cores"]) == pytest.approx(total) and total > 0
    # the joint mapping got the same rates: its own multicast traffic is the cost's link count
    metrics = doc["runs"][0]["partition"]["metrics"]
    assert metrics["multicast_traffic"] == pytest.approx(cost["link_traversals_per_step"])


def test_simulate_without_the_simulator_exits_3_with_the_install_command(cnn):
    code = (
        "import sys; sys.modules['spyx'] = None; from zerav_map.cli import main; sys.exit(main(sys.argv[1:]))"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code, str(cnn), "--simulate"], capture_output=True, text=True
    )
    assert proc.returncode == 3, proc.stderr
    assert "pip install 'zerav-map[simulate]'" in proc.stderr


def _needs_simulator():
    # The simulation does not depend on the build flavour; JAX is not run with the sanitizer
    # runtimes preloaded.
    if os.environ.get("ZERAV_SANITIZED") == "1":
        pytest.skip("the simulator is not run under the sanitizer build")
    pytest.importorskip("spyx")


def test_simulate_counts_each_layers_spikes(tool, cnn):
    _needs_simulator()
    doc = tool(cnn, "--simulate", "--steps", "40", "--input-rate", "0.5", "--json", "-").json()
    layers = {x["layer"]: x for x in doc["activity"]["layers"]}
    assert doc["activity"]["source"] == "simulation" and doc["activity"]["steps"] == 40
    assert layers["input"]["rate_per_neuron"] == pytest.approx(0.5, abs=0.05)
    assert 0 < layers["lif1"]["rate_per_neuron"] <= 1
    assert doc["runs"][0]["cost"]["spikes_per_step"] == pytest.approx(
        sum(x["spikes_per_step"] for x in layers.values())
    )


def test_a_json_models_node_rates_are_its_activity_and_survive_export(tool, write_json, tmp_path):
    path = write_json(
        "m.json",
        {
            "nodes": [
                {"name": "in", "kind": "Input", "params": {"shape": [4]}, "rate": 2},
                {"name": "fc", "kind": "Linear", "arrays": {"weight": {"shape": [4, 4]}}},
                {"name": "lif", "kind": "LIF", "arrays": {"tau": {"shape": [4]}}, "rate": 1.5},
                {"name": "out", "kind": "Output", "params": {"shape": [4]}},
            ],
            "edges": [["in", "fc"], ["fc", "lif"], ["lif", "out"]],
        },
    )
    doc = tool(path, "--export-model", tmp_path / "again.json", "--json", "-").json()
    assert doc["activity"]["source"] == "model"
    assert {x["layer"]: x["spikes_per_step"] for x in doc["activity"]["layers"]} == {"in": 2, "lif": 1.5}
    again = json.loads((tmp_path / "again.json").read_text())
    assert [n.get("rate") for n in again["nodes"]] == [2, None, 1.5, None]
    bad = write_json("bad.json", {"nodes": [{"name": "in", "kind": "Input", "rate": -1}], "edges": []})
    assert '"rate" is the spikes per step the node sends' in tool(bad).err


def test_simulate_runs_a_recurrent_layer_with_scalar_neuron_parameters(tool, tmp_path):
    _needs_simulator()
    from tests.tool import framework_models

    framework_models.write("reservoir", tmp_path / "r.nir")
    r = tool(tmp_path / "r.nir", "--simulate", "--steps", "5", "--json", "-")
    assert r.code == 0, r
    layers = {x["layer"]: x["neurons"] for x in r.json()["activity"]["layers"]}
    assert layers == {"input": 100, "res": 2304, "readout": 10}
