"""Column typing, encoding and sampling shared by the metric library.

Every metric sees a column as one of three kinds, decided by the real frame's dtype:

- "numeric": integer and float columns, datetimes (as seconds since the epoch, time
  zones converted to UTC) and timedeltas (as seconds);
- "categorical": booleans, strings, objects and pandas categoricals;
- a column whose synthetic dtype disagrees with the real one (numbers against text) is
  compared as categorical on both sides, so no value is silently coerced away.

Missing values (None, NaN, NaT, pd.NA) are never dropped silently: distribution metrics
on numbers compare the non-missing values and per-column results name columns that have
none; category frequencies count "missing" as a category of its own; the feature space
of the multivariate metrics imputes the real mean and adds a missing-indicator column.
"""

import math
from typing import Dict, Hashable, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

DEFAULT_SEED = 0

# Stands for a missing value among category labels.
MISSING = "<missing>"


def unit_interval(value: float) -> float:
    """``value`` clipped to [0, 1], for scores whose bounds rounding may overstep."""
    return min(1.0, max(0.0, float(value)))


def resolve_seed(seed: Optional[int]) -> int:
    """The seed to use: ``seed`` itself, or the library default 0 for None, so that every
    metric is reproducible unless a caller asks for another seed."""
    return DEFAULT_SEED if seed is None else int(seed)


def _is_numeric_like(series: pd.Series) -> bool:
    dtype = series.dtype
    if ptypes.is_bool_dtype(dtype):
        return False
    return bool(
        ptypes.is_numeric_dtype(dtype) or ptypes.is_datetime64_any_dtype(dtype) or ptypes.is_timedelta64_dtype(dtype)
    )


class ColumnScores(dict):
    """A mapping of column (or key) to score that also carries ``details``: which
    columns were skipped and why, and the sizes the scores were computed on."""

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self.details: Dict[str, object] = {"skipped": {}}

    @property
    def skipped(self) -> Dict[str, str]:
        return self.details["skipped"]


def column_kind(real: pd.Series, synthetic: Optional[pd.Series] = None) -> str:
    """"numeric" or "categorical" for a column, as described in the module docstring."""
    numeric = _is_numeric_like(real)
    if synthetic is not None and numeric:
        if not _is_numeric_like(synthetic):
            return "categorical"
        # A datetime column against plain numbers is not comparable as numbers.
        if ptypes.is_datetime64_any_dtype(real.dtype) != ptypes.is_datetime64_any_dtype(synthetic.dtype):
            return "categorical"
    return "numeric" if numeric else "categorical"


def numeric_values(series: pd.Series) -> np.ndarray:
    """A float64 array of the column, NaN where a value is missing."""
    dtype = series.dtype
    if ptypes.is_datetime64_any_dtype(dtype):
        if getattr(dtype, "tz", None) is not None:
            series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        values = series.to_numpy(dtype="datetime64[ns]")
        out = values.astype("int64").astype(np.float64) / 1e9
        out[np.isnat(values)] = np.nan
        return out
    if ptypes.is_timedelta64_dtype(dtype):
        values = series.to_numpy(dtype="timedelta64[ns]")
        out = values.astype("int64").astype(np.float64) / 1e9
        out[np.isnat(values)] = np.nan
        return out
    return series.astype("float64").to_numpy(dtype=np.float64, na_value=np.nan, copy=True)


def finite_values(series: pd.Series) -> np.ndarray:
    """The column's finite numeric values (missing and infinite values left out)."""
    values = numeric_values(series)
    return values[np.isfinite(values)]


def _hashable(value: object) -> object:
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def category_labels(series: pd.Series) -> pd.Series:
    """The column as hashable labels, missing values replaced by ``MISSING`` and
    unhashable values (lists, dicts) by their ``repr``."""
    values = series.astype(object)
    values = values.where(values.notna(), MISSING)
    # Strings, numbers, booleans, dates and their mixtures are hashable; only a "mixed"
    # column can hold lists or dicts.
    if ptypes.infer_dtype(values, skipna=False) == "mixed":
        values = values.map(_hashable)
    return values


