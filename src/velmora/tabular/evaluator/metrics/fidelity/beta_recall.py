"""Integrated beta-recall."""

from typing import Optional

from .._neighbours import DEFAULT_MAX_PAIRS
from ._support import SupportMetric

__all__ = ["BetaRecallMetric"]


class BetaRecallMetric(SupportMetric):
    """Integrated beta-recall (Alaa, van Breugel, Saveliev and van der Schaar, ICML
    2022), with a k-nearest-neighbour estimate of the supports: in [0, 1], higher is
    better.

    Recall asks whether the synthetic data covers the real records, each in the
    proportion the real data has. Here, as in the coverage of Naeem, Oh, Uh, Choi and
    Yoo ("Reliable fidelity and diversity metrics for generative models", ICML 2020),
    it is read off the real records' neighbourhoods, in place of the learned embedding
    of Alaa et al.: each real record gets the distance to its k'-th nearest synthetic
    record (the synthetic density at the record; k' = k * n_synthetic / (n_real - 1)
    rounded, so that both neighbourhoods hold the same expected share of their data;
    a real record equal to a synthetic record is measured as that record is, with one
    coinciding record left out) and the distance to its k-th nearest other real record
    (the real density there). The beta-support is the set of points whose k-NN distance
    is at most the beta-quantile of the real records' own distances; R_beta is the share
    of real records whose synthetic distance lies inside it, R_beta(real) the share
    whose real distance does (beta itself, up to ties). The score is IR_beta = 1 - 2 *
    integral over [0, 1] of |R_beta - R_beta(real)| d beta (trapezoid rule on
    ``n_betas`` points), clipped to [0, 1]: 1 when the synthetic data is as dense as the
    real data around the real records, lower when real records lie where synthetic
    records are sparse (modes dropped, dependence between columns lost: shuffled
    columns, reflected values) or where they crowd.

    Distances are Euclidean in the real-fitted standardised feature space
    (``FeatureSpace``). Every real record is compared with every synthetic and every
    real record. When a search would exceed its budget of query-reference pairs
    (``max_pairs``) or ``max_queries``, the real records queried are a seeded sample,
    whose size and a 95% interval of the score are then recorded in the result's
    details.

    Parameters
    ----------
    n_betas : int, default 101
    k : int, default 5
    max_queries : int, optional
        At most this many queried records per side (None: no cap but ``max_pairs``).
    random_seed : int, optional
        None means 0.
    max_pairs : int, default 400_000_000
        Query-reference pairs per search: records queried against n rows number
        max_pairs // n (at least 1,000); None or 0 for no budget.
    """

    result_name = "beta_recall"
    recall = True

    def __init__(
        self,
        n_betas: int = 101,
        k: int = 5,
        max_queries: Optional[int] = None,
        random_seed: Optional[int] = None,
        max_pairs: Optional[int] = DEFAULT_MAX_PAIRS,
    ) -> None:
        if n_betas < 2:
            raise ValueError("n_betas must be at least 2.")
        super().__init__(k, max_queries, random_seed, max_pairs)
        self.n_betas = int(n_betas)

    def n_levels(self) -> int:
        return self.n_betas
