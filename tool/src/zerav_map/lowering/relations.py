"""Which elements of one tensor a synapse step connects to which elements of the next.

A convolution or pooling chain is held factorised: a list of terms, each the product of a
channel relation (Cout x Cin), a row relation (Hout x Hin) and a column relation (Wout x Win),
the whole relation being the union of its terms. A convolution gives one term per kernel tap
(its channel relation: the nonzero kernel entries of that tap, grouped convolution expanded),
pooling one term (channel identity, all taps of a window). Two steps compose term by term, and
terms with the same spatial part merge. Dense steps are sparse 0/1 matrices of their nonzero
weights. All matrices are 0/1 ``int32`` CSR arrays; products are clipped back to 0/1.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import sparse

from zerav_map.lowering.layers import Step


def binary(m) -> sparse.csr_array:
    m = sparse.csr_array(m)
    m.sum_duplicates()
    m.eliminate_zeros()
    m.data = np.ones(len(m.data), dtype=np.int32)
    return m


def product(a, b) -> sparse.csr_array:
    """The 0/1 product of two 0/1 matrices (a product of positive entries stores no zeros)."""
    m = a @ b
    if not isinstance(m, sparse.csr_array):
        return binary(m)
    m.data = np.ones(len(m.data), dtype=np.int32)
    return m


def pairs_matrix(rows: np.ndarray, cols: np.ndarray, shape: tuple[int, int]) -> sparse.csr_array:
    """The 0/1 matrix with ones at (rows, cols), built in canonical order without a
    conversion."""
    code = np.unique(np.asarray(rows, dtype=np.int64) * shape[1] + np.asarray(cols, dtype=np.int64))
    indptr = np.zeros(shape[0] + 1, dtype=np.int64)
    np.cumsum(np.bincount(code // shape[1], minlength=shape[0]), out=indptr[1:])
    m = sparse.csr_array((np.ones(len(code), dtype=np.int32), code % shape[1], indptr), shape=shape)
    m.has_canonical_format = True
    return m


@dataclass
class Term:
    chan: sparse.csr_array
    rows: sparse.csr_array
    cols: sparse.csr_array

    def key(self) -> bytes:
        return b"|".join(
            x.tobytes() for m in (self.rows, self.cols) for x in (m.indptr, m.indices, np.array(m.shape))
        )


def axis_tap(n_in: int, n_out: int, stride: int, pad: int, dilation: int, tap: int) -> sparse.csr_array:
    """Output position o reads input o * stride - pad + dilation * tap, where that is inside."""
    o = np.arange(n_out)
    i = o * stride - pad + dilation * tap
    keep = (i >= 0) & (i < n_in)
    return pairs_matrix(o[keep], i[keep], (n_out, n_in))


def step_terms(step: Step) -> list[Term]:
    """The factorised relation of one convolution, pooling or elementwise step."""
    c_in, h_in, w_in = step.in_shape
    c_out, h_out, w_out = step.out_shape
    if step.role == "elementwise":
        return [Term(*(sparse.identity(n, dtype=np.int32, format="csr") for n in (c_in, h_in, w_in)))]
    (kh, sh, ph, dh), (kw, sw, pw, dw) = step.axes
    row_taps = [axis_tap(h_in, h_out, sh, ph, dh, t) for t in range(kh)]
    col_taps = [axis_tap(w_in, w_out, sw, pw, dw, t) for t in range(kw)]
    if step.role == "pool":
        chan = sparse.identity(c_in, dtype=np.int32, format="csr")
        return [Term(sparse.csr_array(chan), binary(sum(row_taps)), binary(sum(col_taps)))]
    weight = step.weight
    per_group_out = c_out // step.groups
    per_group_in = weight.shape[1]
    terms = []
    for ty in range(kh):
        for tx in range(kw):
            oc, ic = np.nonzero(weight[:, :, ty, tx])
            if len(oc) == 0:
                continue
            ic = ic + (oc // per_group_out) * per_group_in
            chan = pairs_matrix(oc, ic, (c_out, c_in))
            terms.append(Term(chan, row_taps[ty], col_taps[tx]))
    return merge(terms)


def merge(terms: list[Term]) -> list[Term]:
    """Terms with the same row and column relations joined into one (their channel union)."""
    by_key: dict[bytes, Term] = {}
    for t in terms:
        k = t.key()
        if k in by_key:
            by_key[k] = Term(binary(by_key[k].chan + t.chan), t.rows, t.cols)
        else:
            by_key[k] = t
    return list(by_key.values())


def compose(later: list[Term], earlier: list[Term]) -> list[Term]:
    out = []
    for a in later:
        for b in earlier:
            t = Term(product(a.chan, b.chan), product(a.rows, b.rows), product(a.cols, b.cols))
            if t.chan.nnz and t.rows.nnz and t.cols.nnz:
                out.append(t)
    return merge(out)


def element_matrix(terms: list[Term], shape: tuple[int, int]) -> sparse.csr_array:
    """The full (out elements x in elements) relation of a term list, row-major element order."""
    total = sparse.csr_array(shape, dtype=np.int32)
    for t in terms:
        m = sparse.kron(sparse.kron(t.chan, t.rows), t.cols, format="csr")
        total = total + m
    return binary(total)


def dense_matrix(step: Step) -> sparse.csr_array:
    return binary(sparse.csr_array(step.weight != 0))
