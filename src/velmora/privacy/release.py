"""``protect``: a protected release of a DataFrame, with its privacy ledger.

The release works in the local model under replace-one neighbouring: two tables are
neighbours when they have the same number of rows and differ in one record (any or all
of its values); each released row is computed from its own record only, column by
column, so what one record risks is the composition of what its cells spend. The row
count, the column labels and dtypes and the public domains (bounds, categories) are
public; the row index is released as is.

Planning comes first and draws nothing: the columns are typed, their domains checked or
read from the data, the budget is allocated and composed and held to ``total_epsilon``
and ``total_delta``. Only a plan that passes draws, from its own numpy ``Generator``.
"""

import logging
import math
import numbers
from dataclasses import dataclass, field
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple, Union, cast

import numpy as np
import pandas as pd

from velmora.exceptions import VelmoraInputError
from velmora.privacy import _privacy_kernels, accounting
from velmora.privacy.ledger import DATA_BOUNDS_NOTE, ColumnCharge, PrivacyLedger
from velmora.privacy.mechanisms import GRID_STEPS, randomized_response

__all__ = ["protect", "BudgetExceededError", "METHODS", "PRESERVED_NOTE"]

logger = logging.getLogger(__name__)

METHODS = ("laplace", "gaussian")
PRESERVED_NOTE = "released as is: not differentially private"
INDEX_REASON = "the row index is released as is and is not the default one (0, 1, 2, ...)"

# A composed cost may exceed its cap by this relative amount: the rounding of a sum of
# shares of the cap, never a real overspend.
_TOLERANCE = 1e-12

RandomState = Union[None, int, np.integer, np.random.SeedSequence, np.random.BitGenerator, np.random.Generator]


class BudgetExceededError(VelmoraInputError):
    """A release whose composed privacy cost exceeds its budget, refused before any
    random number is drawn. ``costs`` maps each perturbed column to its (epsilon,
    delta)."""

    def __init__(self, message: str, costs: Dict[Hashable, Tuple[float, float]]) -> None:
        super().__init__(message)
        self.costs = costs


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


# ---- budget ---------------------------------------------------------------------------


def _weights(plans: List[_Plan], weights: Dict[Hashable, Any]) -> None:
    for plan in plans:
        if plan.column in weights:
            plan.weight = _positive(f"weight of column {plan.column!r}", weights[plan.column])


def _allocate(
    plans: List[_Plan],
    method: str,
    epsilon: Optional[float],
    delta: Optional[float],
    total_epsilon: Optional[float],
    total_delta: Optional[float],
    weighted: bool,
) -> str:
    """Sets each perturbed column's epsilon, delta, rho and Gaussian noise multiplier;
    returns how the budget was allocated."""
    gaussian = [plan for plan in plans if plan.numeric and method == "gaussian"]
    pure = [plan for plan in plans if plan not in gaussian]
    if gaussian:
        if delta is not None:
            for plan in gaussian:
                plan.delta = delta
        elif total_delta is not None:
            for plan, share in zip(gaussian, accounting.split(total_delta, [plan.weight for plan in gaussian])):
                plan.delta = share
        else:
            raise VelmoraInputError("Gaussian noise needs delta (per column) or total_delta (per record)")
    if epsilon is not None:
        for plan in plans:
            plan.epsilon = epsilon
        _calibrate_basic(gaussian, pure)
        return "epsilon per column"
    assert total_epsilon is not None
    shares = "by weights" if weighted else "equal shares"
    for plan, share in zip(plans, accounting.split(total_epsilon, [plan.weight for plan in plans])):
        plan.epsilon = share
    _calibrate_basic(gaussian, pure)
    if not gaussian:
        return f"{shares} of total_epsilon, basic composition"
    basic_noise = math.fsum(plan.noise_multiplier**2 for plan in gaussian)
    basic = [(plan.epsilon, plan.rho, plan.noise_multiplier) for plan in plans]
    _calibrate_zcdp(plans, gaussian, total_epsilon)
    if math.fsum(plan.noise_multiplier**2 for plan in gaussian) < basic_noise:
        return f"{shares} of total_epsilon, zCDP"
    for plan, (share, rho, multiplier) in zip(plans, basic):
        plan.epsilon, plan.rho, plan.noise_multiplier = share, rho, multiplier
    return f"{shares} of total_epsilon, basic composition"


def _calibrate_basic(gaussian: List[_Plan], pure: List[_Plan]) -> None:
    for plan in gaussian:
        plan.noise_multiplier = accounting.analytic_gaussian_sigma(1.0, plan.epsilon, plan.delta)
        plan.rho = accounting.gaussian_rho(plan.noise_multiplier)
    for plan in pure:
        plan.rho = plan.epsilon * plan.epsilon / 2.0


