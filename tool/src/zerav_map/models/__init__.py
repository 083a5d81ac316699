"""Models the tool can map: the built-in example, JSON model files and NIR files.

A model is a host ``Graph`` (from ``zerav.ir``) with a name and a note of where it came from.
Partitioning writes core ids into the nodes, so every mapping run works on its own copy
(``Model.fresh_graph``): new node objects sharing the (read-only) arrays.
"""

from __future__ import annotations

import copy
import os
from dataclasses import dataclass
from typing import Any

from zerav import ir
from zerav_map.errors import FileProblem

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


@dataclass
class Model:
    name: str
    graph: ir.Graph
    source: str  # "built-in example", or the path of the file it was read from
    format: str = "example"  # "example", "json" or "nir"
    lowering: Any = None  # the lowering's summary, for a model of neuron groups
    edge_ids: Any = None  # (source ids, destination ids) arrays of a lowered model's edges
    neurons: dict[str, int] | None = None  # neurons in each compute node that runs any
    groups: Any = None  # a lowered model's layers: layer -> (its group names, its Tiling)
    rates: dict[str, float] | None = None  # spikes per step of the nodes a model file rates
    activity: Any = None  # the spike rates the costs were computed with (activity.Activity)

    def fresh_graph(self) -> ir.Graph:
        """A copy of the graph whose nodes can be annotated without touching this model."""
        nodes = {name: copy.copy(node) for name, node in self.graph.nodes.items()}
        for node in nodes.values():
            if hasattr(node, "core_id"):
                node.core_id = None
        return ir.Graph(nodes=nodes, edges=list(self.graph.edges))

    def counts(self) -> dict:
        """Node and edge counts by kind, for the report header."""
        inputs = sum(isinstance(n, ir.Input) for n in self.graph.nodes.values())
        outputs = sum(isinstance(n, ir.Output) for n in self.graph.nodes.values())
        return {
            "nodes": len(self.graph.nodes),
            "compute_nodes": len(self.graph.nodes) - inputs - outputs,
            "inputs": inputs,
            "outputs": outputs,
            "edges": len(self.graph.edges),
        }


def load_model(path: str | None) -> Model:
    """The model in the file at ``path`` (JSON or NIR), or the built-in example for None."""
    if path is None:
        from zerav_map.models.example import example_model

        return example_model()
    if os.path.isdir(path):
        raise FileProblem(path, "is a directory, not a model file")
    try:
        with open(path, "rb") as f:
            head = f.read(8)
    except OSError as e:
        raise FileProblem(path, f"cannot read the model file: {e.strerror or e}") from None
    ext = os.path.splitext(path)[1].lower()
    if head == HDF5_SIGNATURE or ext in (".nir", ".h5", ".hdf5"):
        from zerav_map.models.nir_model import load_nir

        return load_nir(path)
    if ext == ".json" or head.lstrip()[:1] in (b"{", b"["):
        from zerav_map.models.json_model import load_json_model

        return load_json_model(path)
    if not head:
        raise FileProblem(path, "the model file is empty")
    raise FileProblem(path, "unknown model format: expected a JSON model (.json) or a NIR file (.nir, HDF5)")
