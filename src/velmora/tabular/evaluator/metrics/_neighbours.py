"""The nearest-neighbour searches of the distance-based metrics (alpha-precision,
beta-recall, distance to closest record, membership inference).

Every search runs its query rows against every row of its reference set, so each
distance is exact. Only the queries may be a seeded sample (at most ``max_queries``
rows, an option of each metric): the metrics then record the sample sizes and a 95%
interval of their estimate (``query_interval``). Exact copies are found by hashing
whole rows (``row_hashes``), over every row, so a copied table is recognised at any
size.
"""

from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from velmora._metric_core import kernels as _kernels
from velmora._metric_core.data import FeatureSpace, check_frames, row_hashes

# Query rows per search, by default: frames up to this size are searched from every
# row; above it the sampling error of a share estimated from 10,000 queries is at most
# 0.005 (one standard error), well inside the 0.02 that separates two readings of one
# table worth telling apart.
DEFAULT_MAX_QUERIES = 10000

# Bootstrap replicates behind a 95% interval of a sampled estimate.
INTERVAL_REPLICATES = 200


class EmbeddedRows:
    """The real frame, the synthetic frame and optionally more frames of the same
    columns (a holdout), as rows of the real-fitted ``FeatureSpace`` and as whole-row
    hashes.

    Attributes ``real``, ``synthetic`` and ``others`` hold the matrices (C-contiguous
    float64, one row per frame row), ``real_hash``, ``synthetic_hash`` and
    ``other_hashes`` the uint64 hashes over the shared columns.
    """

    def __init__(self, real: pd.DataFrame, synthetic: pd.DataFrame, others: Sequence[pd.DataFrame] = ()) -> None:
        check_frames(real, synthetic)
        for other in others:
            missing = [column for column in real.columns if column in synthetic.columns and column not in other.columns]
            if missing:
                raise KeyError(f"Columns missing from the holdout frame: {missing!r}")
        self.space = FeatureSpace(real, synthetic)
        self.real = self.space.transform(real)
        self.synthetic = self.space.transform(synthetic)
        self.others = [self.space.transform(other) for other in others]
        hashes = row_hashes([real, synthetic, *others], self.space.columns)
        self.real_hash, self.synthetic_hash = hashes[0], hashes[1]
        self.other_hashes = hashes[2:]

    def details(self) -> Dict[str, object]:
        details: Dict[str, object] = {
            "n_real": len(self.real),
            "n_synthetic": len(self.synthetic),
            "n_features": self.space.n_features,
        }
        if self.space.skipped:
            details["skipped"] = dict(self.space.skipped)
        return details


def found_in(hashes: np.ndarray, reference_hashes: np.ndarray) -> np.ndarray:
    """True for each row whose whole-row hash occurs among ``reference_hashes``."""
    return np.isin(hashes, reference_hashes)


def repeated(hashes: np.ndarray) -> np.ndarray:
    """True for each row that equals another row of the same frame."""
    return pd.Series(hashes).duplicated(keep=False).to_numpy()


def sample_queries(candidates: np.ndarray, cap: Optional[int], rng: np.random.RandomState) -> np.ndarray:
    """The positions to query: ``candidates`` (sorted positions) themselves, or a seeded
    sample of ``cap`` of them without replacement (None or 0 means no cap)."""
    if not cap or len(candidates) <= cap:
        return candidates
    return np.sort(rng.choice(candidates, size=int(cap), replace=False))


def nearest_distances(query: np.ndarray, reference: np.ndarray) -> np.ndarray:
    """Distance from each query row to its nearest reference row."""
    if len(query) == 0:
        return np.empty(0)
    distances, _ = _kernels.nearest_neighbours(query, reference, k=1)
    return distances[:, 0]


def kth_other_distances(rows: np.ndarray, positions: np.ndarray, k: int) -> np.ndarray:
    """Distance from each row ``rows[positions]`` to its ``k``-th nearest *other* row of
    ``rows`` (the row itself left out, rows equal to it kept)."""
    if len(positions) == 0:
        return np.empty(0)
    if len(rows) <= k:
        raise ValueError(f"At least {k + 1} rows are needed for the distance to the {k}-th nearest other row.")
    # The row itself is among its k + 1 nearest at distance 0, so the (k + 1)-th smallest
    # distance is the k-th smallest over the other rows, however ties are ranked.
    distances, _ = _kernels.nearest_neighbours(rows[positions], rows, k=k + 1)
    return distances[:, k]


