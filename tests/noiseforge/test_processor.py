"""NoiseforgeProcessor: construction, column typing, mechanisms, driver and messages."""

import inspect

import numpy as np
import pandas as pd
import pytest

from velmora.core_generator import noiseforge
from velmora.core_generator.noiseforge import NoiseforgeProcessor, apply_noiseforge


class TestConstruction:
    def test_defaults_and_log_line(self, log_lines):
        processor = NoiseforgeProcessor()
        assert (processor.epsilon, processor.delta, processor.noise_scale) == (1.0, 1e-05, 0.1)
        assert (processor.categorical_noise_prob, processor.numerical_noise_std) == (0.05, 0.01)
        assert processor.random_state is None
        assert processor.original_stats == {}
        assert log_lines() == ["Initialized DP processor with epsilon=1.0, delta=1e-05"]

    @pytest.mark.parametrize(
        "arguments, attribute, expected",
        [
            ((2,), "epsilon", 2.0),
            ((1, np.float32(0.5)), "delta", float(np.float32(0.5))),
            ((1, 1e-5, 3), "noise_scale", 3.0),
            ((1, 1e-5, 0.1, True), "categorical_noise_prob", 1.0),
            ((1, 1e-5, 0.1, 0.05, -2), "numerical_noise_std", -2.0),
        ],
    )
    def test_numbers_are_stored_as_floats_in_positional_order(self, arguments, attribute, expected):
        value = getattr(NoiseforgeProcessor(*arguments), attribute)
        assert type(value) is float and value == expected

    def test_epsilon_in_log_line_is_the_converted_float(self, log_lines):
        NoiseforgeProcessor(2)
        assert log_lines() == ["Initialized DP processor with epsilon=2.0, delta=1e-05"]

    @pytest.mark.parametrize("seed, stored", [(42.7, 42), (True, 1), (7, 7)])
    def test_random_state_is_converted_and_seeds_numpy(self, seed, stored):
        processor = NoiseforgeProcessor(random_state=seed)
        drawn = np.random.random(3)
        np.random.seed(stored)
        assert processor.random_state == stored and type(processor.random_state) is int
        assert np.array_equal(drawn, np.random.random(3))

    def test_no_seed_leaves_the_stream_alone(self):
        np.random.seed(11)
        NoiseforgeProcessor()
        drawn = np.random.random(2)
        np.random.seed(11)
        assert np.array_equal(drawn, np.random.random(2))

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"random_state": "1"}, "Argument 'random_state' has incorrect type (expected int, got str)"),
            ({"random_state": [1]}, "Argument 'random_state' has incorrect type (expected int, got list)"),
        ],
    )
    def test_random_state_type_errors(self, kwargs, message):
        with pytest.raises(TypeError) as caught:
            NoiseforgeProcessor(**kwargs)
        assert str(caught.value) == message

    @pytest.mark.parametrize(
        "name", ["epsilon", "delta", "noise_scale", "categorical_noise_prob", "numerical_noise_std"]
    )
    def test_float_parameters_reject_non_numbers(self, name, log_lines):
        with pytest.raises(TypeError):
            NoiseforgeProcessor(**{name: "0.5"})
        assert log_lines() == []

    def test_argument_count_and_unknown_keyword(self):
        with pytest.raises(TypeError, match="positional argument"):
            NoiseforgeProcessor(1, 2, 3, 4, 5, 6, 7)
        with pytest.raises(TypeError, match="unexpected keyword argument 'seed'"):
            NoiseforgeProcessor(seed=1)

    def test_privacy_info_shares_original_stats(self):
        processor = NoiseforgeProcessor()
        info = processor.get_privacy_info()
        assert list(info) == [
            "epsilon",
            "delta",
            "noise_scale",
            "categorical_noise_prob",
            "numerical_noise_std",
            "original_stats",
        ]
        assert info == {
            "epsilon": 1.0,
            "delta": 1e-05,
            "noise_scale": 0.1,
            "categorical_noise_prob": 0.05,
            "numerical_noise_std": 0.01,
            "original_stats": {},
        }
        info["original_stats"]["touched"] = True
        assert processor.original_stats == {"touched": True}


