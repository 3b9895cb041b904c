"""Plain numpy transcriptions of the native metric kernels: the results the kernels
must reproduce bit for bit (the RBF sums to rounding: numpy's exp is its own)."""

import numpy as np


def squared_distances(query, reference):
    total = np.zeros((query.shape[0], reference.shape[0]))
    for feature in range(query.shape[1]):
        diff = query[:, feature, None] - reference[None, :, feature]
        total = total + diff * diff
    return total


def nearest_neighbours(query, reference, k=1, exclude_self=False):
    block = squared_distances(query, reference)
    if exclude_self:
        np.fill_diagonal(block, np.inf)
    order = np.argsort(block, axis=1, kind="stable")[:, :k]
    return np.sqrt(np.take_along_axis(block, order, axis=1)), order


def sequential_sum(values):
    values = np.asarray(values, dtype=np.float64)
    return float(np.add.accumulate(values)[-1]) if values.size else 0.0


def rbf_kernel_sums(x, y, gamma):
    def part(a, b, upper):
        kernel = np.exp(-gamma * squared_distances(a, b))
        if upper:
            kernel = np.where(np.arange(len(b))[None, :] > np.arange(len(a))[:, None], kernel, 0.0)
        return sequential_sum([sequential_sum(row) for row in kernel])

    return part(x, x, True), part(y, y, True), part(x, y, False)


def ks_wasserstein(x, y):
    x = np.sort(np.asarray(x, dtype=np.float64))
    y = np.sort(np.asarray(y, dtype=np.float64))
    merged = np.sort(np.concatenate([x, y]))
    cdf_x = np.searchsorted(x, merged, side="right") / len(x)
    cdf_y = np.searchsorted(y, merged, side="right") / len(y)
    gaps = np.abs(cdf_x - cdf_y)
    return float(gaps.max()), sequential_sum(gaps[:-1] * np.diff(merged))
