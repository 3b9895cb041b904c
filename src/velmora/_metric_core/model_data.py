"""A prediction task's data: the target's task (classification or regression), the
features and target encoded from the real frame for scikit-learn's histogram gradient
boosting, and the agreement of two label arrays."""

from typing import Hashable, List, NamedTuple, Optional, Tuple

import numpy as np
import pandas as pd
from sklearn.dummy import DummyClassifier
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
from sklearn.metrics import cohen_kappa_score, r2_score
from threadpoolctl import threadpool_limits

from .data import (
    MISSING,
    category_codes,
    category_labels,
    column_kind,
    counts_by_frequency,
    numeric_values,
    shared_columns,
)

MAX_CLASSES = 20
# Classes a classification model tells apart: the real target's most frequent ones, the
# rest predicted as one "other" class (named in the details).
MAX_MODELLED_CLASSES = 10
OTHER_CLASS = "<other>"
# Trees per model: boosting rounds are cut to about this many trees over all classes
# (between MIN_ROUNDS and MAX_ROUNDS rounds): a binary or regression target keeps its
# 100 rounds, three classes get 40 and eleven the fewest, 10, so that no target costs
# much more than a binary one.
TREE_BUDGET = 120
MIN_ROUNDS, MAX_ROUNDS = 10, 100
# Histogram gradient boosting takes at most 255 bins, one of them for missing values.
MAX_CATEGORY_CODES = 250


def task_of(real_target: pd.Series, synthetic_target: pd.Series) -> str:
    if column_kind(real_target, synthetic_target) == "numeric":
        distinct = real_target.dropna().nunique()
        if distinct > MAX_CLASSES:
            return "regression"
    return "classification"


class EncodedColumn(NamedTuple):
    """A feature column of a task: a number (``categories`` None) or codes of the real
    frame's most frequent ``categories``."""

    column: Hashable
    categories: Optional[List[Hashable]]


