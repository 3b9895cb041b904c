"""A straightforward pandas/numpy transcription of the noise processor's algorithm.

The differential tests compare the extension module against these functions with
exact equality: same random draws from numpy's global legacy generator, in the same
order, and the same frame bit for bit. Eight behaviours differ from a naive reading:

- noisy values are written back by position (the column's non-missing rows), so
  repeated row labels hit the right rows;
- the categorical redraw of a column whose values are of mixed Python types draws
  indices (same call shape, same random stream) and keeps the original objects;
- a category column's unused categories (count 0) get no noisy count (their noise
  is still drawn, so the random stream is the same);
- timedelta columns, which pandas counts among numbers, are left untouched;
- an integer column's range is taken in Python ints, so it cannot overflow its dtype;
- category counts are ordered as pandas 2's value_counts() orders them, also under
  pandas 3 (whose stable sort orders equal counts differently);
- text columns in pandas' string dtype are categorical, and a redrawn text column keeps
  its dtype (object, or its string dtype);
- noisy values a column's dtype cannot hold make it float64 before they are written, as
  pandas 2 did on its own (pandas 3 refuses such a write).
"""

import numpy as np
import pandas as pd


def number_columns(df):
    return df.select_dtypes(include=[np.number], exclude=["timedelta"]).columns


def observed_range(col_data):
    if pd.api.types.is_integer_dtype(col_data.dtype):
        return int(col_data.max()) - int(col_data.min())
    return col_data.max() - col_data.min()


CATEGORICAL_DTYPES = ["object", "string", "category", "bool"]


def detect_column_types(df):
    numerical_cols = number_columns(df).tolist()
    categorical_cols = df.select_dtypes(include=CATEGORICAL_DTYPES).columns.tolist()
    threshold = min(10.0, 0.1 * len(df))
    for col in list(numerical_cols):
        if df[col].nunique() <= threshold:
            categorical_cols.append(col)
            numerical_cols.remove(col)
    return numerical_cols, categorical_cols


def add_laplace_noise(data, sensitivity, epsilon):
    scale = float(sensitivity) / epsilon
    return data + np.random.laplace(0, scale, data.shape)


def add_gaussian_noise(data, sensitivity, epsilon, delta):
    factor = float(np.sqrt(2 * np.log(1.25 / delta)))
    sigma = factor * float(sensitivity) / epsilon
    return data + np.random.normal(0, sigma, data.shape)


def _write_back(df_dp, col, source, values):
    positions = np.flatnonzero(source.notna().to_numpy())
    dtype = df_dp[col].dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "iuf" and values.dtype.kind == "f":
        if not np.array_equal(values.astype(dtype), values, equal_nan=dtype.kind == "f"):
            df_dp[col] = df_dp[col].astype(np.float64)
    df_dp.iloc[positions, df_dp.columns.get_loc(col)] = values


def apply_numerical_dp(df, numerical_cols, epsilon=1.0, noise_scale=0.1):
    df_dp = df.copy()
    for col in numerical_cols:
        if col not in df.columns:
            continue
        col_data = df[col].dropna()
        if len(col_data) == 0:
            continue
        try:
            is_integer = bool(np.all(np.mod(col_data, 1) == 0))
        except Exception:
            is_integer = False
        data_range = observed_range(col_data)
        if data_range == 0:
            data_range = 1.0
        sensitivity = data_range * noise_scale
        noisy_data = add_laplace_noise(col_data.values, sensitivity, epsilon)
        _write_back(df_dp, col, df[col], noisy_data)
        df_dp[col] = np.clip(df_dp[col], col_data.min() - data_range * 0.1, col_data.max() + data_range * 0.1)
        if is_integer:
            df_dp[col] = df_dp[col].round()
    return df_dp


def _homogeneous(values):
    return len({type(value) for value in values}) <= 1


