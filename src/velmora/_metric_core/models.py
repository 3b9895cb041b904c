"""Prediction tasks for the utility metrics (prediction agreement, TSTR): the default
target, the test rows and the capped training sets, stored per pair of frames; the
encoding and the models themselves are in ``model_data``.

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
from typing import Callable, Dict, Hashable, Optional, Tuple

import numpy as np
import pandas as pd

from .data import (
    column_kind,
    frame_tokens,
)
from .kernels import cell_digest, content_digest
from .model_data import (
    MAX_CLASSES,
    MAX_MODELLED_CLASSES,
    OTHER_CLASS,
    TabularModelData,
)
from .stores import FrameResults

# Held-out rows scored by default: beyond this many the scores are read off a seeded
# sample, whose sampling error (below 0.005 for a share or an R^2 near the scores of
# interest) is far below what tells two synthetic tables apart, while predicting
# every held-out row of a million-row table would dominate the evaluation's time.
MAX_TEST_ROWS = 100_000


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
        train, test = split_positions(len(y_real), test_fraction, rng, _row_groups(x_real, y_real))
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


def both(first: Callable[[], object], second: Callable[[], object]) -> Tuple:
    """(first(), second()) run side by side on two threads: the models' fits and
    predictions spend most of their time in compiled code that lets go of the GIL, and
    each runs on one OpenMP thread of its own (``fit``, ``predict``). An error of the
    first is raised before one of the second, as if they ran in order."""
    with ThreadPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(first), pool.submit(second)]
        return futures[0].result(), futures[1].result()


def split_positions(
    n_rows: int, test_fraction: float, rng: np.random.RandomState, groups: Optional[np.ndarray] = None
) -> Tuple[np.ndarray, np.ndarray]:
    """Seeded (train, test) row positions, both sorted and non-empty. With ``groups``
    (one label per row), rows of one group fall on the same side: the repeats of a row
    held out are not trained on, so a model that memorised its training rows does not
    score as if it generalised. The test side takes whole groups, in a seeded order,
    up to ``test_fraction`` of the rows (at least one group, never all)."""
    if n_rows < 2:
        raise ValueError("At least two real rows are needed to hold some out for testing.")
    n_test = min(n_rows - 1, max(1, int(round(n_rows * test_fraction))))
    if groups is not None:
        _, inverse = np.unique(groups, return_inverse=True)
        inverse = inverse.ravel()
        n_groups = int(inverse.max()) + 1
        if 1 < n_groups < n_rows:
            order = rng.permutation(n_groups)
            sizes = np.bincount(inverse, minlength=n_groups)[order]
            taken = max(1, min(n_groups - 1, int(np.searchsorted(np.cumsum(sizes), n_test, side="right"))))
            held_out = np.zeros(n_groups, dtype=bool)
            held_out[order[:taken]] = True
            test = held_out[inverse]
            return np.flatnonzero(~test), np.flatnonzero(test)
    order = rng.permutation(n_rows)
    return np.sort(order[n_test:]), np.sort(order[:n_test])


def _row_groups(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """One label per encoded row (features and target): equal rows, equal labels."""
    frame = pd.DataFrame(x)
    frame["target"] = pd.Series(y).astype(str).to_numpy() if y.dtype == object else y
    return pd.util.hash_pandas_object(frame, index=False).to_numpy()


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
