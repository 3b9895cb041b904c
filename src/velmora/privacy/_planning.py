"""Planning a protected release: the arguments checked, each column typed and given
its public domain (bounds and grid, or categories). Nothing here draws a random number."""

import math
import numbers
from dataclasses import dataclass, field
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from velmora.exceptions import VelmoraInputError
from velmora.privacy.ledger import DATA_BOUNDS_NOTE
from velmora.privacy.mechanisms import GRID_STEPS

PRESERVED_NOTE = "released as is: not differentially private"


@dataclass
class _Plan:
    """What the release does with one column; filled by planning, read by drawing."""

    column: Hashable
    dtype: Any
    kind: str  # "number", "integer", "categorical" or "preserved"
    source: str
    low: Any = None
    high: Any = None
    steps: int = 0
    step: float = 0.0
    categories: Optional[List[Any]] = None  # None inside stands for a missing value
    weight: float = 1.0
    epsilon: float = 0.0
    delta: float = 0.0
    rho: float = 0.0
    noise_multiplier: float = 0.0  # Gaussian: sigma over the sensitivity
    scale_steps: float = 0.0  # the noise's scale (Laplace) or deviation (Gaussian), in grid steps
    notes: List[str] = field(default_factory=list)

    @property
    def numeric(self) -> bool:
        return self.kind in ("number", "integer")


# ---- arguments ------------------------------------------------------------------------


def _positive(name: str, value: Any, upper: Optional[float] = None) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not (number > 0 and math.isfinite(number)):
        raise VelmoraInputError(f"{name} must be a positive finite number, not {value!r}")
    if upper is not None and not number < upper:
        raise VelmoraInputError(f"{name} must lie between 0 and {upper:g} (exclusive), not {value!r}")
    return number


def _optional_positive(name: str, value: Any, upper: Optional[float] = None) -> Optional[float]:
    return None if value is None else _positive(name, value, upper)


def _mapping(name: str, value: Any) -> Dict[Hashable, Any]:
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} must be a mapping of column labels, not {type(value).__name__}")
    return dict(value)


def _labels(value: Any) -> List[Hashable]:
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        value = [value]
    return list(value)


def _check_labels(df: pd.DataFrame, **given: Sequence[Hashable]) -> None:
    columns = set(df.columns)
    for name, labels in given.items():
        unknown = [label for label in labels if label not in columns]
        if unknown:
            raise VelmoraInputError(f"{name} names no column of the frame: {', '.join(map(repr, unknown))}")


# ---- column typing and domains --------------------------------------------------------


def _kind(series: pd.Series) -> Optional[str]:
    dtype = series.dtype
    types = pd.api.types
    if types.is_bool_dtype(dtype):
        return "boolean"
    if isinstance(dtype, pd.CategoricalDtype):
        return "categorical"
    if types.is_numeric_dtype(dtype) and not types.is_complex_dtype(dtype) and not types.is_timedelta64_dtype(dtype):
        return "integer" if types.is_integer_dtype(dtype) else "number"
    if types.is_string_dtype(dtype) or types.is_object_dtype(dtype):
        return "categorical"
    return None


def _numpy_dtype(dtype: Any) -> np.dtype:
    return np.dtype(getattr(dtype, "numpy_dtype", dtype))


def _is_missing(value: Any) -> bool:
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _bound(column: Hashable, value: Any, given: Any) -> Union[int, float]:
    """A bound as given: an int stays an int (exact for 64-bit columns), any other real
    number becomes a float, which must be finite."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise VelmoraInputError(f"bounds of column {column!r} must be two numbers [low, high], not {given!r}")
    if isinstance(value, numbers.Integral):
        return int(value)
    number = float(value)
    if not math.isfinite(number):
        raise VelmoraInputError(f"bounds of column {column!r} must be finite, not {list(given)!r}")
    return number


def _numeric_domain(plan: _Plan, series: pd.Series, given: Any) -> None:
    """Sets the plan's bounds and grid from the given bounds or from the data."""
    column = plan.column
    numpy_dtype = _numpy_dtype(plan.dtype)
    if given is not None:
        if isinstance(given, (str, bytes)) or not isinstance(given, Sequence) or len(given) != 2:
            raise VelmoraInputError(f"bounds of column {column!r} must be two numbers [low, high], not {given!r}")
        low, high = _bound(column, given[0], given), _bound(column, given[1], given)
        if low > high:
            raise VelmoraInputError(f"bounds of column {column!r} must have low <= high, not {list(given)!r}")
        if plan.kind == "integer":
            # The public domain of an integer column: the whole numbers within the bounds.
            whole_low, whole_high = math.ceil(low), math.floor(high)
            if whole_low > whole_high:
                raise VelmoraInputError(f"bounds {list(given)!r} of integer column {column!r} hold no whole number")
            info = np.iinfo(numpy_dtype)
            if whole_low < info.min or whole_high > info.max:
                raise VelmoraInputError(
                    f"bounds {list(given)!r} of column {column!r} leave the range of its dtype {plan.dtype} "
                    f"[{info.min}, {info.max}]"
                )
            plan.low, plan.high = whole_low, whole_high
        else:
            plan.low, plan.high = float(low), float(high)
        plan.source = "given"
    else:
        present = series.dropna()
        if len(present) == 0:
            raise VelmoraInputError(f"column {column!r} has no values to read bounds from; give its bounds")
        if plan.kind == "integer":
            plan.low, plan.high = int(present.min()), int(present.max())
        else:
            low, high = float(present.min()), float(present.max())
            if not (math.isfinite(low) and math.isfinite(high)):
                raise VelmoraInputError(f"column {column!r} holds infinite values; give its bounds")
            plan.low, plan.high = low, high
        plan.source = "data"
        plan.notes.append(DATA_BOUNDS_NOTE)
    if plan.kind == "integer":
        span = plan.high - plan.low
        plan.steps = min(span, GRID_STEPS)
        plan.step = 1.0 if plan.steps in (0, span) else span / plan.steps
    else:
        span_float = plan.high - plan.low
        if not math.isfinite(span_float):
            raise VelmoraInputError(f"bounds of column {column!r} are too far apart for float arithmetic")
        if numpy_dtype != np.float64 and not _inward(plan.low, numpy_dtype, up=True) <= plan.high:
            raise VelmoraInputError(f"bounds of column {column!r} hold no value of its dtype {plan.dtype}")
        plan.steps = GRID_STEPS if span_float > 0 else 0
        plan.step = span_float / GRID_STEPS if span_float > 0 else 0.0


