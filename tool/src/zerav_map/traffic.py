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


@dataclass(frozen=True)
class Trees:
    """Every source's multicast tree, for the cost model. Loads are rate-weighted spikes per
    directed link: ``east[r, c]`` on (r, c) -> (r, c + 1), ``west[r, c]`` on (r, c + 1) -> (r, c),
    ``south[r, c]`` on (r, c) -> (r + 1, c), ``north[r, c]`` on (r + 1, c) -> (r, c)."""

    source: np.ndarray  # node index of each tree (sources reaching another cell)
    links_x: np.ndarray  # per tree: links along rows
    links_y: np.ndarray  # per tree: links along columns
    reach_source: np.ndarray  # per (source, destination cell): the source
    reach_row: np.ndarray  # ... and the destination cell
    reach_col: np.ndarray
    east: np.ndarray
    west: np.ndarray
    south: np.ndarray
    north: np.ndarray


@dataclass(frozen=True)
class _Spans:
    """The spans that make up each tree: per source its row span, per (source, destination
    column) that column's row span, and the distinct (source, destination cell) pairs."""

    rows: int
    cols: int
    row: np.ndarray  # every node's cell
    col: np.ndarray
    s: np.ndarray  # per (source, destination cell), sorted by source, column, row
    dcol: np.ndarray
    drow: np.ndarray
    first: np.ndarray  # index into s of each source's first pair
    west: np.ndarray  # per source: the columns its row span covers
    east: np.ndarray
    start: np.ndarray  # index into s of each (source, column)'s first pair
    north: np.ndarray  # per (source, column): the rows that column's span covers
    south: np.ndarray


