"""The sampled feature spaces and nearest-neighbour distances of the distance-based
metrics (alpha-precision, beta-recall, distance to closest record, membership
inference)."""

from typing import Dict, Optional, Tuple

import numpy as np
import pandas as pd

from . import _kernels
from ._data import FeatureSpace, check_frames, sample_positions, take_rows

# Pairwise metrics are exact over frames up to this many rows; above it they use a
# seeded sample of this many rows per frame.
DEFAULT_MAX_ROWS = 10000


def embed(
    real: pd.DataFrame, synthetic: pd.DataFrame, max_rows: Optional[int], seed: int
) -> Tuple[np.ndarray, np.ndarray, Dict[str, object]]:
    """Both frames in the real-fitted ``FeatureSpace``, each sampled (seeded) down to
    ``max_rows`` rows when larger, and the figures to record in details."""
    check_frames(real, synthetic)
    rng = np.random.RandomState(seed)
    space = FeatureSpace(real, synthetic)
    real_positions = sample_positions(len(real), max_rows, rng)
    synthetic_positions = sample_positions(len(synthetic), max_rows, rng)
    x = space.transform(take_rows(real, real_positions))
    y = space.transform(take_rows(synthetic, synthetic_positions))
    details: Dict[str, object] = {
        "n_real": len(x),
        "n_synthetic": len(y),
        "sampled": real_positions is not None or synthetic_positions is not None,
        "max_rows": max_rows,
        "n_features": space.n_features,
        "random_seed": seed,
    }
    if space.skipped:
        details["skipped"] = dict(space.skipped)
    return x, y, details


def nearest(
    query: np.ndarray, reference: np.ndarray, k: int = 1, exclude_self: bool = False
) -> Tuple[np.ndarray, np.ndarray]:
    """Distances to the ``k``-th nearest reference row and the nearest row's position."""
    distances, positions = _kernels.nearest_neighbours(query, reference, k=k, exclude_self=exclude_self)
    return distances[:, k - 1], positions[:, 0]
