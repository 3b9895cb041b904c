"""The feature space of the distance-based metrics: the real frame's columns as
standardised numbers and one-hot categories, fitted on the real frame and applied to
any frame of the same columns."""

import math
from typing import Callable, Dict, Hashable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from .data import (
    CategoryCodes,
    category_codes,
    category_labels,
    column_kind,
    counts_by_frequency,
    numeric_values,
    shared_columns,
)


class NumericFeature(NamedTuple):
    """A numeric column of the feature space: standardised with the real ``mean`` and
    ``std``, with a 0/1 missing-indicator feature when ``indicator``."""

    column: Hashable
    mean: float
    std: float
    indicator: bool


class CategoricalFeature(NamedTuple):
    """A categorical column of the feature space: one-hot over the ``kept`` labels plus
    one "other" indicator (``has_other``: the real column has more labels)."""

    column: Hashable
    kept: List[Hashable]
    has_other: bool


class FeatureSpace:
    """A numeric feature space fitted on the real frame, for distance-based metrics.

    - numeric columns are standardised with the real mean and standard deviation
      (a column constant in the real frame is centred only); missing values become
      the real mean (0 after standardisation) and, when either frame has any, a 0/1
      missing-indicator feature is added;
    - categorical columns are one-hot encoded over the real frame's
      ``max_categories`` most frequent labels plus "other" (missing is a label of its
      own); each indicator is scaled by 1/sqrt(2), so two records with different
      labels are at squared distance 1, as one standard deviation apart on a number.

    Columns missing from the synthetic frame are not used; columns all missing in the
    real frame carry no information and are listed in ``skipped``.
    """

    def __init__(
        self,
        real: pd.DataFrame,
        synthetic: pd.DataFrame,
        columns: Optional[Sequence[Hashable]] = None,
        max_categories: int = 20,
        codes_of: Optional[Callable[[pd.DataFrame, Hashable], Optional[CategoryCodes]]] = None,
    ) -> None:
        self.columns = shared_columns(real, synthetic, columns)
        self.max_categories = int(max_categories)
        self.skipped: Dict[str, str] = {}
        self.features: List[Union[NumericFeature, CategoricalFeature]] = []
        # The codes of a frame's column, computed once per frame and column (``codes_of``
        # may share them with other users of the same frames).
        self._codes_of = codes_of if codes_of is not None else (lambda frame, column: category_codes(frame[column]))
        for column in self.columns:
            kind = column_kind(real[column], synthetic[column])
            if kind == "numeric":
                values = numeric_values(real[column])
                finite = values[np.isfinite(values)]
                if finite.size == 0:
                    self.skipped[str(column)] = "all values missing in the real data"
                    continue
                mean = float(finite.mean())
                std = float(finite.std())
                if not std > 0:
                    std = 1.0
                any_missing = bool(np.isnan(values).any() or synthetic[column].isna().any())
                self.features.append(NumericFeature(column, mean, std, any_missing))
            else:
                kept, has_other = self._most_frequent(real, column)
                self.features.append(CategoricalFeature(column, kept, has_other))
        if not self.features:
            raise ValueError("No column of the two frames can be used as a feature.")
        self._kept_index = {
            feature.column: {label: code for code, label in enumerate(feature.kept)}
            for feature in self.features
            if isinstance(feature, CategoricalFeature)
        }

    def forget_frames(self) -> None:
        """Drop the shared codes of the frames the space was built with (their memo may
        hold the frames); later calls compute codes afresh."""
        self._codes_of = lambda frame, column: category_codes(frame[column])

    def _most_frequent(self, real: pd.DataFrame, column: Hashable) -> Tuple[List[Hashable], bool]:
        """The real column's ``max_categories`` most frequent labels, most frequent first,
        and whether it has more. Labels of equal frequency across the cut are ranked by
        ``counts_by_frequency``; otherwise the counts alone decide, from the column's codes."""
        codes = self._codes_of(real, column)
        if codes is not None:
            counts = np.bincount(codes.codes, minlength=len(codes.labels))
            order = np.argsort(-counts, kind="stable")
            cut = self.max_categories
            if len(order) <= cut or counts[order[cut - 1]] != counts[order[cut]]:
                return [codes.labels[i] for i in order[:cut]], len(order) > cut
        counted = counts_by_frequency(category_labels(real[column]))
        kept = list(counted.index[: self.max_categories])
        return kept, len(counted) > len(kept)

    def _codes(self, frame: pd.DataFrame, feature: CategoricalFeature) -> np.ndarray:
        """Position of each row's label among ``feature.kept``, ``len(kept)`` ("other") for
        any other label."""
        other = len(feature.kept)
        codes = self._codes_of(frame, feature.column)
        if codes is None:
            found = pd.Categorical(category_labels(frame[feature.column]), categories=feature.kept).codes
            return np.where(found < 0, other, found).astype(np.int64)
        index = self._kept_index[feature.column]
        by_label = np.array([index.get(label, other) for label in codes.labels], dtype=np.int64)
        return by_label[codes.codes] if len(by_label) else np.full(len(frame), other, dtype=np.int64)

    # The value of a one-hot indicator: two differing categories are at squared distance
    # 2 * INDICATOR^2 = 1.
    INDICATOR = 1.0 / math.sqrt(2.0)

    @property
    def half(self) -> float:
        """What one differing indicator adds to a squared distance, as the one-hot sum
        computes it: (INDICATOR - 0.0)^2."""
        difference = self.INDICATOR - 0.0
        return difference * difference

    @property
    def categorical_flags(self) -> np.ndarray:
        """One uint8 per column of ``encode``: 1 for a category code, 0 for a number."""
        flags: List[int] = []
        for feature in self.features:
            if isinstance(feature, NumericFeature):
                flags.extend([0, 0] if feature.indicator else [0])
            else:
                flags.append(1)
        return np.array(flags, dtype=np.uint8)

    @property
    def n_features(self) -> int:
        total = 0
        for feature in self.features:
            if isinstance(feature, NumericFeature):
                total += 2 if feature.indicator else 1
            else:
                total += len(feature.kept) + 1
        return total

    def _numeric_columns(self, frame: pd.DataFrame, feature: NumericFeature) -> List[np.ndarray]:
        values = numeric_values(frame[feature.column])
        missing = ~np.isfinite(values)
        standardised = np.where(missing, 0.0, (values - feature.mean) / feature.std)
        return [standardised, missing.astype(np.float64)] if feature.indicator else [standardised]

    def transform(self, frame: pd.DataFrame) -> np.ndarray:
        """The frame's rows as a C-contiguous float64 matrix in the fitted space."""
        blocks: List[np.ndarray] = []
        for feature in self.features:
            if isinstance(feature, NumericFeature):
                blocks.extend(column[:, None] for column in self._numeric_columns(frame, feature))
            else:
                codes = self._codes(frame, feature)
                onehot = np.zeros((len(frame), len(feature.kept) + 1), dtype=np.float64)
                onehot[np.arange(len(frame)), codes] = self.INDICATOR
                blocks.append(onehot)
        return np.ascontiguousarray(np.hstack(blocks), dtype=np.float64)

    def encode(self, frame: pd.DataFrame) -> np.ndarray:
        """The frame's rows coded: the numeric features of ``transform`` as they are and
        each categorical column as one feature holding the position of the row's label
        among ``kept`` (``len(kept)`` for "other"), as a C-contiguous float64 matrix with
        ``categorical_flags`` telling which is which. Distances over coded rows with the
        coded kernel equal, bit for bit, those over ``transform``'s one-hot rows."""
        # Column-major while filling (each feature one contiguous run), then row-major.
        matrix = np.empty((len(frame), len(self.categorical_flags)), dtype=np.float64, order="F")
        at = 0
        for feature in self.features:
            if isinstance(feature, NumericFeature):
                for column in self._numeric_columns(frame, feature):
                    matrix[:, at] = column
                    at += 1
            else:
                matrix[:, at] = self._codes(frame, feature)
                at += 1
        return np.ascontiguousarray(matrix)