class TestColumnTyping:
    def test_threshold_at_1000_rows(self):
        rows = 1000
        df = pd.DataFrame(
            {
                "ten": np.arange(rows) % 10,
                "eleven": np.arange(rows) % 11,
                "three_floats": (np.arange(rows) % 3) * 0.5,
                "text": ["a"] * rows,
            }
        )
        assert NoiseforgeProcessor()._detect_column_types(df) == (["eleven"], ["text", "ten", "three_floats"])

    @pytest.mark.parametrize("distinct, categorical", [(5, True), (6, False)])
    def test_threshold_at_50_rows(self, distinct, categorical):
        df = pd.DataFrame({"x": np.arange(50) % distinct})
        numerical, categories = NoiseforgeProcessor()._detect_column_types(df)
        assert (categories == ["x"]) is categorical and (numerical == ["x"]) is not categorical

    @pytest.mark.parametrize("rows, categorical", [(10, False), (20, True), (200, True)])
    def test_binary_column_with_missing_values(self, rows, categorical):
        values = np.where(np.arange(rows) % 3 == 0, np.nan, np.arange(rows) % 2)
        numerical, categories = NoiseforgeProcessor()._detect_column_types(pd.DataFrame({"x": values}))
        assert (categories == ["x"]) is categorical and (numerical == ["x"]) is not categorical

    def test_other_dtypes_and_order(self):
        rows = 100
        df = pd.DataFrame(
            {
                "low_a": np.arange(rows) % 2,
                "ok": np.arange(rows) % 2 == 0,
                "low_b": np.arange(rows) % 3,
                "wide": np.arange(rows) * 1.5,
                "when": pd.date_range("2021", periods=rows),
                "kind": pd.Categorical(["u", "v"] * 50),
            }
        )
        numerical, categorical = NoiseforgeProcessor()._detect_column_types(df)
        assert numerical == ["wide"]
        assert categorical == ["ok", "kind", "low_a", "low_b"]


class TestMechanisms:
    @pytest.mark.parametrize("epsilon, sensitivity, scale", [(1.0, 0.5, 0.5), (0.1, 0.5, 5.0)])
    def test_laplace_scale(self, epsilon, sensitivity, scale):
        processor = NoiseforgeProcessor(epsilon=epsilon)
        np.random.seed(0)
        noisy = processor._add_laplace_noise(np.zeros(4), sensitivity)
        np.random.seed(0)
        assert np.array_equal(noisy, np.random.laplace(0, scale, (4,)))

    @pytest.mark.parametrize(
        "delta, factor", [(1e-5, 4.844805262605389), (1e-6, 5.298802526850474), (1e-3, 3.776479532659047)]
    )
    def test_gaussian_sigma(self, delta, factor):
        processor = NoiseforgeProcessor(delta=delta)
        np.random.seed(0)
        noisy = processor._add_gaussian_noise(np.zeros(3), 1.0)
        np.random.seed(0)
        assert np.array_equal(noisy, np.random.normal(0, factor, (3,)))

    @pytest.mark.parametrize("method, draw", [("_add_laplace_noise", "laplace"), ("_add_gaussian_noise", "normal")])
    def test_shapes_and_draw_counts(self, method, draw):
        processor = NoiseforgeProcessor()
        data = np.arange(6, dtype=np.int64).reshape(2, 3)
        np.random.seed(1)
        noisy = getattr(processor, method)(data, 1)
        empty = getattr(processor, method)(np.zeros(0), 1.0)
        following = np.random.random()
        assert noisy.shape == (2, 3) and noisy.dtype == np.float64 and empty.shape == (0,)
        assert np.array_equal(data, np.arange(6).reshape(2, 3))
        np.random.seed(1)
        getattr(np.random, draw)(0, 1.0, 6)
        assert following == np.random.random()

    @pytest.mark.parametrize(
        "kwargs, method",
        [
            ({"epsilon": 0}, "_add_laplace_noise"),
            ({"epsilon": 0}, "_add_gaussian_noise"),
            ({"delta": 0}, "_add_gaussian_noise"),
        ],
    )
    def test_zero_parameters_raise_before_drawing(self, kwargs, method):
        processor = NoiseforgeProcessor(**kwargs)
        np.random.seed(3)
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            getattr(processor, method)(np.zeros(2), 1.0)
        first = np.random.random()
        np.random.seed(3)
        assert first == np.random.random()

    def test_negative_epsilon_is_rejected_by_numpy(self):
        with pytest.raises(ValueError):
            NoiseforgeProcessor(epsilon=-1)._add_laplace_noise(np.zeros(2), 1.0)

    def test_sensitivity_must_be_a_number(self):
        with pytest.raises(TypeError):
            NoiseforgeProcessor()._add_laplace_noise(np.zeros(2), "1")


