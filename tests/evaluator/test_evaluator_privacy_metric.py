"""TabularEvaluator._run_privacy_metric against recording stub sister modules."""

import math
import sys

import numpy as np
import pytest
from evaluator_stubs import DTCR, MIA, REPORT
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


def results(sisters):
    return [event[1] for event in sisters.events if event[0] == "MetricResult"]


@pytest.mark.parametrize(
    "auc, risk, shown",
    [
        (0.5, 0.0, "0.5000"),
        (0.2, 0.6, "0.2000"),
        (0.75, 0.5, "0.7500"),
        (0.25, 0.5, "0.2500"),
        (1, 1.0, "1.0000"),
        (0, 1.0, "0.0000"),
        (0.73, 0.46, "0.7300"),
        (1.3, 1.6, "1.3000"),
    ],
)
def test_membership_inference_risk(sisters, TabularEvaluator, frames, auc, risk, shown):
    sisters.outputs["mia"] = auc
    real, synthetic = frames
    result = TabularEvaluator()._run_privacy_metric("membership_inference_auc", real, synthetic)
    (kwargs,) = results(sisters)
    assert result.kwargs is kwargs
    assert list(kwargs) == ["name", "value", "category", "higher_is_better", "description", "details"]
    assert kwargs["name"] == "membership_inference_auc"
    assert type(kwargs["value"]) is float
    assert kwargs["value"] == pytest.approx(risk, abs=1e-12)
    assert kwargs["value"] == abs(auc - 0.5) * 2
    assert kwargs["category"] == "privacy"
    assert kwargs["higher_is_better"] is False
    assert kwargs["description"] == (
        f"Normalised privacy risk [0,1]. Raw AUC={shown}. Values >0 mean attacker has signal."
    )
    assert list(kwargs["details"].items()) == [("auc", auc), ("privacy_risk", kwargs["value"])]
    assert kwargs["details"]["auc"] is auc


def plain_membership_inference(auc):
    """The risk and description as a straightforward Python transcription."""
    privacy_risk = abs(auc - 0.5) * 2
    description = f"Normalised privacy risk [0,1]. Raw AUC={auc:.4f}. Values >0 mean attacker has signal."
    return privacy_risk, description


# The stub modules stay installed across examples; each example sets its own AUC.
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    auc=st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.integers(-(10**6), 10**6),
        st.floats(width=32).map(np.float32),
        st.floats().map(np.float64),
    )
)
def test_membership_inference_matches_plain_arithmetic(sisters, TabularEvaluator, auc):
    sisters.outputs["mia"] = auc
    # Huge numpy AUCs overflow to inf in both computations alike.
    with np.errstate(over="ignore"):
        result = TabularEvaluator()._run_privacy_metric("membership_inference_auc", None, None)
        risk, description = plain_membership_inference(auc)
    value = result.kwargs["value"]
    assert type(value) is type(risk)
    assert value == risk or (math.isnan(value) and math.isnan(risk))
    assert result.kwargs["description"] == description


def test_membership_inference_keeps_numpy_types(sisters, TabularEvaluator, frames):
    auc = np.float32(0.875)
    sisters.outputs["mia"] = auc
    result = TabularEvaluator()._run_privacy_metric("membership_inference_auc", *frames)
    expected = abs(auc - 0.5) * 2
    assert type(result.kwargs["value"]) is type(expected) is np.float32
    assert result.kwargs["value"] == expected == 0.75
    assert result.kwargs["description"].startswith("Normalised privacy risk [0,1]. Raw AUC=0.8750.")


def test_membership_inference_is_built_and_called_plainly(sisters, TabularEvaluator, frames):
    real, synthetic = frames
    TabularEvaluator()._run_privacy_metric("membership_inference_auc", real=real, synthetic=synthetic)
    build, call = [event for event in sisters.events if event[0] in ("build", "call")]
    assert build == ("build", "MembershipInferenceMetric", (), {})
    assert call[1] == "MembershipInferenceMetric.compute"
    assert call[2][0] is real and call[2][1] is synthetic and call[3] == {}


