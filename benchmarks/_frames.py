"""Synthetic-looking benchmark frames: 20 mixed columns with some structure."""

import numpy as np
import pandas as pd


def mixed_frame(n_rows: int, seed: int, shift: float = 0.0) -> pd.DataFrame:
    """A frame of 20 columns: 8 correlated floats, 3 integers, 1 datetime, 5 categorical
    (strings), 2 booleans and 1 float with missing values. ``shift`` moves the numeric
    distributions, to make a clearly different frame."""
    weights_of = np.random.RandomState(12345).normal(size=(8, 3))
    rng = np.random.RandomState(seed)
    latent = rng.normal(size=(n_rows, 3))
    data = {}
    for i in range(8):
        weights = weights_of[i]
        data[f"num_{i}"] = latent @ weights + rng.normal(scale=0.5, size=n_rows) + shift
    data["age"] = np.clip(np.round(40 + 12 * latent[:, 0] + 5 * shift), 18, 90).astype(np.int64)
    data["children"] = rng.poisson(1.2 + 0.3 * abs(shift), size=n_rows).astype(np.int64)
    data["income"] = np.round(np.exp(10 + 0.4 * latent[:, 1] + 0.2 * shift)).astype(np.int64)
    data["signup"] = pd.Timestamp("2020-01-01") + pd.to_timedelta(
        (rng.uniform(0, 1000, size=n_rows) + 200 * shift).astype(np.int64), unit="D"
    )
    for i, size in enumerate((3, 5, 8, 12, 4)):
        logits = np.outer(latent[:, i % 3], np.linspace(-1, 1, size)) + shift * np.linspace(0, 2, size)
        probabilities = np.exp(logits)
        probabilities /= probabilities.sum(axis=1, keepdims=True)
        picks = (probabilities.cumsum(axis=1) > rng.uniform(size=(n_rows, 1))).argmax(axis=1)
        data[f"cat_{i}"] = np.array([f"c{i}_{k}" for k in range(size)], dtype=object)[picks]
    data["flag_a"] = latent[:, 2] + shift > 0.3
    data["flag_b"] = rng.uniform(size=n_rows) < 0.2 + 0.1 * shift
    with_missing = latent[:, 0] * 2 + rng.normal(size=n_rows) + shift
    with_missing[rng.uniform(size=n_rows) < 0.1] = np.nan
    data["score"] = with_missing
    return pd.DataFrame(data)