def kth_distances_as_member(query: np.ndarray, reference: np.ndarray, k: int) -> np.ndarray:
    """Distance from each query row to its ``k``-th nearest reference row, where a
    query row that coincides with a reference row is measured as that reference row
    is: with one coinciding row left out. A copy of the reference then gets exactly the
    distances the reference rows have among themselves."""
    if len(query) == 0:
        return np.empty(0)
    if len(reference) <= k:
        raise ValueError(f"At least {k + 1} reference rows are needed for the {k}-th nearest neighbour.")
    distances, _ = _kernels.nearest_neighbours(query, reference, k=k + 1)
    return np.where(distances[:, 0] > 0.0, distances[:, k - 1], distances[:, k])


def query_interval(
    statistic: Callable[..., float],
    sizes: Sequence[int],
    populations: Sequence[int],
    rng: np.random.RandomState,
    replicates: int = INTERVAL_REPLICATES,
) -> Tuple[float, float]:
    """A 95% interval of an estimate from the sampling of its query rows.

    The estimate is ``statistic(*weights)`` with one weight per sampled value (all 1
    for the estimate itself); sample i holds ``sizes[i]`` of ``populations[i]`` rows.
    Samples that hold their whole population carry no sampling error and keep weight 1;
    the others are redrawn with replacement (a percentile bootstrap, drawn as
    multinomial counts). Drawing m / (1 - m / N) values instead of m gives a redrawn mean
    the variance of a sample of m rows out of N drawn without replacement (the finite
    population correction), so a sample of nearly every row gets a nearly empty
    interval. Without any sampled query the interval is the estimate itself.
    """
    ones = [np.ones(size) for size in sizes]
    estimate = float(statistic(*ones))
    sampled = [0 < size < population for size, population in zip(sizes, populations)]
    if not any(sampled):
        return estimate, estimate
    draws = [int(round(min(size / (1.0 - size / population), 20.0 * size))) if redraw else 0
             for size, population, redraw in zip(sizes, populations, sampled)]
    values = []
    for _ in range(replicates):
        weights = [
            rng.multinomial(count, np.full(size, 1.0 / size)).astype(np.float64) if redraw else unit
            for size, count, redraw, unit in zip(sizes, draws, sampled, ones)
        ]
        values.append(float(statistic(*weights)))
    low, high = np.percentile(values, [2.5, 97.5])
    return float(low), float(high)


class WeightedSample:
    """Values with their sort order, for distribution functions and quantiles of the
    values under weights (one weight per value, in the original order)."""

    def __init__(self, values: np.ndarray) -> None:
        self.values = np.asarray(values, dtype=np.float64)
        self.order = np.argsort(self.values, kind="stable")
        self.sorted = self.values[self.order]

    def __len__(self) -> int:
        return len(self.values)

    def cdf(self, points: np.ndarray, weights: np.ndarray) -> np.ndarray:
        """Weighted share of the values at most each point."""
        if len(self.values) == 0:
            return np.zeros(len(points))
        cumulative = np.concatenate([[0.0], np.cumsum(weights[self.order])])
        return cumulative[np.searchsorted(self.sorted, points, side="right")] / cumulative[-1]

    def quantiles(self, levels: np.ndarray, weights: np.ndarray) -> np.ndarray:
        """For each level a, the smallest value whose weighted share of values at most it
        reaches a (the inverse of the distribution function)."""
        cumulative = np.cumsum(weights[self.order])
        positions = np.searchsorted(cumulative, levels * cumulative[-1], side="left")
        return self.sorted[np.minimum(positions, len(self.sorted) - 1)]


def sampling_details(queries: Dict[str, Tuple[int, int]], max_queries: Optional[int], seed: int) -> Dict[str, object]:
    """Details of the query samples: for each named query set (queried rows, rows it
    stands for), whether any was sampled, the cap and the seed."""
    sizes: Dict[str, List[int]] = {name: [int(used), int(total)] for name, (used, total) in queries.items()}
    return {
        "queries": sizes,
        "sampled": any(0 < used < total for used, total in sizes.values()),
        "max_queries": max_queries,
        "random_seed": seed,
    }
