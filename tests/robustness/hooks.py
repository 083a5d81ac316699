"""Hostile host objects that act during a call: names, nodes, core ids and hardware members
whose hooks change the graph, collect garbage, re-enter the module or reach the call's objects
through the collector; names whose equality drifts; instance attribute dicts as node
containers; replaced module globals. Shared by the hook-driven robustness tests."""

from __future__ import annotations

import gc
import types

import rustworkx
from hypothesis import strategies as st

from tests.robustness.hostile import Boom, numbers
from zerav import ir

ACTIONS = ["none", "collect", "drop", "insert", "replace", "edge", "clear edges", "reenter", "snoop", "raise"]


class Script:
    """The actions the hooks of one example run, one per hook call, then nothing."""

    def __init__(self, actions):
        self.actions = list(actions)
        self.graph = None
        self.reenter = None  # a no-argument callable that calls the function under test again
        self.depth = 0

    def fire(self):
        if not self.actions or self.graph is None:
            return
        action = self.actions.pop(0)
        nodes = getattr(self.graph, "nodes", None)
        if action == "collect":
            gc.collect(0)  # the young generation: where the call's own objects are
        elif action == "drop" and isinstance(nodes, dict) and nodes:
            nodes.pop(next(iter(nodes)))
        elif action == "drop" and isinstance(nodes, Holder) and vars(nodes):
            delattr(nodes, next(iter(vars(nodes))))
        elif action == "insert" and isinstance(nodes, dict):
            nodes[f"new{len(nodes)}"] = ir.LIF()
        elif action == "replace" and isinstance(nodes, dict) and nodes:
            nodes[next(reversed(nodes))] = ir.Output()
        elif action == "replace" and isinstance(nodes, Holder) and vars(nodes):
            setattr(nodes, next(reversed(vars(nodes))), ir.Output())
        elif action == "edge" and isinstance(self.graph.edges, list):
            self.graph.edges.append(("a", "b"))
        elif action == "clear edges" and isinstance(self.graph.edges, list):
            self.graph.edges.clear()
        elif action == "reenter" and self.reenter and self.depth < 2:
            self.depth += 1
            try:
                self.reenter()
            except Exception:
                pass
            finally:
                self.depth -= 1
        elif action == "snoop":
            snoop(self.graph)
        elif action == "raise":
            raise Boom("hook")


def snoop(graph):
    """Reaches, through the collector, containers of the kind a call keeps while it runs (a
    dict of CoreBudget records, a dict from core ids to ints, a list of the graph's node
    objects) and changes them as host code could. Other objects (the test runner's own) are
    left alone."""
    nodes = getattr(graph, "nodes", None)
    node_ids = {id(v) for v in nodes.values()} if isinstance(nodes, dict) else set()
    for obj in gc.get_objects(0):  # the young generation: where the call's own objects are
        if type(obj) is dict and obj is not nodes and obj:
            budgets = all(type(v).__name__ == "CoreBudget" for v in obj.values())
            positions = all(type(k) is HookedCore for k in obj) and all(type(v) is int for v in obj.values())
            if budgets or positions:
                for k in list(obj)[:2]:
                    obj[k] = 10**9
        elif type(obj) is list and obj and node_ids and all(id(v) in node_ids for v in obj):
            obj.append(None)


class Holder:
    """An object whose attribute dict (vars) serves as graph.nodes."""


class SlottedGraph:
    """A graph with no room for partition_metadata."""

    __slots__ = ("nodes", "edges")


class ReadOnlyMetadataGraph:
    """A graph whose partition_metadata cannot be stored."""

    def __setattr__(self, name, value):
        if name == "partition_metadata":
            raise AttributeError("read-only metadata")
        object.__setattr__(self, name, value)


class HookedName(str):
    """A str name (a subclass) whose hashing runs a hook."""

    script = None

    def __hash__(self):
        if HookedName.script:
            HookedName.script.fire()
        return str.__hash__(self)

    __eq__ = str.__eq__


class DriftingName:
    """Names of one hash whose `==` answers by a drawn pattern that moves on every call."""

    def __init__(self, label, pattern):
        self.label, self.pattern, self.calls = label, pattern, 0

    def __hash__(self):
        return 7

    def __eq__(self, other):
        self.calls += 1
        return bool(self.pattern >> (self.calls % 8) & 1)

    def __repr__(self):
        return f"D{self.label}"


class HookedNode:
    """A compute node whose attribute reads run a hook."""

    def __init__(self, script, core_id=None):
        self._script, self._core = script, core_id

    @property
    def core_id(self):
        self._script.fire()
        return self._core

    @core_id.setter
    def core_id(self, value):
        self._script.fire()
        self._core = value

    @property
    def weight(self):
        self._script.fire()
        return None


