"""The nearest-neighbour searches of the distance-based metrics (alpha-precision,
beta-recall, distance to closest record, membership inference).

Every search runs its query rows against every row of its reference set, so each
distance is exact. Only the queries may be a seeded sample: each search is given a
budget of query-reference pairs (``max_pairs``, an option of each metric), so the
number of queries shrinks as the reference grows and a search against a million rows
stays bounded; the metrics then record the sample sizes and a 95% interval of their
estimate (``query_interval``), which widens honestly with the smaller sample. Exact
copies are found by hashing whole rows (``row_hashes``), over every row, so a copied
table is recognised at any size.

The four metrics search the same three neighbourhoods of a pair of frames (real rows
among the real rows, synthetic rows among the real rows, real rows among the synthetic
rows) with the same seeded query samples, so each neighbourhood is computed once and
shared (``NeighbourStore``): searches are keyed by a digest of the contents of the query
and reference matrices, never by the identity of a frame, so a frame changed between
two calls gets a new search.
"""

import threading
from collections import OrderedDict
from typing import Callable, Dict, Hashable, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from velmora._metric_core import kernels as _kernels
from velmora._metric_core.data import (
    CategoryCodes,
    category_codes,
    check_frames,
    frame_tokens,
    row_hashes,
)
from velmora._metric_core.features import FeatureSpace
from velmora._metric_core.stores import FrameResults, ResultStore, on_clear

# Query-reference pairs per search, by default: frames of up to 20,000 rows are
# searched from every row, 100,000 rows from 4,000 queries, a million rows from the
# 1,000 of MIN_QUERIES; the recorded 95% interval shows the sampling error. The three
# shared searches of an evaluation then take about a second on two cores.
DEFAULT_MAX_PAIRS = 400_000_000

# The fewest queries of a sampled search, whatever the size of its reference set.
MIN_QUERIES = 1000

# Neighbours kept per shared search: the most the default metrics ask for (the k + 2
# nearest real rows of the exposure with k-anonymity 5, which hold an eligible record's
# two nearest rows of other profiles; alpha-precision and beta-recall ask for k + 1 = 6).
SHARED_NEIGHBOURS = 7

# A query row nearer to one reference row than this share of its distance to the next
# is (partly) that row's twin in ``kth_distances_as_member``.
NEAR_TWIN = 0.1

# Bootstrap replicates behind a 95% interval of a sampled estimate.
INTERVAL_REPLICATES = 200

# Which frame a query sample is drawn from: each has its own seeded order of rows, so
# that two frames whose rows correspond (a perturbed copy) are not sampled at the same
# positions.
REAL, SYNTHETIC, HOLDOUT = 0, 1, 2


class EmbeddedRows:
    """The real frame, the synthetic frame and optionally more frames of the same
    columns (a holdout), as coded rows of the real-fitted ``FeatureSpace``
    (``FeatureSpace.encode``) and as whole-row hashes.

    Attributes ``real``, ``synthetic`` and ``others`` hold the coded matrices
    (C-contiguous float64, one row per frame row), ``real_hash``, ``synthetic_hash`` and
    ``other_hashes`` the uint64 hashes over the shared columns.
    """

    def __init__(self, real: pd.DataFrame, synthetic: pd.DataFrame, others: Sequence[pd.DataFrame] = ()) -> None:
        check_frames(real, synthetic)
        for other in others:
            missing = [column for column in real.columns if column in synthetic.columns and column not in other.columns]
            if missing:
                raise KeyError(f"Columns missing from the holdout frame: {missing!r}")
        frames = [real, synthetic, *others]
        # Each frame's category codes, computed once for the feature space and the hashes.
        memo: Dict[Tuple[int, Hashable], Optional[CategoryCodes]] = {}

        def codes_of(index: int, column: Hashable) -> Optional[CategoryCodes]:
            if (index, column) not in memo:
                memo[index, column] = category_codes(frames[index][column])
            return memo[index, column]

        def frame_codes(frame: pd.DataFrame, column: Hashable) -> Optional[CategoryCodes]:
            index = next(i for i, candidate in enumerate(frames) if candidate is frame)
            return codes_of(index, column)

        self.space = FeatureSpace(real, synthetic, codes_of=frame_codes)
        self.real = self.space.encode(real)
        self.synthetic = self.space.encode(synthetic)
        self.others = [self.space.encode(other) for other in others]
        self.categorical = self.space.categorical_flags
        self.half = self.space.half
        hashes = row_hashes(frames, self.space.columns, codes_of)
        self.real_hash, self.synthetic_hash = hashes[0], hashes[1]
        self.other_hashes = hashes[2:]
        # The space no longer reads these frames: keep no reference to them.
        self.space.forget_frames()
        self._digests: Dict[str, bytes] = {}

    def matrix(self, side: str) -> np.ndarray:
        """The coded rows of "real", "synthetic" or "holdout" (the first other frame)."""
        if side == "holdout":
            return self.others[0]
        return self.real if side == "real" else self.synthetic

    def digest(self, side: str) -> bytes:
        if side not in self._digests:
            self._digests[side] = _kernels.content_digest(self.matrix(side))
        return self._digests[side]

    def details(self) -> Dict[str, object]:
        details: Dict[str, object] = {
            "n_real": len(self.real),
            "n_synthetic": len(self.synthetic),
            "n_features": self.space.n_features,
        }
        if self.space.skipped:
            details["skipped"] = dict(self.space.skipped)
        return details


