"""Supervised models for the utility metrics (prediction agreement, TSTR).

The models are scikit-learn's histogram gradient boosting estimators: they take
missing values and categorical codes natively and train in seconds on 10^5 rows.
A target is a classification target when it is categorical or boolean, or numeric with
at most ``MAX_CLASSES`` distinct values; otherwise it is a regression target. A
classification target of more than ``MAX_MODELLED_CLASSES`` classes is predicted as its
most frequent classes and one "other" class, and every model is given about the same
number of trees (``TREE_BUDGET``): boosting fits one tree per class and round, so a
target of fifty classes would otherwise cost fifty times a binary one.
"""

import dataclasses
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Dict, Hashable, List, NamedTuple, Optional, Tuple

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
    frame_tokens,
    numeric_values,
    shared_columns,
)
from .kernels import cell_digest, content_digest
from .stores import FrameResults

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
# Held-out rows scored by default: beyond this many the scores are read off a seeded
# sample, whose sampling error (below 0.005 for a share or an R^2 near the scores of
# interest) is far below what tells two synthetic tables apart, while predicting
# every held-out row of a million-row table would dominate the evaluation's time.
MAX_TEST_ROWS = 100_000
# Histogram gradient boosting takes at most 255 bins, one of them for missing values.
MAX_CATEGORY_CODES = 250


def default_target(real: pd.DataFrame, synthetic: pd.DataFrame) -> Hashable:
    """The column the utility metrics predict unless told otherwise, among the real
    frame's columns that the synthetic frame also has, with two or more distinct
    non-missing values: the first categorical (text, category or boolean) column with
    at most ``MAX_CLASSES`` values, not all of them different (an identifier), the
    usual target of a classification task; else the first numeric column with more
    than ``MAX_CLASSES`` values, a regression target; else the first such column."""
    present = set(synthetic.columns)
    candidates = []
    for column in real.columns:
        values = real[column] if column in present else None
        if not isinstance(values, pd.Series):
            continue  # not shared, or a repeated label
        known = values.dropna()
        distinct = known.nunique()
        if distinct > 1:
            candidates.append((column, column_kind(values) == "numeric", distinct, len(known)))
    if not candidates:
        raise ValueError("No column has two or more distinct values to serve as a prediction target.")
    for column, numeric, distinct, count in candidates:
        if not numeric and distinct <= MAX_CLASSES and distinct < count:
            return column
    for column, numeric, distinct, _ in candidates:
        if numeric and distinct > MAX_CLASSES:
            return column
    return candidates[0][0]


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


@dataclasses.dataclass
class UtilityTask:
    """A prediction task prepared for the utility metrics: the encoded real and
    synthetic frames, the test rows (a holdout, or a seeded part of the real frame held
    out), both training sets capped (seeded) at ``max_train_rows`` rows, the test rows
    scored capped (seeded) at ``max_test_rows``, and one model fitted on each training
    set."""

    data: TabularModelData
    x_train: np.ndarray
    y_train: np.ndarray
    x_synthetic: np.ndarray
    y_synthetic: np.ndarray
    x_test: np.ndarray
    y_test: np.ndarray
    n_train_split: int
    n_held_out: int
    dropped_real: int
    dropped_synthetic: int
    test_fraction: float
    seed: int
    max_test_rows: Optional[int] = None
    model_real: object = None
    model_synthetic: object = None
    predicted: Optional[Tuple[np.ndarray, np.ndarray]] = None
    holdout: bool = False

    def predictions(self) -> Tuple[np.ndarray, np.ndarray]:
        """The predictions of the real-trained and of the synthetic-trained model on the
        held-out real rows, computed once."""
        if self.predicted is None:
            self.predicted = both(
                lambda: self.data.predict(self.model_real, self.x_test),
                lambda: self.data.predict(self.model_synthetic, self.x_test),
            )
        return self.predicted

    @property
    def measure(self) -> str:
        """How the models are scored: Cohen's kappa or R^2."""
        return "Cohen's kappa" if self.data.task == "classification" else "R^2"

    def details(self, **figures) -> Dict[str, object]:
        """The details both utility metrics record: target, task, models, test rows,
        sizes."""
        if self.holdout:
            split: Dict[str, object] = {
                "method": "holdout: real records the synthetic table was not made from",
                "n_train": self.n_train_split,
                "n_test": self.n_held_out,
            }
            test_rows = "the holdout's records"
        else:
            split = split_details(self.test_fraction, self.n_train_split, self.n_held_out, self.seed)
            test_rows = (
                "real records held out of the real model's training, which the synthetic table may hold (a copy "
                "holds them all), so a copy scores too well; pass a holdout to test on records it never saw"
            )
        details = details_of(
            self.data,
            **figures,
            test_rows=test_rows,
            model_real=describe_model(self.model_real),
            model_synthetic=describe_model(self.model_synthetic),
            split=split,
            n_train_real=len(self.y_train),
            n_train_synthetic=len(self.y_synthetic),
            n_test=len(self.y_test),
            max_test_rows=self.max_test_rows,
            rows_without_target={"real": self.dropped_real, "synthetic": self.dropped_synthetic},
            random_seed=self.seed,
        )
        if self.data.kept_classes is not None:
            details["classes"] = {
                "modelled": [str(label) for label in self.data.kept_classes] + [OTHER_CLASS],
                "note": f"the {MAX_MODELLED_CLASSES} most frequent real classes; the others are predicted as "
                f"{OTHER_CLASS!r}",
            }
        return details


