"""The column passes: numerical, categorical and minimal perturbation, and the three
repaired behaviours (repeated row labels, mixed-type categories, unused categories)."""

import datetime

import noiseforge_reference as reference
import numpy as np
import pandas as pd
import pytest

from velmora.core_generator.noiseforge import NoiseforgeProcessor


def laplace_draws(scale, count):
    return np.random.laplace(0, scale, count)


class TestNumerical:
    def test_integer_column_scale_clip_and_rounding(self):
        df = pd.DataFrame({"x": [10, 20, 30]})
        np.random.seed(0)
        out = NoiseforgeProcessor()._apply_numerical_dp(df, ["x"])
        np.random.seed(0)
        expected = np.clip(np.array([10, 20, 30]) + laplace_draws(2.0, 3), 8.0, 32.0).round()
        assert out["x"].dtype == np.float64
        assert np.array_equal(out["x"].to_numpy(), expected)

    @pytest.mark.parametrize("values, rounded", [([1.5, 2.5], False), ([1.0, 2.0, 4.0], True)])
    def test_rounding_only_for_whole_numbers(self, values, rounded):
        df = pd.DataFrame({"x": values})
        out = NoiseforgeProcessor(random_state=1)._apply_numerical_dp(df, ["x"])
        assert bool((out["x"] == out["x"].round()).all()) is rounded

    def test_constant_column(self):
        out = NoiseforgeProcessor(random_state=2)._apply_numerical_dp(pd.DataFrame({"x": [5] * 50}), ["x"])
        assert (out["x"] == 5.0).all()

    def test_missing_values_stay_missing_and_draw_nothing(self):
        df = pd.DataFrame({"x": [1.0, np.nan, 3.0, np.nan, 4.5]})
        np.random.seed(3)
        out = NoiseforgeProcessor()._apply_numerical_dp(df, ["x", "absent"])
        following = np.random.random()
        np.random.seed(3)
        noise = laplace_draws(0.35, 3)
        assert following == np.random.random()
        assert out["x"].isna().tolist() == [False, True, False, True, False]
        assert np.array_equal(out["x"].dropna().to_numpy(), np.clip([1.0, 3.0, 4.5] + noise, 0.65, 4.85))

    def test_all_missing_column_is_left_and_input_untouched(self):
        df = pd.DataFrame({"x": [np.nan, np.nan], "y": [1.0, 2.0]})
        before = df.copy()
        out = NoiseforgeProcessor(random_state=1)._apply_numerical_dp(df, ["x"])
        pd.testing.assert_frame_equal(out, before)
        assert out is not df
        pd.testing.assert_frame_equal(df, before)

    def test_column_list_must_be_a_list(self):
        with pytest.raises(
            TypeError, match=r"Argument 'numerical_cols' has incorrect type \(expected list, got tuple\)"
        ):
            NoiseforgeProcessor()._apply_numerical_dp(pd.DataFrame({"x": [1]}), ("x",))
        with pytest.raises(TypeError, match="expected list, got NoneType"):
            NoiseforgeProcessor()._apply_categorical_dp(pd.DataFrame({"x": [1]}), None)

    def test_zero_epsilon(self):
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            NoiseforgeProcessor(epsilon=0)._apply_numerical_dp(pd.DataFrame({"x": [1.0, 2.0]}), ["x"])
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            NoiseforgeProcessor(epsilon=0)._apply_categorical_dp(pd.DataFrame({"x": ["a"]}), ["x"])

    def test_integer_test_failure_counts_as_not_whole(self):
        # np.mod is not defined for complex numbers: the test fails, the whole-valued
        # column counts as not whole, and the noisy values are not rounded.
        df = pd.DataFrame({"x": np.array([1 + 0j, 3 + 0j, 2 + 0j])})
        out = NoiseforgeProcessor(random_state=0)._apply_numerical_dp(df, ["x"])
        assert (out["x"].to_numpy().real != np.round(out["x"].to_numpy().real)).all()


