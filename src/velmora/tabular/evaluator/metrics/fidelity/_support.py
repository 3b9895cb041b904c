"""The k-nearest-neighbour support estimate shared by alpha-precision and beta-recall.

Both compare the distribution of a k-NN distance (a density estimate: the smaller the
distance, the denser the data around the point) with the real data's own: the distance
from each real record to its k-th nearest other real record. At a level a, the real
a-support is the set of points whose k-NN distance is at most the a-quantile of those
own distances, the densest region holding the share a of the real records.
"""

from typing import Dict, Optional, Tuple

import numpy as np

from .._data import unit_interval
from .._neighbours import kth_distances_as_member, kth_other_distances, query_interval, sample_queries, sampling_details

# The largest neighbour count of recall's scaled k (a synthetic frame more than
# MAX_SCALED_K / k times the size of the real one is then scored with this count).
MAX_SCALED_K = 200


def support_curve(scores: np.ndarray, own: np.ndarray, levels: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(P, P_own): at each level a, the share of ``scores`` and of ``own`` at most the
    a-quantile of ``own``. P_own is a itself where ``own`` has no ties."""
    radii = np.quantile(own, levels)
    inside = np.searchsorted(np.sort(scores), radii, side="right") / len(scores)
    inside_own = np.searchsorted(np.sort(own), radii, side="right") / len(own)
    return inside, inside_own


def integrated_score(scores: np.ndarray, own: np.ndarray, levels: np.ndarray) -> float:
    """1 - 2 * integral over the levels of |P - P_own| (trapezoid rule), clipped to [0, 1]."""
    inside, inside_own = support_curve(scores, own, levels)
    gap = np.abs(inside - inside_own)
    return unit_interval(1.0 - float(np.sum((gap[1:] + gap[:-1]) * np.diff(levels))))


def support_score(
    real: np.ndarray,
    synthetic: np.ndarray,
    k: int,
    n_levels: int,
    max_queries: Optional[int],
    seed: int,
    recall: bool,
) -> Tuple[float, Dict[str, object]]:
    """The integrated score and the figures for details.

    Precision (``recall`` False) scores the synthetic records by their distance to the
    k-th nearest real record; recall scores the real records by their distance to the
    k'-th nearest synthetic record, k' = k * n_synthetic / (n_real - 1) rounded (at least
    1, at most ``MAX_SCALED_K``), so that the k'-NN ball of the synthetic data holds the same expected share of
    records as the k-NN ball of the real data.
    """
    if len(real) <= k:
        raise ValueError(f"The real data needs more than k = {k} rows.")
    rng = np.random.RandomState(seed)
    levels = np.linspace(0.0, 1.0, n_levels)
    own_rows = sample_queries(np.arange(len(real)), max_queries, rng)
    own = kth_other_distances(real, own_rows, k)
    if recall:
        k_scored = min(MAX_SCALED_K, max(1, int(round(k * len(synthetic) / (len(real) - 1)))))
        if len(synthetic) < k_scored + 1:
            k_scored = len(synthetic) - 1
        if k_scored < 1:
            raise ValueError("Beta-recall needs at least two synthetic rows.")
        scored_rows = own_rows
        scores = kth_distances_as_member(real[scored_rows], synthetic, k_scored)
        scored = ("real_in_synthetic", len(scored_rows), len(real))
    else:
        k_scored = k
        scored_rows = sample_queries(np.arange(len(synthetic)), max_queries, rng)
        scores = kth_distances_as_member(synthetic[scored_rows], real, k)
        scored = ("synthetic", len(scored_rows), len(synthetic))

    def score_of(scores_sample: np.ndarray, own_sample: np.ndarray) -> float:
        return integrated_score(scores_sample, own_sample, levels)

    value = score_of(scores, own)
    if recall:
        # The two scores belong to the same real records: redraw them in pairs.
        paired = np.column_stack([scores, own])
        low, high = query_interval(lambda rows: score_of(rows[:, 0], rows[:, 1]), [paired], [len(real)], rng)
    else:
        low, high = query_interval(score_of, [scores, own], [len(synthetic), len(real)], rng)
    details: Dict[str, object] = {
        "k": k,
        "k_scored": k_scored,
        "n_levels": n_levels,
        "value_interval_95": [low, high],
    }
    details.update(
        sampling_details(
            {scored[0]: (scored[1], scored[2]), "real_spacing": (len(own_rows), len(real))}, max_queries, seed
        )
    )
    return value, details
