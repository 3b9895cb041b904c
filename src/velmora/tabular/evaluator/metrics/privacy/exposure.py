"""Exposure: how many real records a synthetic table reproduces.

A real record is *reproduced* when a synthetic record equals it (the whole row) or lies
closer to it than ``NEAR_RATIO`` times its distance to the nearest real record of
another profile (its *distinct spacing*): repeats inside the real table never make a
record look private, because equal rows are not neighbours of each other here. A record
whose profile (its whole row) more than ``k_anonymity`` real records share is
k-anonymous (Sweeney, "k-anonymity: a model for protecting privacy", 2002): copying it
singles no one out, so it never counts.

Two shares are read off a pair of tables:

- ``reproduced_share``: of the real records, those some synthetic record reproduces
  ("how many real people are in this release");
- ``synthetic_reproducing_share``: of the synthetic records, those that reproduce a real
  record ("how much of the release is real people": 1 for a table made of a few real
  rows repeated, which reproduces few of them).

Some reproduction happens by chance, above all in discrete tables where a fresh record
of the population often equals a real one. The chance level is measured on records the
generator never saw: the holdout's records, reproduced by the synthetic table and
reproducing a real record, when a holdout is given; otherwise each real record against
the other real records (left out in turn: a record that repeats in the real table is
reproduced by its repeats, a single record when its nearest distinct neighbour is closer
than ``NEAR_RATIO`` times its second nearest). With a holdout whose chance level agrees
with the real table's own (the population repeats as the table does), the two are
pooled; where they disagree (rows repeated in the table but not in the population) the
holdout's alone counts. A share s over its chance level c gives
the share copied beyond chance, (s - c) / (1 - c): about f for a table of which a share
f was copied and the rest drawn afresh.

``exposed_share``, the figure the release verdict reads, is the real records reproduced
beyond chance with a holdout, and all reproduced real records without one. Without a
holdout the chance level comes from the real table itself, which cannot tell a table
whose rows repeat in the population from a table whose rows were repeated: the
``decidable`` flag is then false when the chance level leaves no room to see a copy.
``row_counts`` tells whether the table repeats the real row counts as a whole (see
``row_counts``), which shows a copy where no single record stands out.
"""

import math
from dataclasses import dataclass
from typing import Dict, Optional, Tuple

import numpy as np
import pandas as pd

from .._neighbours import HOLDOUT, REAL, STORE, SYNTHETIC, EmbeddedRows, query_cap, sample_queries
from .row_counts import RowCounts, row_counts_of

__all__ = ["DEFAULT_K_ANONYMITY", "NEAR_RATIO", "Exposure", "Profiles", "exposure_of", "profiles_of"]

# A profile shared by more real records than this is k-anonymous.
DEFAULT_K_ANONYMITY = 5

# A synthetic record reproduces a real one when it lies closer than this share of the
# real record's distinct spacing. With the whole spacing, a fresh sample of the
# population would land closer for about half the real records (the nearest other point
# is as likely to be synthetic as real); a tenth of it is seldom reached by chance in
# two or more dimensions, and always by a copy moved by a hundredth of a deviation in a
# table of a few thousand rows.
NEAR_RATIO = 0.1

# The one-sided normal quantile of the lower bound the verdict compares with its limit.
Z_ONE_SIDED_95 = 1.6448536269514722


