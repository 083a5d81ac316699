"""Group edges of the lowering against every nonzero synapse found neuron by neuron."""

from __future__ import annotations

import numpy as np
import pytest

from tests.tool import lowering_reference as ref

nir = pytest.importorskip("nir")

from zerav_map.lowering import Options, lower  # noqa: E402
from zerav_map.lowering.tiling import single, tile  # noqa: E402
from zerav_map.models import Model  # noqa: E402
from zerav_map.models.nir_model import nir_to_graph  # noqa: E402

BYTES = {"fp32": 4, "fp16": 2, "int32": 4, "int16": 2, "int8": 1, "int4": 1}.get


def _lif(shape=None):
    """Scalar parameters, as some exporters write them: the layer's size comes from its input."""
    one = np.array(1.0, np.float32)
    return nir.LIF(tau=one * 0.02, r=one, v_leak=one * 0, v_threshold=one)


def _sparse(rng, shape, keep=0.5):
    w = rng.normal(size=shape).astype(np.float32)
    return w * (rng.random(shape) < keep)


def _conv(rng, cin, cout, k, stride, pad, dil, groups, keep=0.5):
    w = _sparse(rng, (cout, cin // groups, k, k), keep)
    w[0, :] = 0  # a whole output channel without synapses
    conv = nir.Conv2d(
        input_shape=None,
        weight=w,
        stride=stride,
        padding=pad,
        dilation=dil,
        groups=groups,
        bias=np.zeros(cout),
    )
    return conv, w


def _graph(nodes, edges):
    return nir.NIRGraph(nodes=nodes, edges=edges, type_check=False)


def _lowered_pairs(graph, g, policy):
    lowered, _ = lower(Model("m", nir_to_graph(graph), "test"), Options(group_size=g, policy=policy), BYTES)

    def split(name):
        layer, _, index = name.partition("#")
        return layer, int(index or 0)

    edges = lowered.graph.edges
    assert len(set(edges)) == len(edges), "an edge listed twice"
    return {split(s) + split(d) for s, d in edges}, lowered


def _expected(relations, shapes, g, policy):
    """{(source, group, destination, group)} from {(source, destination): relation}."""

    def groups(name):
        if name.startswith("output"):
            return single(shapes[name]).group_ids()
        return tile(shapes[name], g, policy).group_ids()

    out = set()
    for (src, dst), relation in relations.items():
        for a, b in ref.group_pairs(relation, groups(src), groups(dst)):
            if (src, a) != (dst, b):
                out.add((src, a, dst, b))
    return out


def _chain(*matrices):
    out = matrices[0].astype(np.int64)
    for m in matrices[1:]:
        out = (m.astype(np.int64) @ out) > 0
    return out > 0


CONV_CASES = [
    # cin, cout, h, w, kernel, stride, padding, dilation, groups, group size
    (2, 4, 9, 9, 3, 1, 0, 1, 1, 20),
    (2, 4, 9, 9, 3, 2, 1, 1, 1, 20),
    (3, 6, 11, 10, 5, 1, 2, 1, 3, 30),
    (4, 4, 12, 12, 3, 2, 2, 2, 2, 17),
    (2, 3, 8, 8, 5, 2, 2, 1, 1, 7),
    (1, 2, 7, 9, 3, 1, 1, 2, 1, 40),
    (2, 2, 13, 9, 3, 2, 0, 3, 1, 9),
    (6, 8, 5, 9, 3, 1, 1, 1, 2, 5),  # rows longer than a group; more channels than a group
]


@pytest.mark.parametrize("policy", ["channels", "tiles"])
@pytest.mark.parametrize("case", CONV_CASES, ids=lambda c: "-".join(map(str, c)))
def test_convolution_edges_match_every_synapse(case, policy):
    cin, cout, h, w, k, stride, pad, dil, groups, g = case
    rng = np.random.default_rng(sum(case))
    conv, weight = _conv(rng, cin, cout, k, stride, pad, dil, groups)
    m, out_shape = ref.conv_matrix((cin, h, w), weight, (stride,) * 2, (pad,) * 2, (dil,) * 2, groups)
    graph = _graph(
        {
            "input": nir.Input(np.array([cin, h, w])),
            "conv": conv,
            "lif": _lif(out_shape),
            "output": nir.Output(None),
        },
        [("input", "conv"), ("conv", "lif"), ("lif", "output")],
    )
    n = int(np.prod(out_shape))
    shapes = {"input": (cin, h, w), "lif": out_shape, "output": out_shape}
    relations = {("input", "lif"): m, ("lif", "output"): np.eye(n, dtype=bool)}
    got, _ = _lowered_pairs(graph, g, policy)
    assert got == _expected(relations, shapes, g, policy)


@pytest.mark.parametrize("policy", ["channels", "tiles"])
def test_pool_then_convolution(policy):
    rng = np.random.default_rng(1)
    conv, weight = _conv(rng, 2, 3, 3, 1, 1, 1, 1)
    pool = nir.SumPool2d(kernel_size=np.array([2, 2]), stride=np.array([2, 2]), padding=np.array([0, 0]))
    p, pooled = ref.pool_matrix((2, 10, 10), (2, 2), (2, 2), (0, 0))
    c, out_shape = ref.conv_matrix(pooled, weight, (1, 1), (1, 1), (1, 1), 1)
    graph = _graph(
        {"input": nir.Input(np.array([2, 10, 10])), "pool": pool, "conv": conv, "lif": _lif(out_shape)},
        [("input", "pool"), ("pool", "conv"), ("conv", "lif")],
    )
    got, _ = _lowered_pairs(graph, 12, policy)
    assert got == _expected(
        {("input", "lif"): _chain(p, c)}, {"input": (2, 10, 10), "lif": out_shape}, 12, policy
    )


@pytest.mark.parametrize("policy", ["channels", "tiles"])
def test_pool_flatten_dense(policy):
    rng = np.random.default_rng(2)
    pool = nir.AvgPool2d(kernel_size=np.array([2, 2]), stride=np.array([2, 2]), padding=np.array([0, 0]))
    weight = _sparse(rng, (10, 48), keep=0.1)
    p, _ = ref.pool_matrix((3, 8, 8), (2, 2), (2, 2), (0, 0))
    graph = _graph(
        {
            "input": nir.Input(np.array([3, 8, 8])),
            "pool": pool,
            "flat": nir.Flatten(input_type=None, start_dim=0),
            "fc": nir.Linear(weight=weight),
            "lif": _lif(10),
        },
        [("input", "pool"), ("pool", "flat"), ("flat", "fc"), ("fc", "lif")],
    )
    got, _ = _lowered_pairs(graph, 5, policy)
    want = _expected(
        {("input", "lif"): _chain(p, ref.dense_matrix(weight))}, {"input": (3, 8, 8), "lif": (10,)}, 5, policy
    )
    assert got == want


@pytest.mark.parametrize("policy", ["channels", "tiles"])
def test_convolution_flatten_dense_without_neurons_between(policy):
    rng = np.random.default_rng(3)
    conv, cw = _conv(rng, 2, 3, 3, 1, 0, 1, 1)
    weight = _sparse(rng, (7, 48), keep=0.05)
    c, _ = ref.conv_matrix((2, 6, 6), cw, (1, 1), (0, 0), (1, 1), 1)
    graph = _graph(
        {
            "input": nir.Input(np.array([2, 6, 6])),
            "conv": conv,
            "flat": nir.Flatten(input_type=None, start_dim=0),
            "fc": nir.Affine(weight=weight, bias=np.zeros(7)),
            "lif": _lif(7),
        },
        [("input", "conv"), ("conv", "flat"), ("flat", "fc"), ("fc", "lif")],
    )
    got, _ = _lowered_pairs(graph, 4, policy)
    want = _expected(
        {("input", "lif"): _chain(c, ref.dense_matrix(weight))}, {"input": (2, 6, 6), "lif": (7,)}, 4, policy
    )
    assert got == want


def test_recurrent_layer_keeps_its_block_structure():
    rng = np.random.default_rng(4)
    w_in = _sparse(rng, (12, 6), keep=0.3)
    w_rec = np.kron(np.eye(3), np.ones((4, 4))) * _sparse(rng, (12, 12), keep=0.6)
    w_rec[0, 11] = 1.0  # one synapse from the last block into the first
    graph = _graph(
        {
            "input": nir.Input(np.array([6])),
            "fc": nir.Linear(weight=w_in),
            "lif": _lif(12),
            "rec": nir.Linear(weight=w_rec),
        },
        [("input", "fc"), ("fc", "lif"), ("lif", "rec"), ("rec", "lif")],
    )
    got, _ = _lowered_pairs(graph, 4, "channels")
    relations = {("input", "lif"): ref.dense_matrix(w_in), ("lif", "lif"): ref.dense_matrix(w_rec)}
    assert got == _expected(relations, {"input": (6,), "lif": (12,)}, 4, "channels")
    assert ("lif", 2, "lif", 0) in got and ("lif", 0, "lif", 2) not in got


@pytest.mark.parametrize("policy", ["channels", "tiles"])
def test_skip_connection_adds_to_the_same_layer(policy):
    rng = np.random.default_rng(5)
    nodes = {"input": nir.Input(np.array([2, 8, 8]))}
    edges = []
    mats = {}
    for name, src, dst, cin in (
        ("c1", "input", "lif1", 2),
        ("c2", "lif1", "lif2", 3),
        ("c3", "lif2", "lif3", 3),
        ("skip", "lif1", "lif3", 3),
    ):
        conv, w = _conv(rng, cin, 3, 3, 1, 1, 1, 1, keep=0.3)
        nodes[name] = conv
        nodes.setdefault(dst, _lif((3, 8, 8)))
        edges += [(src, name), (name, dst)]
        mats[(src, dst)] = ref.conv_matrix((cin, 8, 8), w, (1, 1), (1, 1), (1, 1), 1)[0]
    shapes = {"input": (2, 8, 8), "lif1": (3, 8, 8), "lif2": (3, 8, 8), "lif3": (3, 8, 8)}
    got, _ = _lowered_pairs(_graph(nodes, edges), 20, policy)
    assert got == _expected(mats, shapes, 20, policy)


def test_elementwise_steps_on_a_dense_chain_and_an_output_fed_twice():
    rng = np.random.default_rng(6)
    weight = _sparse(rng, (6, 12), keep=0.2)
    graph = _graph(
        {
            "input": nir.Input(np.array([12])),
            "delay": nir.Delay(np.ones(12)),
            "fc": nir.Linear(weight=weight),
            "scale": nir.Scale(np.ones(6)),
            "lif": _lif(),
            "lif2": _lif(),
            "output": nir.Output(None),
        },
        [("input", "delay"), ("delay", "fc"), ("fc", "scale"), ("scale", "lif"), ("fc", "lif2")]
        + [("lif", "output"), ("lif2", "output")],
    )
    got, lowered = _lowered_pairs(graph, 4, "channels")
    dense, same = ref.dense_matrix(weight), np.eye(6, dtype=bool)
    relations = {
        ("input", "lif"): dense,
        ("input", "lif2"): dense,
        ("lif", "output"): same,
        ("lif2", "output"): same,
    }
    want = _expected(relations, {"input": (12,), "lif": (6,), "lif2": (6,), "output": (6,)}, 4, "channels")
    assert got == want
    # The delays belong to the source side of the chain, so each destination group holds them all.
    assert (
        lowered.graph.nodes["lif#0"].delay_delay.size == 12
        and lowered.graph.nodes["lif#1"].scale_scale.size == 2
    )