class TestCategorical:
    def test_draw_counts_and_values(self):
        df = pd.DataFrame({"c": ["A", "A", "B", None]})
        np.random.seed(4)
        out = NoiseforgeProcessor()._apply_categorical_dp(df, ["c"])
        following = np.random.random()
        np.random.seed(4)
        noise = np.array([np.random.laplace(0, 1.0), np.random.laplace(0, 1.0)])
        noisy = np.maximum(np.array([2.0, 1.0]) + noise, 0)
        probs = noisy / noisy.sum() if noisy.sum() > 0 else np.array([0.5, 0.5])
        drawn = np.random.choice(["A", "B"], size=4, p=probs / probs.sum())
        assert following == np.random.random()
        assert out["c"].tolist() == drawn.tolist()
        assert out["c"].notna().all()

    def test_tiny_epsilon_falls_back_to_uniform(self):
        df = pd.DataFrame({"c": ["a", "b", "b"]})
        np.random.seed(2)
        noises = [np.random.laplace(0, 1000.0) for _ in range(2)]
        assert 2 + noises[0] <= 0 and 1 + noises[1] <= 0  # both noisy counts come out 0
        uniform = np.random.choice(["b", "a"], size=3, p=[0.5, 0.5])
        np.random.seed(2)
        out = NoiseforgeProcessor(epsilon=0.001)._apply_categorical_dp(df, ["c"])
        assert out["c"].tolist() == uniform.tolist()

    def test_all_missing_column_draws_nothing(self):
        df = pd.DataFrame({"c": [None, None]}, dtype=object)
        np.random.seed(5)
        out = NoiseforgeProcessor()._apply_categorical_dp(df, ["c"])
        following = np.random.random()
        np.random.seed(5)
        assert following == np.random.random()
        pd.testing.assert_frame_equal(out, df)

    def test_unused_categories_never_appear(self):
        column = pd.Categorical(["x"] * 30 + ["y"] * 30, categories=["w", "x", "y", "z"])
        df = pd.DataFrame({"c": column})
        for seed in range(20):
            out = NoiseforgeProcessor(epsilon=0.01, random_state=seed)._apply_categorical_dp(df, ["c"])
            assert set(out["c"]) <= {"x", "y"}

    def test_unused_categories_still_draw_their_count_noise(self):
        # One Laplace draw per counted category, unused ones included, keeps the random
        # stream of every later column as it is; the unused ones just get no probability.
        df = pd.DataFrame({"c": pd.Categorical(["x", "y", "x"], categories=["x", "y", "z"])})
        np.random.seed(6)
        NoiseforgeProcessor()._apply_categorical_dp(df, ["c"])
        following = np.random.random()
        np.random.seed(6)
        for _ in range(3):
            np.random.laplace(0, 1.0)
        np.random.random(3)
        assert following == np.random.random()

    @pytest.mark.parametrize(
        "values",
        [[1, "a", 1, "a", "b"], [1, 2.5, 1, 2.5], [True, "yes", "yes"], [("t", 1), "s", ("t", 1)]],
        ids=["int-str", "int-float", "bool-str", "tuple-str"],
    )
    def test_mixed_types_keep_their_objects(self, values):
        df = pd.DataFrame({"c": pd.Series(values, dtype=object)})
        out = NoiseforgeProcessor(random_state=7)._apply_categorical_dp(df, ["c"])
        originals = {(type(v), v) for v in values}
        assert out["c"].dtype == object
        assert {(type(v), v) for v in out["c"]} <= originals

    @pytest.mark.parametrize(
        "values", [[("t", 1), ("u", 2), ("t", 1)], [(1, 2), (3,), (1, 2)]], ids=["pairs", "ragged"]
    )
    def test_columns_of_tuples_are_redrawn_not_refused(self, values):
        df = pd.DataFrame({"c": pd.Series(values, dtype=object)})
        out = NoiseforgeProcessor(random_state=7)._apply_categorical_dp(df, ["c"])
        following = np.random.random()
        labels = pd.DataFrame({"c": pd.Series([str(v) for v in values], dtype=object)})
        as_text = NoiseforgeProcessor(random_state=7)._apply_categorical_dp(labels, ["c"])
        assert following == np.random.random()  # the same random numbers as any other column
        assert out["c"].dtype == object
        assert out["c"].map(str).tolist() == as_text["c"].tolist()
        assert all(type(v) is tuple for v in out["c"])

    def test_mixed_types_use_the_same_random_stream(self):
        mixed = pd.DataFrame({"c": pd.Series([1, "a", "a", 1, "a"], dtype=object)})
        plain = pd.DataFrame({"c": pd.Series(["1", "a", "a", "1", "a"], dtype=object)})
        first = NoiseforgeProcessor(random_state=8)._apply_categorical_dp(mixed, ["c"])
        following = np.random.random()
        second = NoiseforgeProcessor(random_state=8)._apply_categorical_dp(plain, ["c"])
        assert following == np.random.random()
        assert first["c"].map(str).tolist() == second["c"].tolist()

    @pytest.mark.parametrize(
        "values, dtype",
        [(["p", "q", "p"], object), ([1, 2, 2, 1], np.int64), ([0.5, 1.5, 0.5], np.float64), ([True, False], bool)],
    )
    def test_homogeneous_columns_come_back_as_numpy_draws_them(self, values, dtype):
        df = pd.DataFrame({"c": pd.Series(values, dtype=dtype)})
        out = NoiseforgeProcessor(random_state=9)._apply_categorical_dp(df, ["c"])
        assert out["c"].dtype == dtype
        assert {type(v) for v in out["c"].tolist()} == {type(v) for v in df["c"].tolist()}

    # Text as pandas reads it (object under pandas 2, str under pandas 3), and in
    # pandas' StringDtype: categorical, redrawn with the object column's random numbers,
    # and kept in its dtype (the redraw has no missing value).
    @pytest.mark.parametrize(
        "dtype",
        [None, object, pd.StringDtype("python"), pd.StringDtype("pyarrow")],
        ids=["default", "object", "string-python", "string-pyarrow"],
    )
    def test_text_columns_of_every_dtype_are_redrawn_alike(self, dtype):
        values = ["p", "q", None, "p", "r", "q", "p"] * 30
        df = pd.DataFrame({"c": pd.Series(values, dtype=dtype), "n": np.arange(210.0)})
        processor = NoiseforgeProcessor(random_state=9)
        assert processor._detect_column_types(df) == (["n"], ["c"])
        out = processor.apply_dp(df, method="laplace")
        following = np.random.random()
        expected = NoiseforgeProcessor(random_state=9).apply_dp(df.astype({"c": object}), method="laplace")
        assert following == np.random.random()
        assert out["c"].dtype == df["c"].dtype
        assert out["c"].tolist() == expected["c"].tolist()
        assert set(out["c"]) <= {"p", "q", "r"}


