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


def one_hot(coded, categorical, indicator):
    """The one-hot rows that coded rows stand for: each category code c of a column
    becomes a block with ``indicator`` at position c (blocks as wide as the largest code
    of the column plus one)."""
    blocks = []
    for feature in range(coded.shape[1]):
        column = coded[:, feature]
        if categorical[feature]:
            width = int(column.max()) + 1 if len(column) else 1
            block = np.zeros((len(column), width))
            block[np.arange(len(column)), column.astype(int)] = indicator
            blocks.append(block)
        else:
            blocks.append(column[:, None])
    return np.hstack(blocks)


def finite_argsort(values):
    """Positions of the finite values in ascending order (stable, -0.0 equal to 0.0),
    then the others in their order."""
    values = np.asarray(values, dtype=np.float64)
    finite = np.flatnonzero(np.isfinite(values))
    keys = values[finite] + 0.0
    order = finite[np.argsort(keys, kind="stable")]
    return np.concatenate([order, np.flatnonzero(~np.isfinite(values))]), len(finite)


def average_ranks(values, mask=None):
    """pandas' average ranks of the finite values at ``mask``, NaN elsewhere."""
    import pandas as pd

    values = np.asarray(values, dtype=np.float64)
    keep = np.isfinite(values) if mask is None else np.isfinite(values) & mask
    ranks = np.full(len(values), np.nan)
    ranks[keep] = pd.Series(values[keep]).rank(method="average").to_numpy()
    return ranks


def numeric_frequencies(real, synthetic, n_bins):
    """Frequencies of a numeric column on a shared binning, from the unsorted values:
    by value when the frames hold at most ``n_bins`` distinct values, else by the real
    quantiles; the non-finite values one more bin."""
    real_finite, synthetic_finite = np.isfinite(real), np.isfinite(synthetic)
    distinct = np.unique(np.concatenate([real[real_finite], synthetic[synthetic_finite]]))
    if distinct.size <= n_bins:
        edges, side, size = distinct, "left", distinct.size
    else:
        edges = np.unique(np.quantile(real[real_finite], np.linspace(0.0, 1.0, n_bins + 1)[1:-1]))
        side, size = "right", edges.size + 1
    p = np.bincount(np.searchsorted(edges, real[real_finite], side=side), minlength=size).astype(np.float64)
    q = np.bincount(np.searchsorted(edges, synthetic[synthetic_finite], side=side), minlength=size).astype(np.float64)
    p = np.append(p, float((~real_finite).sum()))
    q = np.append(q, float((~synthetic_finite).sum()))
    return p / p.sum(), q / q.sum()
