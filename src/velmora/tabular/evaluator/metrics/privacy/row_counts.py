"""Row counts: whether a synthetic table repeats the real table's rows as a whole.

Where every record is common (a table of few discrete values, whose rows all repeat),
no single record is exposed by a copy, and a fresh sample of the population meets each
real record as often as a copy does: the record-level exposure cannot tell them apart.
The table as a whole can: a copy repeats the real table's *counts* of each row, while
an independent sample of the same population differs from them by sampling noise.

The distance is the total variation distance between the real and the synthetic
distributions of whole rows (the coded rows of the real-fitted feature space; a
synthetic value within ``SNAP_SHARE`` of the smallest gap between the values of a
numeric column of few values counts as that value, so that a copy moved by a little
noise counts as a copy). Its chance level is simulated: the distance between two
independent samples of the sizes of the two tables, drawn from the real table's row
distribution (``SIMULATIONS`` seeded draws). This plug-in level is, if anything, lower
than a fresh sample's (the real table concentrates its population on the rows it
holds), so a fresh sample is not mistaken for a copy. For a share f copied and the
rest sampled afresh the distance shrinks to about sqrt(1 - f) times its chance level (a
bootstrap of the real rows: about 0.71 times); a table is *memorised* when its distance
lies ``Z_MEMORISED`` standard deviations of the simulated distances below their mean,
and below ``MAX_RATIO`` times it.
"""

from dataclasses import dataclass
from typing import Dict, Optional

import numpy as np

from .._neighbours import EmbeddedRows

__all__ = ["RowCounts", "row_counts_of"]

# A numeric column is snapped to its real values when it has at most this many of
# them, each shared by at least five rows on average.
MAX_SNAPPED_VALUES = 1000
SNAP_SHARE = 0.25
SIMULATIONS = 30
Z_MEMORISED = 3.0
MAX_RATIO = 0.9
# Tables sharing less than this of their row mass are far from a copy: not simulated.
MAX_DISTANCE = 0.95

_MULTIPLIERS = np.random.RandomState(20261209).randint(1, 2**62, size=4096, dtype=np.int64).astype(np.uint64) | 1


@dataclass(frozen=True)
class RowCounts:
    """The distance between the real and synthetic row distributions, and its chance
    level (mean and standard deviation over independent samples; None when the tables
    are too far apart to be simulated)."""

    distance: float
    chance_distance: Optional[float]
    chance_spread: Optional[float]

    @property
    def memorised(self) -> bool:
        if self.chance_distance is None or self.chance_spread is None:
            return False
        return (
            self.distance < self.chance_distance - Z_MEMORISED * self.chance_spread
            and self.distance < MAX_RATIO * self.chance_distance
        )

    def to_details(self) -> Dict[str, object]:
        return {
            "distance": self.distance,
            "chance_distance": self.chance_distance,
            "chance_spread": self.chance_spread,
            "memorised": self.memorised,
        }


def _snapped(real: np.ndarray, synthetic: np.ndarray, categorical: np.ndarray) -> np.ndarray:
    """The synthetic coded rows with the values of discrete numeric columns moved onto
    the nearest real value when they lie within ``SNAP_SHARE`` of its smallest gap."""
    snapped = synthetic
    for j in np.flatnonzero(categorical == 0):
        grid = np.unique(real[:, j])
        if len(grid) < 2 or len(grid) > MAX_SNAPPED_VALUES or len(grid) * 5 > len(real):
            continue
        tolerance = SNAP_SHARE * float(np.min(np.diff(grid)))
        column = synthetic[:, j]
        at = np.clip(np.searchsorted(grid, column), 1, len(grid) - 1)
        nearest = np.where(np.abs(column - grid[at - 1]) <= np.abs(grid[at] - column), grid[at - 1], grid[at])
        close = (np.abs(column - nearest) <= tolerance) & (column != nearest)
        if close.any():
            if snapped is synthetic:
                snapped = synthetic.copy()
            snapped[close, j] = nearest[close]
    return snapped


def _row_hashes(matrix: np.ndarray) -> np.ndarray:
    """A 64-bit hash of each row's values (-0.0 counted as 0.0)."""
    values = np.ascontiguousarray(matrix + 0.0, dtype=np.float64)
    width = values.shape[1]
    multipliers = np.resize(_MULTIPLIERS, width)
    hashes = np.zeros(len(values), dtype=np.uint64)
    bits = values.view(np.uint64)
    for j in range(width):
        hashes += (bits[:, j] ^ (bits[:, j] >> np.uint64(29))) * multipliers[j]
        hashes ^= hashes >> np.uint64(31)
    return hashes


def row_counts_of(rows: EmbeddedRows, seed: int) -> RowCounts:
    """The ``RowCounts`` of the real and synthetic tables of ``rows`` (made once)."""
    cache = rows.__dict__.setdefault("_row_counts", {})
    if seed not in cache:
        cache[seed] = _measure(rows, seed)
    return cache[seed]


def _measure(rows: EmbeddedRows, seed: int) -> RowCounts:
    n_real, n_synthetic = len(rows.real), len(rows.synthetic)
    if n_real == 0 or n_synthetic == 0 or rows.real.shape[1] == 0:
        return RowCounts(1.0, None, None)
    synthetic = _snapped(rows.real, rows.synthetic, np.asarray(rows.categorical))
    _, ids = np.unique(np.concatenate([_row_hashes(rows.real), _row_hashes(synthetic)]), return_inverse=True)
    ids = ids.ravel()
    cells = int(ids.max()) + 1
    real_share = np.bincount(ids[:n_real], minlength=cells) / n_real
    synthetic_share = np.bincount(ids[n_real:], minlength=cells) / n_synthetic
    distance = 0.5 * float(np.abs(real_share - synthetic_share).sum())
    if distance >= MAX_DISTANCE:
        return RowCounts(distance, None, None)
    population = real_share[real_share > 0]
    rng = np.random.RandomState(seed)
    simulated = np.empty(SIMULATIONS)
    for i in range(SIMULATIONS):
        first = rng.multinomial(n_real, population) / n_real
        second = rng.multinomial(n_synthetic, population) / n_synthetic
        simulated[i] = 0.5 * np.abs(first - second).sum()
    return RowCounts(distance, float(simulated.mean()), float(simulated.std(ddof=1)))