class TestDriver:
    def test_empty_frame_is_returned_as_is(self, log_lines):
        processor = NoiseforgeProcessor()
        processor.original_stats["kept"] = 1
        for df in (pd.DataFrame(), pd.DataFrame({"a": []}), pd.DataFrame(index=[1, 2])):
            np.random.seed(4)
            assert processor.apply_dp(df, method="laplace") is df
            first = np.random.random()
            np.random.seed(4)
            assert first == np.random.random()
        assert processor.get_privacy_info()["original_stats"] == {"kept": 1}
        assert log_lines()[1:] == ["Input DataFrame is empty"] * 3

    @pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
    def test_log_lines_stats_and_input_untouched(self, mixed_frame, method, log_lines):
        before = mixed_frame.copy()
        processor = NoiseforgeProcessor(random_state=1)
        out = processor.apply_dp(mixed_frame, method=method)
        pd.testing.assert_frame_equal(mixed_frame, before)
        assert out is not mixed_frame and out.shape == mixed_frame.shape
        assert list(out.columns) == list(mixed_frame.columns)
        assert log_lines() == [
            "Initialized DP processor with epsilon=1.0, delta=1e-05",
            f"Applying {method} differential privacy to DataFrame of shape (1000, 7)",
            f"Applied DP with method '{method}'. Output shape: (1000, 7)",
        ]
        stats = processor.original_stats
        assert list(stats) == ["shape", "columns", "dtypes"]
        assert stats["shape"] == (1000, 7) and stats["columns"] == list(mixed_frame.columns)
        assert stats["dtypes"] == mixed_frame.dtypes.to_dict()
        pd.testing.assert_series_equal(out["when"], mixed_frame["when"])

    def test_unknown_method_after_stats(self, mixed_frame, log_lines):
        with pytest.raises(ValueError) as caught:
            apply_noiseforge(mixed_frame, method="Laplace")
        assert str(caught.value) == "Unknown method: Laplace. Use 'minimal', 'laplace', or 'gaussian'"
        assert log_lines()[-1] == "Applying Laplace differential privacy to DataFrame of shape (1000, 7)"
        processor = NoiseforgeProcessor()
        with pytest.raises(ValueError, match="Unknown method: median"):
            processor.apply_dp(mixed_frame, "median")
        assert processor.original_stats["shape"] == (1000, 7)

    @pytest.mark.parametrize("method", ["minimal\x00", "lap\ud800ce", "\udcff"])
    def test_any_str_is_a_method_name(self, mixed_frame, method, log_lines):
        # Names that are not valid UTF-8 text or hold a NUL are still names: unknown ones.
        with pytest.raises(ValueError) as caught:
            NoiseforgeProcessor().apply_dp(mixed_frame, method)
        assert str(caught.value) == f"Unknown method: {method}. Use 'minimal', 'laplace', or 'gaussian'"
        assert log_lines()[-1] == f"Applying {method} differential privacy to DataFrame of shape (1000, 7)"

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"method": None}, "Argument 'method' has incorrect type (expected str, got NoneType)"),
            ({"method": b"laplace"}, "Argument 'method' has incorrect type (expected str, got bytes)"),
            (
                {"preserve_columns": ("target",)},
                "Argument 'preserve_columns' has incorrect type (expected list, got tuple)",
            ),
        ],
    )
    def test_argument_types(self, mixed_frame, kwargs, message, log_lines):
        processor = NoiseforgeProcessor()
        with pytest.raises(TypeError) as caught:
            processor.apply_dp(mixed_frame, **kwargs)
        assert str(caught.value) == message
        with pytest.raises(TypeError):
            apply_noiseforge(mixed_frame, **kwargs)
        assert processor.original_stats == {} and len(log_lines()) == 1

    def test_str_subclass_is_rejected(self, mixed_frame):
        class Name(str):
            pass

        with pytest.raises(TypeError, match="expected str, got Name"):
            NoiseforgeProcessor().apply_dp(mixed_frame, Name("laplace"))

    @pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
    def test_preserved_column_keeps_input_values(self, mixed_frame, method):
        out = apply_noiseforge(mixed_frame, method=method, preserve_columns=["target", "absent"], random_state=2)
        pd.testing.assert_series_equal(out["target"], mixed_frame["target"])
        assert not out["continuous"].equals(mixed_frame["continuous"])

    def test_empty_preserve_list_preserves_nothing(self, mixed_frame):
        a = apply_noiseforge(mixed_frame, method="laplace", preserve_columns=[], random_state=3)
        b = apply_noiseforge(mixed_frame, method="laplace", random_state=3)
        pd.testing.assert_frame_equal(a, b)
        assert not a["target"].equals(mixed_frame["target"].astype(a["target"].dtype))

    @pytest.mark.parametrize("method", ["minimal", "laplace", "gaussian"])
    def test_seeded_calls_repeat(self, mixed_frame, method):
        first = apply_noiseforge(mixed_frame, epsilon=1.0, method=method, random_state=0)
        second = apply_noiseforge(mixed_frame, epsilon=1.0, method=method, random_state=0)
        pd.testing.assert_frame_equal(first, second, check_exact=True)

    def test_laplace_and_gaussian_treatment(self, mixed_frame):
        laplace = apply_noiseforge(mixed_frame, method="laplace", random_state=5)
        assert set(laplace["flag"].unique()) <= {0, 1} and laplace["flag"].dtype == np.int64
        counts = laplace["counts"]
        assert counts.dtype == np.float64 and (counts == counts.round()).all()
        low, high = mixed_frame["counts"].min(), mixed_frame["counts"].max()
        margin = (high - low) * 0.1
        # Clipped to the widened range, then rounded to whole numbers.
        assert counts.min() >= np.floor(low - margin) and counts.max() <= np.ceil(high + margin)
        gaussian = apply_noiseforge(mixed_frame, method="gaussian", random_state=5)
        assert not (gaussian["counts"] == gaussian["counts"].round()).all()
        assert gaussian["counts"].min() < low - margin or gaussian["counts"].max() > high + margin

    def test_entry_function_uses_module_level_class(self, mixed_frame, monkeypatch):
        built = []

        class Recording(NoiseforgeProcessor):
            def __init__(self, *args, **kwargs):
                built.append(kwargs)
                super().__init__(*args, **kwargs)

        monkeypatch.setattr(noiseforge, "NoiseforgeProcessor", Recording)
        apply_noiseforge(mixed_frame, epsilon=2, random_state=4.5)
        assert built == [{"epsilon": 2.0, "random_state": 4}]

    def test_steps_are_looked_up_on_the_instance(self, mixed_frame):
        calls = []

        class Traced(NoiseforgeProcessor):
            def _detect_column_types(self, df):
                calls.append("detect")
                return ["continuous"], ["colour"]

            def _add_laplace_noise(self, data, sensitivity):
                calls.append(("laplace", len(data)))
                return data + 1000.0

            def _apply_categorical_dp(self, df, categorical_cols):
                calls.append(("categorical", categorical_cols))
                return df

        out = Traced().apply_dp(mixed_frame, method="laplace")
        assert calls == ["detect", ("laplace", 1000), ("categorical", ["colour"])]
        upper = mixed_frame["continuous"].max()
        span = upper - mixed_frame["continuous"].min()
        assert (out["continuous"] == upper + span * 0.1).all()

    def test_detect_result_must_unpack_into_two(self, mixed_frame):
        class Broken(NoiseforgeProcessor):
            def _detect_column_types(self, df):
                return (["continuous"],)

        with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
            Broken().apply_dp(mixed_frame, method="laplace")