class TestRepeatedRowLabels:
    @pytest.mark.parametrize("method", ["laplace", "gaussian"])
    def test_noise_lands_on_the_right_rows(self, method):
        index = [0, 0, 1, 1, 1, 2] * 10
        values = np.tile([1.0, np.nan, 100.0, 50.0, np.nan, 75.0], 10)
        df = pd.DataFrame({"x": values + np.arange(60) * 0.01}, index=index)
        out = NoiseforgeProcessor(random_state=10).apply_dp(df, method=method)
        np.random.seed(10)
        expected = reference.apply_dp(df, method=method)
        pd.testing.assert_frame_equal(out, expected, check_exact=True)
        assert out["x"].isna().tolist() == df["x"].isna().tolist()
        assert out.index.tolist() == index
        # Each non-missing cell moved by its own noise: no row got another's value.
        assert (out["x"].dropna() - df["x"].dropna()).abs().max() < 200

    def test_unique_labels_give_the_label_based_result(self):
        df = pd.DataFrame({"x": [3.0, np.nan, 7.0, 9.0, 1.0]}, index=[40, 30, 20, 10, 0])
        out = NoiseforgeProcessor(random_state=11)._apply_numerical_dp(df, ["x"])
        np.random.seed(11)
        by_label = df.copy()
        col_data = df["x"].dropna()
        by_label.loc[col_data.index, "x"] = col_data.values + np.random.laplace(0, 0.8, 4)
        by_label["x"] = np.clip(by_label["x"], 0.2, 9.8).round()
        pd.testing.assert_frame_equal(out, by_label, check_exact=True)