def prepare_task(
    real: pd.DataFrame,
    synthetic: pd.DataFrame,
    target: Hashable,
    test_fraction: float,
    max_train_rows: Optional[int],
    seed: int,
    max_test_rows: Optional[int] = None,
    holdout: Optional[pd.DataFrame] = None,
) -> UtilityTask:
    """Encode the frames, cap the training sets and the test rows and fit one model on
    the real training rows and one on the synthetic frame; every draw from one generator
    seeded with ``seed``, in that order.

    The test rows are the ``holdout``'s when one is given (records the synthetic table
    was not made from; the real model then trains on every real row). Otherwise the real
    frame is split at random (``test_fraction`` held out), and the synthetic table may
    hold the held-out records (a copy holds them all), which makes its model look
    better than it is; the details say so. A task prepared before from the same
    encoded contents and settings is handed back as it is (``_TASKS``)."""
    settings = (repr(target), float(test_fraction), max_train_rows, int(seed), max_test_rows, holdout is not None)
    frames = (real, synthetic) if holdout is None else (real, synthetic, holdout)
    # The frames' contents, when every column can stand for itself in a key; otherwise
    # the encoded contents (below).
    tokens = tuple(frame_tokens(frame) for frame in frames)
    key: Optional[tuple] = None if any(token is None for token in tokens) else ("frames", tokens, settings)
    prepared = _stored_task(key)
    if prepared is not None:
        return prepared
    rng = np.random.RandomState(seed)
    data = TabularModelData(real, synthetic, target)
    x_real, y_real, dropped_real = data.encode(real)
    x_synthetic, y_synthetic, dropped_synthetic = data.encode(synthetic)
    encoded_holdout = None if holdout is None else _encode_holdout(data, holdout)
    if key is None:
        digests = [_digest(values) for values in (x_real, y_real, x_synthetic, y_synthetic)]
        if encoded_holdout is not None:
            digests += [_digest(encoded_holdout[0]), _digest(encoded_holdout[1])]
        if all(digest is not None for digest in digests):
            key = (
                "encoded",
                repr(data.features),
                data.task,
                data.categorical_mask.tobytes(),
                *digests,
                dropped_real,
                dropped_synthetic,
                settings,
            )
            prepared = _stored_task(key)
            if prepared is not None:
                return prepared
    if encoded_holdout is None:
        train, test = split_positions(len(y_real), test_fraction, rng)
        x_test_all, y_test_all = x_real[test], y_real[test]
    else:
        train = np.arange(len(y_real))
        x_test_all, y_test_all, _ = encoded_holdout
        if len(y_test_all) == 0:
            raise ValueError("The holdout has no row with a target value to test on.")
    x_train, y_train = cap_rows(x_real[train], y_real[train], max_train_rows, rng)
    x_synthetic, y_synthetic = cap_rows(x_synthetic, y_synthetic, max_train_rows, rng)
    # Drawn last, so that the split and the training samples are those of any cap.
    x_test, y_test = cap_rows(x_test_all, y_test_all, max_test_rows, rng)
    task = UtilityTask(
        data,
        x_train,
        y_train,
        x_synthetic,
        y_synthetic,
        x_test,
        y_test,
        len(train),
        len(y_test_all),
        dropped_real,
        dropped_synthetic,
        test_fraction,
        seed,
        max_test_rows,
        holdout=holdout is not None,
    )
    task.model_real, task.model_synthetic = both(
        lambda: data.fit(x_train, y_train, seed), lambda: data.fit(x_synthetic, y_synthetic, seed)
    )
    # Kept when the frames' tokens or the encoded contents could stand for the inputs.
    if key is not None:
        _TASKS.put(key, task, frames)
    return task