def apply_categorical_dp(df, categorical_cols, epsilon=1.0):
    df_dp = df.copy()
    for col in categorical_cols:
        if col not in df.columns:
            continue
        # pandas 2's value_counts() order under both majors (pandas 3 sorts stably).
        value_counts = df[col].value_counts(sort=False).sort_values(ascending=False)
        total_count = len(df[col].dropna())
        if total_count == 0:
            continue
        noisy_counts = {}
        for value, count in value_counts.items():
            noise = np.random.laplace(0, 1.0 / epsilon)
            if count == 0:
                continue
            noisy_counts[value] = count + noise if count + noise > 0 else 0
        total_noisy = sum(noisy_counts.values())
        if total_noisy > 0:
            probabilities = {k: v / total_noisy for k, v in noisy_counts.items()}
        else:
            probabilities = {k: 1.0 / len(noisy_counts) for k in noisy_counts}
        unique_values = list(probabilities.keys())
        probs = np.array(list(probabilities.values()))
        probs = probs / np.sum(probs)
        if _homogeneous(unique_values) and _one_dimensional(unique_values):
            new_values = np.random.choice(unique_values, size=len(df), p=probs)
        else:
            originals = np.empty(len(unique_values), dtype=object)
            for i, value in enumerate(unique_values):
                originals[i] = value
            new_values = originals[np.random.choice(len(unique_values), size=len(df), p=probs)]
        if isinstance(df[col].dtype, pd.StringDtype):
            new_values = pd.array(new_values, dtype=df[col].dtype)
        elif df[col].dtype == object and (
            new_values.dtype.kind == "U" or pd.api.types.infer_dtype(new_values, skipna=True) == "string"
        ):
            new_values = pd.Series(new_values.astype(object), index=df_dp.index, dtype=object)
        df_dp[col] = new_values
    return df_dp


def _one_dimensional(values):
    """Whether numpy makes a plain 1-D array of the values (tuples make it 2-D)."""
    try:
        return np.array(values).ndim == 1
    except Exception:
        return False


def apply_minimal_noise(df, categorical_noise_prob=0.05, numerical_noise_std=0.01):
    df_dp = df.copy()
    for col in number_columns(df):
        noise = np.random.normal(0, numerical_noise_std, len(df))
        df_dp[col] = df[col] + noise
    for col in df.select_dtypes(include=CATEGORICAL_DTYPES).columns:
        random_values = np.random.random(len(df))
        mask = random_values < categorical_noise_prob
        if not mask.any():
            continue
        unique_values = df[col].dropna().unique()
        if len(unique_values) < 2:
            continue
        new_values = np.random.choice(unique_values, size=mask.sum())
        df_dp.loc[mask, col] = new_values
    return df_dp


def apply_dp(df, method="minimal", preserve_columns=None, epsilon=1.0, delta=1e-5, noise_scale=0.1):
    """The driver; preserved columns get the input's values back after "minimal"."""
    if df.empty:
        return df
    numerical_cols, categorical_cols = detect_column_types(df)
    if preserve_columns:
        numerical_cols = [c for c in numerical_cols if c not in preserve_columns]
        categorical_cols = [c for c in categorical_cols if c not in preserve_columns]
    df_dp = df.copy()
    if method == "minimal":
        df_dp = apply_minimal_noise(df_dp)
        for col in preserve_columns or []:
            if col in df.columns:
                df_dp[col] = df[col].copy()
    elif method == "laplace":
        df_dp = apply_numerical_dp(df_dp, numerical_cols, epsilon, noise_scale)
        df_dp = apply_categorical_dp(df_dp, categorical_cols, epsilon)
    elif method == "gaussian":
        for col in numerical_cols:
            if col not in df_dp.columns:
                continue
            col_data = df_dp[col].dropna()
            if len(col_data) == 0:
                continue
            data_range = observed_range(col_data)
            if data_range == 0:
                data_range = 1.0
            sensitivity = data_range * noise_scale
            noisy_data = add_gaussian_noise(col_data.values, sensitivity, epsilon, delta)
            _write_back(df_dp, col, df_dp[col], noisy_data)
        df_dp = apply_categorical_dp(df_dp, categorical_cols, epsilon)
    else:
        raise ValueError(f"Unknown method: {method}. Use 'minimal', 'laplace', or 'gaussian'")
    return df_dp
