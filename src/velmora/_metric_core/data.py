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

import sys
from typing import Any, Callable, Dict, Hashable, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from .kernels import cell_digest, content_digest
from .stores import ResultStore, in_metric_scope, remembered

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
        self.details: Dict[str, Any] = {"skipped": {}}

    @property
    def skipped(self) -> Dict[str, str]:
        return self.details["skipped"]


def column_kind(real: pd.Series, synthetic: Optional[pd.Series] = None) -> str:
    """ "numeric" or "categorical" for a column, as described in the module docstring."""
    numeric = _is_numeric_like(real)
    if synthetic is not None and numeric:
        if not _is_numeric_like(synthetic):
            return "categorical"
        # A datetime column against plain numbers is not comparable as numbers.
        if ptypes.is_datetime64_any_dtype(real.dtype) != ptypes.is_datetime64_any_dtype(synthetic.dtype):
            return "categorical"
    return "numeric" if numeric else "categorical"


def numeric_values(series: pd.Series) -> np.ndarray:
    """A float64 array of the column, NaN where a value is missing. Within a
    ``metric_scope`` the array of a column is made once and handed out read-only (the
    metrics of one evaluation convert the same columns again and again); otherwise it is
    a new array."""
    if not in_metric_scope() or not isinstance(series.dtype, np.dtype):
        return _numeric_values(series)

    def convert() -> np.ndarray:
        values = _numeric_values(series)
        values.flags.writeable = False
        return values

    return remembered(("numeric", series.to_numpy()), convert)


def _numeric_values(series: pd.Series) -> np.ndarray:
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


def column_token(series: pd.Series) -> Optional[tuple]:
    """A key standing for the contents of a column in the keys of the library's stores
    of computed results, so that a column is computed again whenever its contents
    change: BLAKE3 digests of its values with its dtype and length, so two columns share
    a key only when their values are equal (barring a BLAKE3 collision, which nobody
    can construct).

    - numpy columns of numbers, booleans and dates: the digest of their bytes;
    - object columns whose cells hold str, int, float, bool, None, pd.NA or pd.NaT, and
      text columns of pandas' string dtype (either storage): the digest of every cell's
      value and type, missing cells included (``cell_digest``).

    None for anything else, which is then computed afresh on every call: objects that
    may change in place without the column changing (lists, dicts, arrays), and other
    extension types (nullable integers, categoricals)."""
    dtype = series.dtype
    if isinstance(dtype, pd.StringDtype):
        # The text and which cells are missing; the missing marker (pd.NA or NaN) and
        # the storage are part of the dtype.
        digest = cell_digest(series.to_numpy(dtype=object))
        return None if digest is None else ("text", repr(dtype), getattr(dtype, "storage", None), len(series), digest)
    if not isinstance(dtype, np.dtype):
        return None
    values = series.to_numpy()
    if dtype.kind == "O":
        digest = cell_digest(values)
        return None if digest is None else ("cells", len(values), digest)
    return ("values", dtype.str, len(values), content_digest(np.ascontiguousarray(values)))


def frame_tokens(frame: pd.DataFrame) -> Optional[tuple]:
    """(label, dtype, token) of every column of the frame, or None when a column has no
    token: a key standing for the frame's contents."""
    if not frame.columns.is_unique:
        return None
    tokens = []
    for column in frame.columns:
        series = frame[column]
        token = column_token(series)
        if token is None:
            return None
        tokens.append((column, str(series.dtype), token))
    return tuple(tokens)


class CategoryCodes(NamedTuple):
    """A column's category labels (as ``category_labels`` gives them) as one code per
    row into ``labels``, each label once, in order of first occurrence."""

    codes: np.ndarray
    labels: List[Hashable]


# Category codes of recent columns, keyed by their ``column_token``: the metrics of one
# evaluation read the same columns many times. At most this many bytes of codes are kept,
# and the codes of this many columns (those of the last evaluation or two).
MAX_CODE_BYTES = 64 * 2**20
MAX_CODES = 64


def _codes_size(entry: Optional[CategoryCodes]) -> int:
    """The bytes a column's codes keep: the codes and the labels (whose objects, the
    column's own values, the entry keeps alive)."""
    if entry is None:
        return 0
    return entry.codes.nbytes + sum(sys.getsizeof(label) + 8 for label in entry.labels)


_CODES: "ResultStore[Optional[CategoryCodes]]" = ResultStore(
    max_entries=MAX_CODES, max_bytes=MAX_CODE_BYTES, size=_codes_size
)


def category_codes(series: pd.Series) -> Optional[CategoryCodes]:
    """The column's labels from one hash pass over its values (``pd.factorize``): equal
    values share a code, as they share a label of ``category_labels``, and every missing
    value (and the label text ``MISSING`` itself) gets the code of ``MISSING``. None when a
    value is unhashable (a list, a dict), which only ``category_labels`` can take. The
    codes of a column seen before with the same contents are handed back as they were."""
    token = column_token(series)
    if token is not None:
        found, stored = _CODES.lookup(token)
        if found:
            return stored
    codes = _factorized(series)
    if token is not None:
        _CODES.put(token, codes)
    return codes


