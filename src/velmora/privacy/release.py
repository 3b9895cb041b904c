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
from typing import Any, Hashable, List, Mapping, Optional, Sequence, Tuple, Union, cast

import numpy as np
import pandas as pd

from velmora.exceptions import VelmoraInputError
from velmora.privacy import _privacy_kernels, accounting
from velmora.privacy._budget import BudgetExceededError, _allocate, _enforce, _set_noise_scales, _weights
from velmora.privacy._planning import (
    PRESERVED_NOTE,
    _check_labels,
    _inward,
    _labels,
    _mapping,
    _numpy_dtype,
    _optional_positive,
    _Plan,
    _plan_columns,
)
from velmora.privacy.ledger import DATA_BOUNDS_NOTE, ColumnCharge, PrivacyLedger
from velmora.privacy.mechanisms import randomized_response

__all__ = ["protect", "BudgetExceededError", "METHODS", "PRESERVED_NOTE"]

logger = logging.getLogger(__name__)

METHODS = ("laplace", "gaussian")
INDEX_REASON = "the row index is released as is and is not the default one (0, 1, 2, ...)"

RandomState = Union[None, int, np.integer, np.random.SeedSequence, np.random.BitGenerator, np.random.Generator]


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