def test_distance_to_closest_record(sisters, TabularEvaluator, frames):
    score = np.float64(3.25)
    sisters.outputs["dtcr"] = score
    real, synthetic = frames
    TabularEvaluator()._run_privacy_metric("distance_to_closest_record", real, synthetic)
    (kwargs,) = results(sisters)
    assert kwargs == {
        "name": "distance_to_closest_record",
        "value": score,
        "category": "privacy",
        "higher_is_better": True,
        "description": "Mean distance from real to nearest synthetic record. Higher = better privacy.",
    }
    assert list(kwargs) == ["name", "value", "category", "higher_is_better", "description"]
    assert kwargs["value"] is score
    build, call = [event for event in sisters.events if event[0] in ("build", "call")]
    assert build == ("build", "DTCRMetric", (), {})
    assert call[2][0] is real and call[2][1] is synthetic


@pytest.mark.parametrize("name", ["nnd_ratio", "nn_adversarial_accuracy", "anything", ""])
def test_other_names_get_a_placeholder_without_metric_modules(sisters, TabularEvaluator, monkeypatch, name):
    monkeypatch.setitem(sys.modules, MIA, None)
    monkeypatch.setitem(sys.modules, DTCR, None)

    class Untouchable:
        def __getattr__(self, attribute):
            raise AssertionError(f"frame touched: {attribute}")

    TabularEvaluator()._run_privacy_metric(name, Untouchable(), Untouchable())
    (kwargs,) = results(sisters)
    assert list(kwargs.items()) == [("name", name), ("value", 0.0), ("category", "privacy")]
    assert type(kwargs["value"]) is float


def test_placeholder_still_needs_the_report_module(sisters, TabularEvaluator, frames, monkeypatch):
    monkeypatch.setitem(sys.modules, REPORT, None)
    with pytest.raises(ModuleNotFoundError):
        TabularEvaluator()._run_privacy_metric("nnd_ratio", *frames)


@pytest.mark.parametrize(
    "key, name, failure, error",
    [
        ("mia", "membership_inference_auc", RuntimeError("attack failed"), RuntimeError),
        ("mia", "membership_inference_auc", "0.7", TypeError),
        ("mia", "membership_inference_auc", None, TypeError),
        ("dtcr", "distance_to_closest_record", MemoryError(), MemoryError),
    ],
)
def test_failures_propagate(sisters, TabularEvaluator, frames, key, name, failure, error):
    sisters.outputs[key] = failure
    with pytest.raises(error):
        TabularEvaluator()._run_privacy_metric(name, *frames)
    assert results(sisters) == []


def test_missing_metric_module_propagates(sisters, TabularEvaluator, frames, monkeypatch):
    monkeypatch.setitem(sys.modules, DTCR, None)
    with pytest.raises(ImportError):
        TabularEvaluator()._run_privacy_metric("distance_to_closest_record", *frames)


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None, 1, 2), {}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        ((b"nnd_ratio", 1, 2), {}, "Argument 'name' has incorrect type (expected str, got bytes)"),
        (
            (StrSubclass("nnd_ratio"), 1, 2),
            {},
            "Argument 'name' has incorrect type (expected str, got StrSubclass) Subclasses of builtin types are "
            "rejected; pass an exact str.",
        ),
        (("nnd_ratio", 1), {}, "_run_privacy_metric() takes exactly 4 positional arguments (3 given)"),
        (("nnd_ratio", 1, 2, 3), {}, "_run_privacy_metric() takes exactly 4 positional arguments (5 given)"),
        (("nnd_ratio", 1, 2), {"extra": 3}, "_run_privacy_metric() got an unexpected keyword argument 'extra'"),
    ],
)
def test_argument_errors(sisters, TabularEvaluator, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        TabularEvaluator()._run_privacy_metric(*args, **kwargs)
    assert str(caught.value) == message
    assert sisters.events == []
