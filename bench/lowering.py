"""Lowering benchmark: NIR CNNs of 1e3 to 1e5 neuron groups and 1e5 to 1e7 group edges.

For each model, in one run: the time of lowering it (reading excluded), the time of
``partition(greedy)`` on the lowered graph, their ratio (target: lowering no slower than that
partition), and the peak memory growth of the lowering, measured in a child process.
Usage: python -m bench.lowering [--sizes 1e3-groups,1e4-groups] [--no-memory]
"""

from __future__ import annotations

import argparse
import gc
import subprocess
import sys
import time

import numpy as np

# event camera size, channels of the three convolutions, group size
SIZES = {
    "1e3-groups": (32, 16, 32, 32),
    "1e4-groups": (96, 16, 64, 32),
    "1e7-edges": (128, 16, 64, 16),
    "1e5-groups": (256, 4, 16, 8),
}


def dvs_cnn(side: int, c1: int, c2: int):
    """A NIR graph: 2 x side x side events, three convolutions, pooling, a dense readout."""
    import nir

    rng = np.random.default_rng(0)

    def lif():
        one = np.ones(1, np.float32)  # one value for the whole layer
        return nir.LIF(tau=one, r=one, v_leak=one * 0, v_threshold=one)

    def conv(cin, cout, stride, size):
        w = rng.normal(size=(cout, cin, 3, 3)).astype(np.float32)
        return nir.Conv2d((size, size), w, stride, 1, 1, 1, np.zeros(cout, np.float32))

    flat = c2 * (side // 4) ** 2
    nodes = {
        "events": nir.Input(np.array([2, side, side])),
        "conv1": conv(2, c1, 1, side),
        "lif1": lif(),
        "conv2": conv(c1, c2, 2, side),
        "lif2": lif(),
        "conv3": conv(c2, c2, 1, side // 2),
        "lif3": lif(),
        "pool": nir.SumPool2d(np.array([2, 2]), np.array([2, 2]), np.array([0, 0])),
        "flat": nir.Flatten(np.array([c2, side // 4, side // 4]), start_dim=0),
        "readout": nir.Linear(rng.normal(size=(10, flat)).astype(np.float32)),
        "lif4": lif(),
        "classes": nir.Output(np.array([10])),
    }
    order = list(nodes)
    edges = list(zip(order[:-1], order[1:]))
    return nir.NIRGraph(nodes=nodes, edges=edges, type_check=False)


def _model(size: str):
    from zerav_map.models import Model
    from zerav_map.models.nir_model import nir_to_graph

    side, c1, c2, _ = SIZES[size]
    return Model(f"dvs-cnn {size}", nir_to_graph(dvs_cnn(side, c1, c2)), "bench", format="nir")


def _lower(model, size: str):
    from zerav.graph.resource import _precision_to_bytes
    from zerav_map.lowering import Options, lower

    g = SIZES[size][3]
    return lower(model, Options(group_size=g, max_edges=10**9), _precision_to_bytes)


def _peak_child(size: str) -> int | None:
    out = subprocess.run(
        [sys.executable, "-m", "bench.lowering", "--peak", size], capture_output=True, text=True
    )
    return int(out.stdout.strip()) if out.returncode == 0 and out.stdout.strip() else None


def _peak(size: str) -> None:
    from bench.peak import _reset_peak, _status_kb

    model = _model(size)
    gc.collect()
    _reset_peak()
    before = _status_kb("VmRSS")
    lowered, _ = _lower(model, size)
    print(max(0, _status_kb("VmHWM") - before) * 1024)


def main() -> None:
    p = argparse.ArgumentParser(prog="python -m bench.lowering")
    p.add_argument("--sizes", default=",".join(SIZES))
    p.add_argument("--no-memory", action="store_true")
    p.add_argument("--peak", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.peak:
        _peak(args.peak)
        return
    from zerav.graph.constraints import HardwareSpec
    from zerav.graph.partition import partition
    from zerav_map.lowering import lower  # noqa: F401  (imported before anything is timed)

    print(
        f"{'model':<20}{'groups':>9}{'edges':>12}{'lower s':>10}{'greedy s':>10}{'ratio':>8}{'peak MB':>10}"
    )
    for size in args.sizes.split(","):
        model = _model(size)
        gc.collect()
        t0 = time.perf_counter()
        lowered, summary = _lower(model, size)
        t_lower = time.perf_counter() - t0
        graph = lowered.fresh_graph()
        groups = len(graph.nodes)
        hw = HardwareSpec(
            num_cores=groups, max_neurons_per_core=16, core_mesh_topology=None, max_feedback_delay=-1
        )
        gc.collect()
        t0 = time.perf_counter()
        partition(graph, hw, "greedy")
        t_greedy = time.perf_counter() - t0
        peak = None if args.no_memory else _peak_child(size)
        peak_text = "-" if peak is None else f"{peak / 1e6:.0f}"
        print(
            f"{model.name:<20}{groups:>9,}{summary.edges:>12,}{t_lower:>10.2f}{t_greedy:>10.2f}"
            f"{t_lower / t_greedy:>8.2f}{peak_text:>10}",
            flush=True,
        )
        del lowered, graph
    print("ratio = lowering time / partition(greedy) time on the same lowered graph (target <= 1)")


if __name__ == "__main__":
    main()
