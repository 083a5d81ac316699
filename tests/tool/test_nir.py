"""NIR files written with the ``nir`` package and mapped by the tool."""

from __future__ import annotations

import numpy as np
import pytest

nir = pytest.importorskip("nir")


def _lif(n, dtype=np.float32):
    return nir.LIF(
        tau=np.ones(n, dtype),
        r=np.ones(n, dtype),
        v_leak=np.zeros(n, dtype),
        v_threshold=np.ones(n, dtype),
        v_reset=np.zeros(n, dtype),
    )


def _recurrent_block(width, n):
    return nir.NIRGraph(
        nodes={
            "input": nir.Input(input_type=np.array([width])),
            "lin": nir.Linear(weight=np.zeros((n, width), np.int8)),
            "lif": _lif(n),
            "rec": nir.Linear(weight=np.zeros((n, n), np.int8)),
            "output": nir.Output(output_type=np.array([n])),
        },
        edges=[("input", "lin"), ("lin", "lif"), ("lif", "rec"), ("rec", "lif"), ("lif", "output")],
    )


def _network():
    conv = nir.Conv2d(
        input_shape=(8, 8),
        weight=np.zeros((4, 2, 3, 3), np.float16),
        stride=1,
        padding=1,
        dilation=1,
        groups=1,
        bias=np.zeros(4, np.float16),
    )
    return nir.NIRGraph(
        nodes={
            "in": nir.Input(input_type=np.array([2, 8, 8])),
            "conv": conv,
            "flat": nir.Flatten(input_type={"input": np.array([4, 8, 8])}, start_dim=0, end_dim=-1),
            "block": _recurrent_block(256, 16),
            "out": nir.Output(output_type=np.array([16])),
        },
        edges=[("in", "conv"), ("conv", "flat"), ("flat", "block"), ("block", "out")],
    )


@pytest.fixture
def nir_file(tmp_path):
    path = tmp_path / "net.nir"
    nir.write(str(path), _network())
    return path


def test_nir_file_is_flattened_and_mapped(tool, nir_file, backend):
    r = tool(nir_file, "--json", "-", "--no-lower")
    assert r.code == 0, r
    doc = r.json()
    assert doc["model"] == {
        "name": "net",
        "source": str(nir_file),
        "nodes": 7,
        "compute_nodes": 5,
        "inputs": 1,
        "outputs": 1,
        "edges": 7,
    }
    run = doc["runs"][0]
    assert set(run["partition"]["assignments"]) == {
        "in",
        "conv",
        "flat",
        "block.lin",
        "block.lif",
        "block.rec",
        "out",
    }
    res = run["resources"]
    # conv: 76 fp16 elements; lin 16 x 256 and rec 16 x 16 int8; the LIF's reset potential
    # counts as 16 fp32 elements beside its four state arrays; Flatten has no arrays.
    assert res["total_weight_bytes"] == 76 * 2 + 16 * 256 + 16 * 16 + 16 * 4
    assert res["total_state_bytes"] == 4 * 16 * 4


def test_nir_edges_are_joined_through_subgraph_ports(nir_file):
    from zerav import ir
    from zerav_map.models import load_model

    model = load_model(str(nir_file))
    g = model.graph
    assert sorted(g.edges) == sorted(
        [
            ("in", "conv"),
            ("conv", "flat"),
            ("flat", "block.lin"),
            ("block.lin", "block.lif"),
            ("block.lif", "block.rec"),
            ("block.rec", "block.lif"),
            ("block.lif", "out"),
        ]
    )
    assert isinstance(g.nodes["in"], ir.Input) and g.nodes["in"].shape == (2, 8, 8)
    assert isinstance(g.nodes["out"], ir.Output) and g.nodes["out"].shape == (16,)
    # The host Conv2d has no dilation, groups or input shape: a record class keeps them.
    conv = g.nodes["conv"]
    assert type(conv).__name__ == "Conv2d" and conv.precision == "fp16"
    assert (conv.dilation, conv.groups, conv.input_shape) == ((1, 1), 1, (8, 8))
    assert type(g.nodes["block.lin"]) is ir.Linear and g.nodes["block.lin"].precision == "int8"
    # The host LIF has no reset potential, so the NIR LIF keeps a record class of its own.
    lif = g.nodes["block.lif"]
    assert type(lif) is not ir.LIF and type(lif).__name__ == "LIF"
    assert lif.v_reset.shape == (16,) and hasattr(lif, "core_id")


def test_nested_graphs_and_dotted_endpoints():
    from zerav_map.models.nir_model import nir_to_graph

    inner = nir.NIRGraph(
        nodes={
            "a": nir.Input(input_type=np.array([4])),
            "b": nir.Input(input_type=np.array([4])),
            "sum": nir.Linear(weight=np.zeros((4, 4))),
            "o": nir.Output(output_type=np.array([4])),
        },
        edges=[("a", "sum"), ("b", "sum"), ("sum", "o")],
        type_check=False,
    )
    middle = nir.NIRGraph(
        nodes={
            "i": nir.Input(input_type=np.array([4])),
            "deep": inner,
            "o": nir.Output(output_type=np.array([4])),
        },
        edges=[("i", "deep"), ("deep", "o")],
        type_check=False,
    )
    top = nir.NIRGraph(
        nodes={
            "x": nir.Input(input_type=np.array([4])),
            "m": middle,
            "tap": nir.Scale(scale=np.ones(4)),
            "y": nir.Output(output_type=np.array([4])),
        },
        edges=[("x", "m"), ("m", "y"), ("x", "m.deep.sum"), ("m.deep.sum", "tap"), ("tap", "y")],
        type_check=False,
    )
    g = nir_to_graph(top)
    assert set(g.nodes) == {"x", "m.deep.sum", "tap", "y"}
    # x reaches the sum through both inner inputs (two parallel edges) and directly once.
    assert sorted(g.edges) == sorted(
        [
            ("x", "m.deep.sum"),
            ("x", "m.deep.sum"),
            ("x", "m.deep.sum"),
            ("m.deep.sum", "y"),
            ("m.deep.sum", "tap"),
            ("tap", "y"),
        ]
    )


@pytest.mark.parametrize(
    "edges, problem",
    [
        ([("x", "ghost")], "edge endpoint 'ghost' names no node of the top graph"),
        ([("x", "s.nothing")], "edge endpoint 's.nothing' names no node of the top graph"),
    ],
)
def test_bad_nir_edges(tool, tmp_path, edges, problem):
    sub = nir.NIRGraph(
        nodes={"i": nir.Input(input_type=np.array([1])), "o": nir.Output(output_type=np.array([1]))},
        edges=[("i", "o")],
    )
    doc = nir.NIRGraph(
        nodes={"x": nir.Input(input_type=np.array([1])), "s": sub}, edges=[("x", "s")], type_check=False
    )
    doc.edges = edges
    path = tmp_path / "bad.nir"
    nir.write(str(path), doc)
    r = tool(path)
    assert r.code == 2, r
    assert r.err == f"zerav-map: error: {path}: inconsistent model: {problem}\n", r
