"""Agreement between models trained on the real and on the synthetic data."""

import math
from typing import Dict, Hashable, Optional

import numpy as np
import pandas as pd

from velmora._metric_core.data import check_frames, resolve_seed, unit_interval
from velmora._metric_core.model_data import agreement
from velmora._metric_core.models import MAX_TEST_ROWS, prepare_task

__all__ = ["PredictionAgreementMetrics"]


def concordance_correlation(a: np.ndarray, b: np.ndarray) -> float:
    """Lin's concordance correlation coefficient (Lin, "A concordance correlation
    coefficient to evaluate reproducibility", Biometrics 1989):
    2 cov(a, b) / (var a + var b + (mean a - mean b)^2), population moments. Two equal
    constant vectors agree fully (1); otherwise a zero denominator gives 0."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    mean_a, mean_b = a.mean(), b.mean()
    covariance = ((a - mean_a) * (b - mean_b)).mean()
    denominator = a.var() + b.var() + (mean_a - mean_b) ** 2
    if denominator == 0:
        return 1.0 if np.array_equal(a, b) else 0.0
    return float(2.0 * covariance / denominator)


class PredictionAgreementMetrics:
    """How often a model trained on the synthetic data predicts what a model trained on
    the real data predicts, on real records neither model saw.

    Model A learns ``target`` from real records, model B from the synthetic frame (both
    histogram gradient boosting, seeded, at most ``max_train_rows`` seeded-sampled
    training rows); they are compared on real records neither learned from: the
    ``holdout``'s when one is given (A then learns from every real record), otherwise a
    part of the real frame held out at random (``test_fraction``, seeded; the repeats of a
    row all on one side), which the
    synthetic table may hold (a copy holds it all: the details say so). On the test
    rows the score is, for a classification target, the share of rows where A and B
    predict the same class, and for a regression target Lin's concordance correlation
    of the two predictions, clipped to [0, 1]. 1 means the synthetic data teaches the
    same decision function as the real data. When model A itself has no skill on the
    test rows (Cohen's kappa or R^2 of 0 or less: a target the features do not predict) the
    agreement means nothing: the score is NaN and ``details["reason"]`` says why. After
    the call ``details`` names the target, the task kind, both models and the test
    rows.

    Parameters
    ----------
    real, synthetic : pandas.DataFrame
    target : column label
        The column to predict from the other shared columns.
    test_fraction : float, default 0.3
    max_train_rows : int, default 50000
    random_seed : int, optional
        None means 0.
    max_test_rows : int, default 100000
        More held-out rows are compared on a seeded sample of this size (``n_test`` in
        the details).
    holdout : pandas.DataFrame, optional
        Real records the synthetic table was not made from: the test rows.
    """

    def __init__(
        self,
        real: pd.DataFrame,
        synthetic: pd.DataFrame,
        target: Hashable,
        test_fraction: float = 0.3,
        max_train_rows: Optional[int] = 50000,
        random_seed: Optional[int] = None,
        max_test_rows: Optional[int] = MAX_TEST_ROWS,
        holdout: Optional[pd.DataFrame] = None,
    ) -> None:
        check_frames(real, synthetic)
        self.holdout = holdout
        self.real = real
        self.synthetic = synthetic
        self.target = target
        self.test_fraction = float(test_fraction)
        self.max_train_rows = max_train_rows
        self.random_seed = resolve_seed(random_seed)
        self.max_test_rows = max_test_rows
        self.details: Dict[str, object] = {}

    def prediction_agreement_percentage(self) -> float:
        """The agreement score in [0, 1] (a fraction, despite the name), NaN for a target
        the real model cannot predict."""
        task = prepare_task(
            self.real,
            self.synthetic,
            self.target,
            self.test_fraction,
            self.max_train_rows,
            self.random_seed,
            self.max_test_rows,
            self.holdout,
        )
        data = task.data
        predicted_real, predicted_synthetic = task.predictions()
        trtr = data.score(task.y_test, predicted_real)
        measure = task.measure
        self.details = task.details(
            agreement="Cohen's kappa of the predictions" if data.task == "classification" else "Lin's concordance",
            trtr=trtr,
            trtr_score=measure,
        )
        if not trtr > 0:
            # Two models that learned nothing agree on nothing worth reproducing (both
            # may predict the same constant): the agreement would mean nothing.
            self.details["reason"] = (
                f"the model trained on real data scores {trtr:.4f} ({measure}) on the test rows: "
                f"the target {str(self.target)!r} has no signal to reproduce"
            )
            return math.nan
        if data.task == "classification":
            return unit_interval(agreement(predicted_real, predicted_synthetic))
        return unit_interval(concordance_correlation(predicted_real, predicted_synthetic))