class TestSignatures:
    @pytest.mark.parametrize(
        "function, first_line",
        [
            (
                NoiseforgeProcessor.__init__,
                "NoiseforgeProcessor.__init__(self, double epsilon: float = 1.0, double delta: float = 1e-5, "
                "double noise_scale: float = 0.1, double categorical_noise_prob: float = 0.05, "
                "double numerical_noise_std: float = 0.01, int random_state: int = None)",
            ),
            (
                NoiseforgeProcessor.apply_dp,
                "NoiseforgeProcessor.apply_dp(self, df: pd.DataFrame, str method: str = 'minimal', "
                "list preserve_columns: list = None) -> pd.DataFrame",
            ),
            (
                apply_noiseforge,
                "apply_noiseforge(df: pd.DataFrame, double epsilon: float = 1.0, str method: str = 'minimal', "
                "list preserve_columns: list = None, int random_state: int = None) -> pd.DataFrame",
            ),
        ],
    )
    def test_signature_lines(self, function, first_line):
        assert function.__doc__.splitlines()[0] == first_line

    @pytest.mark.parametrize(
        "name, text",
        [
            ("_detect_column_types", "Detect numerical and categorical columns."),
            ("_add_laplace_noise", "Add Laplace noise for differential privacy."),
            ("_add_gaussian_noise", "Add Gaussian noise for differential privacy."),
            ("_apply_numerical_dp", "Apply differential privacy to numerical columns."),
            ("_apply_categorical_dp", "Apply differential privacy to categorical columns."),
            ("_apply_minimal_noise", "Apply minimal noise addition for very conservative privacy."),
            ("get_privacy_info", "Get information about the applied privacy parameters."),
        ],
    )
    def test_one_line_docstrings(self, name, text):
        assert getattr(NoiseforgeProcessor, name).__doc__.split("\n\n", 1)[1] == text

    def test_method_order_and_class_doc(self):
        methods = [name for name in vars(NoiseforgeProcessor) if callable(vars(NoiseforgeProcessor)[name])]
        assert methods == [
            "__init__",
            "_detect_column_types",
            "_add_laplace_noise",
            "_add_gaussian_noise",
            "_apply_numerical_dp",
            "_apply_categorical_dp",
            "_apply_minimal_noise",
            "apply_dp",
            "get_privacy_info",
        ]
        assert NoiseforgeProcessor.__bases__ == (object,)
        assert inspect.cleandoc(NoiseforgeProcessor.__doc__) == (
            "Minimal differential privacy processor for preprocessed DataFrames.\n\n"
            "Applies differential privacy with minimal noise addition while preserving\n"
            "data utility for synthetic data generation."
        )

    def test_args_sections(self):
        init_doc = inspect.cleandoc(NoiseforgeProcessor.__init__.__doc__.split("\n\n", 1)[1])
        assert init_doc.splitlines()[0] == "Initialize the differential privacy processor."
        assert "    categorical_noise_prob: Probability of flipping categorical values (default: 0.05)" in init_doc
        apply_doc = inspect.cleandoc(NoiseforgeProcessor.apply_dp.__doc__.split("\n\n", 1)[1])
        assert apply_doc.splitlines() == [
            "Apply differential privacy to the DataFrame.",
            "",
            "Args:",
            "    df: Input DataFrame (should be preprocessed)",
            '    method: DP method ("minimal", "laplace", "gaussian")',
            "    preserve_columns: Columns to preserve without modification",
            "",
            "Returns:",
            "    DataFrame with differential privacy applied",
        ]
        entry_doc = inspect.cleandoc(apply_noiseforge.__doc__.split("\n\n", 1)[1])
        assert "    epsilon: Privacy budget (default: 1.0)" in entry_doc.splitlines()
        assert "    random_state: Random seed for reproducibility" in entry_doc.splitlines()

    def test_signature_object(self):
        parameters = inspect.signature(apply_noiseforge).parameters
        assert [(p.name, p.default) for p in parameters.values()] == [
            ("df", inspect.Parameter.empty),
            ("epsilon", 1.0),
            ("method", "minimal"),
            ("preserve_columns", None),
            ("random_state", None),
        ]
