"""Group edges of one chain: the (source group, destination group) pairs some nonzero synapse
joins.

Two ways, both exact:

- A chain of convolution, pooling and elementwise steps between two (C, H, W) tensors cut into
  boxes works on tiles: each term's channel, row and column relations are reduced to the tiles
  of the two tilings, and the edges of a term are the product of the three tile relations.
  The cost follows the number of edges, not the number of synapses.
- Any other chain (dense steps, Flatten, 1-D tensors) keeps a sparse reach matrix from the
  source groups to the elements after the leading spatial steps (from the box tiles when the
  source is boxed, through the factorised terms) and reduces the rest of the chain from the
  destination side: destination groups x elements, multiplied by each step's matrix from the
  last to the first. A dense step reduced this way costs one pass over its weights.
"""

from __future__ import annotations

import numpy as np
from scipy import sparse

from zerav_map.lowering import relations as rel
from zerav_map.lowering.layers import Chain
from zerav_map.lowering.tiling import Tiling

_SPATIAL = ("conv", "pool", "elementwise")


def _leading_terms(chain: Chain, src: Tiling):
    """(number of leading spatial steps, their composed terms or None)."""
    steps = chain.steps
    lead = 0
    if len(src.shape) == 3:
        while lead < len(steps) and steps[lead].role in _SPATIAL and len(steps[lead].in_shape) == 3:
            lead += 1
    if not lead:
        return 0, None
    terms = rel.step_terms(steps[0])
    for step in steps[1:lead]:
        terms = rel.compose(rel.step_terms(step), terms)
    return lead, terms


def estimate_edges(chain: Chain, src: Tiling, dst: Tiling, cache: dict | None = None) -> int:
    """An upper bound of the chain's group edges, without building them."""
    tiled = _tiled(chain, src, dst, cache)
    if tiled is not None:
        return sum(c.nnz * r.nnz * k.nnz for c, r, k in tiled)
    return src.groups * dst.groups


def _tiled(chain: Chain, src: Tiling, dst: Tiling, cache: dict | None):
    """The tile relations of an all-spatial chain between boxed tensors, else None."""
    key = (id(chain), src, dst)
    if cache is not None and key in cache:
        return cache[key]
    lead, terms = _leading_terms(chain, src)
    tiled = None
    if lead and lead == len(chain.steps) and len(dst.shape) == 3:
        tiled = _tile_terms(terms, src, dst)
    if cache is not None:
        cache[key] = tiled
    return tiled


