"""The numeric kernels of the metric library.

- ``nearest_neighbours``: for each query row, the Euclidean distance to its nearest
  reference row and that row's position (brute force, exact);
- ``rbf_kernel_sums``: the three sums of Gaussian kernel values an MMD needs;
- ``ks_wasserstein``: the two-sample Kolmogorov-Smirnov statistic and the 1-Wasserstein
  distance of two samples, from one sort of each.

Every function works in memory-bounded blocks, so its memory does not grow with the
product of the two row counts.
"""

from typing import Tuple

import numpy as np

# Upper bound on the number of pairwise entries held at once by the blocked loops.
BLOCK_ENTRIES = 1 << 22


def _as_matrix(values: np.ndarray) -> np.ndarray:
    matrix = np.ascontiguousarray(values, dtype=np.float64)
    if matrix.ndim != 2:
        raise ValueError("Expected a two-dimensional array of rows.")
    return matrix


def _squared_distances(query: np.ndarray, reference_t: np.ndarray) -> np.ndarray:
    # Summed feature by feature, in feature order, so every pair's value is the same
    # sequence of IEEE operations whatever the block shape.
    total = None
    for feature in range(query.shape[1]):
        diff = query[:, feature, None] - reference_t[feature][None, :]
        square = diff * diff
        total = square if total is None else total + square
    if total is None:
        total = np.zeros((query.shape[0], reference_t.shape[1]))
    return total


def pairwise_squared_distances(rows: np.ndarray) -> np.ndarray:
    """The matrix of squared Euclidean distances between all pairs of ``rows``."""
    rows = _as_matrix(rows)
    return _squared_distances(rows, np.ascontiguousarray(rows.T))


def nearest_neighbours(
    query: np.ndarray, reference: np.ndarray, k: int = 1, exclude_self: bool = False
) -> Tuple[np.ndarray, np.ndarray]:
    """Distances from each query row to its ``k`` nearest reference rows, nearest first,
    and those rows' positions: two arrays of shape (query rows, k).

    The squared distance of a pair is summed feature by feature in feature order; rows
    at equal squared distance are ranked by position; a distance is the square root of
    the squared distance. With ``exclude_self`` the query is the reference itself and
    each row's own position is left out (its nearest *other* rows).
    """
    query = _as_matrix(query)
    reference = _as_matrix(reference)
    if query.shape[1] != reference.shape[1]:
        raise ValueError("Query and reference rows have different numbers of features.")
    available = reference.shape[0] - (1 if exclude_self else 0)
    if k < 1 or available < k:
        raise ValueError(f"Not enough reference rows for {k} nearest neighbours.")
    reference_t = np.ascontiguousarray(reference.T)
    distances = np.empty((query.shape[0], k))
    positions = np.empty((query.shape[0], k), dtype=np.int64)
    step = max(1, BLOCK_ENTRIES // max(1, reference.shape[0]))
    for start in range(0, query.shape[0], step):
        stop = min(query.shape[0], start + step)
        block = _squared_distances(query[start:stop], reference_t)
        rows = np.arange(stop - start)
        if exclude_self:
            block[rows, start + rows] = np.inf
        order = np.argsort(block, axis=1, kind="stable")[:, :k]
        positions[start:stop] = order
        distances[start:stop] = np.sqrt(np.take_along_axis(block, order, axis=1))
    return distances, positions


def rbf_kernel_sums(x: np.ndarray, y: np.ndarray, gamma: float) -> Tuple[float, float, float]:
    """Sums of k(a, b) = exp(-gamma * |a - b|^2) over the pairs an MMD estimate needs:
    (sum over i < j of k(x_i, x_j), sum over i < j of k(y_i, y_j), sum over i, j of
    k(x_i, y_j)). The diagonal terms k(a, a) = 1 are left to the caller."""
    x = _as_matrix(x)
    y = _as_matrix(y)

    def cross_sum(a: np.ndarray, b: np.ndarray, upper: bool) -> float:
        b_t = np.ascontiguousarray(b.T)
        total = 0.0
        step = max(1, BLOCK_ENTRIES // max(1, b.shape[0]))
        for start in range(0, a.shape[0], step):
            stop = min(a.shape[0], start + step)
            kernel = np.exp(-gamma * _squared_distances(a[start:stop], b_t))
            if upper:
                kernel = kernel * (np.arange(b.shape[0])[None, :] > np.arange(start, stop)[:, None])
            total += float(kernel.sum())
        return total

    return cross_sum(x, x, True), cross_sum(y, y, True), cross_sum(x, y, False)


def ks_wasserstein(x: np.ndarray, y: np.ndarray) -> Tuple[float, float]:
    """(KS statistic, 1-Wasserstein distance) of two non-empty samples of finite values.

    Both are read off the two empirical distribution functions on the merged sorted
    values: KS = max |F_x - F_y|, W1 = sum of |F_x - F_y| times the gap to the next
    value (the definitions of scipy.stats.ks_2samp and wasserstein_distance).
    """
    x = np.sort(np.asarray(x, dtype=np.float64))
    y = np.sort(np.asarray(y, dtype=np.float64))
    if x.size == 0 or y.size == 0:
        raise ValueError("Both samples need at least one value.")
    merged = np.sort(np.concatenate([x, y]))
    cdf_x = np.searchsorted(x, merged, side="right") / x.size
    cdf_y = np.searchsorted(y, merged, side="right") / y.size
    gaps = np.abs(cdf_x - cdf_y)
    return float(gaps.max()), float(np.sum(gaps[:-1] * np.diff(merged)))