class TabularModelData:
    """Features and target of a prediction task, encoded from the real frame.

    Numeric features are floats (NaN kept); categorical features are codes of the real
    frame's most frequent labels (up to ``MAX_CATEGORY_CODES``, the rest one "other"
    code), declared as categorical to the model. Classification labels are compared as
    text (numbers as numbers); beyond ``MAX_MODELLED_CLASSES`` classes the real
    target's most frequent ones are kept (``kept_classes``) and the others become
    ``OTHER_CLASS``. Rows whose target is missing are left out.
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
        self.columns: List[EncodedColumn] = []
        for column in self.features:
            if column_kind(real[column], synthetic[column]) == "numeric":
                self.columns.append(EncodedColumn(column, None))
            else:
                counts = counts_by_frequency(category_labels(real[column]))
                kept = [label for label in counts.index[:MAX_CATEGORY_CODES] if label != MISSING]
                self.columns.append(EncodedColumn(column, kept))
        self.categorical_mask = np.array([encoded.categories is not None for encoded in self.columns])
        self.kept_classes: Optional[np.ndarray] = None
        self.n_classes = 0
        if self.task == "classification":
            labels = self._labels(real)
            classes = counts_by_frequency(pd.Series(labels))
            self.n_classes = len(classes)
            if len(classes) > MAX_MODELLED_CLASSES:
                self.kept_classes = classes.index[:MAX_MODELLED_CLASSES].to_numpy(dtype=object)
                self.n_classes = MAX_MODELLED_CLASSES + 1

    def _labels(self, frame: pd.DataFrame) -> np.ndarray:
        """The target's labels of the rows that have one (numbers as floats)."""
        target = frame[self.target]
        target = target[target.notna().to_numpy()]
        if self._numeric_target:
            values = numeric_values(target)
            return values[np.isfinite(values)]
        return target.astype(str).to_numpy(dtype=object)

    def _lumped(self, y: np.ndarray) -> np.ndarray:
        """Classes other than ``kept_classes`` as ``OTHER_CLASS`` (labels then texts)."""
        if self.kept_classes is None:
            return y
        labels = y.astype(object)
        kept = np.isin(labels, self.kept_classes)
        out = np.array([str(label) for label in labels], dtype=object)
        out[~kept] = OTHER_CLASS
        return out

    def encode(self, frame: pd.DataFrame) -> Tuple[np.ndarray, np.ndarray, int]:
        """(features, target, rows dropped for a missing target)."""
        target = frame[self.target]
        present = target.notna().to_numpy()
        frame = frame.loc[present] if not present.all() else frame
        # Column-major: each feature is written as one contiguous run.
        features = np.empty((len(frame), len(self.columns)), dtype=np.float64, order="F")
        for position, (column, categories) in enumerate(self.columns):
            if categories is None:
                values = numeric_values(frame[column])
                values = np.where(np.isfinite(values), values, np.nan)
            else:
                values = self._category_features(frame[column], categories)
            features[:, position] = values
        if self._numeric_target:
            # Numbers are compared as numbers, so 1 and 1.0 are the same class.
            y = numeric_values(frame[self.target])
            finite = np.isfinite(y)
            dropped = int((~present).sum() + (~finite).sum())
            return features[finite], self._lumped(y[finite]), dropped
        return features, self._lumped(frame[self.target].astype(str).to_numpy(dtype=object)), int((~present).sum())

    @staticmethod
    def _category_features(series: pd.Series, categories: List[Hashable]) -> np.ndarray:
        """Position of each row's label among ``categories`` as a float, ``len(categories)``
        for another label, NaN for a missing value."""
        other = len(categories)
        codes = category_codes(series)
        if codes is None:
            found = pd.Categorical(category_labels(series), categories=categories).codes
            values = found.astype(np.float64)
            values[found < 0] = other
        else:
            index = {label: position for position, label in enumerate(categories)}
            by_label = np.array([index.get(label, other) for label in codes.labels], dtype=np.float64)
            values = by_label[codes.codes] if len(by_label) else np.full(len(series), float(other))
            if MISSING not in codes.labels:
                return values
        # Missing values are NaN; the text MISSING itself, which shares their label, is
        # another label.
        values[series.isna().to_numpy()] = np.nan
        return values

    @property
    def rounds(self) -> int:
        """Boosting rounds of both models: about ``TREE_BUDGET`` trees, one per class and
        round for more than two classes, one per round otherwise."""
        trees_per_round = self.n_classes if self.n_classes > 2 else 1
        return int(min(MAX_ROUNDS, max(MIN_ROUNDS, TREE_BUDGET // trees_per_round)))

    def model(self, seed: int, y: np.ndarray):
        if self.task == "classification":
            if len(np.unique(y)) < 2:
                # A single class leaves nothing to learn: predict it.
                return DummyClassifier(strategy="most_frequent")
            return HistGradientBoostingClassifier(
                max_iter=self.rounds,
                early_stopping=False,
                random_state=seed,
                categorical_features=self.categorical_mask,
            )
        return HistGradientBoostingRegressor(
            max_iter=self.rounds, early_stopping=False, random_state=seed, categorical_features=self.categorical_mask
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
        """Skill over chance: Cohen's kappa for classification (Cohen, "A coefficient of
        agreement for nominal scales", 1960: 0 for a model no better than guessing by the
        class frequencies, such as one that always predicts the most frequent class), R^2
        for regression (0 for the mean); 1 for a perfect model."""
        if self.task == "classification":
            return agreement(y_true, y_pred)
        return float(r2_score(y_true, y_pred))


def agreement(first: np.ndarray, second: np.ndarray) -> float:
    """Cohen's kappa of two label arrays: their agreement beyond what their label
    frequencies give by chance. Two arrays of one and the same label agree fully (1);
    where chance alone explains every agreement otherwise, 0."""
    first = np.asarray(first, dtype=object)
    second = np.asarray(second, dtype=object)
    if np.array_equal(first, second):
        return 1.0
    labels = np.unique(np.concatenate([first, second]).astype(str))
    if len(labels) < 2:
        return 1.0
    with np.errstate(divide="ignore", invalid="ignore"):
        kappa = cohen_kappa_score(first.astype(str), second.astype(str), labels=labels)
    return float(kappa) if np.isfinite(kappa) else 0.0