class TestMinimal:
    def test_draw_order_and_values(self):
        rows = 1000
        df = pd.DataFrame({"n": np.arange(rows) * 1.0, "c": np.where(np.arange(rows) % 2, "u", "v").astype(object)})
        np.random.seed(12)
        out = NoiseforgeProcessor()._apply_minimal_noise(df)
        following = np.random.random()
        np.random.seed(12)
        noise = np.random.normal(0, 0.01, rows)
        mask = np.random.random(rows) < 0.05
        redrawn = np.random.choice(np.array(["v", "u"], dtype=object), size=mask.sum())
        assert following == np.random.random()
        assert np.array_equal(out["n"].to_numpy(), df["n"].to_numpy() + noise)
        assert out.loc[mask, "c"].tolist() == redrawn.tolist()
        assert out.loc[~mask, "c"].tolist() == df.loc[~mask, "c"].tolist()

    def test_integer_column_becomes_float_and_scale_is_absolute(self):
        df = pd.DataFrame({"i": [1000, 1001, 1002] * 100, "small": np.linspace(0, 0.05, 300)})
        out = NoiseforgeProcessor(random_state=13)._apply_minimal_noise(df)
        assert out["i"].dtype == np.float64
        assert (out["i"] != out["i"].round()).all()
        assert ((out["i"] - df["i"]).abs() < 0.1).all()
        assert (out["small"] - df["small"]).abs().max() > 0.01

    def test_single_value_column_draws_uniforms_only(self):
        df = pd.DataFrame({"c": ["same"] * 999 + [None]})
        np.random.seed(14)
        out = NoiseforgeProcessor(categorical_noise_prob=1.0)._apply_minimal_noise(df)
        following = np.random.random()
        np.random.seed(14)
        np.random.random(1000)
        assert following == np.random.random()
        pd.testing.assert_frame_equal(out, df)

    @pytest.mark.parametrize("probability, changed", [(0.0, False), (1.0, True)])
    def test_noise_probability_bounds(self, probability, changed):
        df = pd.DataFrame({"c": ["a", "b"] * 500, "ok": [True, False] * 500})
        out = NoiseforgeProcessor(categorical_noise_prob=probability, random_state=15)._apply_minimal_noise(df)
        assert (not out.equals(df)) is changed
        assert out["ok"].dtype == bool and set(out["c"]) <= {"a", "b"}

    def test_datetime_and_missing_cells(self):
        df = pd.DataFrame(
            {"when": pd.date_range("2022", periods=200), "x": [np.nan, 1.0] * 100, "c": [None, "a", "b", "c"] * 50}
        )
        out = NoiseforgeProcessor(categorical_noise_prob=1.0, random_state=16)._apply_minimal_noise(df)
        pd.testing.assert_series_equal(out["when"], df["when"])
        assert out["x"].isna().tolist() == df["x"].isna().tolist()
        assert out["c"].notna().all()

    @pytest.mark.parametrize(
        "values",
        [
            [datetime.datetime(2021, 1, day) for day in (1, 2, 3)],
            [pd.Timestamp("2021-01-01"), pd.Timestamp("2021-02-01")],
            [datetime.timedelta(days=1), datetime.timedelta(days=2)],
            [pd.Period("2021-01", "M"), pd.Period("2021-02", "M")],
        ],
        ids=["datetime", "timestamp", "timedelta", "period"],
    )
    def test_object_column_of_date_like_values_stays_object(self, values):
        # Only the selected cells are written, so pandas must not re-infer the column's
        # dtype from the rebuilt values.
        column = np.empty(300, dtype=object)
        column[:] = [values[i % len(values)] for i in range(300)]
        df = pd.DataFrame({"o": pd.Series(column, dtype=object)})
        out = NoiseforgeProcessor(categorical_noise_prob=0.5, random_state=17)._apply_minimal_noise(df)
        np.random.seed(17)
        expected = reference.apply_minimal_noise(df, categorical_noise_prob=0.5)
        assert out["o"].dtype == object
        pd.testing.assert_frame_equal(out, expected, check_exact=True)


