"""A fake host compiler distribution named ``zerav``, built as a wheel by hand.

Its files differ from the stand-in's on purpose (other classes, other docstrings, a marker), so a
test can tell whose file is installed and whether an install touched it.
"""

from __future__ import annotations

import base64
import hashlib
import zipfile
from pathlib import Path

FILES = {
    "zerav/__init__.py": '"""The host compiler (fake, for the install test)."""\nHOST = "fake-host"\n',
    "zerav/ir.py": '''"""The host's own intermediate representation (fake)."""
import numpy as np


class Node:
    core_id = None

    def __init__(self, **arrays):
        self.core_id = None
        self.precision = "int8"
        for name, value in arrays.items():
            setattr(self, name, value)


class Input(Node):
    pass


class Output(Node):
    pass


class HostNeuron(Node):
    pass


class Graph:
    def __init__(self):
        self.nodes = {}
        self.edges = []
        self.partition_metadata = None
        self.made_by = "fake-host"
''',
    "zerav/graph/__init__.py": '"""The host compiler\'s graph package (fake)."""\nGRAPH_HOST = True\n',
    "zerav/graph/constraints.py": '''"""The host's chip description (fake)."""


class HardwareSpec:
    def __init__(self, num_cores, max_neurons_per_core, core_mesh_topology, sram_bytes_per_core,
                 max_feedback_delay):
        self.num_cores = num_cores
        self.max_neurons_per_core = max_neurons_per_core
        self.core_mesh_topology = core_mesh_topology
        self.sram_bytes_per_core = sram_bytes_per_core
        self.max_feedback_delay = max_feedback_delay

    def validate(self):
        self.validated = True
''',
}

NAME, VERSION = "zerav", "9.9.9"


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def build_wheel(folder: Path) -> Path:
    """Writes the fake host's wheel into ``folder`` and returns its path."""
    info = f"{NAME}-{VERSION}.dist-info"
    members = {path: text.encode() for path, text in FILES.items()}
    members[f"{info}/METADATA"] = f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {VERSION}\n".encode()
    members[f"{info}/WHEEL"] = (
        b"Wheel-Version: 1.0\nGenerator: fake\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    )
    record = [_record_line(path, data) for path, data in members.items()] + [f"{info}/RECORD,,"]
    members[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    wheel = folder / f"{NAME}-{VERSION}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for path, data in members.items():
            z.writestr(path, data)
    return wheel
