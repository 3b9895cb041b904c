"""The module against the plain pandas/numpy transcription in noiseforge_reference:
random frames and seeds, exact equality, and the input never modified."""

import noiseforge_reference as reference
import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmora.core_generator.noiseforge import NoiseforgeProcessor

COLUMN_KINDS = [
    "float64",
    "float64_nan",
    "float64_whole",
    "float64_inf",
    "float32",
    "float32_nan",
    "int64",
    "int64_low",
    "int32",
    "uint8",
    "constant",
    "bool",
    "object_str",
    "object_str_nan",
    "object_mixed",
    "category",
    "category_unused",
    "datetime",
    "nullable_int",
    "object_numbers",
    "all_nan",
    "object_str_many",
    "category_many",
    "float64_tiny_range",
    "object_str_kept",
    "string_python",
    "string_pyarrow",
]
# Text in the dtype each pandas major reads it into (object columns under pandas 2, str
# under pandas 3), text kept in object columns under both, and pandas' StringDtype.
STRING_STORAGE = {"string_python": "python", "string_pyarrow": "pyarrow"}


def make_column(kind, rows, rng):
    missing = rng.random(rows) < rng.choice([0.0, 0.01, 0.3])
    if kind == "float64":
        return rng.normal(rng.uniform(-1e3, 1e3), rng.uniform(0.01, 100), rows)
    if kind == "float64_nan":
        return np.where(missing, np.nan, rng.normal(0, 5, rows))
    if kind == "float64_whole":
        return np.where(missing, np.nan, rng.integers(-50, 50, rows).astype(np.float64))
    if kind == "float64_inf":
        values = rng.normal(0, 1, rows)
        values[rng.random(rows) < 0.01] = np.inf
        return values
    if kind == "float32":
        return rng.normal(0, 3, rows).astype(np.float32)
    if kind == "float32_nan":
        return np.where(missing, np.nan, rng.integers(0, 40, rows)).astype(np.float32)
    if kind == "int64":
        return rng.integers(-(10**12), 10**12, rows)
    if kind == "int64_low":
        return rng.integers(0, rng.integers(1, 14), rows)
    if kind == "int32":
        return rng.integers(-1000, 1000, rows).astype(np.int32)
    if kind == "uint8":
        return rng.integers(0, 255, rows).astype(np.uint8)
    if kind == "constant":
        return np.full(rows, rng.choice([0, 7, -3]), dtype=np.int64)
    if kind == "bool":
        return rng.random(rows) < 0.3
    if kind in STRING_STORAGE:
        values = make_column("object_str_nan", rows, rng)
        return pd.array(values, dtype=pd.StringDtype(STRING_STORAGE[kind]))
    if kind == "object_str_kept":
        return pd.Series(make_column("object_str_nan", rows, rng), dtype=object)
    if kind in ("object_str", "object_str_nan"):
        labels = np.array([f"v{i}" for i in range(rng.integers(1, 30))], dtype=object)
        values = labels[rng.integers(0, len(labels), rows)]
        if kind == "object_str_nan":
            values = np.where(missing, rng.choice([None, np.nan]), values)
        return values
    if kind == "object_mixed":
        pool = np.empty(5, dtype=object)
        pool[:] = [1, "1", 2.5, "x", None]
        return pool[rng.integers(0, 5, rows)]
    if kind == "category":
        return pd.Categorical(rng.choice(["lo", "mid", "hi"], rows))
    if kind == "category_unused":
        return pd.Categorical(np.where(missing, None, rng.choice(["a", "b"], rows)), categories=["z", "a", "b", "y"])
    if kind == "datetime":
        return pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.integers(0, 10**6, rows), unit="s")
    if kind == "nullable_int":
        return pd.array(np.where(missing, None, rng.integers(0, 1000, rows)), dtype="Int64")
    if kind == "object_numbers":
        return pd.Series(rng.integers(0, 100, rows), dtype=object).to_numpy()
    if kind == "object_str_many":
        labels = np.array([f"label-{i}" for i in range(rng.integers(30, 1200))], dtype=object)
        values = labels[np.minimum(rng.geometric(0.004, rows) - 1, len(labels) - 1)]
        return np.where(missing, None, values)
    if kind == "category_many":
        return pd.Categorical(rng.integers(0, 400, rows), categories=np.arange(-5, 450))
    if kind == "float64_tiny_range":
        return 1e300 + np.where(missing, np.nan, rng.integers(0, 3, rows) * 1e285)
    if kind == "all_nan":
        return np.full(rows, np.nan)
    raise AssertionError(kind)


