"""Ctrl-C during long native calls, and calls from several threads at once."""

from __future__ import annotations

import signal
import threading
import warnings

import pytest

import zerav.graph.partition as partition
from tests.helpers import make_graph, make_hw
from zerav import ir

NODE = object()  # one plain compute node object, shared: building the input stays cheap


def big_graph(n, fan_out=4):
    g = ir.Graph()
    g.nodes = {f"n{i}": NODE for i in range(n)}
    names = list(g.nodes)
    g.edges = [(names[i], names[(i * 7 + k * 13 + 1) % n]) for i in range(n) for k in range(fan_out)]
    return g


@pytest.fixture(scope="module")
def huge():
    return big_graph(600_000)


def interrupted(fn, delay=0.3):
    """Runs fn with Ctrl-C (SIGINT) raised after `delay` seconds; returns what fn raised.

    A kernel timer (SIGALRM) fires while the native call holds the interpreter lock; its
    handler runs at the call's next signal check and raises SIGINT, which the call must then
    answer with KeyboardInterrupt at its following check. (A timer thread could not run while
    the call holds the lock.)"""
    # Ctrl-C's own handler, whatever this process inherited (a job started in the background
    # of a non-interactive shell starts with SIGINT ignored).
    previous_int = signal.signal(signal.SIGINT, signal.default_int_handler)
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: signal.raise_signal(signal.SIGINT))
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fn()
    except (KeyboardInterrupt, TypeError) as exc:
        return exc
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        signal.signal(signal.SIGINT, previous_int)
    return None


# Each long input ends in an item that fails natively (an int is not a pair): a call that does
# not check for Ctrl-C on its way runs into that TypeError first.
@pytest.mark.parametrize("algorithm", ["greedy", "edgemap"])
def test_sigint_interrupts_partition_and_leaves_the_graph(huge, algorithm):
    hw = make_hw(max_neurons_per_core=64, num_cores=100_000)
    huge.edges.append(7)
    try:
        exc = interrupted(lambda: partition.partition(huge, hw, algorithm), delay=0.005)
    finally:
        huge.edges.pop()
    assert isinstance(exc, KeyboardInterrupt) and exc.__context__ is None
    assert huge.partition_metadata is None


def test_sigint_interrupts_the_feedback_check():
    edges = [("a", "b")] * 12_000_000 + [7]
    hw = make_hw(max_feedback_delay=10, core_mesh_topology=(4, 4), num_cores=16)
    exc = interrupted(lambda: partition._check_feedback_delay(edges, {"a": 0, "b": 5}, hw), delay=0.005)
    assert isinstance(exc, KeyboardInterrupt) and exc.__context__ is None


def run_in_threads(work, count):
    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_give_the_sequential_results():
    graphs = [big_graph(2_000 + 500 * k, fan_out=3) for k in range(6)]
    hw = make_hw(max_neurons_per_core=50, num_cores=200)
    expected = [partition.partition_edgemap(g, hw) for g in graphs]
    results = [None] * len(graphs)

    def work(k):
        for _ in range(3):
            results[k] = partition.partition_edgemap(graphs[k], hw)

    run_in_threads(work, len(graphs))
    assert results == expected


def test_pipeline_from_threads_gives_the_sequential_results():
    placement = pytest.importorskip("zerav.graph.placement")
    resource = pytest.importorskip("zerav.graph.resource")
    hw = make_hw(max_neurons_per_core=40, num_cores=400, core_mesh_topology=(20, 20))
    graphs = []
    for k in range(5):
        g = make_graph([f"n{i}" for i in range(800 + 100 * k)])
        names = list(g.nodes)
        g.edges = [(names[i], names[(i * 5 + k + 1) % len(names)]) for i in range(len(names))]
        partition.partition(g, hw, "edgemap")
        graphs.append(g)
    expected = [(placement.place(g, hw), resource.allocate(g, hw)) for g in graphs]
    results = [None] * len(graphs)

    def work(k):
        for _ in range(5):
            results[k] = (placement.place(graphs[k], hw), resource.allocate(graphs[k], hw))

    run_in_threads(work, len(graphs))
    assert results == expected
