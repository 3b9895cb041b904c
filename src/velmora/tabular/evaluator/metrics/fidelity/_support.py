"""The k-nearest-neighbour support estimate shared by alpha-precision and beta-recall.

Both compare the distribution of a k-NN distance (a density estimate: the smaller the
distance, the denser the data around the point) with the real data's own: the distance
from each real record to its k-th nearest other real record. At a level a, the real
a-support is the set of points whose k-NN distance is at most the a-quantile of those
own distances, the densest region holding the share a of the real records.
"""

from typing import Dict, Optional, Tuple

import numpy as np
import pandas as pd

from velmora._metric_core.data import resolve_seed, unit_interval
from velmora.tabular.evaluator.catalogue import metric_info
from velmora.tabular.evaluator.report import MetricResult

from .._neighbours import (
    DEFAULT_MAX_PAIRS,
    REAL,
    SYNTHETIC,
    EmbeddedRows,
    WeightedSample,
    embedded_rows,
    kth_distances_as_member,
    kth_other_distances,
    query_cap,
    query_interval,
    sample_queries,
    sampling_details,
)


class SupportMetric:
    """What alpha-precision and beta-recall share: the options of the search and the
    computation of ``support_score``. A subclass names its metric (``result_name``, whose
    catalogue entry gives the result's texts), says whether it scores recall, and gives
    its number of levels (``n_levels``)."""

    result_name = ""
    recall = False

    def __init__(
        self,
        k: int = 5,
        max_queries: Optional[int] = None,
        random_seed: Optional[int] = None,
        max_pairs: Optional[int] = DEFAULT_MAX_PAIRS,
    ) -> None:
        if k < 1:
            raise ValueError("k must be at least 1.")
        self.k = int(k)
        self.max_queries = max_queries
        self.max_pairs = max_pairs
        self.random_seed = resolve_seed(random_seed)

    def n_levels(self) -> int:
        raise NotImplementedError

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> MetricResult:
        """The result named ``result_name`` (category "fidelity", higher is better).

        Its details hold the sizes of the frames and of the feature space, ``k``, the
        neighbour count the scored records use (``k_scored``), the records queried per
        search (``queries``, with ``sampled`` and the caps) and a 95% interval of the
        value."""
        rows = embedded_rows(real, synthetic)
        value, figures = support_score(
            rows, self.k, self.n_levels(), self.max_queries, self.max_pairs, self.random_seed, recall=self.recall
        )
        details = rows.details()
        details.update(figures)
        info = metric_info(self.result_name)
        return MetricResult(
            name=info.result_name,
            value=value,
            category=info.category,
            higher_is_better=info.higher_is_better,
            description=info.description,
            details=details,
        )


# The largest neighbour count of recall's scaled k (a synthetic frame more than
# MAX_SCALED_K / k times the size of the real one is then scored with this count).
MAX_SCALED_K = 200


def integrated_score(
    scores: WeightedSample, own: WeightedSample, levels: np.ndarray, score_weights: np.ndarray, own_weights: np.ndarray
) -> float:
    """1 - 2 * integral over the levels a of |P(a) - P_own(a)| (trapezoid rule),
    clipped to [0, 1], where P and P_own are the (weighted) shares of ``scores`` and of
    ``own`` at most the a-quantile of ``own``. P_own(a) is a itself where ``own`` has no
    ties."""
    radii = own.quantiles(levels, own_weights)
    gap = np.abs(scores.cdf(radii, score_weights) - own.cdf(radii, own_weights))
    return unit_interval(1.0 - float(np.sum((gap[1:] + gap[:-1]) * np.diff(levels))))


def support_score(
    rows: EmbeddedRows,
    k: int,
    n_levels: int,
    max_queries: Optional[int],
    max_pairs: Optional[int],
    seed: int,
    recall: bool,
) -> Tuple[float, Dict[str, object]]:
    """The integrated score and the figures for details.

    Precision (``recall`` False) scores the synthetic records by their distance to the
    k-th nearest real record; recall scores the real records by their distance to the
    k'-th nearest synthetic record, k' = k * n_synthetic / (n_real - 1) rounded (at
    least 1, at most ``MAX_SCALED_K``), so that the k'-NN ball of the synthetic data
    holds the same expected share of its records as the k-NN ball of the real data.
    """
    n_real, n_synthetic = len(rows.real), len(rows.synthetic)
    if n_real <= k:
        raise ValueError(f"The real data needs more than k = {k} rows.")
    levels = np.linspace(0.0, 1.0, n_levels)
    if recall:
        # The same real records are scored against both frames.
        cap = query_cap(max(n_real, n_synthetic), max_pairs, max_queries)
    else:
        cap = query_cap(n_real, max_pairs, max_queries)
    own_rows = sample_queries(np.arange(n_real), n_real, cap, seed, REAL)
    own = kth_other_distances(rows, own_rows, k)
    if recall:
        k_scored = min(MAX_SCALED_K, max(1, int(round(k * n_synthetic / (n_real - 1)))))
        if n_synthetic < k_scored + 1:
            k_scored = n_synthetic - 1
        if k_scored < 1:
            raise ValueError("Beta-recall needs at least two synthetic rows.")
        scored_rows = own_rows
        scores = kth_distances_as_member(rows, "real", scored_rows, "synthetic", k_scored)
        scored = ("real_in_synthetic", len(scored_rows), n_real)
    else:
        k_scored = k
        scored_rows = sample_queries(np.arange(n_synthetic), n_synthetic, cap, seed, SYNTHETIC)
        scores = kth_distances_as_member(rows, "synthetic", scored_rows, "real", k)
        scored = ("synthetic", len(scored_rows), n_synthetic)

    scores_sample, own_sample = WeightedSample(scores), WeightedSample(own)

    def score_of(*weights: np.ndarray) -> float:
        # Recall's two distances belong to the same real records: one weight per record.
        return integrated_score(scores_sample, own_sample, levels, weights[0], weights[-1])

    if recall:
        sizes, populations = [len(own)], [n_real]
    else:
        sizes, populations = [len(scores), len(own)], [n_synthetic, n_real]
    value = score_of(*[np.ones(size) for size in sizes])
    low, high = query_interval(score_of, sizes, populations, np.random.RandomState(seed))
    details: Dict[str, object] = {
        "k": k,
        "k_scored": k_scored,
        "n_levels": n_levels,
        "value_interval_95": [low, high],
    }
    details.update(
        sampling_details(
            {scored[0]: (scored[1], scored[2]), "real_spacing": (len(own_rows), n_real)}, max_queries, max_pairs, seed
        )
    )
    return value, details
