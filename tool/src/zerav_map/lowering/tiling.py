"""Cutting a spiking tensor into groups of at most ``g`` neurons.

Every group is a box: a product of one interval per axis of the tensor, the intervals of an
axis being equal runs with a shorter last run (a ragged tile). A 1-D tensor is cut into runs
of ``g``. A (C, H, W) tensor follows a block policy:

- ``channels``: whole channel maps where they fit (``g // (H*W)`` channels per group); a map
  larger than ``g`` is cut into bands of whole rows (``g // W`` rows), a row longer than ``g``
  into runs of ``g`` columns. Each kernel then lives on the groups of its channel only.
- ``tiles``: all channels of a spatial tile (``th x tw`` pixels with ``C * th * tw <= g``, as
  square as the map allows); more than ``g`` channels are cut into runs of ``g`` channels of
  one pixel. Each group then holds every kernel of the layer.

Groups are numbered row-major over the grid of tiles.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass

import numpy as np
from scipy import sparse

from zerav_map.choices import POLICIES


@dataclass(frozen=True)
class Tiling:
    shape: tuple[int, ...]  # the tensor as tiled: (n,) or (C, H, W)
    steps: tuple[int, ...]  # tile length along each axis

    @property
    def grid(self) -> tuple[int, ...]:
        return tuple(-(-n // s) for n, s in zip(self.shape, self.steps))

    @property
    def groups(self) -> int:
        return math.prod(self.grid)

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    def tile_of(self, axis: int) -> np.ndarray:
        """Tile index of every position along ``axis``."""
        return np.arange(self.shape[axis], dtype=np.int64) // self.steps[axis]

    def extents(self, axis: int) -> np.ndarray:
        """Length of every tile along ``axis``."""
        n, s = self.shape[axis], self.steps[axis]
        starts = np.arange(0, n, s)
        return np.minimum(starts + s, n) - starts

    def indicator(self, axis: int) -> sparse.csr_array:
        """(tiles x positions) 0/1 matrix of the tiles along ``axis``."""
        return _axis_indicator(self.shape[axis], self.steps[axis])

    def group_ids(self) -> np.ndarray:
        """The group of every element, in row-major element order."""
        ids = np.zeros(1, dtype=np.int64)
        for axis in range(len(self.shape)):
            ids = (ids[..., None] * self.grid[axis] + self.tile_of(axis)).reshape(-1)
        return ids

    def group_indicator(self) -> sparse.csr_array:
        return _indicator(self.group_ids(), self.groups, self.size)

    def counts(self) -> np.ndarray:
        """Neurons per group, in group order."""
        out = np.ones(1, dtype=np.int64)
        for axis in range(len(self.shape)):
            out = np.multiply.outer(out, self.extents(axis)).reshape(-1)
        return out

    def tile_ranges(self, axis: int) -> np.ndarray:
        """(tiles x 2) start and stop of every tile along ``axis``."""
        n, s = self.shape[axis], self.steps[axis]
        starts = np.arange(0, n, s)
        return np.stack([starts, np.minimum(starts + s, n)], axis=1)

    def boxes(self) -> list[tuple[slice, ...]]:
        """The slices of every group, in group order (one Python object per group)."""
        per_axis = [[slice(int(a), int(b)) for a, b in self.tile_ranges(ax)] for ax in range(len(self.shape))]
        out: list[tuple[slice, ...]] = [()]
        for slices in per_axis:
            out = [box + (s,) for box in out for s in slices]
        return out


@functools.lru_cache(maxsize=256)
def _axis_indicator(n: int, step: int) -> sparse.csr_array:
    return _indicator(np.arange(n) // step, -(-n // step), n)


def _indicator(rows: np.ndarray, n_rows: int, n_cols: int) -> sparse.csr_array:
    data = np.ones(n_cols, dtype=np.int32)
    return sparse.csr_array((data, (rows, np.arange(n_cols))), shape=(n_rows, n_cols))


def tile(shape: tuple[int, ...], g: int, policy: str) -> Tiling:
    """The tiling of a tensor of ``shape`` into groups of at most ``g`` neurons."""
    if g < 1:
        raise ValueError(f"group size must be at least 1, got {g}")
    if len(shape) != 3:
        n = math.prod(shape)
        return Tiling((n,), (max(1, min(g, n)),))
    c, h, w = shape
    if policy == "channels":
        if h * w <= g:
            return Tiling(shape, (max(1, min(c, g // (h * w))), h, w))
        if w <= g:
            return Tiling(shape, (1, g // w, w))
        return Tiling(shape, (1, 1, g))
    if policy == "tiles":
        if c > g:
            return Tiling(shape, (g, 1, 1))
        pixels = g // c
        th = max(1, min(h, math.isqrt(pixels)))
        tw = max(1, min(w, pixels // th))
        th = max(1, min(h, pixels // tw))
        return Tiling(shape, (c, th, tw))
    raise ValueError(f"unknown block policy {policy!r} (expected one of {', '.join(POLICIES)})")


def single(shape: tuple[int, ...]) -> Tiling:
    """One group holding the whole tensor (an Output node)."""
    return Tiling(tuple(shape), tuple(shape))
