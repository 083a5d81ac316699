"""Neuron-by-neuron reference for the lowering: every nonzero synapse of a chain, by loops.

Each step becomes a dense 0/1 matrix (output elements x input elements) built one synapse at a
time from the step's definition; a chain is the product of its steps. Meant for small layers.
"""

from __future__ import annotations

import itertools

import numpy as np


def conv_matrix(in_shape, weight, stride, padding, dilation, groups):
    c_in, h, w = in_shape
    c_out, per_in, kh, kw = weight.shape
    (sh, sw), (ph, pw), (dh, dw) = stride, padding, dilation
    ho = (h + 2 * ph - dh * (kh - 1) - 1) // sh + 1
    wo = (w + 2 * pw - dw * (kw - 1) - 1) // sw + 1
    per_out = c_out // groups
    m = np.zeros((c_out * ho * wo, c_in * h * w), dtype=bool)
    for oc, oy, ox in itertools.product(range(c_out), range(ho), range(wo)):
        g = oc // per_out
        for ic, ky, kx in itertools.product(range(per_in), range(kh), range(kw)):
            if weight[oc, ic, ky, kx] == 0:
                continue
            y, x = oy * sh - ph + ky * dh, ox * sw - pw + kx * dw
            if 0 <= y < h and 0 <= x < w:
                src = ((g * per_in + ic) * h + y) * w + x
                m[(oc * ho + oy) * wo + ox, src] = True
    return m, (c_out, ho, wo)


def pool_matrix(in_shape, kernel, stride, padding):
    c, h, w = in_shape
    weight = np.ones((c, 1, *kernel))
    return conv_matrix(in_shape, weight, stride, padding, (1, 1), c)


def dense_matrix(weight):
    return weight != 0


def group_pairs(relation, src_groups, dst_groups):
    """{(source group, destination group)} over every nonzero synapse, self-pairs kept."""
    dst, src = np.nonzero(relation)
    return set(zip(src_groups[src].tolist(), dst_groups[dst].tolist()))
