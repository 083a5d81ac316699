"""What each group carries, counted by the SRAM budget itself; the tiling; shapes from the graph."""

from __future__ import annotations

import math

import numpy as np
import pytest

nir = pytest.importorskip("nir")
resource = pytest.importorskip("zerav.graph.resource")

from zerav.graph.constraints import HardwareSpec  # noqa: E402
from zerav_map.errors import InputError  # noqa: E402
from zerav_map.lowering import Options, lower  # noqa: E402
from zerav_map.lowering.tiling import tile  # noqa: E402
from zerav_map.models import Model  # noqa: E402
from zerav_map.models.nir_model import nir_to_graph  # noqa: E402


def _lower(graph, g, policy="channels", **options):
    model = Model("m", nir_to_graph(graph), "test")
    return lower(model, Options(group_size=g, policy=policy, **options), resource._precision_to_bytes)


def _budgets(lowered):
    """(weight bytes, state bytes) of every group, each group alone on a core of its own."""
    nodes = lowered.graph.nodes
    for i, node in enumerate(nodes.values()):
        node.core_id = i
    res = resource.allocate(lowered.graph, HardwareSpec(sram_bytes_per_core=1 << 30))
    names = list(nodes)
    return {names[c]: (b.weight_bytes, b.state_bytes) for c, b in res.budgets.items()}


def _graph(nodes, edges):
    return nir.NIRGraph(nodes=nodes, edges=edges, type_check=False)


def test_dense_rows_and_every_neuron_parameter_as_state():
    weight = np.ones((10, 48), np.int8)
    one = np.array(1.0, np.float32)
    lif = nir.CubaLIF(tau_syn=one, tau_mem=one, r=one, v_leak=one, v_threshold=one, v_reset=one, w_in=one)
    graph = _graph(
        {
            "in": nir.Input(np.array([48])),
            "fc": nir.Affine(weight=weight, bias=np.ones(10, np.int8)),
            "lif": lif,
        },
        [("in", "fc"), ("fc", "lif")],
    )
    lowered, summary = _lower(graph, 4)
    # CubaLIF has seven parameters, each one 4-byte value per neuron whatever the precision.
    assert _budgets(lowered) == {f"lif#{i}": (n * 48 + n, n * 7 * 4) for i, n in enumerate((4, 4, 2))}
    row = next(r for r in summary.layers if r.name == "lif")
    assert (row.groups, row.bytes_per_group, row.kernel_copies) == (3, 4 * 49 + 4 * 28, 1)
    group = lowered.graph.nodes["lif#1"]
    assert group.tau.shape == (2, 4) and group.tau.strides[1] == 0  # two scalars, not copied per neuron
    assert np.shares_memory(group.fc_weight, weight)


@pytest.mark.parametrize("policy, channels_per_group", [("channels", 2), ("tiles", 6)])
def test_convolution_kernels_of_the_group_channels(policy, channels_per_group):
    weight = np.ones((6, 3, 3, 3), np.float16)
    conv = nir.Conv2d(None, weight, 1, 1, 1, 1, np.ones(6, np.float16))
    lif = nir.IF(r=np.float32(1), v_threshold=np.float32(1))
    graph = _graph(
        {"in": nir.Input(np.array([3, 5, 5])), "conv": conv, "lif": lif}, [("in", "conv"), ("conv", "lif")]
    )
    lowered, summary = _lower(graph, 50, policy)
    budgets = _budgets(lowered)
    kernel = 3 * 3 * 3 * 2 + 2  # one output channel's kernel and bias in fp16
    for weights, state in budgets.values():
        neurons = state // (3 * 4)  # IF: r, v_threshold, v_reset
        if policy == "channels":
            assert neurons == 50 and weights == channels_per_group * kernel
        else:
            assert weights == 6 * kernel  # every group holds every kernel
    assert sum(s for _, s in budgets.values()) == 6 * 25 * 12
    copies = next(r.kernel_copies for r in summary.layers if r.name == "lif")
    assert copies == (1 if policy == "channels" else len(budgets))


