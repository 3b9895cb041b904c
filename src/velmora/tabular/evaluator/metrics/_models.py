"""Supervised models for the utility metrics (prediction agreement, TSTR).

The models are scikit-learn's histogram gradient boosting estimators: they take
missing values and categorical codes natively and train in seconds on 10^5 rows.
A target is a classification target when it is categorical or boolean, or numeric with
at most ``MAX_CLASSES`` distinct values; otherwise it is a regression target.
"""

from typing import Dict, Hashable, List, Optional, Tuple

import numpy as np
import pandas as pd
from sklearn.dummy import DummyClassifier
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
from sklearn.metrics import f1_score, r2_score
from threadpoolctl import threadpool_limits

from ._data import MISSING, category_labels, column_kind, numeric_values, shared_columns

MAX_CLASSES = 20
# Histogram gradient boosting takes at most 255 bins, one of them for missing values.
MAX_CATEGORY_CODES = 250


def default_target(real: pd.DataFrame, synthetic: pd.DataFrame) -> Hashable:
    """The first column of the real frame, also in the synthetic frame, with at least two
    distinct non-missing values."""
    present = set(synthetic.columns)
    for column in real.columns:
        if column in present and real[column].dropna().nunique() > 1:
            return column
    raise ValueError("No column has two or more distinct values to serve as a prediction target.")


def task_of(real_target: pd.Series, synthetic_target: pd.Series) -> str:
    if column_kind(real_target, synthetic_target) == "numeric":
        distinct = real_target.dropna().nunique()
        if distinct > MAX_CLASSES:
            return "regression"
    return "classification"


class TabularModelData:
    """Features and target of a prediction task, encoded from the real frame.

    Numeric features are floats (NaN kept); categorical features are codes of the real
    frame's most frequent labels (up to ``MAX_CATEGORY_CODES``, the rest one "other"
    code), declared as categorical to the model. Classification labels are compared as
    text; rows whose target is missing are left out.
    """

    def __init__(self, real: pd.DataFrame, synthetic: pd.DataFrame, target: Hashable) -> None:
        if target not in real.columns or target not in synthetic.columns:
            raise KeyError(f"Target column {target!r} is missing from the real or synthetic frame.")
        self.target = target
        self.features: List[Hashable] = [column for column in shared_columns(real, synthetic) if column != target]
        if not self.features:
            raise ValueError("The frames have no feature column besides the target.")
        self.task = task_of(real[target], synthetic[target])
        self._numeric_target = column_kind(real[target], synthetic[target]) == "numeric"
        self._plan: List[Tuple[Hashable, Optional[List]]] = []
        for column in self.features:
            if column_kind(real[column], synthetic[column]) == "numeric":
                self._plan.append((column, None))
            else:
                counts = category_labels(real[column]).value_counts()
                self._plan.append((column, [label for label in counts.index[:MAX_CATEGORY_CODES] if label != MISSING]))
        self.categorical_mask = np.array([categories is not None for _, categories in self._plan])

    def encode(self, frame: pd.DataFrame) -> Tuple[np.ndarray, np.ndarray, int]:
        """(features, target, rows dropped for a missing target)."""
        target = frame[self.target]
        present = target.notna().to_numpy()
        frame = frame.loc[present] if not present.all() else frame
        columns = []
        for column, categories in self._plan:
            if categories is None:
                values = numeric_values(frame[column])
                values[~np.isfinite(values)] = np.nan
            else:
                missing = frame[column].isna().to_numpy()
                codes = pd.Categorical(category_labels(frame[column]), categories=categories).codes
                values = codes.astype(np.float64)
                values[codes < 0] = len(categories)
                values[missing] = np.nan
            columns.append(values)
        features = np.column_stack(columns) if columns else np.empty((len(frame), 0))
        if self._numeric_target:
            # Numbers are compared as numbers, so 1 and 1.0 are the same class.
            y = numeric_values(frame[self.target])
            finite = np.isfinite(y)
            dropped = int((~present).sum() + (~finite).sum())
            return features[finite], y[finite], dropped
        return features, frame[self.target].astype(str).to_numpy(dtype=object), int((~present).sum())

    def model(self, seed: int, y: np.ndarray):
        if self.task == "classification":
            if len(np.unique(y)) < 2:
                # A single class leaves nothing to learn: predict it.
                return DummyClassifier(strategy="most_frequent")
            return HistGradientBoostingClassifier(
                max_iter=100, early_stopping=False, random_state=seed, categorical_features=self.categorical_mask
            )
        return HistGradientBoostingRegressor(
            max_iter=100, early_stopping=False, random_state=seed, categorical_features=self.categorical_mask
        )

    def fit(self, x: np.ndarray, y: np.ndarray, seed: int):
        if len(y) == 0:
            raise ValueError("No training rows with a target value.")
        # One OpenMP thread: on a loaded machine, spinning OpenMP workers compete for the
        # cores and a fit can take ten times longer than on one thread.
        with threadpool_limits(limits=1, user_api="openmp"):
            return self.model(seed, y).fit(x, y)

    def predict(self, model, x: np.ndarray) -> np.ndarray:
        with threadpool_limits(limits=1, user_api="openmp"):
            return model.predict(x)

    def score(self, y_true: np.ndarray, y_pred: np.ndarray) -> float:
        """Macro F1 for classification, R^2 for regression."""
        if self.task == "classification":
            return float(f1_score(y_true, y_pred, average="macro"))
        return float(r2_score(y_true, y_pred))


def split_positions(n_rows: int, test_fraction: float, rng: np.random.RandomState) -> Tuple[np.ndarray, np.ndarray]:
    """Seeded (train, test) row positions, both sorted and non-empty."""
    if n_rows < 2:
        raise ValueError("At least two real rows are needed to hold some out for testing.")
    order = rng.permutation(n_rows)
    n_test = min(n_rows - 1, max(1, int(round(n_rows * test_fraction))))
    return np.sort(order[n_test:]), np.sort(order[:n_test])


def cap_rows(x: np.ndarray, y: np.ndarray, cap: Optional[int], rng: np.random.RandomState) -> Tuple[np.ndarray, np.ndarray]:
    if not cap or len(y) <= cap:
        return x, y
    chosen = np.sort(rng.choice(len(y), size=int(cap), replace=False))
    return x[chosen], y[chosen]


def describe_model(model) -> str:
    """The estimator's class and the settings that decide its fit, as one line."""
    params = model.get_params()
    shown = [f"{name}={params[name]!r}" for name in ("strategy", "max_iter", "early_stopping", "random_state") if name in params]
    return f"{type(model).__name__}({', '.join(shown)})"


def details_of(data: TabularModelData, **figures) -> Dict[str, object]:
    details: Dict[str, object] = {"target": str(data.target), "task": data.task, "n_features": len(data.features)}
    details.update(figures)
    return details


def split_details(test_fraction: float, n_train: int, n_test: int, seed: int) -> Dict[str, object]:
    return {
        "method": "seeded random split of the real rows",
        "test_fraction": test_fraction,
        "n_train": n_train,
        "n_test": n_test,
        "random_seed": seed,
    }
