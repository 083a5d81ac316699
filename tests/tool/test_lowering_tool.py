"""The tool on NIR models written with the ``nir`` package: lowered by default, as a user runs it."""

from __future__ import annotations

import io
import os

import numpy as np
import pytest

nir = pytest.importorskip("nir")


def _lif(n=None, scalar=False):
    if scalar:  # as Norse and snnTorch write them: one value for the whole layer
        one = np.ones(1, np.float32)
        return nir.LIF(tau=one, r=one, v_leak=one * 0, v_threshold=one)
    return nir.LIF(tau=np.ones(n), r=np.ones(n), v_leak=np.zeros(n), v_threshold=np.ones(n))


def _cnn():
    """A small DVS CNN: 2 x 34 x 34 events, two convolutions with pooling, a dense readout."""
    rng = np.random.default_rng(0)
    conv1 = nir.Conv2d(
        (34, 34), rng.normal(size=(8, 2, 3, 3)).astype(np.int8), 1, 1, 1, 1, np.zeros(8, np.int8)
    )
    conv2 = nir.Conv2d(
        (17, 17), rng.normal(size=(16, 8, 3, 3)).astype(np.int8), 1, 1, 1, 1, np.zeros(16, np.int8)
    )
    one = np.ones(1, np.float32)
    nodes = {
        "input": nir.Input(np.array([2, 34, 34])),
        "conv1": conv1,
        "lif1": _lif(scalar=True),
        "pool1": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),
        "conv2": conv2,
        "lif2": _lif(scalar=True),
        "flat": nir.Flatten(np.array([16, 17, 17]), start_dim=0),
        "fc": nir.Affine(np.ones((10, 16 * 17 * 17), np.int8), np.zeros(10, np.int8)),
        "out_lif": nir.CubaLIF(tau_syn=one, tau_mem=one, r=one, v_leak=one, v_threshold=one),
        "output": nir.Output(np.array([10])),
    }
    names = list(nodes)
    return nir.NIRGraph(nodes=nodes, edges=list(zip(names[:-1], names[1:])), type_check=False)


def _write(tmp_path, graph, name="model.nir"):
    path = tmp_path / name
    nir.write(str(path), graph)
    return path


def test_cnn_on_events_is_cut_into_groups_by_default(tool, tmp_path, backend):
    path = _write(tmp_path, _cnn())
    doc = tool(path, "--json", "-").json()
    low = doc["lowering"]
    assert low["group_size"] == 256 and low["derived"] == [
        "group size 256 = 4096 neurons per core // 16 nodes per core"
    ]
    rows = {r["name"]: (r["neurons"], r["groups"]) for r in low["layers"]}
    assert rows == {"input": (2312, 10), "lif1": (9248, 40), "lif2": (4624, 32), "out_lif": (10, 1)}
    assert doc["model"]["nodes"] == 10 + 40 + 32 + 1 + 1 and doc["model"]["edges"] == low["edges"]
    run = doc["runs"][0]
    assert run["status"] == "fits"
    assert sum(n for _, _, n in run["traffic"]) == run["partition"]["cross_core_edges"]
    # int8: each lif1 group (one channel, 7 rows) holds its channel's 2 x 3 x 3 kernel and bias,
    # each lif2 group (one channel, 15 rows) its 8 x 3 x 3 kernel and bias, out_lif the readout.
    budgets = run["resources"]
    assert budgets["total_weight_bytes"] == 40 * (18 + 1) + 32 * (72 + 1) + 10 * 4624 + 10
    assert budgets["total_state_bytes"] == (9248 + 4624) * 5 * 4 + 10 * 7 * 4  # LIF 5, CubaLIF 7 parameters

    report = tool(path, "--no-cores").out
    assert "Lowering into neuron groups" in report
    assert any(
        line.split()[:6] == ["lif2", "LIF", "16x17x17", "4624", "256", "32"] for line in report.splitlines()
    )
    layer_level = tool(path, "--no-lower", "--json", "-").json()
    assert layer_level["lowering"] is None and layer_level["model"]["nodes"] == 10


def test_block_policy_and_memory_aware_sizing_flags(tool, tmp_path, backend):
    path = _write(tmp_path, _cnn())
    doc = tool(path, "--json", "-", "--block-policy", "tiles", "--fit-sram", "--sram", "128K").json()
    assert doc["lowering"]["policy"] == "tiles"
    rows = {r["name"]: r for r in doc["lowering"]["layers"]}
    assert rows["lif2"]["kernel_copies"] == rows["lif2"]["groups"]  # every tile holds every kernel
    budget = 128 * 1024 // 16  # one readout neuron: 4624 weights, a bias and 7 x 4 state bytes
    assert (rows["out_lif"]["group_size"], rows["out_lif"]["bytes_per_group"]) == (1, 4624 + 1 + 28)
    assert all(r["bytes_per_group"] <= budget for r in rows.values())