@pytest.mark.parametrize("shape", [(10,), (3, 7, 5), (40, 2, 2), (2, 30, 30), (1, 1, 300)])
@pytest.mark.parametrize("g", [1, 7, 32, 100])
@pytest.mark.parametrize("policy", ["channels", "tiles"])
def test_tiles_cover_the_tensor_once_in_boxes_of_at_most_g(shape, g, policy):
    t = tile(shape, g, policy)
    ids = t.group_ids().reshape(t.shape)
    assert np.bincount(ids.ravel(), minlength=t.groups).tolist() == t.counts().tolist()
    assert t.counts().max() <= g and t.counts().sum() == math.prod(shape)
    for i, box in enumerate(t.boxes()):
        assert (ids[box] == i).all()
    if len(shape) == 3:
        c, h, w = shape
        if policy == "channels" and h * w <= g:
            assert t.steps[1:] == (h, w)  # whole channel maps
        if policy == "tiles" and c <= g:
            assert t.steps[0] == c  # every channel of a tile


def test_shapes_come_from_the_graph_with_batch_axes_and_no_input_shape():
    weight = np.ones((4, 2, 3, 3))
    conv = nir.Conv2d(None, weight, 2, 0, 1, 1, np.zeros(4))  # no input_shape
    lif = nir.LIF(tau=np.array(1.0), r=np.array(1.0), v_leak=np.array(0.0), v_threshold=np.array(1.0))
    graph = _graph(
        {
            "in": nir.Input(np.array([1, 2, 9, 11])),  # a batch axis
            "conv": conv,
            "lif": lif,
            "flat": nir.Flatten(None, start_dim=1),
            "fc": nir.Linear(np.ones((3, 4 * 4 * 5))),
            "lif2": nir.LI(tau=np.array(1.0), r=np.array(1.0), v_leak=np.array(0.0)),
            "out": nir.Output(None),
        },
        [("in", "conv"), ("conv", "lif"), ("lif", "flat"), ("flat", "fc"), ("fc", "lif2"), ("lif2", "out")],
    )
    _, summary = _lower(graph, 1000)
    assert {r.name: r.shape for r in summary.layers} == {"in": (2, 9, 11), "lif": (4, 4, 5), "lif2": (3,)}


@pytest.mark.parametrize(
    "fc_in, problem",
    [
        (30, "dense node 'fc' takes 30 inputs but receives 20"),
        (20, None),
    ],
)
def test_a_model_that_contradicts_itself_is_inconsistent(fc_in, problem):
    graph = _graph(
        {
            "in": nir.Input(np.array([20])),
            "fc": nir.Linear(np.ones((5, fc_in))),
            "lif": nir.LI(np.ones(5), np.ones(5), np.ones(5)),
        },
        [("in", "fc"), ("fc", "lif")],
    )
    if problem is None:
        _lower(graph, 2)
        return
    with pytest.raises(InputError, match=f"inconsistent model: {problem}"):
        _lower(graph, 2)


def test_too_many_edges_stop_before_building_with_a_group_size_that_fits():
    graph = _graph(
        {
            "in": nir.Input(np.array([256])),
            "fc": nir.Linear(np.ones((256, 256))),
            "lif": nir.LI(np.ones(256), np.ones(256), np.ones(256)),
        },
        [("in", "fc"), ("fc", "lif")],
    )
    with pytest.raises(InputError, match=r"up to 4,096 edges.*feed layer 'lif'.*--group-size 16\b") as e:
        _lower(graph, 4, max_edges=1000)
    suggested = int(str(e.value).rsplit("--group-size ", 1)[1].split(")")[0])
    lowered, _ = _lower(graph, suggested, max_edges=1000)
    assert len(lowered.graph.edges) <= 1000


def test_memory_aware_sizing_shrinks_fan_in_heavy_layers_only():
    graph = _graph(
        {
            "in": nir.Input(np.array([64])),
            "wide": nir.Linear(np.ones((64, 64), np.int8)),
            "a": nir.LI(np.ones(64), np.ones(64), np.ones(64)),
            "thin": nir.Scale(np.ones(64, np.int8)),
            "b": nir.LI(np.ones(64), np.ones(64), np.ones(64)),
        },
        [("in", "wide"), ("wide", "a"), ("a", "thin"), ("thin", "b")],
    )
    # Per neuron a holds 64 weight bytes + 12 state bytes, b 1 + 12; each group also gets 8
    # routing bytes per group feeding it (a: the one input group; b: a's 5 groups).
    budget = 1100
    _, summary = _lower(graph, 64, group_budget=budget)
    rows = {r.name: r for r in summary.layers}
    # The largest size that fits, not a halving of 64 (8): 14 * 76 + 8 <= 1100 < 15 * 76 + 8.
    assert rows["a"].group_size == 14 and rows["a"].bytes_per_group == 14 * 76
    assert rows["b"].group_size == 64 and rows["b"].bytes_per_group == 64 * 13