def _calibrate_zcdp(plans: List[_Plan], gaussian: List[_Plan], total_epsilon: float) -> None:
    """Shares the zCDP budget that total_epsilon gives at the columns' total delta."""
    total_rho = accounting.zcdp_rho(total_epsilon, math.fsum(plan.delta for plan in gaussian))
    for plan, rho in zip(plans, accounting.split(total_rho, [plan.weight for plan in plans])):
        if plan in gaussian:
            multiplier = math.sqrt(0.5 / rho) * (1.0 + accounting.ROUNDING_MARGIN)
            plan.noise_multiplier = multiplier
            plan.rho = accounting.gaussian_rho(multiplier)
            plan.epsilon = accounting.analytic_gaussian_epsilon(multiplier, plan.delta)
        else:
            share = math.sqrt(2.0 * rho)
            while share * share / 2.0 > rho:
                share = math.nextafter(share, 0.0)
            plan.epsilon, plan.rho = share, share * share / 2.0


def _set_noise_scales(perturbed: List[_Plan], method: str) -> None:
    """Each numeric column's noise in grid steps, rounded up (never less than the ledger
    says); refused when it overflows (an epsilon far too small to mean anything)."""
    for plan in perturbed:
        if not plan.numeric:
            continue
        scale = plan.noise_multiplier * plan.steps if method == "gaussian" else plan.steps / plan.epsilon
        plan.scale_steps = math.nextafter(scale, math.inf)
        if not math.isfinite(plan.scale_steps):
            raise VelmoraInputError(f"epsilon of column {plan.column!r} is so small that its noise overflows")


def _costs_text(perturbed: List[_Plan], attribute: str) -> str:
    return ", ".join(f"{plan.column} {getattr(plan, attribute):.6g}" for plan in perturbed)


def _enforce(
    perturbed: List[_Plan],
    totals: Tuple[float, float, Optional[float]],
    cap_epsilon: Optional[float],
    cap_delta: Optional[float],
    explicit_epsilon: bool,
) -> None:
    epsilon_basic, delta_basic, epsilon_zcdp = totals
    spent = epsilon_basic if epsilon_zcdp is None else min(epsilon_basic, epsilon_zcdp)
    costs = {plan.column: (plan.epsilon, plan.delta) for plan in perturbed}
    advice = (
        "lower epsilon, leave columns out of the noise (preserve= releases them as is, not privately), "
        "or give total_epsilon without epsilon to split it over the columns"
        if explicit_epsilon
        else "raise the budget"
    )
    if cap_epsilon is not None and spent > cap_epsilon * (1 + _TOLERANCE):
        how = "basic composition" if spent == epsilon_basic else "zCDP"
        raise BudgetExceededError(
            f"the release would spend epsilon {spent:.6g} per record ({how}) over total_epsilon {cap_epsilon:g}; "
            f"epsilon per column: {_costs_text(perturbed, 'epsilon')}; {advice}",
            costs,
        )
    if cap_delta is not None and delta_basic > cap_delta * (1 + _TOLERANCE):
        raise BudgetExceededError(
            f"the release would spend delta {delta_basic:.6g} per record over total_delta {cap_delta:g}; "
            f"delta per column: {_costs_text(perturbed, 'delta')}; lower delta, or give total_delta without "
            "delta to split it",
            costs,
        )


# ---- drawing --------------------------------------------------------------------------


def _numeric_release(plan: _Plan, series: pd.Series, method: str, rng: np.random.Generator) -> Any:
    integer = plan.kind == "integer"
    numpy_dtype = _numpy_dtype(plan.dtype)
    extension = not isinstance(plan.dtype, np.dtype)
    missing = None
    if integer:
        # The kernel's integer types: uint64 for uint64 columns, int64 for the others.
        wide = np.dtype(np.uint64) if numpy_dtype == np.uint64 else np.dtype(np.int64)
        if extension:
            missing = np.ascontiguousarray(series.isna().to_numpy(), dtype=bool)
            values = series.to_numpy(dtype=wide, na_value=plan.low)
        else:
            values = series.to_numpy().astype(wide, copy=False)
        low: Union[int, float] = int(plan.low)
        high: Union[int, float] = int(plan.high)
    else:
        values = series.to_numpy(dtype=np.float64, na_value=np.nan) if extension else series.to_numpy()
        values = values.astype(np.float64, copy=False)
        low, high = float(plan.low), float(plan.high)
    released = _privacy_kernels.release_on_grid(
        np.ascontiguousarray(values), missing, low, high, plan.steps, plan.step or 1.0, method, plan.scale_steps, rng
    )
    if not integer and numpy_dtype != np.float64:
        # A narrower float type: the nearest values of that type inside the bounds.
        inside = (
            numpy_dtype.type(_inward(low, numpy_dtype, up=True)),
            numpy_dtype.type(_inward(high, numpy_dtype, up=False)),
        )
        released = np.clip(released.astype(numpy_dtype), *inside)
    else:
        released = released.astype(numpy_dtype, copy=False)
    return pd.array(cast(Any, released), dtype=plan.dtype) if extension else released


