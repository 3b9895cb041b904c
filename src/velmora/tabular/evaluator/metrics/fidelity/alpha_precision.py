"""Integrated alpha-precision."""

from typing import Optional

import numpy as np
import pandas as pd

from velmora.tabular.evaluator.report import MetricResult

from .._data import FeatureSpace, check_frames, unit_interval

__all__ = ["AlphaPrecisionMetric", "alpha_precision_curve"]


def alpha_precision_curve(real: np.ndarray, synthetic: np.ndarray, alphas: np.ndarray) -> np.ndarray:
    """P_alpha: the share of synthetic rows inside the real alpha-support ball, the ball
    around the real mean holding the fraction alpha of real rows (its radius is the
    alpha-quantile of the real rows' distances to the mean)."""
    center = real.mean(axis=0)
    real_radius = np.sqrt(((real - center) ** 2).sum(axis=1))
    synthetic_radius = np.sqrt(((synthetic - center) ** 2).sum(axis=1))
    radii = np.quantile(real_radius, alphas)
    ordered = np.sort(synthetic_radius)
    return np.searchsorted(ordered, radii, side="right") / len(ordered)


class AlphaPrecisionMetric:
    """Integrated alpha-precision of Alaa, van Breugel, Saveliev and van der Schaar
    ("How faithful is your synthetic data? Sample-level metrics for evaluating and
    auditing generative models", ICML 2022).

    In the real-fitted standardised feature space (``FeatureSpace``; the identity
    embedding, with the real mean as the centre of the hypersphere) the alpha-support of
    the real data is the ball around the centre holding the fraction alpha of real rows.
    P_alpha is the share of synthetic rows inside it; a faithful generator has
    P_alpha = alpha for every alpha. The score is IP_alpha = 1 - 2 * integral over [0, 1] of
    |P_alpha - alpha| d alpha (trapezoid rule on ``n_alphas`` points), in [0, 1], higher
    is better. It uses every row (distances to one centre, no pairwise distances).

    Parameters
    ----------
    n_alphas : int, default 101
        Points of the alpha grid.
    """

    def __init__(self, n_alphas: int = 101) -> None:
        if n_alphas < 2:
            raise ValueError("n_alphas must be at least 2.")
        self.n_alphas = int(n_alphas)

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> MetricResult:
        check_frames(real, synthetic)
        space = FeatureSpace(real, synthetic)
        x = space.transform(real)
        y = space.transform(synthetic)
        alphas = np.linspace(0.0, 1.0, self.n_alphas)
        curve = alpha_precision_curve(x, y, alphas)
        gap = np.abs(curve - alphas)
        integral = float(np.sum((gap[1:] + gap[:-1]) * np.diff(alphas)) / 2.0)
        details = {"n_real": len(x), "n_synthetic": len(y), "n_features": space.n_features, "n_alphas": self.n_alphas}
        if space.skipped:
            details["skipped"] = dict(space.skipped)
        return MetricResult(
            name="alpha_precision",
            value=unit_interval(1.0 - 2.0 * integral),
            category="fidelity",
            higher_is_better=True,
            description="Integrated alpha-precision: synthetic rows inside the real alpha-supports. Higher = better.",
            details=details,
        )
