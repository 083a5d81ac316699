"""Run the mapping tool the way a user does: ``python -m zerav_map ...`` in a subprocess."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest


class Run:
    def __init__(self, proc: subprocess.CompletedProcess):
        self.code = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr

    def json(self):
        return json.loads(self.out)

    def __repr__(self):
        return f"exit {self.code}\n--- stdout\n{self.out}\n--- stderr\n{self.err}"


@pytest.fixture
def tool(tmp_path):
    """Call the tool with string arguments, in a scratch folder; returns a ``Run``."""

    def call(*args):
        proc = subprocess.run(
            [sys.executable, "-m", "zerav_map", *map(str, args)],
            capture_output=True,
            text=True,
            cwd=tmp_path,
            timeout=600,
        )
        return Run(proc)

    return call


@pytest.fixture
def write_json(tmp_path):
    """Write a document to a JSON file in the scratch folder and return its path."""

    def write(name, doc):
        path = tmp_path / name
        path.write_text(doc if isinstance(doc, str) else json.dumps(doc))
        return path

    return write


@pytest.fixture
def backend():
    """Skip while a native module the mapping needs is not built."""
    pytest.importorskip("zerav.graph.placement")
    pytest.importorskip("zerav.graph.resource")


# A small model whose SRAM needs are easy to count by hand:
#   c1: Linear weight 4 x 8 int8 = 32 B; l1: LIF, 4 state arrays of 8 = 128 B;
#   c2: Affine weight 2 x 8 + bias 2, fp16 = 36 B; l2: LIF 4 x 2 = 32 B.
SMALL_MODEL = {
    "name": "small",
    "nodes": [
        {"name": "in", "kind": "Input", "params": {"shape": [8]}},
        {"name": "c1", "kind": "Linear", "precision": "int8", "arrays": {"weight": {"shape": [4, 8]}}},
        {
            "name": "l1",
            "kind": "LIF",
            "arrays": {n: {"shape": [8]} for n in ("tau", "v_threshold", "v_leak", "r")},
        },
        {
            "name": "c2",
            "kind": "Affine",
            "precision": "fp16",
            "arrays": {"weight": {"shape": [2, 8]}, "bias": [0.5, -0.5]},
        },
        {"name": "l2", "kind": "LIF", "arrays": {n: [0, 0] for n in ("tau", "v_threshold", "v_leak", "r")}},
        {"name": "out", "kind": "Output", "params": {"shape": [2]}},
    ],
    "edges": [["in", "c1"], ["c1", "l1"], ["l1", "c2"], ["c2", "l2"], ["l2", "out"]],
}


@pytest.fixture
def small_model(write_json):
    return write_json("small.json", SMALL_MODEL)
