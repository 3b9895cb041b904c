import numpy as np
import pandas as pd
import pytest


def mixed(n_rows, seed, shift=0.0):
    """Numbers, an integer, a datetime, categories, a boolean and missing values; the
    structure is fixed, the rows depend on ``seed``; ``shift`` moves every column."""
    rng = np.random.RandomState(seed)
    latent = rng.normal(size=(n_rows, 2))
    labels = np.array(["red", "green", "blue", "grey"], dtype=object)
    logits = np.outer(latent[:, 0], [-1.0, 0.0, 1.0, 0.5]) + shift * np.array([0.0, 1.0, 2.0, 3.0])
    probabilities = np.exp(logits) / np.exp(logits).sum(axis=1, keepdims=True)
    colour = labels[(probabilities.cumsum(axis=1) > rng.uniform(size=(n_rows, 1))).argmax(axis=1)]
    score = latent[:, 0] - latent[:, 1] + rng.normal(scale=0.3, size=n_rows) + shift
    score[rng.uniform(size=n_rows) < 0.1] = np.nan
    return pd.DataFrame(
        {
            "x": latent[:, 0] + shift,
            "y": 2 * latent[:, 0] + latent[:, 1] + shift,
            "count": rng.poisson(3 + 2 * shift, size=n_rows).astype(np.int64),
            "when": pd.Timestamp("2021-01-01")
            + pd.to_timedelta((rng.uniform(0, 365, n_rows) + 100 * shift).astype(int), unit="D"),
            "colour": colour,
            "flag": latent[:, 1] + shift > 0,
            "score": score,
        }
    )


@pytest.fixture(scope="session")
def real():
    return mixed(600, 1)


@pytest.fixture(scope="session")
def same_population(real):
    return mixed(600, 2)


@pytest.fixture(scope="session")
def shifted(real):
    return mixed(600, 3, shift=3.0)