def test_mlp_with_scalar_neuron_parameters_counts_its_state(tool, tmp_path, backend):
    graph = nir.NIRGraph(
        nodes={
            "input": nir.Input(np.array([1, 784])),  # a batch axis
            "fc1": nir.Linear(np.ones((128, 784), np.float32)),
            "lif": _lif(scalar=True),
            "fc2": nir.Linear(np.ones((10, 128), np.float32)),
            "li": nir.LI(tau=np.ones(1), r=np.ones(1), v_leak=np.zeros(1)),
            "output": nir.Output(np.array([10])),
        },
        edges=[("input", "fc1"), ("fc1", "lif"), ("lif", "fc2"), ("fc2", "li"), ("li", "output")],
        type_check=False,
    )
    doc = tool(_write(tmp_path, graph), "--json", "-", "--group-size", "64").json()
    assert doc["chip"]["nodes_per_core"] == 4096 // 64
    res = doc["runs"][0]["resources"]
    assert res["total_state_bytes"] == 4 * (128 * 5 + 10 * 3)  # LIF: 5 parameters, LI: 3
    assert res["total_weight_bytes"] == 4 * (128 * 784 + 10 * 128)


def _recurrent_block(width, n):
    return nir.NIRGraph(
        nodes={
            "input": nir.Input(np.array([width])),
            "lin": nir.Linear(np.ones((n, width), np.int8)),
            "lif": _lif(n),
            "rec": nir.Linear(np.ones((n, n), np.int8)),
            "output": nir.Output(np.array([n])),
        },
        edges=[("input", "lin"), ("lin", "lif"), ("lif", "rec"), ("rec", "lif"), ("lif", "output")],
        type_check=False,
    )


def test_nested_recurrent_block_larger_than_a_core_is_named(tool, tmp_path, backend):
    graph = nir.NIRGraph(
        nodes={
            "in": nir.Input(np.array([64])),
            "block": _recurrent_block(64, 512),
            "out": nir.Output(np.array([512])),
        },
        edges=[("in", "block"), ("block", "out")],
        type_check=False,
    )
    path = _write(tmp_path, graph)
    r = tool(path, "--neurons-per-core", "256", "--nodes-per-core", "4", "--compare", "--no-cores")
    assert (
        "note: recurrent layer(s) block.lif: 8 groups that reach each other, more than the 4 a core holds"
        in r.out
    )
    doc = tool(
        path, "--neurons-per-core", "256", "--nodes-per-core", "4", "-a", "greedy", "--json", "-"
    ).json()
    assert {n.split("#")[0] for n in doc["runs"][0]["partition"]["assignments"]} == {"in", "block.lif", "out"}
    assert doc["runs"][0]["problems"][0]["kind"] == "node-capacity"


def test_exported_model_keeps_what_the_lowering_needs(tool, tmp_path, backend):
    rng = np.random.default_rng(1)
    conv = nir.Conv2d((12, 12), rng.normal(size=(4, 1, 3, 3)), 2, 2, 2, 2, np.zeros(4))  # dilated, grouped
    graph = nir.NIRGraph(
        nodes={
            "input": nir.Input(np.array([2, 12, 12])),
            "conv": conv,
            "lif": _lif(4 * 6 * 6),
            "output": nir.Output(np.array([144])),
        },
        edges=[("input", "conv"), ("conv", "lif"), ("lif", "output")],
        type_check=False,
    )
    path = _write(tmp_path, graph)
    first = tool(path, "--group-size", "16", "--json", "-", "--export-model", "model.json").json()
    again = tool(tmp_path / "model.json", "--lower", "--group-size", "16", "--json", "-").json()
    assert again["lowering"]["layers"] == first["lowering"]["layers"]
    assert again["runs"][0]["partition"]["assignments"] == first["runs"][0]["partition"]["assignments"]


def test_too_many_edges_stop_with_the_layer_and_a_group_size(tool, tmp_path, backend):
    graph = nir.NIRGraph(
        nodes={"input": nir.Input(np.array([512])), "fc": nir.Linear(np.ones((512, 512))), "lif": _lif(512)},
        edges=[("input", "fc"), ("fc", "lif")],
        type_check=False,
    )
    path = _write(tmp_path, graph)
    r = tool(path, "--group-size", "8", "--max-edges", "1000")
    assert r.code == 2, r
    assert r.err.startswith(f"zerav-map: error: {path}: the lowered graph would have up to 4,096 edges")
    assert "feed layer 'lif'" in r.err and "--group-size 32" in r.err


def test_unexpected_error_is_exit_4_with_the_traceback_under_debug(monkeypatch, capsys, small_model):
    from zerav_map import cli, mapping

    def fault(*args):
        raise RuntimeError("a fault in the tool")

    monkeypatch.setattr(mapping, "run", fault)
    assert cli.main([str(small_model)]) == 4
    err = capsys.readouterr().err
    assert (
        err
        == "zerav-map: internal error: RuntimeError: a fault in the tool (run with --debug for the traceback)\n"
    )
    assert cli.main([str(small_model), "--debug"]) == 4
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):") and "RuntimeError: a fault in the tool" in err


@pytest.mark.parametrize("cores, code", [("64", 0), ("2", 1)])
def test_a_broken_pipe_keeps_the_verdict(monkeypatch, small_model, backend, cores, code):
    from zerav_map import cli

    read_end, write_end = os.pipe()

    class ClosedReader(io.TextIOBase):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

        def fileno(self):
            return write_end

    monkeypatch.setattr("sys.stdout", ClosedReader())
    try:
        assert (
            cli.main([str(small_model), "--cores", cores, "--nodes-per-core", "1", "--mesh", "none"]) == code
        )
    finally:
        os.close(read_end)
        os.close(write_end)


def test_version_is_the_installed_distribution_s(tool):
    import importlib.metadata

    provider = importlib.metadata.packages_distributions()["zerav_map"][0]
    assert tool("--version").out == f"zerav-map {importlib.metadata.version(provider)}\n"