def _factorized(series: pd.Series) -> Optional[CategoryCodes]:
    try:
        codes, uniques = pd.factorize(series, use_na_sentinel=True)
    except TypeError:
        return None
    table: Dict[Hashable, int] = {}
    remap = np.empty(len(uniques) + 1, dtype=np.int64)
    for position, label in enumerate(np.asarray(uniques, dtype=object)):
        remap[position] = table.setdefault(label, len(table))
    # The last slot takes the code -1 of a missing value.
    remap[-1] = table.setdefault(MISSING, len(table)) if (codes < 0).any() else -1
    return CategoryCodes(remap[codes], list(table))


def _text_hashes(series: pd.Series, codes: Optional[CategoryCodes]) -> np.ndarray:
    """A 64-bit hash of the text of each row's label (``str`` of its ``category_labels``
    label). From the labels alone when they cannot hide two texts behind one label (only
    strings, or booleans); otherwise row by row."""
    if codes is not None and (ptypes.is_bool_dtype(series.dtype) or all(type(label) is str for label in codes.labels)):
        texts = np.array([str(label) for label in codes.labels], dtype=object)
        return pd.util.hash_array(texts)[codes.codes] if len(texts) else np.zeros(len(series), dtype=np.uint64)
    return pd.util.hash_array(category_labels(series).astype(str).to_numpy(dtype=object))


def row_hashes(
    frames: Sequence[pd.DataFrame],
    columns: Sequence[Hashable],
    codes_of: Optional[Callable[[int, Hashable], Optional[CategoryCodes]]] = None,
) -> List[np.ndarray]:
    """A 64-bit hash of every whole row of each frame over ``columns``, comparable across
    the frames, so that equal rows get equal hashes whatever the frame.

    Each column is hashed in one kind for all frames: as float64 values when every
    frame holds it as numbers (``column_kind``; datetimes and timedeltas as seconds), so
    that 1 and 1.0 are one value and every missing value is one value; otherwise as the
    text of its ``category_labels``. Two different rows share a hash with probability
    2^-64, so among n x m pairs of rows a false match has probability about
    n m / 2^64 (5e-8 for a million rows on each side).

    ``codes_of(frame index, column)``, when given, returns the column's
    ``category_codes`` already computed for that frame (or None).
    """
    first = frames[0]
    numeric = [all(column_kind(first[column], frame[column]) == "numeric" for frame in frames) for column in columns]
    hashes = []
    for index, frame in enumerate(frames):
        combined = np.zeros(len(frame), dtype=np.uint64)
        for position, column in enumerate(columns):
            if numeric[position]:
                values = numeric_values(frame[column])
                # Adding 0.0 turns -0.0 into 0.0; every NaN becomes the one NaN bit pattern.
                column_hash = pd.util.hash_array(np.where(np.isnan(values), np.nan, values) + 0.0)
            else:
                series = frame[column]
                codes = codes_of(index, column) if codes_of is not None else category_codes(series)
                column_hash = _text_hashes(series, codes)
            # An order-dependent mix of the column hashes (the combination pandas uses).
            combined = (combined ^ column_hash) * _HASH_MULTIPLIERS[position % len(_HASH_MULTIPLIERS)]
        hashes.append(combined)
    return hashes


# Odd 64-bit multipliers of the row-hash mix, one per column position (cycled).
_HASH_MULTIPLIERS = [np.uint64(1000003 + 82520 * i * 2) for i in range(64)]


def counts_by_frequency(labels: pd.Series) -> pd.Series:
    """``labels.value_counts()`` in the order pandas 2 gives it, under every pandas
    major: the counts in order of first appearance, sorted by descending count with
    pandas' default sort. pandas 3 sorts them stably, which orders equal counts
    differently, and so would pick other categories at a cut between equal counts."""
    return labels.value_counts(sort=False).sort_values(ascending=False)


def category_frequencies(real: pd.Series, synthetic: pd.Series) -> Tuple[np.ndarray, np.ndarray]:
    """Relative frequencies of every category seen in either column, aligned: the real
    column's labels in order of first occurrence, then the synthetic column's others."""
    real_codes, synthetic_codes = category_codes(real), category_codes(synthetic)
    if real_codes is not None and synthetic_codes is not None:
        table = {label: position for position, label in enumerate(real_codes.labels)}
        for label in synthetic_codes.labels:
            table.setdefault(label, len(table))
        p = np.zeros(len(table))
        q = np.zeros(len(table))
        p[: len(real_codes.labels)] = np.bincount(real_codes.codes, minlength=len(real_codes.labels))
        placed = np.array([table[label] for label in synthetic_codes.labels], dtype=np.int64)
        np.add.at(q, placed, np.bincount(synthetic_codes.codes, minlength=len(placed)))
        return p / p.sum(), q / q.sum()
    real_counts = category_labels(real).value_counts(sort=False)
    synthetic_counts = category_labels(synthetic).value_counts(sort=False)
    counts = pd.concat([real_counts, synthetic_counts], axis=1, keys=["real", "synthetic"]).fillna(0.0)
    p = counts["real"].to_numpy(dtype=np.float64)
    q = counts["synthetic"].to_numpy(dtype=np.float64)
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
