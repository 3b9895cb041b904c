"""Train on synthetic, test on real (TSTR), normalised by train on real."""

import math
from typing import Hashable, Optional

import pandas as pd

from velmora._metric_core.data import check_frames, resolve_seed, unit_interval
from velmora._metric_core.models import MAX_TEST_ROWS, default_target, prepare_task
from velmora.tabular.evaluator.catalogue import metric_info
from velmora.tabular.evaluator.report import MetricResult

__all__ = ["TSTRNormalizedMetric"]


class TSTRNormalizedMetric:
    """TSTR / TRTR: how well a model trained on synthetic data does on real data,
    relative to a model trained on real data.

    TSTR (train on synthetic, test on real) was introduced by Esteban, Hyland and
    Rätsch ("Real-valued (medical) time series generation with recurrent conditional
    GANs", 2017). One model learns the target from the synthetic frame (TSTR), another
    from real records (TRTR, train on real, test on real); both are scored on real
    records neither learned from, by Cohen's kappa for a classification target (skill
    over guessing by the class frequencies) and by R^2 for a regression target. With a
    ``holdout`` those are the holdout's records and the real model learns from every
    real record; without one the real frame is split at random (seeded; the repeats of a
    row all on one side) and the held-out part is the test, which the synthetic table
    may hold (a copy holds it all, and then scores too well: the details say so). The result is
    TSTR / TRTR clipped to [0, 1] (a negative TSTR counts as 0); 1 means the synthetic
    data is as useful for the task as the real data. A target the real model cannot
    predict (TRTR <= 0) has no ratio: the value is NaN, with the reason in the details.
    The details also name the target, the task kind, both models and the test rows.

    Parameters
    ----------
    random_seed : int, optional
        Seed of the split, the row samples and the models (None means 0).
    target : column label, optional
        The column to predict; by default the first real column, also in the synthetic
        frame, with at least two distinct values.
    test_fraction : float, default 0.3
    max_train_rows : int, default 50000
        Larger training sets are replaced by seeded samples of this size (recorded in
        the result's details).
    max_test_rows : int, default 100000
        More held-out rows are scored from a seeded sample of this size (recorded in the
        details as ``n_test``, the held-out part of the split as ``split["n_test"]``).
    holdout : pandas.DataFrame, optional
        Real records the synthetic table was not made from: the test rows.
    """

    def __init__(
        self,
        random_seed: Optional[int] = None,
        target: Optional[Hashable] = None,
        test_fraction: float = 0.3,
        max_train_rows: Optional[int] = 50000,
        max_test_rows: Optional[int] = MAX_TEST_ROWS,
        holdout: Optional[pd.DataFrame] = None,
    ) -> None:
        self.random_seed = resolve_seed(random_seed)
        self.holdout = holdout
        self.target = target
        self.test_fraction = float(test_fraction)
        self.max_train_rows = max_train_rows
        self.max_test_rows = max_test_rows

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> MetricResult:
        """The "tstr_normalized" result (category "utility", higher is better).

        When the model trained on real data scores 0 or less on the test rows (a target
        with no signal the features can predict), the ratio means nothing: the value is
        then NaN and ``details["reason"]`` says why.
        """
        check_frames(real, synthetic)
        target = default_target(real, synthetic) if self.target is None else self.target
        task = prepare_task(
            real,
            synthetic,
            target,
            self.test_fraction,
            self.max_train_rows,
            self.random_seed,
            self.max_test_rows,
            self.holdout,
        )
        predicted_real, predicted_synthetic = task.predictions()
        trtr = task.data.score(task.y_test, predicted_real)
        tstr = task.data.score(task.y_test, predicted_synthetic)
        measure = task.measure
        details = task.details(score=measure, tstr=tstr, trtr=trtr)
        if trtr > 0:
            value = unit_interval(max(0.0, tstr) / trtr)
        else:
            value = math.nan
            details["reason"] = (
                f"the model trained on real data scores {trtr:.4f} ({measure}) on the test rows: "
                f"the target {str(target)!r} has no signal to reproduce, so the ratio is undefined"
            )
        info = metric_info("tstr_normalized")
        return MetricResult(
            name=info.result_name,
            value=value,
            category=info.category,
            higher_is_better=info.higher_is_better,
            description=info.description.format(measure=measure),
            details=details,
        )