def _category_codes(plan: _Plan, series: pd.Series, rng: np.random.Generator) -> np.ndarray:
    """The position of each cell's value in the plan's categories; a value outside
    them is replaced by a uniformly random position (drawn here)."""
    assert plan.categories is not None
    positions = np.array([index for index, value in enumerate(plan.categories) if value is not None], dtype=np.int64)
    codes = np.full(len(series), -1, dtype=np.int64)
    if len(positions):
        present = pd.Index([value for value in plan.categories if value is not None], dtype=object)
        found = present.get_indexer(series.to_numpy(dtype=object)).astype(np.int64)
        codes = np.where(found >= 0, positions[found], -1)
    if None in plan.categories:
        codes[(codes < 0) & series.isna().to_numpy()] = plan.categories.index(None)
    unknown = codes < 0
    count = int(unknown.sum())
    if count:
        codes[unknown] = rng.integers(0, len(plan.categories), size=count)
    return codes


def _categorical_release(plan: _Plan, series: pd.Series, rng: np.random.Generator) -> Any:
    assert plan.categories is not None
    codes = _category_codes(plan, series, rng)
    k = len(plan.categories)
    released = randomized_response(codes, k, accounting.randomized_response_flip(plan.epsilon, k), rng)
    dtype = plan.dtype
    table = np.empty(k, dtype=object)
    table[:] = plan.categories
    values = table[released]
    if isinstance(dtype, pd.CategoricalDtype):
        extra = [value for value in plan.categories if value is not None and value not in dtype.categories]
        return pd.Categorical(values, categories=list(dtype.categories) + extra, ordered=dtype.ordered)
    if isinstance(dtype, np.dtype) and dtype.kind in "biuf":
        if None in plan.categories:  # only float columns may list a missing value
            values[released == plan.categories.index(None)] = np.nan
        return values.astype(dtype)
    if isinstance(dtype, np.dtype):  # object columns keep the values as they are
        return values
    return pd.array(values, dtype=dtype)


def _column_streams(root: np.random.Generator, count: int) -> List[np.random.Generator]:
    """One PCG64 generator per column, seeded from ``root`` (128 bits each, through
    SeedSequence): each column's noise is its own stream, whatever the other columns
    draw."""
    entropy = root.integers(0, 1 << 32, size=(count, 4), dtype=np.uint64)
    return [
        np.random.Generator(np.random.PCG64(np.random.SeedSequence([int(word) for word in row]))) for row in entropy
    ]


def _released(plan: _Plan, series: pd.Series, method: str, rng: np.random.Generator) -> Any:
    if plan.kind == "preserved":
        return series.array.copy()
    if plan.numeric:
        return _numeric_release(plan, series, method, rng)
    return _categorical_release(plan, series, rng)


# ---- ledger ---------------------------------------------------------------------------


def _charge(plan: _Plan, method: str) -> ColumnCharge:
    dtype = str(plan.dtype)
    if plan.kind == "preserved":
        return ColumnCharge(
            column=plan.column,
            dtype=dtype,
            mechanism="none",
            epsilon=0.0,
            delta=0.0,
            rho=None,
            scale=None,
            keep_probability=None,
            bounds=None,
            categories=None,
            grid_step=None,
            source="preserved",
            private=False,
            notes=tuple(plan.notes),
        )
    private = plan.source != "data"
    if plan.numeric:
        span = float(plan.high - plan.low)
        scale = span * plan.noise_multiplier if method == "gaussian" else span / plan.epsilon
        return ColumnCharge(
            column=plan.column,
            dtype=dtype,
            mechanism=method,
            epsilon=plan.epsilon,
            delta=plan.delta,
            rho=plan.rho,
            scale=scale,
            keep_probability=None,
            bounds=(plan.low, plan.high),
            categories=None,
            grid_step=plan.step,
            source=plan.source,
            private=private,
            notes=tuple(plan.notes),
        )
    assert plan.categories is not None
    k = len(plan.categories)
    return ColumnCharge(
        column=plan.column,
        dtype=dtype,
        mechanism="randomized_response",
        epsilon=plan.epsilon,
        delta=0.0,
        rho=plan.rho,
        scale=None,
        keep_probability=accounting.randomized_response_keep(plan.epsilon, k),
        bounds=None,
        categories=tuple(plan.categories),
        grid_step=None,
        source=plan.source,
        private=private,
        notes=tuple(plan.notes),
    )