# The embedded rows of the last pairs of frames, keyed by the frames' contents
# (``frame_tokens``) and kept while the frames live: the four metrics of one evaluation
# embed the same frames once.
MAX_EMBEDDED = 2
_EMBEDDED: "FrameResults[EmbeddedRows]" = FrameResults(MAX_EMBEDDED)


def embedded_rows(real: pd.DataFrame, synthetic: pd.DataFrame, others: Sequence[pd.DataFrame] = ()) -> EmbeddedRows:
    """``EmbeddedRows(real, synthetic, others)``, from the store when frames with the same
    contents were embedded before."""
    check_frames(real, synthetic)
    tokens = [frame_tokens(frame) if isinstance(frame, pd.DataFrame) else None for frame in (real, synthetic, *others)]
    key = None if any(token is None for token in tokens) else tuple(tokens)
    if key is not None:
        stored = _EMBEDDED.get(key)
        if stored is not None:
            return stored
    rows = EmbeddedRows(real, synthetic, others)
    if key is not None:
        _EMBEDDED.put(key, rows, (real, synthetic, *others))
    return rows


class NeighbourStore:
    """The searches of the last few pairs of frames: for a query matrix and a reference
    matrix (known by digests of their contents and of the feature kinds), the sorted
    query positions searched so far with their nearest reference rows. A request for
    rows already searched, with no more neighbours than were kept, is answered from the
    store; otherwise only the missing rows are searched. At most ``max_entries`` searches
    and ``max_bytes`` of results are kept, the least recently used dropped first."""

    def __init__(self, max_entries: int = 8, max_bytes: int = 256 * 2**20) -> None:
        self.max_entries = max_entries
        self.max_bytes = max_bytes
        self._entries: "OrderedDict[tuple, Tuple[np.ndarray, np.ndarray, np.ndarray]]" = OrderedDict()
        self._lock = threading.Lock()

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()

    def neighbours(
        self, rows: EmbeddedRows, query_side: str, positions: np.ndarray, reference_side: str, k: int
    ) -> Tuple[np.ndarray, np.ndarray]:
        """(distances, reference positions), each of shape (len(positions), k), of the
        query rows ``positions`` (sorted) of ``query_side`` among the rows of
        ``reference_side``, nearest first."""
        positions = np.asarray(positions, dtype=np.int64)
        if len(positions) == 0:
            return np.empty((0, k)), np.empty((0, k), dtype=np.int64)
        key = (
            rows.digest(query_side),
            rows.digest(reference_side),
            rows.categorical.tobytes(),
            rows.half,
            len(rows.matrix(query_side)),
            len(rows.matrix(reference_side)),
        )
        with self._lock:
            entry = self._entries.get(key)
            if entry is not None:
                self._entries.move_to_end(key)
        if entry is not None and entry[1].shape[1] >= k:
            known, distances, found = entry
            at = np.searchsorted(known, positions)
            inside = at < len(known)
            if inside.all() and np.array_equal(known[at], positions):
                return distances[at, :k], found[at, :k]
        reference = rows.matrix(reference_side)
        kept = min(len(reference), max(k, SHARED_NEIGHBOURS))
        if entry is not None and entry[1].shape[1] >= kept:
            known, distances, found = entry
            missing = np.setdiff1d(positions, known, assume_unique=True)
            new_distances, new_found = _kernels.coded_nearest_neighbours(
                rows.matrix(query_side)[missing], reference, rows.categorical, rows.half, kept
            )
            known = np.concatenate([known, missing])
            order = np.argsort(known, kind="stable")
            known = known[order]
            distances = np.concatenate([distances, new_distances])[order]
            found = np.concatenate([found, new_found])[order]
        else:
            known = positions
            distances, found = _kernels.coded_nearest_neighbours(
                rows.matrix(query_side)[positions], reference, rows.categorical, rows.half, kept
            )
        self._keep(key, (known, distances, found))
        at = np.searchsorted(known, positions)
        return distances[at, :k], found[at, :k]

    def _keep(self, key: tuple, entry: Tuple[np.ndarray, np.ndarray, np.ndarray]) -> None:
        size = sum(array.nbytes for array in entry)
        if size > self.max_bytes:
            return
        with self._lock:
            self._entries[key] = entry
            self._entries.move_to_end(key)
            while len(self._entries) > self.max_entries or (
                sum(sum(array.nbytes for array in kept) for kept in self._entries.values()) > self.max_bytes
            ):
                self._entries.popitem(last=False)


