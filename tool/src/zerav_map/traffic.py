"""The spike traffic a mapping puts on the mesh, with multicast.

A node's spike leaves its core once and is copied along a tree to every other core that holds
one of its targets. The routers route dimension-order, x then y: along the source's row to the
destination's column first, then along that column to the destination's row (the convention of
the mapping's busiest link and of the tool's link picture). A source's tree is the union of
those routes to its distinct destination cells, so it holds

    (max col - min col)  over the source and its destination cells, on the source's row,
  + sum over the destination columns c of (max row - min row) over the source's row and the
    destinations in column c

links. Every figure is weighted by the source's firing rate (1 when no rates are given).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Traffic:
    links: float  # sum over sources of rate * links of its multicast tree
    max_link_load: float  # the busiest directed link: sum of the rates of the trees using it
    lambda_minus_one: float  # sum over sources of rate * (distinct cores reached other than its own)
    edge_hops: float  # sum over edges of the source's rate * hop distance (no multicast)


def multicast(src, dst, cells, rates=None) -> Traffic:
    """The traffic of edges ``src[i] -> dst[i]`` (node indices) with node ``v`` on mesh cell
    ``cells[v] = (row, col)``; ``rates[v]`` is v's firing rate. Duplicate edges and targets on
    the source's own cell add nothing to the tree; edge hops count every edge."""
    src = np.asarray(src, dtype=np.int64)
    dst = np.asarray(dst, dtype=np.int64)
    cells = np.asarray(cells, dtype=np.int64).reshape(-1, 2)
    exact = rates is None or np.issubdtype(np.asarray(rates).dtype, np.integer)
    rate = np.ones(len(cells)) if rates is None else np.asarray(rates, dtype=np.float64)
    if len(cells) and cells.min() < 0:
        raise ValueError("mesh cells have non-negative rows and columns")
    row, col = cells[:, 0], cells[:, 1]
    rows = int(row.max()) + 1 if len(cells) else 1
    cols = int(col.max()) + 1 if len(cells) else 1
    hops = float(rate[src] @ (np.abs(row[src] - row[dst]) + np.abs(col[src] - col[dst])))

    # One entry per (source, destination cell), sorted by source, then column, then row.
    away = (row[src] != row[dst]) | (col[src] != col[dst])
    keys = np.unique((src[away] * cols + col[dst[away]]) * rows + row[dst[away]])
    if not len(keys):
        return Traffic(0, 0, 0, int(hops) if exact else hops)
    s, dcol, drow = keys // (cols * rows), keys // rows % cols, keys % rows

    # Per source: the span of columns on its row, and how many cells it reaches.
    first = np.flatnonzero(np.r_[True, s[1:] != s[:-1]])
    source = s[first]
    r0, c0, w = row[source], col[source], rate[source]
    west = np.minimum(np.minimum.reduceat(dcol, first), c0)
    east = np.maximum(np.maximum.reduceat(dcol, first), c0)
    reached = np.diff(np.r_[first, len(s)])
    # Per (source, destination column): the span of rows in that column.
    start = np.flatnonzero(np.r_[True, keys[1:] // rows != keys[:-1] // rows])
    column, rs, v = dcol[start], row[s[start]], rate[s[start]]
    north = np.minimum(np.minimum.reduceat(drow, start), rs)
    south = np.maximum(np.maximum.reduceat(drow, start), rs)

    links = float(w @ (east - west)) + float(v @ (south - north))
    busiest = max(
        _busiest(r0, c0, east, w, rows, cols),  # eastward along the source's row
        _busiest(r0, west, c0, w, rows, cols),  # westward
        _busiest(column, rs, south, v, cols, rows),  # southward along a destination column
        _busiest(column, north, rs, v, cols, rows),  # northward
    )
    result = (links, busiest, float(w @ reached), hops)
    return Traffic(*(int(x) if exact else x for x in result))


def _busiest(line, lo, hi, weight, lines, length) -> float:
    """The largest load of one direction's links: a run of links along a line gets +weight at
    its first link and -weight past its last, and a running sum along the line gives loads."""
    size = lines * (length + 1)
    diff = np.bincount(line * (length + 1) + lo, weight, size) - np.bincount(
        line * (length + 1) + hi, weight, size
    )
    return float(np.cumsum(diff.reshape(lines, length + 1), axis=1).max(initial=0.0))


def graph_traffic(edges, cell_of: Mapping, rates: Mapping | None = None, default_rate: float = 1) -> Traffic:
    """``multicast`` over named edges: ``cell_of[name]`` is the node's (row, col);
    ``rates[name]`` its firing rate (names absent from ``rates``: ``default_rate``)."""
    names = list(cell_of)
    index = {n: i for i, n in enumerate(names)}
    pairs = np.array([(index[s], index[d]) for s, d in edges], dtype=np.int64).reshape(-1, 2)
    cells = np.array([cell_of[n] for n in names], dtype=np.int64).reshape(-1, 2)
    rate = None if rates is None else [rates.get(n, default_rate) for n in names]
    return multicast(pairs[:, 0], pairs[:, 1], cells, rate)
