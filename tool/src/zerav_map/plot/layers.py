"""Which layer each node belongs to, and which layers each core holds, for the mesh picture.

A lowered model names a layer's groups ``layer#0``, ``layer#1``, ... (a layer of one group keeps
its own name), so a group's layer is its name up to the last ``#`` when that is one of the
lowering's layers. A model that was not lowered has no layers of its own: each node is one when
there are few nodes; otherwise the nodes are grouped by their name up to the first ``.`` (names
such as ``conv1.t00.lif``) when that gives a few groups, and else by node kind.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

from zerav import ir
from zerav_map.models import Model
from zerav_map.plot.colours import HUES

# More layers than this share one grey colour in the picture (the legend names the first ones).
MAX_COLOURED = len(HUES)


@dataclass
class Layers:
    title: str  # what the colours stand for, as the legend heads them
    names: list[str]  # in model order
    of_node: dict[str, int]  # node name -> index into names
    # Layers of Input and Output nodes only: they sit on a core beside the layer they feed or
    # read, so the layer a core runs is one of the others where it holds any.
    boundary: frozenset[int] = field(default_factory=frozenset)

    def main_layer(self, held: list[tuple[int, int]]) -> int | None:
        """The layer a core runs, of its (layer, nodes): the one with most nodes, compute
        layers before boundary ones, the earlier layer on a tie; None for no layers."""
        if not held:
            return None
        return max(held, key=lambda x: (x[0] not in self.boundary, x[1], -x[0]))[0]


def model_layers(model: Model) -> Layers:
    nodes = model.graph.nodes
    if model.lowering is not None:
        known = {row.name for row in model.lowering.layers}

        def layer(name: str) -> str:
            base = name.rpartition("#")[0]
            return base if name not in known and base in known else name

        return _indexed("layers", nodes, layer)
    if len(nodes) <= MAX_COLOURED:
        return _indexed("nodes", nodes, lambda name: name)
    prefixes = {name.split(".", 1)[0] for name in nodes}
    if 1 < len(prefixes) <= MAX_COLOURED:
        return _indexed("node names up to the first '.'", nodes, lambda name: name.split(".", 1)[0])
    return _indexed("node kinds", nodes, lambda name: type(nodes[name]).__name__)


def _indexed(title: str, nodes, key) -> Layers:
    index: dict[str, int] = {}
    of_node = {}
    computes: set[int] = set()
    for name, node in nodes.items():
        i = of_node[name] = index.setdefault(key(name), len(index))
        if not isinstance(node, (ir.Input, ir.Output)):
            computes.add(i)
    return Layers(title, list(index), of_node, frozenset(range(len(index))) - computes)


def core_layers(assignments: dict[str, int], layers: Layers) -> dict[int, list[tuple[int, int]]]:
    """core -> [(layer index, nodes of that layer on the core)], layers in model order."""
    counts = Counter((core, layers.of_node[name]) for name, core in assignments.items())
    out: dict[int, list[tuple[int, int]]] = {}
    for (core, layer), n in sorted(counts.items(), key=lambda kv: kv[0][1]):
        out.setdefault(core, []).append((layer, n))
    return out
