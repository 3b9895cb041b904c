"""Distance to closest record (DCR), in units of the real data's own distinct spacing."""

from typing import Dict, Optional

import numpy as np
import pandas as pd

from velmora._metric_core.data import resolve_seed

from .._neighbours import (
    DEFAULT_MAX_PAIRS,
    REAL,
    SYNTHETIC,
    checked_holdout,
    embedded_rows,
    found_in,
    nearest_distances,
    nearest_rows,
    query_cap,
    query_interval,
    sample_queries,
    sampling_details,
)
from .exposure import DEFAULT_K_ANONYMITY, exposure_of, profiles_of

__all__ = ["DTCRMetric", "spacing_ratios"]


def spacing_ratios(distances: np.ndarray, spacing: np.ndarray) -> np.ndarray:
    """min(1, d / s) for each record at distance d from the nearest record of the other
    table and s the distinct spacing of the real record concerned: 1 wherever d >= s (a
    spacing of 0, that of a k-anonymous record, included) and where s is infinite (a
    real table of one profile has no spacing to be closer than)."""
    ratios = np.ones(len(distances))
    closer = (distances < spacing) & np.isfinite(spacing)
    ratios[closer] = distances[closer] / spacing[closer]
    return ratios


class DTCRMetric:
    """Distance to closest record in units of the real data's own distinct spacing,
    capped at 1, in [0, 1]; higher = more private.

    For each real record, d is the Euclidean distance to its nearest synthetic record
    (the distance to closest record of Park et al., "Data synthesis based on generative
    adversarial networks", VLDB 2018, and of Zhao et al., CTAB-GAN, 2021) and s its
    distinct spacing: the distance to its nearest real record of another profile (a
    profile is a whole row), both in the real-fitted standardised feature space of
    ``FeatureSpace`` (numbers in real standard deviations, a differing category counting
    as one). The record scores min(1, d / s): 0 when it is copied, 1 when no synthetic
    record comes closer to it than its nearest different real record. Rows that repeat
    in the real data are not each other's neighbours, so a copy of a table of repeated
    rows scores 0 like any copy; only a profile shared by more than ``k_anonymity`` real
    records is k-anonymous and scores 1 (copying it singles no one out).

    The same is read from the synthetic side: each synthetic record at distance d from
    its nearest real record, whose distinct spacing is s, scores min(1, d / s). The value
    is the smaller of the two means, so that a table that copies a few real records many
    times over (mode collapse: few real records reproduced, but every synthetic one a
    copy) reads as copied too. A copy of the real data scores 0, a fresh sample of the
    same population with as many rows about 0.85 to 0.97 (closer to 1 the more
    dimensions the data has; about 0.7 for a single column), data that keeps away 1.
    More synthetic rows than real rows lie closer to the real records and score lower.

    Exact copies (whole rows equal) are found by hashing, over every row; the distances
    of the other records are computed against every record of the other table, for a
    seeded sample of them when the searches would exceed ``max_pairs`` query-reference
    pairs (or ``max_queries`` records; the sample size and a 95% interval of the value
    are then recorded). After ``compute``, ``details`` holds both sides' means, the raw
    distances d of the real side (mean, median, 5th percentile), the shares of exact
    copies, the sizes, and the ``exposure`` of the pair (see ``exposure``), measured
    against the ``holdout``'s chance level when one is given.

    Parameters
    ----------
    max_queries : int, optional
        At most this many records queried per side (None or 0: no cap but ``max_pairs``).
    random_seed : int, optional
        Seed of the query sample and of the interval (None means 0).
    max_pairs : int, default 400_000_000
        Query-reference pairs per search: max_pairs // n of the records are queried
        against n rows (at least 1,000); None or 0 for no budget.
    holdout : pandas.DataFrame, optional
        Real records of the same columns that the generator never saw: the chance level
        of the exposure.
    k_anonymity : int, default 5
        A profile shared by more real records than this is k-anonymous.
    """

    def __init__(
        self,
        max_queries: Optional[int] = None,
        random_seed: Optional[int] = None,
        max_pairs: Optional[int] = DEFAULT_MAX_PAIRS,
        holdout: Optional[pd.DataFrame] = None,
        k_anonymity: int = DEFAULT_K_ANONYMITY,
    ) -> None:
        self.max_queries = max_queries
        self.max_pairs = max_pairs
        self.random_seed = resolve_seed(random_seed)
        self.holdout = checked_holdout(holdout)
        self.k_anonymity = int(k_anonymity)
        self.details: Dict[str, object] = {}

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> float:
        """The smaller mean capped spacing ratio in [0, 1]; ``details`` explains it."""
        rows = embedded_rows(real, synthetic, () if self.holdout is None else (self.holdout,))
        profiles = profiles_of(rows, self.k_anonymity)
        n_real, n_synthetic = len(rows.real), len(rows.synthetic)
        rng = np.random.RandomState(self.random_seed)

        # Real side. An exact copy scores 0, or 1 when its profile is k-anonymous.
        copied = found_in(rows.real_hash, rows.synthetic_hash)
        others = np.flatnonzero(~copied)
        cap = query_cap(max(n_real, n_synthetic), self.max_pairs, self.max_queries)
        queried = sample_queries(others, n_real, cap, self.random_seed, REAL)
        to_synthetic = nearest_distances(rows, "real", queried, "synthetic")
        real_side = _Side(
            n_real,
            float((copied & ~profiles.eligible).sum()),
            len(others),
            spacing_ratios(to_synthetic, profiles.spacing(queried)),
            rng,
        )

        # Synthetic side, each record against the spacing of its nearest real record.
        reproducing = found_in(rows.synthetic_hash, rows.real_hash)
        synthetic_others = np.flatnonzero(~reproducing)
        synthetic_queried = sample_queries(
            synthetic_others,
            n_synthetic,
            query_cap(n_real, self.max_pairs, self.max_queries),
            self.random_seed,
            SYNTHETIC,
        )
        to_real, nearest = nearest_rows(rows, "synthetic", synthetic_queried, "real")
        spacing = np.empty(n_real)
        targets = np.unique(nearest)
        spacing[targets] = profiles.spacing(targets)
        copies_of_common = reproducing & ~found_in(rows.synthetic_hash, profiles.eligible_hashes)
        synthetic_side = _Side(
            n_synthetic,
            float(copies_of_common.sum()),
            len(synthetic_others),
            spacing_ratios(to_real, spacing[nearest]),
            rng,
        )

        side = real_side if real_side.value <= synthetic_side.value else synthetic_side
        copied_share = float(copied.mean())
        details = rows.details()
        details.update(
            value_interval_95=list(side.interval),
            real_side=real_side.value,
            synthetic_side=synthetic_side.value,
            mean_distance=(1.0 - copied_share) * float(to_synthetic.mean()) if len(queried) else 0.0,
            median_distance=_quantile_with_zeros(copied_share, to_synthetic, 0.5),
            percentile_5_distance=_quantile_with_zeros(copied_share, to_synthetic, 0.05),
            share_exact_copies=float(reproducing.mean()),
            share_real_copied=copied_share,
            share_real_repeated=float((profiles.counts >= 2).mean()),
            k_anonymity=self.k_anonymity,
        )
        details.update(
            sampling_details(
                {"real": (len(queried), len(others)), "synthetic": (len(synthetic_queried), len(synthetic_others))},
                self.max_queries,
                self.max_pairs,
                self.random_seed,
            )
        )
        exposure = exposure_of(
            rows, self.holdout is not None, self.random_seed, self.max_pairs, self.max_queries, self.k_anonymity
        )
        details["exposure"] = exposure.to_details()
        self.details = details
        return float(min(1.0, max(0.0, side.value)))


class _Side:
    """The mean ratio of one side: ``fixed`` records scoring 1 (k-anonymous copies), the
    exact copies scoring 0, and ``others`` records whose ratios are read off a sample."""

    def __init__(self, n: int, fixed: float, others: int, ratios: np.ndarray, rng: np.random.RandomState) -> None:
        def value_of(weights: np.ndarray) -> float:
            rest = others * float(np.dot(weights, ratios) / weights.sum()) if len(ratios) else 0.0
            return (fixed + rest) / n if n else 1.0

        self.value = value_of(np.ones(len(ratios)))
        self.interval = query_interval(value_of, [len(ratios)], [others], rng)


def _quantile_with_zeros(zero_share: float, sample: np.ndarray, q: float) -> float:
    """The q-quantile of a distribution that is 0 with probability ``zero_share`` and
    otherwise distributed as ``sample``."""
    if q <= zero_share or len(sample) == 0:
        return 0.0
    return float(np.quantile(sample, (q - zero_share) / (1.0 - zero_share)))
