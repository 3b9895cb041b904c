"""Seeded populations for the property tests of the metrics: draws of one population
differ only in their seed.

- "numeric": five columns, skewed and tied together non-linearly;
- "categorical": eight text columns of 6 to 10 labels driven by two hidden factors and
  three independent columns of 12 labels (rows rarely repeat);
- "mixed": three numbers, an integer count, three text columns and a boolean;
- "discrete": six text columns of 3 to 6 labels driven by one hidden factor, whose
  records repeat by nature (about a quarter of 300 rows, most of 50,000);
- "repeated": each record of the "mixed" population four times (a table whose rows
  repeat although its population's do not).
"""

import numpy as np
import pandas as pd

KINDS = ("numeric", "categorical", "mixed")
REPEATING = ("discrete", "repeated")


def _labels(rng, factor, size, prefix, spread=1.5):
    logits = np.outer(factor, np.linspace(-spread, spread, size))
    probabilities = np.exp(logits)
    probabilities /= probabilities.sum(axis=1, keepdims=True)
    picks = (probabilities.cumsum(axis=1) > rng.uniform(size=(len(factor), 1))).argmax(axis=1)
    return np.array([f"{prefix}{k}" for k in range(size)], dtype=object)[picks]


def draw(kind, n_rows, seed):
    """``n_rows`` rows of the population ``kind``, drawn with ``seed``."""
    if kind == "repeated":
        base = draw("mixed", (n_rows + 3) // 4, seed)
        return pd.concat([base] * 4, ignore_index=True).iloc[:n_rows].reset_index(drop=True)
    rng = np.random.RandomState(seed)
    if kind == "discrete":
        factor = rng.normal(size=n_rows)
        return pd.DataFrame(
            {
                f"d{i}": _labels(rng, factor + 0.5 * rng.normal(size=n_rows), size, f"d{i}_")
                for i, size in enumerate((3, 4, 3, 5, 4, 6))
            }
        )
    z = rng.normal(size=(n_rows, 2))
    if kind == "numeric":
        return pd.DataFrame(
            {
                "a": z[:, 0],
                "b": np.exp(0.6 * z[:, 0] + 0.4 * z[:, 1]),
                "c": z[:, 0] ** 2 + 0.3 * rng.normal(size=n_rows),
                "d": rng.gamma(2.0, 1.0 + np.abs(z[:, 1])),
                "e": 0.8 * z[:, 1] + 0.6 * rng.normal(size=n_rows),
            }
        )
    if kind == "categorical":
        frame = {
            f"c{i}": _labels(rng, z[:, i % 2] + 0.3 * rng.normal(size=n_rows), size, f"c{i}_", spread=2.5)
            for i, size in enumerate((6, 7, 8, 9, 10, 6, 8, 10))
        }
        for i in range(3):
            frame[f"u{i}"] = rng.choice(np.array([f"u{i}_{k}" for k in range(12)], dtype=object), size=n_rows)
        return pd.DataFrame(frame)
    if kind == "mixed":
        return pd.DataFrame(
            {
                "x": z[:, 0],
                "income": np.exp(10 + 0.5 * z[:, 0] + 0.3 * rng.normal(size=n_rows)),
                "ratio": np.tanh(z[:, 1]) + 0.2 * rng.normal(size=n_rows),
                "count": rng.poisson(np.exp(1 + 0.5 * z[:, 1])).astype(np.int64),
                "colour": _labels(rng, z[:, 0], 5, "colour_"),
                "shape": _labels(rng, z[:, 1], 7, "shape_"),
                "size": _labels(rng, z[:, 0] - z[:, 1], 4, "size_"),
                "flag": z[:, 0] + 0.5 * rng.normal(size=n_rows) > 0.3,
            }
        )
    raise ValueError(kind)


def text_columns(frame):
    """The columns a noise mechanism for numbers leaves alone: text, categories, booleans."""
    return [
        column
        for column in frame.columns
        if not pd.api.types.is_numeric_dtype(frame[column].dtype) or pd.api.types.is_bool_dtype(frame[column].dtype)
    ]


def copy_share(real, fresh, share, seed):
    """The real rows at a random share ``share`` of the positions, ``fresh`` rows at the
    others."""
    rng = np.random.RandomState(seed)
    take = rng.uniform(size=len(real)) < share
    mixed = fresh.copy()
    mixed.loc[take] = real.loc[take].to_numpy()
    return mixed.astype(real.dtypes.to_dict())


def bootstrap(real, seed):
    """Rows of ``real`` drawn with replacement."""
    rng = np.random.RandomState(seed)
    return real.iloc[rng.randint(0, len(real), size=len(real))].reset_index(drop=True)


def jitter(real, scale, seed):
    """Numeric columns moved by Gaussian noise of ``scale`` standard deviations."""
    rng = np.random.RandomState(seed)
    noisy = real.copy()
    for column in real.columns:
        if pd.api.types.is_float_dtype(real[column].dtype):
            noisy[column] = real[column] + rng.normal(scale=scale * real[column].std(), size=len(real))
    return noisy


def shuffled(real, seed):
    """Every column permuted on its own: the marginals kept, every dependence lost."""
    rng = np.random.RandomState(seed)
    return pd.DataFrame({column: real[column].to_numpy()[rng.permutation(len(real))] for column in real.columns})


def reflected(real):
    """Every numeric column reflected through its mean."""
    out = real.copy()
    for column in real.columns:
        if pd.api.types.is_numeric_dtype(real[column].dtype) and not pd.api.types.is_bool_dtype(real[column].dtype):
            out[column] = (2 * real[column].mean() - real[column]).astype(real[column].dtype)
    return out


def shifted(real, seed):
    """A fresh draw of ``real``'s population moved away: numbers by three standard
    deviations, text labels replaced by labels the real data does not have."""
    out = draw(_kind_of(real), len(real), seed)
    for column in out.columns:
        values = out[column]
        if pd.api.types.is_float_dtype(values.dtype):
            out[column] = values + 3 * values.std()
        elif values.dtype == object:
            out[column] = "moved_" + values
    return out


def unrelated(real, seed):
    """Values that have nothing to do with the real data: numbers uniform over a range
    ten times as wide, away from the real values, and unknown labels."""
    rng = np.random.RandomState(seed)
    out = {}
    for column in real.columns:
        values = real[column]
        if pd.api.types.is_bool_dtype(values.dtype):
            out[column] = rng.uniform(size=len(real)) < 0.5
        elif pd.api.types.is_numeric_dtype(values.dtype):
            width = float(values.max() - values.min())
            out[column] = (values.max() + width * rng.uniform(1, 11, size=len(real))).astype(values.dtype)
        else:
            out[column] = np.array([f"other_{k}" for k in rng.randint(0, 5, size=len(real))], dtype=object)
    return pd.DataFrame(out)


def collapse(real, n_distinct, seed):
    """``n_distinct`` real records repeated to the real table's length (mode collapse)."""
    rng = np.random.RandomState(seed)
    chosen = real.iloc[rng.choice(len(real), size=n_distinct, replace=False)]
    return chosen.iloc[np.arange(len(real)) % n_distinct].reset_index(drop=True)


def _kind_of(frame):
    for kind in KINDS + REPEATING:
        if list(draw(kind, 2, 0).columns) == list(frame.columns):
            return kind
    raise ValueError("not a frame of these populations")