def _encode_holdout(data: TabularModelData, holdout: pd.DataFrame) -> Tuple[np.ndarray, np.ndarray, int]:
    missing = [str(column) for column in [*data.features, data.target] if column not in holdout.columns]
    if missing:
        raise KeyError(f"The holdout lacks the columns {', '.join(missing)} of the prediction task.")
    return data.encode(holdout)


# Prepared tasks of the last calls, keyed by digests of the encoded features and targets
# and by the settings (never by the identity of a frame: a frame changed between two
# calls is encoded anew and misses). TSTR and prediction agreement with the same target,
# split and seed thus fit their two models once between them. A task is kept while the
# two frames it was prepared from live.
MAX_TASKS = 2
_TASKS: "FrameResults[UtilityTask]" = FrameResults(MAX_TASKS)


def _stored_task(key: Optional[tuple]) -> Optional["UtilityTask"]:
    return None if key is None else _TASKS.get(key)


def _digest(values: np.ndarray) -> Optional[bytes]:
    """The digest of an array's contents (``content_digest``; an object array of labels
    through its cells' values), or None when they cannot be digested."""
    if values.dtype == object:
        return cell_digest(np.ravel(values)) if values.ndim == 1 else None
    # A column-major array is digested as its (row-major) transpose, without a copy.
    if values.flags.f_contiguous and not values.flags.c_contiguous:
        return content_digest(values.T) + b"T"
    return content_digest(np.ascontiguousarray(values))


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


def both(first: Callable[[], object], second: Callable[[], object]) -> Tuple:
    """(first(), second()) run side by side on two threads: the models' fits and
    predictions spend most of their time in compiled code that lets go of the GIL, and
    each runs on one OpenMP thread of its own (``fit``, ``predict``). An error of the
    first is raised before one of the second, as if they ran in order."""
    with ThreadPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(first), pool.submit(second)]
        return futures[0].result(), futures[1].result()


def split_positions(n_rows: int, test_fraction: float, rng: np.random.RandomState) -> Tuple[np.ndarray, np.ndarray]:
    """Seeded (train, test) row positions, both sorted and non-empty."""
    if n_rows < 2:
        raise ValueError("At least two real rows are needed to hold some out for testing.")
    order = rng.permutation(n_rows)
    n_test = min(n_rows - 1, max(1, int(round(n_rows * test_fraction))))
    return np.sort(order[n_test:]), np.sort(order[:n_test])


def cap_rows(
    x: np.ndarray, y: np.ndarray, cap: Optional[int], rng: np.random.RandomState
) -> Tuple[np.ndarray, np.ndarray]:
    """(x, y), or a seeded sample of ``cap`` of their rows (in row order) beyond it."""
    if not cap or len(y) <= cap:
        return x, y
    chosen = np.sort(rng.choice(len(y), size=int(cap), replace=False))
    return x[chosen], y[chosen]


def describe_model(model) -> str:
    """The estimator's class and the settings that decide its fit, as one line."""
    params = model.get_params()
    shown = [
        f"{name}={params[name]!r}"
        for name in ("strategy", "max_iter", "learning_rate", "early_stopping", "random_state")
        if name in params
    ]
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