class Profiles:
    """The real records grouped by profile (equal whole-row hashes): each record's
    profile count and, for the records searched, its distinct spacing.

    ``neighbours(positions)`` gives the nearest real rows of real rows, enough of them
    (``k_anonymity + 2``) that an eligible record (count at most ``k_anonymity``) finds its
    two nearest rows of other profiles among them.
    """

    def __init__(self, rows: EmbeddedRows, k_anonymity: int) -> None:
        self.rows = rows
        self.k_anonymity = int(k_anonymity)
        codes, uniques = pd.factorize(rows.real_hash)
        self.codes = codes
        self.profile_hashes = np.asarray(uniques, dtype=np.uint64)
        self.profile_counts = np.bincount(codes, minlength=len(uniques))
        self.counts = self.profile_counts[codes]
        self.eligible = self.counts <= self.k_anonymity
        self.eligible_hashes = self.profile_hashes[self.profile_counts <= self.k_anonymity]
        self.n_neighbours = min(len(rows.real), self.k_anonymity + 2)

    def count_of(self, hashes: np.ndarray) -> np.ndarray:
        """How many real records share each of ``hashes`` (0 for a profile they lack)."""
        at = pd.Index(self.profile_hashes).get_indexer(hashes)
        return np.where(at >= 0, self.profile_counts[np.maximum(at, 0)], 0)

    def distinct_distances(
        self, query_side: str, positions: np.ndarray, query_hashes: np.ndarray
    ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """For query rows of ``query_side`` (real or holdout) at ``positions``: the distance
        to the nearest and to the second nearest real row whose hash differs from the
        query's (inf where there is none among the neighbours searched), and the position
        of that nearest real row (-1 for none)."""
        positions = np.asarray(positions, dtype=np.int64)
        if len(positions) == 0 or self.n_neighbours == 0:
            empty = np.full(len(positions), np.inf)
            return empty, empty.copy(), np.full(len(positions), -1, dtype=np.int64)
        distances, found = STORE.neighbours(self.rows, query_side, positions, "real", self.n_neighbours)
        other = self.rows.real_hash[found] != query_hashes[:, None]
        # The first and second True of each row, in the nearest-first order.
        rank = np.cumsum(other, axis=1)
        first = np.where(other & (rank == 1), distances, np.inf).min(axis=1)
        second = np.where(other & (rank == 2), distances, np.inf).min(axis=1)
        at = np.argmax(other & (rank == 1), axis=1)
        nearest = np.where(np.isfinite(first), found[np.arange(len(found)), at], -1)
        return first, second, nearest

    def spacing(self, positions: np.ndarray) -> np.ndarray:
        """The distinct spacing of the real rows at ``positions``: the distance to the
        nearest real row of another profile for an eligible row, 0 for a k-anonymous
        one (it is as close to its repeats as a copy would be)."""
        positions = np.asarray(positions, dtype=np.int64)
        first, _, _ = self.distinct_distances("real", positions, self.rows.real_hash[positions])
        return np.where(self.eligible[positions], first, 0.0)


def profiles_of(rows: EmbeddedRows, k_anonymity: int = DEFAULT_K_ANONYMITY) -> Profiles:
    """The ``Profiles`` of ``rows``, made once per embedded rows and setting."""
    cache = rows.__dict__.setdefault("_profiles", {})
    if k_anonymity not in cache:
        cache[k_anonymity] = Profiles(rows, k_anonymity)
    return cache[k_anonymity]


@dataclass(frozen=True)
class Exposure:
    """The exposure figures of one pair of tables (see the module docstring).

    Shares are of the real records (``reproduced_share``, ``eligible_share``) or of the
    synthetic records (``synthetic_reproducing_share``); ``chance_*`` are the same shares
    among records the generator never saw; ``*_beyond_chance`` the shares copied beyond
    chance, None when chance alone reproduces every eligible record; ``*_error`` their
    standard errors.
    """

    k_anonymity: int
    near_ratio: float
    chance_source: str  # "holdout", "holdout and real leave-one-out" or "real leave-one-out"
    eligible_share: float
    repeated_share: float
    reproduced_share: float
    exact_share: float
    synthetic_reproducing_share: float
    chance_reproduced_share: float
    chance_reproducing_share: float
    reproduced_beyond_chance: Optional[float]
    reproducing_beyond_chance: Optional[float]
    reproduced_error: float
    reproducing_error: float
    n_real: int
    n_synthetic: int
    n_chance: int
    row_counts: Optional[RowCounts] = None

    @property
    def exposed_share(self) -> float:
        """The share of real records exposed, beyond chance with a holdout, all
        reproduced records without one."""
        if self.chance_source.startswith("holdout"):
            return self.eligible_share * (self.reproduced_beyond_chance or 0.0)
        return self.reproduced_share

    @property
    def decidable(self) -> bool:
        """Whether a copy could be told from chance (some eligible real records are not
        reproduced by chance)."""
        return self.reproduced_beyond_chance is not None

    def lower_bound(self, which: str) -> Optional[float]:
        """The one-sided 95% lower bound of the share copied beyond chance, of the real
        records ("reproduced", scaled to all real records) or of the synthetic ones
        ("reproducing")."""
        if which == "reproduced":
            value, error, scale = self.reproduced_beyond_chance, self.reproduced_error, self.eligible_share
        else:
            value, error, scale = self.reproducing_beyond_chance, self.reproducing_error, 1.0
        if value is None:
            return None
        return scale * (value - Z_ONE_SIDED_95 * error)

    def to_details(self) -> Dict[str, object]:
        return {
            "exposed_share": self.exposed_share,
            "reproduced_share": self.reproduced_share,
            "exact_share": self.exact_share,
            "synthetic_reproducing_share": self.synthetic_reproducing_share,
            "chance_source": self.chance_source,
            "chance_reproduced_share": self.chance_reproduced_share,
            "chance_reproducing_share": self.chance_reproducing_share,
            "reproduced_beyond_chance": self.reproduced_beyond_chance,
            "reproducing_beyond_chance": self.reproducing_beyond_chance,
            "reproduced_error": self.reproduced_error,
            "reproducing_error": self.reproducing_error,
            "decidable": self.decidable,
            "eligible_share": self.eligible_share,
            "repeated_share": self.repeated_share,
            "k_anonymity": self.k_anonymity,
            "near_ratio": self.near_ratio,
            "n_real": self.n_real,
            "n_synthetic": self.n_synthetic,
            "n_chance": self.n_chance,
            "row_counts": self.row_counts.to_details() if self.row_counts is not None else None,
        }


class _Share:
    """A share of N records: those decided by hashing (``exact``, over every record)
    plus those among the other records found near, from a sample of them."""

    def __init__(self, n: int, exact: int, others: int, near_hits: int, sampled: int) -> None:
        self.n = n
        near_rate = near_hits / sampled if sampled else 0.0
        self.value = (exact + others * near_rate) / n if n else 0.0
        # Bernoulli error of the share, plus the sampling error of the near rate.
        binomial = self.value * (1.0 - self.value) / n if n else 0.0
        sampling = (others / n) ** 2 * near_rate * (1.0 - near_rate) / sampled if n and sampled else 0.0
        self.variance = binomial + sampling


def _agree(first: _Share, second: _Share) -> bool:
    """Whether two estimates of one share differ by less than twice their error."""
    return abs(first.value - second.value) <= 2.0 * math.sqrt(first.variance + second.variance)


def _pooled(first: _Share, second: _Share) -> _Share:
    """The two estimates weighted by their sizes (a share of both sets of records)."""
    pooled = _Share.__new__(_Share)
    pooled.n = first.n + second.n
    weight = first.n / pooled.n
    pooled.value = weight * first.value + (1.0 - weight) * second.value
    pooled.variance = weight**2 * first.variance + (1.0 - weight) ** 2 * second.variance
    return pooled


def _beyond(share: _Share, chance: _Share, ceiling: float, chance_ceiling: float) -> Tuple[Optional[float], float]:
    """(the share copied beyond chance among the records that can be reproduced, its
    standard error); the shares are first taken relative to their ceilings."""
    if ceiling <= 0 or chance_ceiling <= 0:
        return None, 0.0
    s, c = share.value / ceiling, chance.value / chance_ceiling
    if c >= 1.0 - 1e-12:
        return None, 0.0
    value = min(1.0, max(0.0, (s - c) / (1.0 - c)))
    error = math.sqrt(share.variance / ceiling**2 + chance.variance / chance_ceiling**2) / (1.0 - c)
    return value, error


def exposure_of(
    rows: EmbeddedRows,
    holdout: bool,
    seed: int,
    max_pairs: Optional[int],
    max_queries: Optional[int],
    k_anonymity: int = DEFAULT_K_ANONYMITY,
) -> Exposure:
    """The ``Exposure`` of the synthetic rows of ``rows`` against its real rows, with the
    chance level of its holdout rows when ``holdout`` (made once per embedded rows)."""
    key = (bool(holdout), int(seed), max_pairs, max_queries, int(k_anonymity))
    cache = rows.__dict__.setdefault("_exposures", {})
    if key not in cache:
        cache[key] = _measure(rows, holdout, seed, max_pairs, max_queries, k_anonymity)
    return cache[key]


def _measure(
    rows: EmbeddedRows, holdout: bool, seed: int, max_pairs: Optional[int], max_queries: Optional[int], k: int
) -> Exposure:
    profiles = profiles_of(rows, k)
    n_real, n_synthetic = len(rows.real), len(rows.synthetic)
    eligible = profiles.eligible
    eligible_share = float(eligible.mean()) if n_real else 0.0

    # Real records reproduced: exact copies by hash, the others searched (a sample).
    copied = eligible & np.isin(rows.real_hash, rows.synthetic_hash)
    candidates = np.flatnonzero(eligible & ~copied)
    cap = query_cap(max(n_real, n_synthetic), max_pairs, max_queries)
    queried = sample_queries(candidates, n_real, cap, seed, REAL)
    near = _near_reproduced(rows, profiles, "real", queried, rows.real_hash[queried])
    reproduced = _Share(n_real, int(copied.sum()), len(candidates), int(near.sum()), len(queried))

    # Synthetic records reproducing a real record.
    reproducing_exact = np.isin(rows.synthetic_hash, profiles.eligible_hashes)
    others = np.flatnonzero(~reproducing_exact)
    synthetic_queried = sample_queries(others, n_synthetic, query_cap(n_real, max_pairs, max_queries), seed, SYNTHETIC)
    reproducing_near = _near_a_real_record(rows, profiles, "synthetic", synthetic_queried)
    reproducing = _Share(
        n_synthetic, int(reproducing_exact.sum()), len(others), int(reproducing_near.sum()), len(synthetic_queried)
    )

    # Left out in turn: a repeated record is reproduced by its repeats, a single one when
    # its nearest distinct neighbour is much closer than its second nearest.
    repeated = eligible & (profiles.counts >= 2)
    singles = np.flatnonzero(eligible & ~repeated)
    singles_queried = sample_queries(singles, n_real, query_cap(n_real, max_pairs, max_queries), seed, REAL)
    first, second, _ = profiles.distinct_distances("real", singles_queried, rows.real_hash[singles_queried])
    loo_near = first < NEAR_RATIO * second
    left_out = _Share(n_real, int(repeated.sum()), len(singles), int(loo_near.sum()), len(singles_queried))

    if holdout:
        hashes = rows.other_hashes[0]
        n_chance = len(hashes)
        # A holdout record is measured as if it were one more real record.
        chance_eligible = profiles.count_of(hashes) + 1 <= k
        chance_copied = chance_eligible & np.isin(hashes, rows.synthetic_hash)
        chance_candidates = np.flatnonzero(chance_eligible & ~chance_copied)
        chance_queried = sample_queries(chance_candidates, n_chance, cap, seed, HOLDOUT)
        chance_near = _near_reproduced(rows, profiles, "holdout", chance_queried, hashes[chance_queried])
        chance_reproduced = _Share(
            n_chance, int(chance_copied.sum()), len(chance_candidates), int(chance_near.sum()), len(chance_queried)
        )
        chance_exact = np.isin(hashes, profiles.eligible_hashes)
        chance_others = np.flatnonzero(~chance_exact)
        holdout_queried = sample_queries(
            chance_others, n_chance, query_cap(n_real, max_pairs, max_queries), seed, HOLDOUT
        )
        chance_near_real = _near_a_real_record(rows, profiles, "holdout", holdout_queried)
        chance_reproducing = _Share(
            n_chance, int(chance_exact.sum()), len(chance_others), int(chance_near_real.sum()), len(holdout_queried)
        )
        chance_ceiling = float(chance_eligible.mean()) if n_chance else 0.0
        source = "holdout"
        # Where the real table's own chance level agrees with the holdout's, the
        # population repeats as the table does, and both measure the same chance: they
        # are pooled, which halves the error on small tables.
        if _agree(left_out, chance_reproduced) and _agree(left_out, chance_reproducing):
            chance_reproduced = _pooled(chance_reproduced, left_out)
            chance_reproducing = _pooled(chance_reproducing, left_out)
            chance_ceiling = (chance_ceiling * n_chance + eligible_share * n_real) / (n_chance + n_real)
            n_chance += n_real
            source = "holdout and real leave-one-out"
    else:
        n_chance = n_real
        chance_reproduced = chance_reproducing = left_out
        chance_ceiling = eligible_share
        source = "real leave-one-out"

    reproduced_beyond, reproduced_error = _beyond(reproduced, chance_reproduced, eligible_share, chance_ceiling)
    reproducing_beyond, reproducing_error = _beyond(reproducing, chance_reproducing, 1.0, 1.0)
    return Exposure(
        k_anonymity=k,
        near_ratio=NEAR_RATIO,
        chance_source=source,
        eligible_share=eligible_share,
        repeated_share=float((profiles.counts >= 2).mean()) if n_real else 0.0,
        reproduced_share=reproduced.value,
        exact_share=float(copied.mean()) if n_real else 0.0,
        synthetic_reproducing_share=reproducing.value,
        chance_reproduced_share=chance_reproduced.value,
        chance_reproducing_share=chance_reproducing.value,
        reproduced_beyond_chance=reproduced_beyond,
        reproducing_beyond_chance=reproducing_beyond,
        reproduced_error=reproduced_error,
        reproducing_error=reproducing_error,
        n_real=n_real,
        n_synthetic=n_synthetic,
        n_chance=n_chance,
        row_counts=row_counts_of(rows, seed),
    )


def _near_reproduced(
    rows: EmbeddedRows, profiles: Profiles, side: str, positions: np.ndarray, hashes: np.ndarray
) -> np.ndarray:
    """Whether a synthetic record lies closer to each query record (real or holdout, none
    of them copied verbatim) than ``NEAR_RATIO`` times its distinct spacing."""
    if len(positions) == 0 or len(rows.synthetic) == 0:
        return np.zeros(len(positions), dtype=bool)
    spacing, _, _ = profiles.distinct_distances(side, positions, hashes)
    to_synthetic, _ = STORE.neighbours(rows, side, positions, "synthetic", 1)
    return to_synthetic[:, 0] < NEAR_RATIO * spacing


def _near_a_real_record(rows: EmbeddedRows, profiles: Profiles, side: str, positions: np.ndarray) -> np.ndarray:
    """Whether each query record (synthetic or holdout, not equal to an eligible real
    record) lies closer to its nearest real record than ``NEAR_RATIO`` times that
    record's distinct spacing, that record being eligible."""
    if len(positions) == 0 or len(rows.real) == 0:
        return np.zeros(len(positions), dtype=bool)
    distances, found = STORE.neighbours(rows, side, positions, "real", 1)
    nearest = found[:, 0]
    targets = np.unique(nearest)
    spacing = np.empty(len(rows.real))
    spacing[targets] = profiles.spacing(targets)
    return profiles.eligible[nearest] & (distances[:, 0] < NEAR_RATIO * spacing[nearest])