def _inward(bound: float, numpy_dtype: np.dtype, up: bool) -> float:
    """The value of a narrower float type nearest to ``bound`` on the inside: the
    smallest not below it (``up``) or the largest not above it."""
    kind = numpy_dtype.type
    value = kind(bound)
    if up and float(value) < bound:
        value = np.nextafter(value, kind(np.inf))
    elif not up and float(value) > bound:
        value = np.nextafter(value, kind(-np.inf))
    return float(value)


def _normalised_categories(column: Hashable, given: Any) -> List[Any]:
    if isinstance(given, (str, bytes)) or not hasattr(given, "__iter__"):
        raise VelmoraInputError(f"categories of column {column!r} must be a list of values, not {given!r}")
    categories: List[Any] = []
    seen = set()
    for value in given:
        value = None if _is_missing(value) else value
        try:
            repeated = value in seen
        except TypeError:
            raise VelmoraInputError(f"categories of column {column!r} must be hashable values, not {value!r}") from None
        if repeated:
            raise VelmoraInputError(f"categories of column {column!r} repeat {value!r}")
        seen.add(value)
        categories.append(value)
    if not categories:
        raise VelmoraInputError(f"categories of column {column!r} must not be empty")
    return categories


def _data_categories(series: pd.Series) -> List[Any]:
    if isinstance(series.dtype, pd.CategoricalDtype):
        values = list(series.dtype.categories)
    else:
        values = list(pd.unique(series.dropna()))
        try:
            values = sorted(values)
        except TypeError:
            values = sorted(values, key=lambda value: (type(value).__name__, str(value)))
    values = [value.item() if isinstance(value, np.generic) else value for value in values]
    if series.isna().any():
        values.append(None)
    return values


def _check_categories_fit(plan: _Plan) -> None:
    """Categories of a number or boolean column must be values its dtype holds."""
    if not (pd.api.types.is_numeric_dtype(plan.dtype) or pd.api.types.is_bool_dtype(plan.dtype)):
        return
    assert plan.categories is not None
    present = [value for value in plan.categories if value is not None]
    numpy_dtype = _numpy_dtype(plan.dtype)
    if None in plan.categories and isinstance(plan.dtype, np.dtype) and numpy_dtype.kind in "biu":
        raise VelmoraInputError(
            f"categories of column {plan.column!r} list a missing value, which its dtype {plan.dtype} cannot hold"
        )
    for value in present:
        if isinstance(value, str) or not isinstance(value, (numbers.Number, np.bool_)):
            raise VelmoraInputError(
                f"categories of column {plan.column!r} must be values of its dtype {plan.dtype}, not {value!r}"
            )
        converted = np.array([value]).astype(numpy_dtype)[0]
        if converted != value:
            raise VelmoraInputError(
                f"categories of column {plan.column!r} must be values of its dtype {plan.dtype}, not {value!r}"
            )


def _categorical_domain(plan: _Plan, series: pd.Series, given: Any, boolean: bool) -> None:
    if given is not None:
        plan.categories = _normalised_categories(plan.column, given)
        plan.source = "given"
    elif boolean:
        plan.categories = [False, True]
        plan.source = "dtype"
    else:
        plan.categories = _data_categories(series)
        plan.source = "data"
        plan.notes.append(DATA_BOUNDS_NOTE)
    _check_categories_fit(plan)


def _plan_columns(
    df: pd.DataFrame, bounds: Dict[Hashable, Any], categories: Dict[Hashable, Any], preserve: List[Hashable]
) -> List[_Plan]:
    plans = []
    for column in df.columns:
        series = df[column]
        plan = _Plan(column=column, dtype=series.dtype, kind="preserved", source="preserved")
        if column in preserve:
            if column in bounds or column in categories:
                raise VelmoraInputError(f"column {column!r} is preserved and also given a domain; choose one")
            plan.notes.append(PRESERVED_NOTE)
            plans.append(plan)
            continue
        kind = _kind(series)
        if kind is None:
            raise VelmoraInputError(
                f"column {column!r} ({series.dtype}) has no mechanism here (numbers, booleans and categories "
                "do); preserve it to release it as is, or leave it out"
            )
        if column in bounds and column in categories:
            raise VelmoraInputError(f"column {column!r} is given both bounds and categories; choose one")
        if kind in ("number", "integer") and column not in categories:
            plan.kind = kind
            _numeric_domain(plan, series, bounds.get(column))
        else:
            if column in bounds:
                raise VelmoraInputError(f"column {column!r} ({series.dtype}) takes categories, not bounds")
            plan.kind = "categorical"
            _categorical_domain(plan, series, categories.get(column), kind == "boolean")
        plans.append(plan)
    return plans