# The store every metric shares.
STORE = NeighbourStore()
on_clear(STORE.clear)


def found_in(hashes: np.ndarray, reference_hashes: np.ndarray) -> np.ndarray:
    """True for each row whose whole-row hash occurs among ``reference_hashes``."""
    return np.isin(hashes, reference_hashes)


def query_cap(n_reference: int, max_pairs: Optional[int], max_queries: Optional[int]) -> Optional[int]:
    """Queries allowed against ``n_reference`` rows: ``max_pairs`` // ``n_reference``
    (at least ``MIN_QUERIES``), and at most ``max_queries``; None (no cap) when neither
    is set (None or 0)."""
    caps = []
    if max_pairs:
        caps.append(max(MIN_QUERIES, int(max_pairs) // max(1, int(n_reference))))
    if max_queries:
        caps.append(int(max_queries))
    return min(caps) if caps else None


_ORDERS: "ResultStore[np.ndarray]" = ResultStore(max_entries=6)


def seeded_order(n_rows: int, seed: int, frame: int) -> np.ndarray:
    """A seeded random order of ``n_rows`` rows, one per (seed, frame): the same for
    every metric, so that their samples are prefixes of one order and shared."""
    key = (int(n_rows), int(seed), int(frame))
    order = _ORDERS.get(key)
    if order is None:
        order = np.random.RandomState([int(seed), int(frame)]).permutation(int(n_rows))
        _ORDERS.put(key, order)
    return order


def sample_queries(candidates: np.ndarray, n_rows: int, cap: Optional[int], seed: int, frame: int) -> np.ndarray:
    """The positions to query among ``candidates`` (sorted positions of a frame of
    ``n_rows`` rows): all of them, or, beyond ``cap``, the first ``cap`` of them in the
    frame's ``seeded_order`` (a seeded sample without replacement), sorted."""
    candidates = np.asarray(candidates, dtype=np.int64)
    if not cap or len(candidates) <= cap:
        return candidates
    order = seeded_order(n_rows, seed, frame)
    eligible = np.zeros(n_rows, dtype=bool)
    eligible[candidates] = True
    return np.sort(order[eligible[order]][: int(cap)])


def nearest_distances(rows: EmbeddedRows, query_side: str, positions: np.ndarray, reference_side: str) -> np.ndarray:
    """Distance from each query row to its nearest reference row."""
    if len(positions) == 0:
        return np.empty(0)
    distances, _ = STORE.neighbours(rows, query_side, positions, reference_side, 1)
    return distances[:, 0]


def nearest_rows(
    rows: EmbeddedRows, query_side: str, positions: np.ndarray, reference_side: str
) -> Tuple[np.ndarray, np.ndarray]:
    """(distance, position) of each query row's nearest reference row."""
    if len(positions) == 0:
        return np.empty(0), np.empty(0, dtype=np.int64)
    distances, found = STORE.neighbours(rows, query_side, positions, reference_side, 1)
    return distances[:, 0], found[:, 0]


def checked_holdout(holdout: Optional[pd.DataFrame]) -> Optional[pd.DataFrame]:
    """``holdout`` when it is None or a DataFrame with rows; otherwise a clear error."""
    if holdout is None:
        return None
    if not isinstance(holdout, pd.DataFrame):
        raise TypeError(f"The holdout data must be a pandas DataFrame, got {type(holdout).__name__}")
    if len(holdout) == 0:
        raise ValueError("The holdout data has no rows.")
    return holdout


def kth_other_distances(rows: EmbeddedRows, positions: np.ndarray, k: int) -> np.ndarray:
    """Distance from each real row ``positions`` to its ``k``-th nearest *other* real
    row (the row itself left out, rows equal to it kept)."""
    if len(positions) == 0:
        return np.empty(0)
    if len(rows.real) <= k:
        raise ValueError(f"At least {k + 1} rows are needed for the distance to the {k}-th nearest other row.")
    # The row itself is among its k + 1 nearest at distance 0, so the (k + 1)-th smallest
    # distance is the k-th smallest over the other rows, however ties are ranked.
    distances, _ = STORE.neighbours(rows, "real", positions, "real", k + 1)
    return distances[:, k]


def kth_distances_as_member(
    rows: EmbeddedRows, query_side: str, positions: np.ndarray, reference_side: str, k: int
) -> np.ndarray:
    """Distance from each query row to its ``k``-th nearest reference row, where a
    query row that coincides with a reference row is measured as that reference row
    is: with one coinciding row left out. A copy of the reference then gets exactly the
    distances the reference rows have among themselves.

    The step from "coinciding" to "apart" is continuous: a query row at distance d0 from
    its nearest reference row and d1 from its second nearest is measured as
    (1 - w) * d_(k+1) + w * d_k with w = min(1, d0 / (NEAR_TWIN * d1)), so a copy moved
    by a hair counts as the copy, and a row clearly nearer to one reference row than
    ``NEAR_TWIN`` times the next is blended between the two."""
    if len(positions) == 0:
        return np.empty(0)
    if len(rows.matrix(reference_side)) <= k:
        raise ValueError(f"At least {k + 1} reference rows are needed for the {k}-th nearest neighbour.")
    distances, _ = STORE.neighbours(rows, query_side, positions, reference_side, k + 1)
    nearest, second = distances[:, 0], distances[:, 1]
    with np.errstate(divide="ignore", invalid="ignore"):
        weight = np.where(second > 0.0, np.minimum(1.0, nearest / (NEAR_TWIN * second)), 0.0)
    # Written so that w = 1 gives d_k and w = 0 gives d_(k+1) exactly.
    return np.where(
        weight >= 1.0, distances[:, k - 1], distances[:, k] + weight * (distances[:, k - 1] - distances[:, k])
    )


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
    draws = [
        int(round(min(size / (1.0 - size / population), 20.0 * size))) if redraw else 0
        for size, population, redraw in zip(sizes, populations, sampled)
    ]
    values = []
    for _ in range(replicates):
        # Multinomial counts of equal probabilities, as the tally of uniform draws.
        weights = [
            np.bincount(rng.randint(0, size, count), minlength=size).astype(np.float64) if redraw else unit
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


def sampling_details(
    queries: Dict[str, Tuple[int, int]], max_queries: Optional[int], max_pairs: Optional[int], seed: int
) -> Dict[str, object]:
    """Details of the query samples: for each named query set (queried rows, rows it
    stands for), whether any was sampled, the caps and the seed."""
    sizes: Dict[str, List[int]] = {name: [int(used), int(total)] for name, (used, total) in queries.items()}
    return {
        "queries": sizes,
        "sampled": any(0 < used < total for used, total in sizes.values()),
        "max_queries": max_queries,
        "max_pairs": max_pairs,
        "random_seed": seed,
    }