def _spans(src, dst, cells, shape=None) -> tuple[_Spans, np.ndarray, np.ndarray]:
    """The spans of the trees of edges ``src -> dst`` on ``cells``, with the edge arrays."""
    src = np.asarray(src, dtype=np.int64)
    dst = np.asarray(dst, dtype=np.int64)
    cells = np.asarray(cells, dtype=np.int64).reshape(-1, 2)
    if len(cells) and cells.min() < 0:
        raise ValueError("mesh cells have non-negative rows and columns")
    row, col = cells[:, 0], cells[:, 1]
    rows = int(row.max()) + 1 if len(cells) else 1
    cols = int(col.max()) + 1 if len(cells) else 1
    if shape is not None:
        if rows > shape[0] or cols > shape[1]:
            raise ValueError("a cell lies outside the mesh")
        rows, cols = shape
    away = (row[src] != row[dst]) | (col[src] != col[dst])
    keys = np.unique((src[away] * cols + col[dst[away]]) * rows + row[dst[away]])
    s, dcol, drow = keys // (cols * rows), keys // rows % cols, keys % rows
    first = np.flatnonzero(np.r_[True, s[1:] != s[:-1]]) if len(keys) else keys[:0]
    start = np.flatnonzero(np.r_[True, keys[1:] // rows != keys[:-1] // rows]) if len(keys) else keys[:0]
    if len(keys):
        c0, rs = col[s[first]], row[s[start]]
        west = np.minimum(np.minimum.reduceat(dcol, first), c0)
        east = np.maximum(np.maximum.reduceat(dcol, first), c0)
        north = np.minimum(np.minimum.reduceat(drow, start), rs)
        south = np.maximum(np.maximum.reduceat(drow, start), rs)
    else:
        west = east = north = south = keys[:0]
    spans = _Spans(rows, cols, row, col, s, dcol, drow, first, west, east, start, north, south)
    return spans, src, dst


def multicast(src, dst, cells, rates=None) -> Traffic:
    """The traffic of edges ``src[i] -> dst[i]`` (node indices) with node ``v`` on mesh cell
    ``cells[v] = (row, col)``; ``rates[v]`` is v's firing rate. Duplicate edges and targets on
    the source's own cell add nothing to the tree; edge hops count every edge."""
    sp, src, dst = _spans(src, dst, cells)
    exact = rates is None or np.issubdtype(np.asarray(rates).dtype, np.integer)
    rate = np.ones(len(sp.row)) if rates is None else np.asarray(rates, dtype=np.float64)
    row, col = sp.row, sp.col
    hops = float(rate[src] @ (np.abs(row[src] - row[dst]) + np.abs(col[src] - col[dst])))
    if not len(sp.s):
        return Traffic(0, 0, 0, int(hops) if exact else hops)
    source = sp.s[sp.first]
    w, v = rate[source], rate[sp.s[sp.start]]
    reached = np.diff(np.r_[sp.first, len(sp.s)])
    links = float(w @ (sp.east - sp.west)) + float(v @ (sp.south - sp.north))
    busiest = max(float(x.max(initial=0.0)) for x in _directed_loads(sp, rate))
    result = (links, busiest, float(w @ reached), hops)
    return Traffic(*(int(x) if exact else x for x in result))


def trees(src, dst, cells, rates, shape: tuple[int, int]) -> Trees:
    """Every source's tree and the load of every directed link of a ``shape`` (rows, cols)
    mesh, for edges ``src -> dst`` between nodes on ``cells`` firing at ``rates``."""
    sp, _, _ = _spans(src, dst, cells, shape)
    rate = np.asarray(rates, dtype=np.float64)
    tree_of_column = np.searchsorted(sp.first, sp.start, side="right") - 1
    links_y = np.bincount(tree_of_column, sp.south - sp.north, minlength=len(sp.first))
    east, west, south, north = _directed_loads(sp, rate)
    return Trees(
        source=sp.s[sp.first],
        links_x=(sp.east - sp.west).astype(np.float64),
        links_y=links_y,
        reach_source=sp.s,
        reach_row=sp.drow,
        reach_col=sp.dcol,
        east=east,
        west=west,
        south=south.T,
        north=north.T,
    )


def _directed_loads(sp: _Spans, rate: np.ndarray):
    """(east, west, south, north) loads; the last two indexed [column, row]."""
    if not len(sp.s):
        zero = np.zeros((sp.rows, max(sp.cols - 1, 0))), np.zeros((sp.cols, max(sp.rows - 1, 0)))
        return zero[0], zero[0].copy(), zero[1], zero[1].copy()
    source = sp.s[sp.first]
    r0, c0, w = sp.row[source], sp.col[source], rate[source]
    column, rs, v = sp.dcol[sp.start], sp.row[sp.s[sp.start]], rate[sp.s[sp.start]]
    return (
        _loads(r0, c0, sp.east, w, sp.rows, sp.cols),  # eastward along the source's row
        _loads(r0, sp.west, c0, w, sp.rows, sp.cols),  # westward
        _loads(column, rs, sp.south, v, sp.cols, sp.rows),  # southward along a destination column
        _loads(column, sp.north, rs, v, sp.cols, sp.rows),  # northward
    )


def _loads(line, lo, hi, weight, lines, length) -> np.ndarray:
    """One direction's link loads, ``[line, j]`` for the link from position j to j + 1: a run
    of links along a line gets +weight at its first link and -weight past its last, and a
    running sum along the line gives the loads."""
    size = lines * (length + 1)
    first, past = line * (length + 1) + lo, line * (length + 1) + hi
    diff = np.bincount(first, weight, size) - np.bincount(past, weight, size)
    loads = np.cumsum(diff.reshape(lines, length + 1), axis=1)
    # The weights of runs that have ended cancel only up to rounding: a link that no run
    # covers (counted in integers) carries exactly nothing.
    runs = np.bincount(first, minlength=size) - np.bincount(past, minlength=size)
    covered = np.cumsum(runs.reshape(lines, length + 1), axis=1) > 0
    return np.where(covered, loads, 0.0)[:, : max(length - 1, 0)]


def graph_traffic(edges, cell_of: Mapping, rates: Mapping | None = None, default_rate: float = 1) -> Traffic:
    """``multicast`` over named edges: ``cell_of[name]`` is the node's (row, col);
    ``rates[name]`` its firing rate (names absent from ``rates``: ``default_rate``)."""
    names = list(cell_of)
    index = {n: i for i, n in enumerate(names)}
    pairs = np.array([(index[s], index[d]) for s, d in edges], dtype=np.int64).reshape(-1, 2)
    cells = np.array([cell_of[n] for n in names], dtype=np.int64).reshape(-1, 2)
    rate = None if rates is None else [rates.get(n, default_rate) for n in names]
    return multicast(pairs[:, 0], pairs[:, 1], cells, rate)
