"""Sorted columns and the statistics read off them: the per-column metrics (KS,
Wasserstein, total variation, Hellinger) and Spearman's ranks all start from a column's
values in ascending order, so each column is sorted once and shared.

The sort order of a column is kept in a small store keyed by a BLAKE3 digest of the
column's values (never by the identity of a frame: a column changed between two calls is
sorted anew), bounded in the bytes it keeps. A function that reads a column several times
digests it once and hands the key on.
"""

from concurrent.futures import ThreadPoolExecutor
from typing import Dict, List, Optional, Tuple

import numpy as np

from . import kernels as _kernels
from .kernels import content_digest
from .stores import ResultStore

# Bytes of sort orders kept for reuse (an order of a million rows takes 8 MB), and how
# many: those of the last evaluation or two.
MAX_ORDER_BYTES = 512 * 2**20
MAX_ORDERS = 64

_ORDERS: "ResultStore[Tuple[np.ndarray, int]]" = ResultStore(
    max_entries=MAX_ORDERS, max_bytes=MAX_ORDER_BYTES, size=lambda kept: kept[0].nbytes
)


def column_key(values: np.ndarray) -> bytes:
    """The key of a float64 column in the stores of this module."""
    return content_digest(np.ascontiguousarray(values, dtype=np.float64))


def finite_order(values: np.ndarray, key: Optional[bytes] = None) -> Tuple[np.ndarray, int]:
    """(order, n_finite): positions of the float64 ``values`` in ascending order with
    the non-finite values (missing, infinite) last, and how many values are finite.
    ``values[order[:n_finite]]`` are the finite values sorted. ``key``, when given, is
    ``column_key(values)``, computed by the caller from these very values."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    if key is None:
        key = column_key(values)
    kept = _ORDERS.get(key)
    if kept is not None:
        return kept
    order, n_finite = _kernels.finite_argsort(values)
    kept = (order, int(n_finite))
    _ORDERS.put(key, kept)
    return kept


def prefetch_orders(columns: List[np.ndarray], keys: Optional[List[bytes]] = None) -> None:
    """``finite_order`` of each column, two columns at a time on two threads (numpy's
    sort lets go of the GIL), so that later calls find them stored."""
    values = [np.ascontiguousarray(column, dtype=np.float64) for column in columns]
    keys = [column_key(column) for column in values] if keys is None else keys
    pending = [(column, key) for column, key in zip(values, keys) if key not in _ORDERS]
    if len(pending) < 2:
        for column, key in pending:
            finite_order(column, key)
        return
    with ThreadPoolExecutor(max_workers=2) as pool:
        for _ in pool.map(lambda item: finite_order(*item), pending):
            pass


def sorted_finite(values: np.ndarray, key: Optional[bytes] = None) -> np.ndarray:
    """The finite values of ``values`` in ascending order (``key`` as for
    ``finite_order``)."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    order, n_finite = finite_order(values, key)
    return values[order[:n_finite]]


def distinct_sorted(sorted_values: np.ndarray) -> np.ndarray:
    """The distinct values of an ascending array."""
    if len(sorted_values) == 0:
        return sorted_values
    keep = np.empty(len(sorted_values), dtype=bool)
    keep[0] = True
    np.not_equal(sorted_values[1:], sorted_values[:-1], out=keep[1:])
    return sorted_values[keep]


def average_ranks(values: np.ndarray, mask: Optional[np.ndarray] = None, key: Optional[bytes] = None) -> np.ndarray:
    """Average ranks of the finite ``values`` at the rows of ``mask`` (all finite rows
    by default), ranked among those rows only; NaN elsewhere. The ranks of pandas'
    ``rank(method="average")`` of the selected values. ``key`` as for ``finite_order``."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    order, n_finite = finite_order(values, key)
    return _kernels.average_ranks(values, order[:n_finite], None if mask is None else mask.view(np.uint8))


def _pearson(a: np.ndarray, b: np.ndarray) -> float:
    """Pearson's r of two equally long vectors; NaN when either is constant or empty."""
    if len(a) == 0:
        return float("nan")
    centred_a = a - a.mean()
    centred_b = b - b.mean()
    denominator = np.sqrt(float(np.dot(centred_a, centred_a)) * float(np.dot(centred_b, centred_b)))
    if not denominator > 0:
        return float("nan")
    return float(np.dot(centred_a, centred_b)) / denominator


def correlation_matrix(columns: List[np.ndarray], method: str) -> np.ndarray:
    """The matrix of pandas' ``DataFrame.corr(method)`` ("pearson" or "spearman") of
    float64 columns with NaN for missing values, to float rounding: each pair uses the
    rows where both values are present (Spearman ranks them among those rows), a pair
    with a constant side is NaN, the diagonal 1 (NaN for a constant column).

    Pairs of complete columns come from one product of the centred columns (or of their
    ranks); the rest pair by pair."""
    columns = [np.ascontiguousarray(column, dtype=np.float64) for column in columns]
    keys = [column_key(column) for column in columns]
    key = (method, tuple(keys))
    stored = _MATRICES.get(key)
    if stored is not None:
        return stored.copy()
    if method == "spearman":
        prefetch_orders(columns, keys)
    matrix = _correlation_matrix(columns, method, keys)
    _MATRICES.put(key, matrix)
    return matrix.copy()


# Correlation matrices of recent column sets, keyed by method and column digests.
_MATRICES: "ResultStore[np.ndarray]" = ResultStore(max_entries=8)


def _correlation_matrix(columns: List[np.ndarray], method: str, keys: List[bytes]) -> np.ndarray:
    k = len(columns)
    present = [np.isfinite(column) for column in columns]
    complete = [bool(mask.all()) for mask in present]
    out = np.full((k, k), np.nan)
    full = [c for c in range(k) if complete[c]]
    if full:
        block = np.empty((len(columns[0]), len(full)), order="F")
        for at, c in enumerate(full):
            block[:, at] = average_ranks(columns[c], key=keys[c]) if method == "spearman" else columns[c]
        centred = block - block.mean(axis=0)
        products = centred.T @ centred
        scale = np.sqrt(np.outer(np.diag(products), np.diag(products)))
        with np.errstate(invalid="ignore", divide="ignore"):
            correlations = np.where(scale > 0, products / scale, np.nan)
        out[np.ix_(full, full)] = correlations
    ranks_on: Dict[tuple, np.ndarray] = {}

    def ranked(c: int, mask: np.ndarray) -> np.ndarray:
        key = (c, content_digest(mask.view(np.uint8)))
        if key not in ranks_on:
            ranks_on[key] = average_ranks(columns[c], mask, keys[c])[mask]
        return ranks_on[key]

    for i in range(k):
        for j in range(i, k):
            if complete[i] and complete[j]:
                continue
            mask = present[i] & present[j]
            if method == "spearman":
                a, b = ranked(i, mask), ranked(j, mask)
            else:
                a, b = columns[i][mask], columns[j][mask]
            out[i, j] = out[j, i] = _pearson(a, b)
    diagonal = np.diag(out).copy()
    np.fill_diagonal(out, np.where(np.isfinite(diagonal), 1.0, np.nan))
    return out