class TestDrawsGoThroughNumpy:
    """The random functions are looked up on np.random at call time: a replaced one is
    used, and the frame is the same when the replacement draws the same numbers."""

    @pytest.mark.parametrize(
        "method, replaced",
        [("laplace", "laplace"), ("laplace", "choice"), ("gaussian", "normal"), ("minimal", "random")],
    )
    def test_replaced_random_function_is_called(self, mixed_frame, monkeypatch, method, replaced):
        original = getattr(np.random, replaced)
        calls = []

        def recording(*args, **kwargs):
            calls.append(args)
            return original(*args, **kwargs)

        expected = NoiseforgeProcessor(random_state=21).apply_dp(mixed_frame, method=method)
        monkeypatch.setattr(np.random, replaced, recording)
        actual = NoiseforgeProcessor(random_state=21).apply_dp(mixed_frame, method=method)
        assert calls
        pd.testing.assert_frame_equal(actual, expected, check_exact=True)


class TestInputsThatUsedToCorruptOrFail:
    @pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
    def test_timedelta_columns_are_left_untouched(self, method):
        df = pd.DataFrame({"w": pd.to_timedelta(range(20), unit="h"), "v": np.arange(20.0)})
        out = NoiseforgeProcessor(random_state=3).apply_dp(df, method=method)
        pd.testing.assert_series_equal(out["w"], df["w"])
        assert not out["v"].equals(df["v"])

    @pytest.mark.parametrize(
        "method, settings, column",
        [
            ("laplace", {"epsilon": float("nan")}, "x"),
            ("laplace", {"epsilon": float("nan")}, "c"),
            ("gaussian", {"epsilon": float("nan")}, "x"),
            ("gaussian", {"epsilon": float("nan")}, "c"),
            ("gaussian", {"delta": float("nan")}, "x"),
            ("laplace", {"noise_scale": float("nan")}, "x"),
            ("gaussian", {"noise_scale": float("nan")}, "x"),
            ("minimal", {"numerical_noise_std": float("nan")}, "x"),
        ],
    )
    def test_nan_budget_is_refused_before_anything_is_drawn(self, method, settings, column):
        df = pd.DataFrame({"x": np.arange(50.0), "c": ["a", "b"] * 25})[[column]]
        processor = NoiseforgeProcessor(random_state=4, **settings)
        state = np.random.get_state()[1].copy()
        with pytest.raises(ValueError, match=f"^{next(iter(settings))} is NaN"):
            processor.apply_dp(df, method=method)
        assert np.array_equal(np.random.get_state()[1], state)

    @pytest.mark.parametrize(
        "method, settings, column, scale",
        [
            ("laplace", {"epsilon": 5e-324}, "x", "the Laplace scale sensitivity / epsilon"),
            ("laplace", {"epsilon": 5e-324}, "c", "the Laplace scale 1 / epsilon of the category counts"),
            ("gaussian", {"delta": 5e-324, "epsilon": 1e-300}, "x", "the Gaussian sigma"),
            ("minimal", {"numerical_noise_std": float("inf")}, "x", "numerical_noise_std"),
        ],
    )
    def test_infinite_noise_scales_are_refused(self, method, settings, column, scale):
        df = pd.DataFrame({"x": np.arange(50.0), "c": ["a", "b"] * 25})[[column]]
        with pytest.raises(ValueError, match=f"^{scale} is infinite"):
            NoiseforgeProcessor(random_state=4, **settings).apply_dp(df, method=method)

    @pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
    @pytest.mark.parametrize("delta", [2.0, -1e-5])
    def test_gaussian_delta_without_a_real_sigma_is_refused(self, delta):
        with pytest.raises(ValueError, match="^delta must be greater than 0 and at most 1.25"):
            NoiseforgeProcessor(delta=delta).apply_dp(pd.DataFrame({"x": np.arange(50.0)}), method="gaussian")

    @pytest.mark.parametrize(
        "values",
        [
            np.linspace(-100, 100, 60).astype(np.int8),
            np.concatenate([[np.iinfo(np.int64).min, np.iinfo(np.int64).max], np.arange(58)]).astype(np.int64),
        ],
    )
    @pytest.mark.parametrize("method", ["laplace", "gaussian"])
    def test_integer_ranges_wider_than_their_dtype(self, values, method):
        df = pd.DataFrame({"x": values})
        out = NoiseforgeProcessor(random_state=5).apply_dp(df, method=method)
        assert out["x"].notna().all() and not out["x"].equals(df["x"].astype(float))
        np.random.seed(5)
        pd.testing.assert_frame_equal(out, reference.apply_dp(df, method=method), check_exact=True)