def chain_edges(
    chain: Chain, src: Tiling, dst: Tiling, cache: dict | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """(source group ids, destination group ids) of the chain, each pair once."""
    tiled = _tiled(chain, src, dst, cache)
    if tiled is not None:
        return _tile_edges(tiled, src, dst)
    steps = chain.steps
    lead, terms = _leading_terms(chain, src)
    reach = _source_reach(terms, src)
    back = _destination_reduce(steps[lead:], dst, reach.shape[1])
    joined = (reach @ back.T).tocoo()
    return joined.row.astype(np.int64), joined.col.astype(np.int64)


def _tile_terms(terms, src: Tiling, dst: Tiling) -> list:
    """The terms reduced to tiles: [channel tiles, row tiles, column tiles] relations, merged."""
    by_key: dict[bytes, list] = {}
    reduced: dict[tuple[int, int], sparse.csr_array] = {}  # terms share their row and column taps

    def to_tiles(m, axis):
        key = (id(m), axis)
        if key not in reduced:
            coo = m.tocoo()
            rows, cols = dst.tile_of(axis)[coo.row], src.tile_of(axis)[coo.col]
            reduced[key] = rel.pairs_matrix(rows, cols, (dst.grid[axis], src.grid[axis]))
        return reduced[key]

    for t in terms:
        rows, cols, chan = to_tiles(t.rows, 1), to_tiles(t.cols, 2), to_tiles(t.chan, 0)
        key = b"|".join(m.indptr.tobytes() + m.indices.tobytes() for m in (rows, cols))
        if key in by_key:
            by_key[key][0] = rel.binary(by_key[key][0] + chan)
        else:
            by_key[key] = [chan, rows, cols]
    return list(by_key.values())


def _tile_edges(tile_terms: list, src: Tiling, dst: Tiling):
    """The union of the terms' products, each edge once.

    The spatial tile pairs (row pair and column pair) are sorted by the set of terms that cover
    them; the pairs of one such set share one channel relation (the union of those terms'),
    and the edges are that relation times those pairs, disjoint from every other set's.
    """
    if not tile_terms:
        return np.zeros(0, np.int64), np.zeros(0, np.int64)
    gy_s, gx_s, gx_d = src.grid[1], src.grid[2], dst.grid[2]
    codes, owners = [], []
    for t, (_, rows, cols) in enumerate(tile_terms):
        y, x = rows.tocoo(), cols.tocoo()
        ycode = y.row.astype(np.int64) * gy_s + y.col
        xcode = x.row.astype(np.int64) * gx_s + x.col
        codes.append((ycode[:, None] * (gx_d * gx_s) + xcode[None, :]).reshape(-1))
        owners.append(np.full(codes[-1].size, t, dtype=np.int64))
    code, owner = np.concatenate(codes), np.concatenate(owners)
    order = np.lexsort((owner, code))
    code, owner = code[order], owner[order]
    first = np.flatnonzero(np.r_[True, code[1:] != code[:-1]])
    spatial = code[first]
    groups = _by_covering_terms(owner, first, len(tile_terms))
    out_s, out_d = [], []
    for terms, members in groups:
        chan = tile_terms[terms[0]][0]
        for t in terms[1:]:
            chan = chan + tile_terms[t][0]
        c = rel.binary(chan).tocoo()
        sp = spatial[members]
        yd, ys = np.divmod(sp // (gx_d * gx_s), gy_s)
        xd, xs = np.divmod(sp % (gx_d * gx_s), gx_s)
        d = (c.row[:, None].astype(np.int64) * dst.grid[1] + yd[None, :]) * gx_d + xd[None, :]
        s_ = (c.col[:, None].astype(np.int64) * gy_s + ys[None, :]) * gx_s + xs[None, :]
        out_d.append(d.reshape(-1))
        out_s.append(s_.reshape(-1))
    return np.concatenate(out_s), np.concatenate(out_d)


def _by_covering_terms(owner: np.ndarray, first: np.ndarray, n_terms: int) -> list:
    """[(terms, spatial pair indices)]: the pairs grouped by the set of terms covering them.
    ``owner`` lists each pair's terms in runs starting at ``first``."""
    if n_terms <= 62:
        mask = np.bitwise_or.reduceat(np.left_shift(np.int64(1), owner), first)
        sets, which = np.unique(mask, return_inverse=True)
        order = np.argsort(which, kind="stable")
        bounds = np.searchsorted(which[order], np.arange(len(sets) + 1))
        return [
            ([t for t in range(n_terms) if int(m) >> t & 1], order[a:b])
            for m, a, b in zip(sets.tolist(), bounds[:-1], bounds[1:])
        ]
    ends = np.r_[first[1:], len(owner)]
    by_set: dict[bytes, list[int]] = {}
    for i, (a, b) in enumerate(zip(first.tolist(), ends.tolist())):
        by_set.setdefault(owner[a:b].tobytes(), []).append(i)
    return [(np.frombuffer(k, dtype=np.int64).tolist(), np.array(v)) for k, v in by_set.items()]


def _source_reach(terms, src: Tiling) -> sparse.csr_array:
    """(source groups x elements after the leading spatial steps) 0/1 reach."""
    if terms is None:
        return src.group_indicator()
    total = None
    for t in terms:
        reach = [rel.product(src.indicator(a), m.T) for a, m in enumerate((t.chan, t.rows, t.cols))]
        m = sparse.kron(sparse.kron(reach[0], reach[1]), reach[2], format="csr")
        total = m if total is None else total + m
    return rel.binary(total)


def _destination_reduce(steps, dst: Tiling, n_in: int) -> sparse.csr_array:
    """(destination groups x input elements of ``steps``) 0/1: which inputs each group reads."""
    back = dst.group_indicator()
    for step in reversed(steps):
        if step.role in ("flatten", "elementwise"):
            continue
        if step.role == "dense":
            back = _reduce_dense(back, step.weight)
        else:
            n_out = int(np.prod(step.out_shape))
            n = int(np.prod(step.in_shape))
            back = rel.product(back, rel.element_matrix(rel.step_terms(step), (n_out, n)))
    if back.shape[1] != n_in:
        raise AssertionError(f"chain sizes disagree: {back.shape[1]} != {n_in}")
    return back


def _reduce_dense(back: sparse.csr_array, weight: np.ndarray) -> sparse.csr_array:
    """``back @ (weight != 0)``: rows of contiguous groups reduce with one pass over the weights."""
    coo = back.tocoo()
    order = np.lexsort((coo.col, coo.row))
    rows, cols = coo.row[order], coo.col[order]
    contiguous = len(cols) == weight.shape[0] and np.array_equal(cols, np.arange(weight.shape[0]))
    if contiguous:  # every output row in exactly one group, groups in row order
        starts = np.flatnonzero(np.r_[True, rows[1:] != rows[:-1]])
        block = np.logical_or.reduceat(weight != 0, starts, axis=0)
        out = sparse.csr_array(block.astype(np.int32))
        if out.shape[0] != back.shape[0]:
            full = sparse.csr_array((back.shape[0], weight.shape[1]), dtype=np.int32)
            out = sparse.vstack([out, full[out.shape[0] :]], format="csr")
        return rel.binary(out)
    return rel.product(back, sparse.csr_array((weight != 0).astype(np.int32)))