def test_a_recurrent_set_larger_than_a_core_is_named():
    n = 64
    graph = _graph(
        {
            "in": nir.Input(np.array([n])),
            "fc": nir.Linear(np.ones((n, n))),
            "lif": nir.LI(np.ones(n), np.ones(n), np.ones(n)),
            "rec": nir.Linear(np.ones((n, n))),
        },
        [("in", "fc"), ("fc", "lif"), ("lif", "rec"), ("rec", "lif")],
    )
    _, summary = _lower(graph, 8, nodes_per_core=4)
    assert len(summary.notes) == 1 and summary.notes[0].startswith("recurrent layer(s) lif: 8 groups")
    _, summary = _lower(graph, 8, nodes_per_core=8)
    assert summary.notes == []


def test_too_many_groups_stop_before_any_is_made():
    graph = _graph(
        {"in": nir.Input(np.array([5000])), "lif": nir.LI(np.ones(5000), np.ones(5000), np.ones(5000))},
        [("in", "lif")],
    )
    with pytest.raises(
        InputError, match=r"10,000 groups, more than the limit of 1,000 .* layer 'in' alone has 5,000"
    ):
        _lower(graph, 1, max_edges=1000)


def _recurrent_through_its_own_weight(n_in, n, rng):
    """A recurrent layer as Spyx exports one: its input enters through the recurrent weight."""
    inner = _graph(
        {
            "rnn.input": nir.Input(np.array([n])),
            "rnn.w_rec": nir.Linear(rng.normal(size=(n, n)).astype(np.float32)),
            "rnn.lif": nir.LI(np.ones(n), np.ones(n), np.ones(n)),
            "rnn.output": nir.Output(np.array([n])),
        },
        [
            ("rnn.input", "rnn.w_rec"),
            ("rnn.w_rec", "rnn.lif"),
            ("rnn.lif", "rnn.w_rec"),
            ("rnn.lif", "rnn.output"),
        ],
    )
    fc = nir.Affine(rng.normal(size=(n, n_in)).astype(np.float32), rng.normal(size=n).astype(np.float32))
    return _graph(
        {"in": nir.Input(np.array([n_in])), "fc": fc, "rnn": inner}, [("in", "fc"), ("fc", "rnn")]
    ), fc


def test_dense_steps_in_a_row_fold_into_one_matrix_unless_copies_are_smaller():
    from zerav_map.cost.fanout import synapses_per_neuron
    from zerav_map.lowering.layers import read_layers

    rng = np.random.default_rng(3)
    graph, fc = _recurrent_through_its_own_weight(40, 16, rng)
    lowered, summary = _lower(graph, 4)
    w_rec = graph.nodes["rnn"].nodes["rnn.w_rec"].weight
    # Each group of 4 holds the rows of the product (40 inputs) with the carried bias, and its
    # rows of the recurrent weight (16), not the whole 16 x 40 input matrix.
    assert {w for w, _ in _budgets(lowered).values()} == {4 * (40 + 1 + 16) * 4}
    group = lowered.graph.nodes["rnn.rnn.lif#1"]
    folded = {k: v for k, v in vars(group).items() if k.startswith("fc_") and k.endswith("_weight")}
    (product,) = folded.values()
    np.testing.assert_allclose(product, (w_rec @ fc.weight)[4:8], rtol=1e-5)
    assert next(r for r in summary.layers if r.name.endswith("lif")).kernel_copies == 1
    # One synapse per input and neuron the product joins, not one per path through it.
    fanout = synapses_per_neuron(read_layers(nir_to_graph(graph)))
    assert fanout["in"] == pytest.approx(np.full(40, 16))

    # Through a narrow middle, the earlier matrix whole on every group is the smaller.
    narrow = _graph(
        {
            "in": nir.Input(np.array([64])),
            "down": nir.Linear(np.ones((4, 64), np.float32)),
            "up": nir.Linear(np.ones((16, 4), np.float32)),
            "lif": nir.LI(np.ones(16), np.ones(16), np.ones(16)),
        },
        [("in", "down"), ("down", "up"), ("up", "lif")],
    )
    lowered, _ = _lower(narrow, 16)
    assert _budgets(lowered) == {"lif": ((4 * 64 + 16 * 4) * 4, 16 * 3 * 4)}
