"""Distance to closest record (DCR), in units of the real data's own spacing."""

from typing import Dict, Optional

import numpy as np
import pandas as pd

from velmora._metric_core.data import resolve_seed

from .._neighbours import (
    DEFAULT_MAX_PAIRS,
    REAL,
    embedded_rows,
    found_in,
    kth_other_distances,
    nearest_distances,
    query_cap,
    query_interval,
    repeated,
    sample_queries,
    sampling_details,
)

__all__ = ["DTCRMetric", "spacing_ratios"]


def spacing_ratios(to_synthetic: np.ndarray, spacing: np.ndarray) -> np.ndarray:
    """min(1, d / s) for each real record at distance d from its nearest synthetic
    record and s from its nearest other real record: 1 wherever d >= s (a spacing of 0
    included, so a record that repeats in the real data counts as private)."""
    ratios = np.ones(len(to_synthetic))
    closer = to_synthetic < spacing
    ratios[closer] = to_synthetic[closer] / spacing[closer]
    return ratios


class DTCRMetric:
    """Mean distance from real to nearest synthetic record, in units of the real data's
    own nearest-neighbour spacing and capped at 1, in [0, 1]; higher = more private.

    For each real record, d is the Euclidean distance to its nearest synthetic record
    (the distance to closest record of Park et al., "Data synthesis based on generative
    adversarial networks", VLDB 2018, and of Zhao et al., CTAB-GAN, 2021) and s the
    distance to its nearest other real record, both in the real-fitted standardised
    feature space of ``FeatureSpace`` (numbers in real standard deviations, a differing
    category counting as one). The record scores min(1, d / s): 0 when it is copied, 1
    when no synthetic record comes closer to it than its own real neighbour. The metric
    is the mean over the real records: 0 for a copy of the real data, about 0.85 to
    0.97 for a fresh sample of the same population with as many rows (closer to 1 the
    more dimensions the data has; about 0.7 for a single column), 1 for data that keeps
    away.
    A real record that equals another real record has spacing 0 and scores 1: any record
    of a table of repeated rows is as close to another as a copy would be. More
    synthetic rows than real rows lie closer to the real records and score lower.

    Exact copies (whole rows equal to a real record) are found by hashing, over every
    row; the distances of the other real records are computed against every synthetic
    and every real record, for a seeded sample of them when the searches would exceed
    ``max_pairs`` query-reference pairs (or ``max_queries`` records; the sample size and
    a 95% interval of the value are then recorded). After ``compute``,
    ``details`` holds the raw distances d (mean, median, 5th percentile), the share of
    synthetic rows that are exact copies of a real row, the share of real rows copied,
    and the sizes.

    Parameters
    ----------
    max_queries : int, optional
        At most this many real records queried (None or 0: no cap but ``max_pairs``).
    random_seed : int, optional
        Seed of the query sample and of the interval (None means 0).
    max_pairs : int, default 400_000_000
        Query-reference pairs per search: max_pairs // n of the real records are
        queried against n rows (at least 1,000); None or 0 for no budget.
    """

    def __init__(
        self,
        max_queries: Optional[int] = None,
        random_seed: Optional[int] = None,
        max_pairs: Optional[int] = DEFAULT_MAX_PAIRS,
    ) -> None:
        self.max_queries = max_queries
        self.max_pairs = max_pairs
        self.random_seed = resolve_seed(random_seed)
        self.details: Dict[str, object] = {}

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> float:
        """The mean capped spacing ratio in [0, 1]; ``details`` explains it."""
        rows = embedded_rows(real, synthetic)
        n_real = len(rows.real)
        copied = found_in(rows.real_hash, rows.synthetic_hash)
        repeats = repeated(rows.real_hash)
        # A copied record is at distance 0: ratio 0, or 1 where its spacing is 0 too.
        exact_total = float((copied & repeats).sum())
        others = np.flatnonzero(~copied)
        cap = query_cap(max(n_real, len(rows.synthetic)), self.max_pairs, self.max_queries)
        queried = sample_queries(others, n_real, cap, self.random_seed, REAL)
        to_synthetic = nearest_distances(rows, "real", queried, "synthetic")
        if len(queried) and n_real > 1:
            spacing = kth_other_distances(rows, queried, 1)
        else:
            # A single real record has no neighbour: nothing can come closer than it.
            spacing = np.full(len(queried), np.inf)
        ratios = spacing_ratios(to_synthetic, spacing)

        def value_of(weights: np.ndarray) -> float:
            rest = len(others) * float(np.dot(weights, ratios) / weights.sum()) if len(ratios) else 0.0
            return (exact_total + rest) / n_real

        value = value_of(np.ones(len(ratios)))
        low, high = query_interval(value_of, [len(ratios)], [len(others)], np.random.RandomState(self.random_seed))
        copied_share = float(copied.mean())
        details = rows.details()
        details.update(
            value_interval_95=[low, high],
            mean_distance=(1.0 - copied_share) * float(to_synthetic.mean()) if len(queried) else 0.0,
            median_distance=_quantile_with_zeros(copied_share, to_synthetic, 0.5),
            percentile_5_distance=_quantile_with_zeros(copied_share, to_synthetic, 0.05),
            share_exact_copies=float(found_in(rows.synthetic_hash, rows.real_hash).mean()),
            share_real_copied=copied_share,
            share_real_repeated=float(repeats.mean()),
        )
        details.update(
            sampling_details({"real": (len(queried), len(others))}, self.max_queries, self.max_pairs, self.random_seed)
        )
        self.details = details
        return float(min(1.0, max(0.0, value)))


def _quantile_with_zeros(zero_share: float, sample: np.ndarray, q: float) -> float:
    """The q-quantile of a distribution that is 0 with probability ``zero_share`` and
    otherwise distributed as ``sample``."""
    if q <= zero_share or len(sample) == 0:
        return 0.0
    return float(np.quantile(sample, (q - zero_share) / (1.0 - zero_share)))