def make_index(kind, rows, rng):
    if kind == "range":
        return pd.RangeIndex(rows)
    if kind == "shuffled":
        return pd.Index(rng.permutation(rows) * 3 + 5)
    if kind == "duplicated":
        return pd.Index(rng.integers(0, max(rows // 4, 1), rows))
    return pd.Index([f"r{i % max(rows // 2, 1)}" for i in range(rows)])


@st.composite
def frames(draw):
    rows = draw(st.one_of(st.integers(0, 40), st.integers(41, 3000)))
    kinds = draw(st.lists(st.sampled_from(COLUMN_KINDS), min_size=1, max_size=7))
    index_kind = draw(st.sampled_from(["range", "shuffled", "duplicated", "strings"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    index = make_index(index_kind, rows, rng)
    columns = {}
    for i, kind in enumerate(kinds):
        column = make_column(kind, rows, rng)
        columns[f"{kind}_{i}"] = column.set_axis(index) if isinstance(column, pd.Series) else column
    return pd.DataFrame(columns, index=index)


settings_for_frames = settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large]
)


def outcome(function):
    """The function's result, or the type and text of the exception it raised."""
    try:
        return "value", function()
    except Exception as error:  # the two sides must fail the same way
        return "error", (type(error), str(error))


def assert_same(actual, expected):
    assert actual[0] == expected[0], (actual, expected)
    if actual[0] == "value":
        if isinstance(actual[1], pd.DataFrame):
            pd.testing.assert_frame_equal(actual[1], expected[1], check_exact=True)
        else:
            assert actual[1] == expected[1]
    else:
        assert actual[1] == expected[1]


@pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
@settings_for_frames
@given(
    df=frames(),
    seed=st.integers(0, 2**32 - 1),
    epsilon=st.sampled_from([1.0, 0.5, 3.0]),
    preserve=st.sampled_from([None, [], "first"]),
)
def test_apply_dp_matches_the_transcription(method, df, seed, epsilon, preserve):
    if preserve == "first":
        preserve = [df.columns[0], "absent"]
    before = df.copy()
    processor = NoiseforgeProcessor(epsilon=epsilon, random_state=seed)
    actual = outcome(lambda: processor.apply_dp(df, method=method, preserve_columns=preserve))
    after_actual = np.random.random()
    np.random.seed(seed)
    expected = outcome(lambda: reference.apply_dp(df, method=method, preserve_columns=preserve, epsilon=epsilon))
    assert_same(actual, expected)
    assert after_actual == np.random.random()
    pd.testing.assert_frame_equal(df, before, check_exact=True)


@settings_for_frames
@given(df=frames(), seed=st.integers(0, 2**32 - 1))
def test_column_typing_matches_the_transcription(df, seed):
    assert NoiseforgeProcessor()._detect_column_types(df) == reference.detect_column_types(df)


@pytest.mark.parametrize("step", ["numerical", "categorical", "minimal"])
@settings_for_frames
@given(df=frames(), seed=st.integers(0, 2**32 - 1), repeat=st.booleans())
def test_each_pass_matches_the_transcription(step, df, seed, repeat):
    # The passes also take lists that were not made by the column typing: every column,
    # possibly twice, and a label that is absent.
    cols = list(df.columns) * (2 if repeat else 1) + ["absent"]
    before = df.copy()
    processor = NoiseforgeProcessor(random_state=seed)
    if step == "numerical":
        numeric = [c for c in cols if c == "absent" or pd.api.types.is_numeric_dtype(df[c])]
        actual = outcome(lambda: processor._apply_numerical_dp(df, numeric))
        np.random.seed(seed)
        expected = outcome(lambda: reference.apply_numerical_dp(df, numeric))
    elif step == "categorical":
        actual = outcome(lambda: processor._apply_categorical_dp(df, cols))
        np.random.seed(seed)
        expected = outcome(lambda: reference.apply_categorical_dp(df, cols))
    else:
        actual = outcome(lambda: processor._apply_minimal_noise(df))
        np.random.seed(seed)
        expected = outcome(lambda: reference.apply_minimal_noise(df))
    assert_same(actual, expected)
    pd.testing.assert_frame_equal(df, before, check_exact=True)


def odd_layout_frames():
    rng = np.random.default_rng(3)
    rows = 700
    block = rng.normal(0, 10, (rows, 3))
    block[::9, 1] = np.nan
    strided = pd.DataFrame(block, columns=["a", "b", "c"])  # columns are strided views
    # pandas itself refuses big-endian buffers; float16 and uint16 take the plain route.
    other_types = pd.DataFrame(
        {"half": rng.normal(0, 1, rows).astype(np.float16), "u16": rng.integers(0, 60000, rows).astype(np.uint16)}
    )
    reversed_ints = pd.DataFrame(
        {"r": rng.integers(0, 10**6, rows)[::-1], "s": np.arange(rows, dtype=np.int32)[::-2].repeat(2)[:rows]}
    )
    text = np.array([f"t{i % 37}" for i in range(rows)], dtype=object)
    strided_text = pd.DataFrame(np.stack([text, text[::-1]], axis=1), columns=["x", "y"])
    return [strided, other_types, reversed_ints, strided_text]


@pytest.mark.parametrize("df", odd_layout_frames(), ids=["strided", "other-types", "reversed", "strided-objects"])
@pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
def test_odd_layouts_and_dtypes(df, method):
    before = df.copy()
    actual = NoiseforgeProcessor(random_state=4).apply_dp(df, method=method)
    np.random.seed(4)
    expected = reference.apply_dp(df, method=method)
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)
    pd.testing.assert_frame_equal(df, before, check_exact=True)


@pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
def test_output_shares_no_memory_with_the_input(method):
    rng = np.random.default_rng(8)
    df = pd.DataFrame(
        {
            "x": rng.normal(size=200),
            "n": rng.integers(0, 5, 200),
            "when": pd.date_range("2020", periods=200),
            "t": rng.choice(["a", "b"], 200).astype(object),
            "keep": rng.normal(size=200),
        }
    )
    out = NoiseforgeProcessor(random_state=1).apply_dp(df, method=method, preserve_columns=["keep"])
    for col in df.columns:
        assert not np.shares_memory(out[col].to_numpy(), df[col].to_numpy()), col
    out.iloc[0, :] = out.iloc[1, :].to_numpy()
    assert df["when"].iloc[0] == pd.Timestamp("2020-01-01")


def test_repeated_calls_keep_memory_flat():
    import tracemalloc

    rng = np.random.default_rng(9)
    df = pd.DataFrame({"x": rng.normal(size=20000), "t": rng.choice(["a", "b", "c"], 20000).astype(object)})
    processor = NoiseforgeProcessor(random_state=0)
    for method in ("laplace", "gaussian", "minimal"):
        processor.apply_dp(df, method=method)
    tracemalloc.start()
    for _ in range(3):
        for method in ("laplace", "gaussian", "minimal"):
            processor.apply_dp(df, method=method)
    first, _ = tracemalloc.get_traced_memory()
    for _ in range(10):
        for method in ("laplace", "gaussian", "minimal"):
            processor.apply_dp(df, method=method)
    second, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert second - first < 200_000


def same_generator_state(a, b):
    return a[0] == b[0] and np.array_equal(a[1], b[1]) and a[2:] == b[2:]


def drawn_after(seed, cached, function):
    """The function's outcome and numpy's global state after it, from a seeded state
    that holds a cached second normal when `cached` (the legacy sampler keeps one)."""
    np.random.seed(seed)
    if cached:
        np.random.normal()
    result = outcome(function)
    return result, np.random.get_state()


@pytest.mark.parametrize("cached", [False, True], ids=["no-cached-normal", "cached-normal"])
@pytest.mark.parametrize("method", ["laplace", "gaussian", "minimal"])
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(df=frames(), seed=st.integers(0, 2**32 - 1))
def test_native_draws_leave_the_generator_as_numpy_would(method, cached, df, seed):
    actual, actual_state = drawn_after(seed, cached, lambda: NoiseforgeProcessor().apply_dp(df, method=method))
    expected, expected_state = drawn_after(seed, cached, lambda: reference.apply_dp(df, method=method))
    assert_same(actual, expected)
    assert same_generator_state(actual_state, expected_state)


@pytest.mark.parametrize("cached", [False, True], ids=["no-cached-normal", "cached-normal"])
@pytest.mark.parametrize("method", ["laplace", "gaussian", "minimal"])
def test_columns_large_enough_for_every_core(method, cached):
    # Above the size at which the transforms run on several threads; odd counts leave a
    # normal cached, missing values shift the draws against the rows.
    rng = np.random.default_rng(11)
    rows = 150_001
    floats = rng.normal(50, 10, rows)
    floats[rng.random(rows) < 0.05] = np.nan
    df = pd.DataFrame(
        {"f": floats, "i": rng.integers(-(10**6), 10**6, rows), "g": rng.normal(0, 1, rows).astype(np.float32)}
    )
    actual, actual_state = drawn_after(7, cached, lambda: NoiseforgeProcessor().apply_dp(df, method=method))
    expected, expected_state = drawn_after(7, cached, lambda: reference.apply_dp(df, method=method))
    assert_same(actual, expected)
    assert same_generator_state(actual_state, expected_state)
