"""The privacy ledger of a protected release: what each column spent and what a record
of the release is protected by.

``ColumnCharge`` holds one column's entry: its mechanism and scale, the epsilon, delta
and zCDP rho it spends, its public domain (bounds or categories) and where that domain
came from. ``PrivacyLedger`` holds the entries of a release in column order, the
per-record totals under basic composition (and, with Gaussian noise, under zCDP), the
budget the release was held to, and whether the whole release is differentially
private. Both render as plain data (``to_dict``, with a fixed key order), JSON
(``to_json``) and text (``summary``, also ``str()``).
"""

import json
import math
from dataclasses import dataclass
from typing import Any, Dict, Hashable, List, Optional, Tuple

__all__ = ["ColumnCharge", "PrivacyLedger", "DATA_BOUNDS_NOTE", "NEIGHBOURING"]

DATA_BOUNDS_NOTE = "bounds from the data: not differentially private"
NEIGHBOURING = "replace-one"
NEIGHBOURING_TEXT = "neighbouring tables: one record replaced, as many rows"


def _plain(value: Any) -> Any:
    """``value`` as data json.dumps takes with allow_nan=False: numpy scalars become
    Python numbers, non-finite floats None, tuples lists, other objects their str()."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(key): _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    item = getattr(value, "item", None)  # numpy scalars
    if callable(item):
        try:
            return _plain(item())
        except (TypeError, ValueError):
            pass
    try:
        if value != value:  # a missing marker (NaN, NaT, pd.NA) that is not None
            return None
    except (TypeError, ValueError):
        return None
    return str(value)


def _number(value: Optional[float]) -> str:
    if value is None:
        return "-"
    if math.isinf(value):
        return "inf"
    return f"{value:.6g}"


@dataclass(frozen=True)
class ColumnCharge:
    """One column of a protected release.

    Attributes
    ----------
    column : hashable
        The column's label.
    dtype : str
        The column's dtype, which the release keeps.
    mechanism : str
        "laplace" or "gaussian" (noise on a grid of the public bounds),
        "randomized_response" (k-ary randomized response over the public categories), or
        "none" (released as is).
    epsilon, delta : float
        What the column spends: each record's cell of this column is
        (epsilon, delta)-differentially private on its own.
    rho : float or None
        The column's zero-concentrated DP parameter (epsilon**2 / 2 for an epsilon-DP
        mechanism), None when released as is.
    scale : float or None
        The noise in the column's units: the Laplace scale b or the Gaussian standard
        deviation; None for randomized response and columns released as is.
    keep_probability : float or None
        Randomized response: the probability that a cell keeps its category.
    bounds : tuple of two numbers, or None
        The public bounds of a numeric column (values are clipped into them before and
        after the noise).
    categories : tuple, or None
        The public categories of a randomized-response column (None stands for a
        missing value).
    grid_step : float or None
        The spacing of the grid the noisy values of a numeric column lie on.
    source : str
        Where the domain came from: "given" (by the caller), "dtype" (the booleans),
        "data" (read from the column itself) or "preserved".
    private : bool
        Whether this column's release is differentially private (a domain read from the
        data, or a column released as is, is not).
    notes : tuple of str
        What the reader should know, e.g. "bounds from the data: not differentially
        private".
    """

    column: Hashable
    dtype: str
    mechanism: str
    epsilon: float
    delta: float
    rho: Optional[float]
    scale: Optional[float]
    keep_probability: Optional[float]
    bounds: Optional[Tuple[float, float]]
    categories: Optional[Tuple[Any, ...]]
    grid_step: Optional[float]
    source: str
    private: bool
    notes: Tuple[str, ...] = ()

    def to_dict(self) -> Dict[str, Any]:
        """The entry as plain data, keys in a fixed order."""
        return {
            "column": _plain(self.column),
            "dtype": self.dtype,
            "mechanism": self.mechanism,
            "epsilon": self.epsilon,
            "delta": self.delta,
            "rho": _plain(self.rho),
            "scale": _plain(self.scale),
            "keep_probability": self.keep_probability,
            "bounds": _plain(self.bounds),
            "categories": _plain(self.categories),
            "grid_step": self.grid_step,
            "source": self.source,
            "private": self.private,
            "notes": list(self.notes),
        }


@dataclass(frozen=True)
class PrivacyLedger:
    """The privacy accounting of one protected release (``velmora.privacy.protect``).

    Attributes
    ----------
    rows : int
        The number of rows released (public: neighbouring tables have as many).
    method : str
        The numeric mechanism of the release, "laplace" or "gaussian".
    charges : tuple of ColumnCharge
        One entry per column, in the frame's order.
    epsilon_basic, delta_basic : float
        What one record spends over all its cells under basic composition: the sums of
        the columns' epsilons and deltas.
    rho : float
        The columns' zCDP parameters added up.
    epsilon_zcdp : float or None
        The epsilon the zCDP total gives at ``delta_basic`` (rho + 2 sqrt(rho ln(1 /
        delta))), when Gaussian noise makes delta positive; None otherwise.
    total_epsilon, total_delta : float or None
        The budget the release was held to, when one was given.
    allocation : str
        How the columns' budgets were set: "epsilon per column", or the split of
        ``total_epsilon`` ("equal shares" or "by weights", under "basic composition" or
        "zCDP").
    differentially_private : bool
        Whether the whole release is differentially private under replace-one
        neighbouring: every column private and the row index the default one.
    reasons : tuple of str
        Why it is not, one reason per line (empty when it is).
    """

    rows: int
    method: str
    charges: Tuple[ColumnCharge, ...]
    epsilon_basic: float
    delta_basic: float
    rho: float
    epsilon_zcdp: Optional[float]
    total_epsilon: Optional[float]
    total_delta: Optional[float]
    allocation: str
    differentially_private: bool
    reasons: Tuple[str, ...] = ()

    @property
    def epsilon(self) -> float:
        """The per-record epsilon at ``delta``: the tighter of basic composition and zCDP."""
        if self.epsilon_zcdp is not None and self.epsilon_zcdp < self.epsilon_basic:
            return self.epsilon_zcdp
        return self.epsilon_basic

    @property
    def delta(self) -> float:
        """The per-record delta (the columns' deltas added up)."""
        return self.delta_basic

    @property
    def accounting(self) -> str:
        """Which composition gives ``epsilon``: "basic composition" or "zCDP"."""
        if self.epsilon_zcdp is not None and self.epsilon_zcdp < self.epsilon_basic:
            return "zCDP"
        return "basic composition"

    def charge(self, column: Hashable) -> ColumnCharge:
        """The entry of ``column``."""
        for entry in self.charges:
            if entry.column == column:
                return entry
        raise KeyError(column)

    def to_dict(self) -> Dict[str, Any]:
        """The ledger as plain data, keys in a fixed order."""
        return {
            "differentially_private": self.differentially_private,
            "reasons": list(self.reasons),
            "neighbouring": NEIGHBOURING,
            "rows": self.rows,
            "method": self.method,
            "per_record": {
                "epsilon": _plain(self.epsilon),
                "delta": self.delta,
                "accounting": self.accounting,
                "basic_composition": {"epsilon": _plain(self.epsilon_basic), "delta": self.delta_basic},
                "zcdp": None
                if self.epsilon_zcdp is None
                else {"rho": _plain(self.rho), "epsilon": _plain(self.epsilon_zcdp), "delta": self.delta_basic},
            },
            "budget": {
                "total_epsilon": self.total_epsilon,
                "total_delta": self.total_delta,
                "allocation": self.allocation,
            },
            "columns": [entry.to_dict() for entry in self.charges],
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        """The ledger as JSON text (``to_dict``; non-finite numbers as null)."""
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False, ensure_ascii=False)

    def summary(self) -> str:
        """The ledger as text: one line per column, then the per-record totals and the
        verdict."""
        lines = [f"Protected release of {self.rows:,} rows ({NEIGHBOURING_TEXT})"]
        header = ("column", "mechanism", "epsilon", "delta", "scale", "domain", "source")
        rows: List[Tuple[str, ...]] = [header]
        for entry in self.charges:
            if entry.bounds is not None:
                domain = f"[{_number(float(entry.bounds[0]))}, {_number(float(entry.bounds[1]))}]"
            elif entry.categories is not None:
                domain = f"{len(entry.categories)} categories"
            else:
                domain = "-"
            if entry.mechanism == "randomized_response" and entry.keep_probability is not None:
                scale = f"keep {entry.keep_probability:.4g}"
            else:
                scale = _number(entry.scale)
            rows.append(
                (
                    str(entry.column),
                    entry.mechanism,
                    _number(entry.epsilon),
                    _number(entry.delta),
                    scale,
                    domain,
                    entry.source,
                )
            )
        widths = [max(len(row[index]) for row in rows) for index in range(len(header))]
        for row in rows:
            lines.append("  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
        for entry in self.charges:
            for note in entry.notes:
                lines.append(f"  {entry.column}: {note}")
        basic = f"epsilon {_number(self.epsilon_basic)}, delta {_number(self.delta_basic)} (basic composition)"
        lines.append(f"Per record: {basic}")
        if self.epsilon_zcdp is not None:
            lines.append(
                f"Per record: epsilon {_number(self.epsilon_zcdp)}, delta {_number(self.delta_basic)} "
                f"(zCDP, rho {_number(self.rho)})"
            )
        caps = [f"total epsilon {_number(self.total_epsilon)}"] if self.total_epsilon is not None else []
        caps += [f"total delta {_number(self.total_delta)}"] if self.total_delta is not None else []
        if caps:
            lines.append(f"Budget: {', '.join(caps)} ({self.allocation})")
        if self.differentially_private:
            lines.append(
                f"Differentially private: yes, epsilon {_number(self.epsilon)}, delta {_number(self.delta)} per record"
            )
        else:
            lines.append("Differentially private: no")
            lines.extend(f"  {reason}" for reason in self.reasons)
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()