class HookedCore(int):
    """A core id whose comparisons run a hook."""

    script = None

    __hash__ = int.__hash__

    def __eq__(self, other):
        if HookedCore.script:
            HookedCore.script.fire()
        return int.__eq__(self, other)


def hooked_spec(script, members):
    """A hardware description whose every member read runs a hook first."""

    class Hw:
        def validate(self):
            script.fire()

        def __getattr__(self, name):
            script.fire()
            if name in members:
                return members[name]
            raise AttributeError(name)

    return Hw()


class GarbageRx:
    """A replaced `rx` whose orders are drawn, not computed."""

    PyDiGraph = rustworkx.PyDiGraph

    def __init__(self, dag, order, components):
        self.is_directed_acyclic_graph = lambda g: dag
        self.topological_sort = lambda g: order
        self.strongly_connected_components = lambda g: components


indices = st.one_of(st.integers(-3, 8), st.just(2**40), st.none(), st.just("a"))
garbage_rx = st.builds(
    GarbageRx,
    st.booleans(),
    st.lists(indices, max_size=6),
    st.lists(st.lists(indices, max_size=4), max_size=4),
)


@st.composite
def hostile_world(draw):
    """(graph, hw_spec, script): a graph whose names, nodes and containers may carry hooks or
    drifting equality, a hooked hardware description, and the script their hooks run."""
    script = Script(draw(st.lists(st.sampled_from(ACTIONS), max_size=4)))
    kind = draw(st.sampled_from(["plain", "hooked names", "drifting", "vars"]))
    count = draw(st.integers(0, 6))
    if kind == "drifting":
        names = [DriftingName(i, draw(st.integers(0, 255))) for i in range(count)]
    elif kind == "hooked names":
        names = [HookedName("abcdef"[i]) for i in range(count)]
    else:
        names = ["abcdef"[i] for i in range(count)]
    core = draw(st.sampled_from([int, HookedCore]))
    # Graphs of boundary nodes only are a family of their own: no node has to fit a core.
    boundary_only = draw(st.integers(0, 4)) == 0
    node_kinds = st.sampled_from(
        ["input", "output"] if boundary_only else ["lif", "input", "output", "hooked"]
    )
    nodes = {}
    for name in names:
        if nodes and draw(st.integers(0, 5)) == 0:  # one node object under a second name
            nodes[name] = nodes[draw(st.sampled_from(list(nodes)))]
            continue
        k = draw(node_kinds)
        cid = core(draw(st.integers(0, 3)))
        if k == "hooked":
            nodes[name] = HookedNode(script, cid)
        else:
            nodes[name] = {"lif": ir.LIF, "input": ir.Input, "output": ir.Output}[k](core_id=cid)
    graph = draw(st.sampled_from([ir.Graph, ir.Graph, SlottedGraph, ReadOnlyMetadataGraph]))()
    if kind == "vars":
        holder = Holder()
        for name, node in nodes.items():
            setattr(holder, name, node)
        graph.nodes = vars(holder)
        script_nodes = holder
    else:
        graph.nodes = nodes
        script_nodes = None
    pairs = draw(st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=8))
    graph.edges = [(names[a], names[b]) for a, b in pairs if a < len(names) and b < len(names)]
    if not isinstance(graph, SlottedGraph | ReadOnlyMetadataGraph) and draw(st.booleans()):
        assignments = {name: core(draw(st.integers(0, 3))) for name in names}
        graph.partition_metadata = {
            "assignments": assignments,
            "num_cores_used": draw(numbers),
            "cross_core_edges": list(graph.edges),
        }
    # Chips as a validate() that lets odd values through hands them over: every count may be
    # 0 or negative, and the chip may be far larger than the graph.
    huge = st.sampled_from([10_000, 2**31 - 1])
    members = {
        "num_cores": draw(st.one_of(st.integers(1, 8), numbers, huge)),
        "max_neurons_per_core": draw(st.one_of(st.integers(1, 4), numbers)),
        "core_mesh_topology": draw(
            st.one_of(
                st.none(),
                st.tuples(st.integers(1, 3), st.integers(1, 3)),
                st.sampled_from([(100, 100), (1, 2**31 - 1), (2, -1)]),
            )
        ),
        "max_feedback_delay": draw(st.integers(-1, 2)),
        "sram_bytes_per_core": draw(st.one_of(st.integers(0, 10**6), numbers)),
    }
    hw = hooked_spec(script, members) if draw(st.booleans()) else types.SimpleNamespace(**members)
    if not hasattr(hw, "validate"):
        hw.validate = lambda: None
    script.graph = graph
    if script_nodes is not None:
        # Attribute stores on the holder change graph.nodes without the dict knowing.
        script.graph = types.SimpleNamespace(nodes=script_nodes, edges=graph.edges)
    return graph, hw, script
