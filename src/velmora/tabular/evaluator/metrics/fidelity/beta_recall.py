"""Integrated beta-recall."""

from typing import Optional

import pandas as pd

from velmora.tabular.evaluator.report import MetricResult

from .._data import resolve_seed
from .._neighbours import DEFAULT_MAX_QUERIES, EmbeddedRows
from ._support import support_score

__all__ = ["BetaRecallMetric"]


class BetaRecallMetric:
    """Integrated beta-recall (Alaa, van Breugel, Saveliev and van der Schaar, ICML
    2022), with a k-nearest-neighbour estimate of the beta-supports: in [0, 1], higher
    is better.

    The mirror image of ``AlphaPrecisionMetric``: the beta-support of the synthetic
    data is the set of points whose distance to the k-th nearest synthetic record is at
    most the beta-quantile of the synthetic records' own k-NN distances (each measured
    to the other synthetic records), the k-NN density estimate of Naeem et al. ("Reliable
    fidelity and diversity metrics for generative models", ICML 2020) in place of the
    learned embedding of Alaa et al. R_beta is the share of real records inside it (a
    real record equal to a synthetic record measured as that record is); the score is
    IR_beta = 1 - 2 * integral over [0, 1] of |R_beta - R_beta(synthetic)| d beta
    (trapezoid rule on ``n_betas`` points), clipped to [0, 1]. It is 1 when the
    synthetic densities cover the real records in the real proportions, lower when real
    records lie where synthetic records are sparse (modes dropped, structure lost).

    Distances are Euclidean in the real-fitted standardised feature space
    (``FeatureSpace``). Every real record is compared with every synthetic record; at
    most ``max_queries`` records per side are queried (seeded samples, whose sizes and
    a 95% interval of the score are then recorded in the result's details).

    Parameters
    ----------
    n_betas : int, default 101
    k : int, default 5
    max_queries : int, default 10000
    random_seed : int, optional
        None means 0.
    """

    def __init__(
        self,
        n_betas: int = 101,
        k: int = 5,
        max_queries: Optional[int] = DEFAULT_MAX_QUERIES,
        random_seed: Optional[int] = None,
    ) -> None:
        if n_betas < 2:
            raise ValueError("n_betas must be at least 2.")
        if k < 1:
            raise ValueError("k must be at least 1.")
        self.n_betas = int(n_betas)
        self.k = int(k)
        self.max_queries = max_queries
        self.random_seed = resolve_seed(random_seed)

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> MetricResult:
        rows = EmbeddedRows(real, synthetic)
        value, figures = support_score(
            rows.real, rows.synthetic, self.k, self.n_betas, self.max_queries, self.random_seed, recall=True
        )
        details = rows.details()
        details.update(figures)
        return MetricResult(
            name="beta_recall",
            value=value,
            category="fidelity",
            higher_is_better=True,
            description="Integrated beta-recall: real rows covered by the synthetic beta-supports. Higher = better.",
            details=details,
        )
