"""Integrated alpha-precision."""

from typing import Optional

from .._neighbours import DEFAULT_MAX_PAIRS
from ._support import SupportMetric

__all__ = ["AlphaPrecisionMetric"]


class AlphaPrecisionMetric(SupportMetric):
    """Integrated alpha-precision (Alaa, van Breugel, Saveliev and van der Schaar, "How
    faithful is your synthetic data? Sample-level metrics for evaluating and auditing
    generative models", ICML 2022), with a k-nearest-neighbour estimate of the
    alpha-supports: in [0, 1], higher is better.

    The alpha-support of the real data is its densest region holding the share alpha of
    the real mass. Alaa et al. learn an embedding in which it is a ball around one
    centre; here it is estimated without training, as in the k-NN manifold of Naeem,
    Oh, Uh, Choi and Yoo ("Reliable fidelity and diversity metrics for generative
    models", ICML 2020): in the real-fitted standardised feature space of
    ``FeatureSpace``, the density at a point is read off its distance to the k-th
    nearest real record, and the alpha-support is the set of points whose k-NN distance
    is at most the alpha-quantile of the real records' own k-NN distances (each real
    record's measured to the other real records). P_alpha is the share of synthetic
    records inside it; a synthetic record equal to a real record is measured as that
    record is, so a copy of the real data has P_alpha exactly as the real data has
    (alpha, up to ties). The score is IP_alpha = 1 - 2 * integral over [0, 1] of
    |P_alpha - P_alpha(real)| d alpha (trapezoid rule on ``n_alphas`` points), clipped
    to [0, 1]: 1 when the synthetic records fill the real densities in the real
    proportions, lower when they fall where real records are sparse (structure lost:
    shuffled columns, reflected values, outliers) or crowd into the densest part.

    Every synthetic record is compared with every real record. When a search would
    exceed its budget of query-reference pairs (``max_pairs``) or ``max_queries``, the
    records queried per side are seeded samples, whose sizes and a 95% interval of the
    score are then recorded in the result's details.

    Parameters
    ----------
    n_alphas : int, default 101
        Points of the alpha grid.
    k : int, default 5
        Neighbours of the density estimate.
    max_queries : int, optional
        At most this many queried records per side (None: no cap but ``max_pairs``).
    random_seed : int, optional
        None means 0.
    max_pairs : int, default 400_000_000
        Query-reference pairs per search: records queried against n rows number
        max_pairs // n (at least 1,000); None or 0 for no budget.
    """

    result_name = "alpha_precision"
    recall = False

    def __init__(
        self,
        n_alphas: int = 101,
        k: int = 5,
        max_queries: Optional[int] = None,
        random_seed: Optional[int] = None,
        max_pairs: Optional[int] = DEFAULT_MAX_PAIRS,
    ) -> None:
        if n_alphas < 2:
            raise ValueError("n_alphas must be at least 2.")
        super().__init__(k, max_queries, random_seed, max_pairs)
        self.n_alphas = int(n_alphas)

    def n_levels(self) -> int:
        return self.n_alphas
