"""Activity profiles: the spikes a user's own simulation recorded, per layer.

JSON::

    {"steps": 100,
     "counts": {"lif1": [[...], ...]},      spikes of each neuron over the steps (any nesting,
                                            row-major, as many values as the layer has neurons)
     "rates": {"lif2": 0.03}}               spikes per neuron per step: one mean, or one per neuron

NPZ (``numpy.savez``): an array ``steps`` and arrays ``counts/LAYER`` and ``rates/LAYER``.
Layers are the model's node names (Input nodes and neuron layers); those not in the profile
keep the default rate, and the report names them.
"""

from __future__ import annotations

import json
import os
import zipfile

import numpy as np

from zerav_map.errors import FileProblem


def read_profile(path: str, sizes: dict[str, int]) -> tuple[dict[str, np.ndarray], int | None]:
    """({layer: spikes per step of each neuron}, the profile's steps) from a JSON or NPZ file;
    ``sizes`` are the neurons of the model's spiking layers."""
    doc = _read(path)
    unknown = set(doc) - {"steps", "counts", "rates"}
    if unknown:
        raise FileProblem(path, f"unknown profile key {sorted(unknown)[0]!r} (expected steps, counts, rates)")
    counts, rates = doc.get("counts", {}), doc.get("rates", {})
    steps = doc.get("steps")
    if steps is not None:
        steps = _steps(path, steps)
    if counts and steps is None:
        raise FileProblem(path, '"counts" need "steps": the number of time steps they were counted over')
    out: dict[str, np.ndarray] = {}
    for kind, table in (("counts", counts), ("rates", rates)):
        if not isinstance(table, dict):
            raise FileProblem(path, f'"{kind}" must map layer names to values')
        for layer, value in table.items():
            if layer in out:
                raise FileProblem(path, f"layer {layer!r} has both counts and rates")
            out[layer] = _layer(path, kind, layer, value, sizes, steps)
    if not out:
        raise FileProblem(path, "the profile rates no layer")
    return out, steps


def _read(path: str) -> dict:
    try:
        with open(path, "rb") as f:
            head = f.read(4)
    except OSError as e:
        raise FileProblem(path, f"cannot read the profile: {e.strerror or e}") from None
    if head.startswith(b"PK"):
        try:
            with np.load(path, allow_pickle=False) as npz:
                doc: dict = {}
                for key in npz.files:
                    kind, _, layer = key.partition("/")
                    if key == "steps":
                        doc["steps"] = npz[key].item() if npz[key].size == 1 else npz[key].tolist()
                    elif kind in ("counts", "rates") and layer:
                        doc.setdefault(kind, {})[layer] = npz[key]
                    else:
                        raise FileProblem(
                            path, f"unknown profile array {key!r} (expected steps, counts/LAYER, rates/LAYER)"
                        )
                return doc
        except (OSError, ValueError, zipfile.BadZipFile) as e:
            raise FileProblem(path, f"not a readable NPZ profile: {e}") from None
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        ext = os.path.splitext(path)[1]
        raise FileProblem(path, f"not a JSON or NPZ profile ({ext or 'no extension'}): {e}") from None
    if not isinstance(doc, dict):
        raise FileProblem(path, "a JSON profile is an object with steps, counts and rates")
    return doc


def _steps(path: str, steps) -> int:
    if isinstance(steps, bool) or not isinstance(steps, (int, np.integer)) or steps < 1:
        raise FileProblem(path, f'"steps" must be a positive integer, got {steps!r}')
    return int(steps)


def _layer(path, kind, layer, value, sizes, steps) -> np.ndarray:
    if layer not in sizes:
        known = ", ".join(sorted(sizes)[:12]) + (" ..." if len(sizes) > 12 else "")
        raise FileProblem(path, f"{kind}: {layer!r} is not an input or neuron layer of the model ({known})")
    try:
        a = np.asarray(value, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        raise FileProblem(path, f"{kind}: {layer!r} must hold numbers") from None
    n = sizes[layer]
    if kind == "rates" and a.size == 1:
        a = np.full(n, a[0])
    if a.size != n:
        raise FileProblem(path, f"{kind}: {layer!r} has {a.size} values for {n} neurons")
    if not np.isfinite(a).all() or (a < 0).any():
        raise FileProblem(path, f"{kind}: {layer!r} holds a negative or non-finite value")
    if kind == "counts":
        if (a > steps).any():
            raise FileProblem(path, f"counts: {layer!r} has a neuron with more spikes than the {steps} steps")
        return a / steps
    if (a > 1).any():
        raise FileProblem(
            path, f"rates: {layer!r} has a rate above 1: rates are spikes per neuron per step, not per second"
        )
    return a