# ---- the entry point ------------------------------------------------------------------


def protect(
    df: pd.DataFrame,
    *,
    epsilon: Optional[float] = None,
    delta: Optional[float] = None,
    method: str = "laplace",
    bounds: Optional[Mapping[Any, Sequence[float]]] = None,
    categories: Optional[Mapping[Any, Sequence[Any]]] = None,
    total_epsilon: Optional[float] = None,
    total_delta: Optional[float] = None,
    weights: Optional[Mapping[Any, float]] = None,
    preserve: Sequence[Hashable] = (),
    random_state: RandomState = None,
) -> Tuple[pd.DataFrame, PrivacyLedger]:
    """A differentially private release of ``df`` and its privacy ledger.

    Each record's row is released from that record alone (the local model), under
    replace-one neighbouring: tables of the same row count that differ in one record.
    Numeric columns get Laplace noise of scale ``(high - low) / epsilon`` (``method``
    "laplace", epsilon-DP) or Gaussian noise calibrated exactly to (epsilon, delta)
    (``method`` "gaussian": the analytic Gaussian mechanism of Balle & Wang, ICML 2018,
    valid for every epsilon), on a grid of their public bounds, values clipped into
    the bounds before the noise and the noisy values clipped back, so that integer
    columns stay integer (in their own dtype, nullable ones too) and the output's
    floating-point bits reveal nothing beyond the grid (Mironov, CCS 2012). Boolean,
    text and categorical columns get k-ary randomized response over their public
    categories (Warner, JASA 1965; optimal for k categories in the high-privacy regime,
    Kairouz, Oh & Viswanath, JMLR 2016), epsilon-DP. A missing value, or a value outside
    the public domain, is first replaced by a uniformly random value of the domain.

    Parameters
    ----------
    df : DataFrame
        The table; not modified. Column labels must be unique.
    epsilon : float, optional
        What each perturbed column spends; a record of k perturbed columns spends
        k * epsilon under basic composition (the ledger says so). Give ``epsilon`` or
        ``total_epsilon``.
    delta : float, optional
        What each Gaussian column spends (method "gaussian" only), in (0, 1).
    method : {"laplace", "gaussian"}
        The noise of the numeric columns.
    bounds : mapping of column label to (low, high), optional
        Public bounds of numeric columns (the whole numbers within them, for integer
        columns). A numeric column without bounds has them read from the data: the
        ledger marks it "bounds from the data: not differentially private" and a warning
        is logged on this module's logger.
    categories : mapping of column label to a list of values, optional
        Public categories of boolean, text and categorical columns (None in the list
        stands for a missing value), or of a numeric column to release by randomized
        response instead of noise. Booleans default to [False, True]; other columns
        without categories have them read from the data (marked and logged as above).
    total_epsilon, total_delta : float, optional
        The record's budget. With ``epsilon`` (and ``delta``) given, a plan whose
        composed cost exceeds it is refused with ``BudgetExceededError`` before any
        random number is drawn. Without ``epsilon``, ``total_epsilon`` (and
        ``total_delta``) is split over the perturbed columns: in equal shares, or in
        proportion to ``weights``; for Gaussian columns under both basic composition and
        zCDP (Bun & Steinke, TCC 2016), whichever gives them less noise.
    weights : mapping of column label to a positive number, optional
        Shares of the split (columns not named weigh 1).
    preserve : list of column labels
        Columns released as is (the ledger marks them; the release is then not
        differentially private).
    random_state : None, int, SeedSequence, BitGenerator or Generator
        The source of randomness (``np.random.default_rng(random_state)``); numpy's
        global generator is never used. Anyone who knows the seed can recompute the
        noise: keep it secret, or leave it None.

    Returns
    -------
    (DataFrame, PrivacyLedger)
        The released frame (same index, columns and dtypes) and its ledger.

    Raises
    ------
    BudgetExceededError
        The plan spends more than ``total_epsilon`` or ``total_delta``; nothing drawn.
    VelmoraInputError
        A bad argument or column (unknown label, bounds that do not fit the dtype, a
        column of a dtype without mechanism, such as datetimes, that is not preserved).
    """
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"df must be a DataFrame, not {type(df).__name__}")
    if not isinstance(method, str) or method not in METHODS:
        raise VelmoraInputError(f"unknown method {method!r}; use 'laplace' or 'gaussian'")
    epsilon = _optional_positive("epsilon", epsilon)
    delta = _optional_positive("delta", delta, upper=1.0)
    total_epsilon = _optional_positive("total_epsilon", total_epsilon)
    total_delta = _optional_positive("total_delta", total_delta, upper=1.0)
    if epsilon is None and total_epsilon is None:
        raise VelmoraInputError("give epsilon (per column) or total_epsilon (per record, split over the columns)")
    if delta is not None and method != "gaussian":
        raise VelmoraInputError("delta is spent by Gaussian noise only (method='gaussian')")
    bounds_given = _mapping("bounds", bounds)
    categories_given = _mapping("categories", categories)
    weights_given = _mapping("weights", weights)
    if weights_given and epsilon is not None:
        raise VelmoraInputError("weights split total_epsilon; with epsilon, every column spends epsilon")
    preserved = _labels(preserve)
    if not df.columns.is_unique:
        repeated = df.columns[df.columns.duplicated()].unique().tolist()
        raise VelmoraInputError(f"column labels repeat: {', '.join(map(repr, repeated))}")
    _check_labels(
        df,
        bounds=list(bounds_given),
        categories=list(categories_given),
        weights=list(weights_given),
        preserve=preserved,
    )
    _check_random_state(random_state)

    plans = _plan_columns(df, bounds_given, categories_given, preserved)
    perturbed = [plan for plan in plans if plan.kind != "preserved"]
    stray = [label for label in weights_given if label in preserved]
    if stray:
        raise VelmoraInputError(f"weights name preserved columns: {', '.join(map(repr, stray))}")
    _weights(perturbed, weights_given)
    allocation = _allocate(perturbed, method, epsilon, delta, total_epsilon, total_delta, bool(weights_given))
    _set_noise_scales(perturbed, method)
    epsilon_basic = math.fsum(plan.epsilon for plan in perturbed)
    delta_basic = math.fsum(plan.delta for plan in perturbed)
    rho = math.fsum(plan.rho for plan in perturbed)
    epsilon_zcdp = accounting.zcdp_epsilon(rho, delta_basic) if 0 < delta_basic < 1 else None
    _enforce(perturbed, (epsilon_basic, delta_basic, epsilon_zcdp), total_epsilon, total_delta, epsilon is not None)

    for plan in perturbed:
        if plan.source == "data":
            logger.warning(
                "column %r: %s (its %s were read from the table itself; give them to protect it)",
                plan.column,
                DATA_BOUNDS_NOTE,
                "bounds" if plan.numeric else "categories",
            )
    streams = _column_streams(np.random.default_rng(random_state), len(plans))
    # A shallow copy whose columns are all replaced: nothing is copied twice, and the
    # frame keeps the input's index, column labels and flags.
    released = df.copy(deep=False)
    for position, (plan, stream) in enumerate(zip(plans, streams)):
        released.isetitem(position, _released(plan, df.iloc[:, position], method, stream))

    reasons = []
    for plan in plans:
        if plan.kind == "preserved":
            reasons.append(f"column {plan.column!r}: {PRESERVED_NOTE}")
        elif plan.source == "data":
            reasons.append(f"column {plan.column!r}: {DATA_BOUNDS_NOTE}")
    if not df.index.equals(pd.RangeIndex(len(df))):
        reasons.append(INDEX_REASON)
    ledger = PrivacyLedger(
        rows=len(df),
        method=method,
        charges=tuple(_charge(plan, method) for plan in plans),
        epsilon_basic=epsilon_basic,
        delta_basic=delta_basic,
        rho=rho,
        epsilon_zcdp=epsilon_zcdp,
        total_epsilon=total_epsilon,
        total_delta=total_delta,
        allocation=allocation,
        differentially_private=not reasons,
        reasons=tuple(reasons),
    )
    return released, ledger


def _check_random_state(random_state: RandomState) -> None:
    allowed = (np.random.SeedSequence, np.random.BitGenerator, np.random.Generator)
    if random_state is None or isinstance(random_state, allowed):
        return
    if isinstance(random_state, (bool, np.bool_)) or not isinstance(random_state, (int, np.integer)):
        raise TypeError(
            "random_state must be None, an int, a SeedSequence, a BitGenerator or a Generator, "
            f"not {type(random_state).__name__}"
        )
