"""The numeric kernels of the metric library, on numpy arrays.

- ``nearest_neighbours``: for each query row, the Euclidean distances to its ``k``
  nearest reference rows and their positions (exact brute force);
- ``coded_nearest_neighbours``: the same on coded rows (numbers and category codes,
  ``FeatureSpace.encode``), pruned but exact;
- ``content_digest`` and ``cell_digest``: BLAKE3 digests of an array's dtype, shape and
  contents, the keys of the library's stores of shared results;
- ``finite_argsort``: a stable ascending order with the non-finite values last;
- ``average_ranks``: ranks along such an order, ties sharing their mean rank;
- ``rbf_kernel_sums``: the three sums of Gaussian kernel values an MMD needs;
- ``ks_wasserstein``: the two-sample Kolmogorov-Smirnov statistic and the 1-Wasserstein
  distance of two samples, from one sort of each (``ks_wasserstein_sorted`` for
  samples already sorted);
- ``pairwise_squared_distances``: the squared distances between all pairs of rows of
  a small sample (the MMD's bandwidth).

The work is done by the C++ extension ``_metric_kernels`` without the GIL (the
distance kernels and the digests of large arrays on every core); the distance kernels
work in tiles of a few kilobytes, so memory does not grow with the product of the row
counts. Each numeric result equals, bit for bit, the straightforward numpy computation
described in the function's docstring, except that the RBF sums agree to rounding only:
the C library's exp and numpy's vectorised exp may differ in the last place.
"""

from typing import Optional, Tuple

import numpy as np
import pandas as pd

from . import _metric_kernels
from .stores import remembered

# Worker threads of the pairwise kernels; 0 means one per core.
THREADS = 0


def nearest_neighbours(
    query: np.ndarray, reference: np.ndarray, k: int = 1, exclude_self: bool = False
) -> Tuple[np.ndarray, np.ndarray]:
    """Distances from each query row to its ``k`` nearest reference rows, nearest first,
    and those rows' positions: two arrays of shape (query rows, k).

    The squared distance of a pair is summed feature by feature in feature order; rows
    at equal squared distance are ranked by position; a distance is the square root of
    the squared distance. With ``exclude_self`` the query is the reference itself and
    each row's own position is left out (its nearest *other* rows). Values must be
    finite.
    """
    return _metric_kernels.nearest_neighbours(query, reference, k, exclude_self, THREADS)


def coded_nearest_neighbours(
    query: np.ndarray, reference: np.ndarray, categorical: np.ndarray, half: float, k: int = 1
) -> Tuple[np.ndarray, np.ndarray]:
    """``nearest_neighbours`` of the one-hot rows that coded rows stand for, from the
    codes: ``categorical`` flags the columns holding category codes, and two differing
    codes add ``half`` twice to a squared distance, as their two one-hot indicators do.
    Distances and positions equal, bit for bit, those of ``nearest_neighbours`` on the
    one-hot rows. The reference rows are put in an order that keeps near rows together,
    and a block of them is left as soon as its running sums exceed the current k-th
    smallest squared distance: the result stays exact, the work shrinks with the
    neighbourhoods."""
    return _metric_kernels.coded_nearest_neighbours(query, reference, categorical, float(half), k, THREADS)


def content_digest(values: np.ndarray) -> bytes:
    """A 32-byte BLAKE3 digest of the array's dtype, shape and bytes (in C order): two
    arrays differing in any of them get different digests, barring a BLAKE3 collision,
    which nobody can construct. Large arrays are hashed on every core. Within a
    ``metric_scope`` an array's digest is computed once."""
    return remembered(("content", values), lambda: _metric_kernels.content_digest(values))


# Objects that stand for a missing value, digested as themselves in object columns.
_SINGLETONS = (pd.NA, pd.NaT)


def cell_digest(values: np.ndarray) -> Optional[bytes]:
    """A 32-byte BLAKE3 digest of the values in the cells of a one-dimensional object
    array, each with its type: str, int (64 bits), float, bool, None, pd.NA and pd.NaT.
    None when a cell holds anything else (a list, a dict, an array: a value that may
    change in place without the array changing), which no digest can stand for."""
    return remembered(("cells", values), lambda: _metric_kernels.cell_digest(values, _SINGLETONS))


def finite_argsort(values: np.ndarray) -> Tuple[np.ndarray, int]:
    """(order, n_finite): positions of the values in ascending order (a stable sort,
    -0.0 equal to 0.0), the non-finite values last, and how many values are finite."""
    return _metric_kernels.finite_argsort(values)


def average_ranks(values: np.ndarray, order: np.ndarray, keep: Optional[np.ndarray] = None) -> np.ndarray:
    """Average ranks (1-based, ties sharing their mean rank) of ``values[order]``, an
    ascending run of positions, among the positions where ``keep`` is true (all when
    None); NaN at every other position."""
    return _metric_kernels.average_ranks(values, order, keep)


def rbf_kernel_sums(x: np.ndarray, y: np.ndarray, gamma: float) -> Tuple[float, float, float]:
    """Sums of k(a, b) = exp(-gamma * |a - b|^2) over the pairs an MMD estimate needs:
    (sum over i < j of k(x_i, x_j), sum over i < j of k(y_i, y_j), sum over i, j of
    k(x_i, y_j)). The diagonal terms k(a, a) = 1 are left to the caller. Squared
    distances are summed as in ``nearest_neighbours``; each row's kernel values are
    added in ascending column order, then the row sums in ascending row order."""
    return _metric_kernels.rbf_kernel_sums(x, y, float(gamma), THREADS)


def ks_wasserstein(x: np.ndarray, y: np.ndarray) -> Tuple[float, float]:
    """(KS statistic, 1-Wasserstein distance) of two non-empty samples of finite values.

    Both are read off the two empirical distribution functions F on the merged sorted
    values v_1 <= ... <= v_N: KS = max |F_x - F_y|, W1 = sum over p < N of
    |F_x(v_p) - F_y(v_p)| (v_{p+1} - v_p), added in order (the definitions of
    scipy.stats.ks_2samp and wasserstein_distance). Each sample is sorted once.
    """
    return _metric_kernels.ks_wasserstein_sorted(
        np.sort(np.asarray(x, dtype=np.float64)), np.sort(np.asarray(y, dtype=np.float64))
    )


def ks_wasserstein_sorted(x: np.ndarray, y: np.ndarray) -> Tuple[float, float]:
    """``ks_wasserstein`` of two samples already in ascending order."""
    return _metric_kernels.ks_wasserstein_sorted(x, y)


def pairwise_squared_distances(rows: np.ndarray) -> np.ndarray:
    """The matrix of squared Euclidean distances between all pairs of ``rows`` (for the
    bandwidth sample of the MMD: at most a few thousand rows). Each entry is summed
    feature by feature in feature order from 0.0, the sum numpy builds by adding
    ``(rows[:, f, None] - rows[None, :, f]) ** 2`` for each feature f."""
    return _metric_kernels.pairwise_squared_distances(rows, THREADS)