def row_hashes(frames: Sequence[pd.DataFrame], columns: Sequence[Hashable]) -> List[np.ndarray]:
    """A 64-bit hash of every whole row of each frame over ``columns``, comparable across
    the frames, so that equal rows get equal hashes whatever the frame.

    Each column is hashed in one kind for all frames: as float64 values when every
    frame holds it as numbers (``column_kind``; datetimes and timedeltas as seconds), so
    that 1 and 1.0 are one value and every missing value is one value; otherwise as the
    text of its ``category_labels``. Two different rows share a hash with probability
    2^-64, so among n x m pairs of rows a false match has probability about
    n m / 2^64 (5e-8 for a million rows on each side).
    """
    first = frames[0]
    numeric = [all(column_kind(first[column], frame[column]) == "numeric" for frame in frames) for column in columns]
    hashes = []
    for frame in frames:
        canonical = {}
        for position, column in enumerate(columns):
            if numeric[position]:
                values = numeric_values(frame[column])
                # Adding 0.0 turns -0.0 into 0.0; every NaN becomes the one NaN bit pattern.
                canonical[position] = np.where(np.isnan(values), np.nan, values) + 0.0
            else:
                canonical[position] = category_labels(frame[column]).astype(str).to_numpy(dtype=object)
        table = pd.DataFrame(canonical, index=pd.RangeIndex(len(frame)))
        hashes.append(pd.util.hash_pandas_object(table, index=False).to_numpy())
    return hashes


def category_frequencies(real: pd.Series, synthetic: pd.Series) -> Tuple[np.ndarray, np.ndarray]:
    """Relative frequencies of every category seen in either column, aligned."""
    real_counts = category_labels(real).value_counts(sort=False)
    synthetic_counts = category_labels(synthetic).value_counts(sort=False)
    table = pd.concat([real_counts, synthetic_counts], axis=1, keys=["real", "synthetic"]).fillna(0.0)
    p = table["real"].to_numpy(dtype=np.float64)
    q = table["synthetic"].to_numpy(dtype=np.float64)
    return p / p.sum(), q / q.sum()


def shared_columns(real: pd.DataFrame, synthetic: pd.DataFrame, columns: Optional[Sequence[Hashable]] = None) -> List:
    """The columns to compare: ``columns`` if given (each must be in both frames),
    else the real frame's columns that the synthetic frame also has, in real order."""
    if columns is None:
        present = set(synthetic.columns)
        return [column for column in real.columns if column in present]
    missing = [column for column in columns if column not in real.columns or column not in synthetic.columns]
    if missing:
        raise KeyError(f"Columns missing from the real or synthetic frame: {missing!r}")
    return list(columns)


def check_frames(real: pd.DataFrame, synthetic: pd.DataFrame) -> None:
    """Raise ValueError unless both frames are DataFrames with at least one row."""
    for label, frame in (("real", real), ("synthetic", synthetic)):
        if not isinstance(frame, pd.DataFrame):
            raise TypeError(f"The {label} data must be a pandas DataFrame, got {type(frame).__name__}")
        if len(frame) == 0:
            raise ValueError(f"The {label} data has no rows.")


def sample_positions(n_rows: int, cap: Optional[int], rng: np.random.RandomState) -> Optional[np.ndarray]:
    """Sorted positions of a seeded sample of ``cap`` rows, or None when all ``n_rows``
    rows fit under the cap (None or 0 means no cap)."""
    if not cap or n_rows <= cap:
        return None
    return np.sort(rng.choice(n_rows, size=int(cap), replace=False))


def take_rows(frame: pd.DataFrame, positions: Optional[np.ndarray]) -> pd.DataFrame:
    return frame if positions is None else frame.iloc[positions]


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
    ) -> None:
        self.columns = shared_columns(real, synthetic, columns)
        self.max_categories = int(max_categories)
        self.skipped: Dict[str, str] = {}
        self.features: List[Union[NumericFeature, CategoricalFeature]] = []
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
                labels = category_labels(real[column])
                counts = labels.value_counts()
                kept = list(counts.index[: self.max_categories])
                self.features.append(CategoricalFeature(column, kept, len(counts) > len(kept)))
        if not self.features:
            raise ValueError("No column of the two frames can be used as a feature.")

    @property
    def n_features(self) -> int:
        total = 0
        for feature in self.features:
            if isinstance(feature, NumericFeature):
                total += 2 if feature.indicator else 1
            else:
                total += len(feature.kept) + 1
        return total

    def transform(self, frame: pd.DataFrame) -> np.ndarray:
        """The frame's rows as a C-contiguous float64 matrix in the fitted space."""
        blocks = []
        scale = 1.0 / math.sqrt(2.0)
        for feature in self.features:
            if isinstance(feature, NumericFeature):
                values = numeric_values(frame[feature.column])
                missing = ~np.isfinite(values)
                standardised = np.where(missing, 0.0, (values - feature.mean) / feature.std)
                blocks.append(standardised[:, None])
                if feature.indicator:
                    blocks.append(missing.astype(np.float64)[:, None])
            else:
                labels = category_labels(frame[feature.column])
                codes = pd.Categorical(labels, categories=feature.kept).codes
                onehot = np.zeros((len(frame), len(feature.kept) + 1), dtype=np.float64)
                rows = np.arange(len(frame))
                onehot[rows, np.where(codes < 0, len(feature.kept), codes)] = scale
                blocks.append(onehot)
        return np.ascontiguousarray(np.hstack(blocks), dtype=np.float64)
