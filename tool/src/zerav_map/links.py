"""Traffic on the mesh links: each pair of cores' edges routed along the row first, then the
column (dimension-order routing), summed per link."""

from __future__ import annotations

import numpy as np


def link_loads(
    traffic: dict[tuple[int, int], int], cells: dict[int, tuple[int, int]], rows: int, cols: int
) -> tuple[np.ndarray, np.ndarray]:
    """(horizontal, vertical) loads: ``horizontal[r, c]`` is the link between cells (r, c) and
    (r, c + 1), ``vertical[r, c]`` the one between (r, c) and (r + 1, c). Pairs with a core
    off the mesh are left out."""
    pairs = [(cells[a], cells[b], n) for (a, b), n in traffic.items() if a in cells and b in cells]
    horizontal = np.zeros((rows, max(cols - 1, 0) + 1), dtype=np.int64)
    vertical = np.zeros((max(rows - 1, 0) + 1, cols), dtype=np.int64)
    if pairs:
        a = np.array([p[0] for p in pairs], dtype=np.int64).reshape(-1, 2)
        b = np.array([p[1] for p in pairs], dtype=np.int64).reshape(-1, 2)
        n = np.array([p[2] for p in pairs], dtype=np.int64)
        ra, ca, rb, cb = a[:, 0], a[:, 1], b[:, 0], b[:, 1]
        # Along row ra from column ca to cb, then along column cb from row ra to rb; a run of
        # links is added as +n at its first link and -n past its last, summed up afterwards.
        lo, hi = np.minimum(ca, cb), np.maximum(ca, cb)
        np.add.at(horizontal, (ra, lo), n)
        np.add.at(horizontal, (ra, hi), -n)
        lo, hi = np.minimum(ra, rb), np.maximum(ra, rb)
        np.add.at(vertical, (lo, cb), n)
        np.add.at(vertical, (hi, cb), -n)
    return np.cumsum(horizontal, axis=1)[:, :-1], np.cumsum(vertical, axis=0)[:-1, :]
