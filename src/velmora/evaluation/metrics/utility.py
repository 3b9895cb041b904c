"""Agreement between models trained on the real and on the synthetic data."""

from typing import Dict, Hashable, Optional

import numpy as np
import pandas as pd

from velmora._metric_core.data import check_frames, resolve_seed, unit_interval
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

    The real frame is split at random (seeded) into a training part and a held-out
    part (``test_fraction``); model A learns ``target`` from the real training part,
    model B from the synthetic frame (both histogram gradient boosting, seeded, at most
    ``max_train_rows`` seeded-sampled training rows). On the held-out real rows the
    score is, for a classification target, the share of rows where A and B predict the
    same class, and for a regression target Lin's concordance correlation of the two
    predictions, clipped to [0, 1]. 1 means the synthetic data teaches the same
    decision function as the real data. When model A itself has no skill on the
    held-out rows (macro F1 or R^2 of 0 or less: a target the features do not predict)
    the score is 0.0 and ``details["reason"]`` says why. After the call ``details``
    names the target, the task kind, both models and the split.

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
    ) -> None:
        check_frames(real, synthetic)
        self.real = real
        self.synthetic = synthetic
        self.target = target
        self.test_fraction = float(test_fraction)
        self.max_train_rows = max_train_rows
        self.random_seed = resolve_seed(random_seed)
        self.max_test_rows = max_test_rows
        self.details: Dict[str, object] = {}

    def prediction_agreement_percentage(self) -> float:
        """The agreement score in [0, 1] (a fraction, despite the name)."""
        task = prepare_task(
            self.real,
            self.synthetic,
            self.target,
            self.test_fraction,
            self.max_train_rows,
            self.random_seed,
            self.max_test_rows,
        )
        data = task.data
        predicted_real, predicted_synthetic = task.predictions()
        trtr = data.score(task.y_test, predicted_real)
        measure = task.measure
        self.details = task.details(
            agreement="share of equal predictions" if data.task == "classification" else "Lin's concordance",
            trtr=trtr,
            trtr_score=measure,
        )
        if not trtr > 0:
            # Two models that learned nothing agree on nothing worth reproducing (both
            # may predict the same constant): the agreement would mean nothing.
            self.details["reason"] = (
                f"the model trained on real data scores {trtr:.4f} ({measure}) on held-out real data: "
                f"the target {str(self.target)!r} has no signal to reproduce"
            )
            return 0.0
        if data.task == "classification":
            return float(np.mean(predicted_real == predicted_synthetic))
        return unit_interval(concordance_correlation(predicted_real, predicted_synthetic))
