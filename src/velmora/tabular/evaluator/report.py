"""Report records of the evaluation suite.

``MetricResult`` holds one score; ``EvaluationReport`` files the results of one
evaluation run, by name, in two insertion-ordered mappings (``aggregate_metrics`` and
``privacy_metrics``), computes its overall score, its quality score and its release
verdict (``velmora.tabular.evaluator.verdict``), renders the results as text, a table,
a plain dict or JSON, and is rebuilt from that dict or JSON; ``compare`` sets several
reports side by side in a ``ComparisonResult`` (``velmora.tabular.evaluator.comparison``).
"""

import datetime as _datetime
import json
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import pandas as pd

from velmora.tabular.evaluator._text import _format_value, _text_table, to_jsonable
from velmora.tabular.evaluator.verdict import ReleaseVerdict, quality_score, release_verdict
from velmora.tabular.evaluator.verdict_limits import VerdictLimits

__all__ = ["MetricResult", "EvaluationReport", "ComparisonResult", "compare"]

SCOPES = ("aggregate", "privacy")

# The fields of a report's and of a result's plain-data form (to_dict), in their order.
REPORT_FIELDS = (
    "dataset_name",
    "generator_name",
    "timestamp",
    "real_data_n_rows",
    "synthetic_data_n_rows",
    "n_columns",
    "evaluation_time_seconds",
    "verdict",
    "aggregate_metrics",
    "privacy_metrics",
)
# Fields a report's plain-data form may lack (written by earlier versions).
OPTIONAL_REPORT_FIELDS = ("verdict",)
VERDICT_FIELDS = ("releasable", "privacy_passed", "quality_score", "exposed_share", "reasons", "limits")
RESULT_FIELDS = ("name", "value", "category", "higher_is_better", "description", "details")
FRAME_COLUMNS = ("name", "scope", "category", "value", "higher_is_better", "description")


@dataclass
class MetricResult:
    """One score of an evaluation.

    Parameters
    ----------
    name : str
        The name the result is filed under in a report.
    value : float
        The score (a real number; numpy scalars are kept as given).
    category : str
        The metric family, such as "statistical", "utility", "fidelity" or "privacy".
    higher_is_better : bool, default True
        The direction of the score.
    description : str, default ""
        What the score means.
    details : dict, optional
        Extra figures of the computation (sample sizes, skipped columns, raw scores).
    """

    name: str
    value: Any
    category: str
    higher_is_better: bool = True
    description: str = ""
    details: Dict[str, Any] = field(default_factory=dict)

    def to_dict(self) -> Dict[str, Any]:
        """The result as plain JSON-ready data."""
        return {
            "name": to_jsonable(self.name),
            "value": to_jsonable(self.value),
            "category": to_jsonable(self.category),
            "higher_is_better": bool(self.higher_is_better),
            "description": to_jsonable(self.description),
            "details": to_jsonable(self.details),
        }

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "MetricResult":
        """The result whose ``to_dict()`` is ``data`` (null values come back as NaN).

        Raises ``TypeError`` when ``data`` or one of its fields has the wrong type and
        ``ValueError`` when a required field (name, value, category) is missing or an
        unknown one is present.
        """
        _check_fields(data, RESULT_FIELDS, ("name", "value", "category"), "a metric result")
        higher_is_better = data.get("higher_is_better", True)
        if not isinstance(higher_is_better, bool):
            raise TypeError(f"higher_is_better must be true or false, got {type(higher_is_better).__name__}")
        details = data.get("details", {})
        if not isinstance(details, dict):
            raise TypeError(f"details must be a mapping, got {type(details).__name__}")
        for text_field in ("name", "category", "description"):
            if text_field in data and not isinstance(data[text_field], str):
                raise TypeError(f"{text_field} must be text, got {type(data[text_field]).__name__}")
        value = data["value"]
        if value is not None:
            if not isinstance(value, (int, float)):
                raise TypeError(f"value must be a number or null, got {type(value).__name__}")
            try:
                float(value)
            except OverflowError:
                raise ValueError(f"value {value} is too large for a float") from None
        return cls(
            name=data["name"],
            value=math.nan if value is None else value,
            category=data["category"],
            higher_is_better=higher_is_better,
            description=data.get("description", ""),
            details=dict(details),
        )


def _check_fields(data: Any, known: tuple, required: tuple, what: str) -> None:
    if not isinstance(data, dict):
        raise TypeError(f"{what} must be a mapping, got {type(data).__name__}")
    missing = [name for name in required if name not in data]
    if missing:
        raise ValueError(f"{what} lacks the field{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))}")
    unknown = [str(name) for name in data if name not in known]
    if unknown:
        raise ValueError(
            f"{what} has the unknown field{'s' if len(unknown) > 1 else ''} {', '.join(map(repr, unknown))}; "
            f"known fields: {', '.join(known)}"
        )


def _verdict_limits(verdict: Any) -> VerdictLimits:
    """The limits of a written verdict, after checking its form; the verdict itself is
    decided again from the results."""
    _check_fields(verdict, tuple(VERDICT_FIELDS) + ("attack_risk", "holdout"), VERDICT_FIELDS, "the verdict")
    if not isinstance(verdict["releasable"], bool):
        raise TypeError("verdict.releasable must be true or false")
    if verdict["privacy_passed"] is not None and not isinstance(verdict["privacy_passed"], bool):
        raise TypeError("verdict.privacy_passed must be true, false or null")
    for name in ("quality_score", "exposed_share"):
        value = verdict[name]
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))):
            raise TypeError(f"verdict.{name} must be a number or null")
    if not isinstance(verdict["reasons"], list) or not all(isinstance(reason, str) for reason in verdict["reasons"]):
        raise TypeError("verdict.reasons must be a list of texts")
    return VerdictLimits.from_dict(verdict["limits"])


def _now_iso() -> str:
    return _datetime.datetime.now(_datetime.timezone.utc).isoformat(timespec="seconds")


class EvaluationReport:
    """The results of one evaluation of synthetic data against real data.

    Results are filed by name with ``add_metric``: privacy results (scope "privacy") in
    ``privacy_metrics``, every other result in ``aggregate_metrics``. Both are
    insertion-ordered dicts; filing a name again replaces the earlier result and keeps
    its position.

    Parameters
    ----------
    real_data_n_rows, synthetic_data_n_rows, n_columns : int, default 0
        Sizes of the evaluated frames.
    generator_name : str, default ""
        The class name of the generator that produced the synthetic data.
    dataset_name : str, default "dataset"
        A label for the real data.
    timestamp : str, optional
        ISO-8601 time of creation; defaults to the current UTC time.
    evaluation_time_seconds : float, default 0.0
        Wall-clock duration of the evaluation, set by the evaluator when it finishes.

    Attributes
    ----------
    verdict_limits : velmora.tabular.evaluator.verdict_limits.VerdictLimits or None
        The limits ``release_verdict()`` applies when given none (None: the defaults).
    """

    def __init__(
        self,
        *,
        real_data_n_rows: int = 0,
        synthetic_data_n_rows: int = 0,
        n_columns: int = 0,
        generator_name: str = "",
        dataset_name: str = "dataset",
        timestamp: Optional[str] = None,
        evaluation_time_seconds: float = 0.0,
    ) -> None:
        self.real_data_n_rows = real_data_n_rows
        self.synthetic_data_n_rows = synthetic_data_n_rows
        self.n_columns = n_columns
        self.generator_name = generator_name
        self.dataset_name = dataset_name
        self.timestamp = _now_iso() if timestamp is None else timestamp
        self.evaluation_time_seconds = evaluation_time_seconds
        self.aggregate_metrics: Dict[str, MetricResult] = {}
        self.privacy_metrics: Dict[str, MetricResult] = {}
        self.verdict_limits: Optional[VerdictLimits] = None

    def __repr__(self) -> str:
        return (
            f"EvaluationReport(generator_name={self.generator_name!r}, dataset_name={self.dataset_name!r}, "
            f"aggregate_metrics={len(self.aggregate_metrics)}, privacy_metrics={len(self.privacy_metrics)})"
        )

    def add_metric(self, result: MetricResult, scope: str = "aggregate") -> None:
        """File ``result`` under its name, in ``privacy_metrics`` for scope "privacy" and
        in ``aggregate_metrics`` for scope "aggregate"."""
        if not isinstance(result, MetricResult):
            raise TypeError(f"add_metric() expects a MetricResult, got {type(result).__name__}")
        if scope == "privacy":
            self.privacy_metrics[result.name] = result
        elif scope == "aggregate":
            self.aggregate_metrics[result.name] = result
        else:
            raise ValueError(f"Unknown scope {scope!r}; expected one of {', '.join(SCOPES)}.")

    @property
    def metrics(self) -> Dict[str, MetricResult]:
        """Every result by name, the aggregate ones and then the privacy ones (a
        privacy result replaces an aggregate one of the same name)."""
        return {**self.aggregate_metrics, **self.privacy_metrics}

    def overall_score(self) -> float:
        """The report page's overall score (``TabularEvaluator._overall_score``, the page's
        own computation): the mean value of the results where higher is better
        (aggregate ones first, then privacy ones; a privacy result replaces an aggregate
        one of the same name), 0.0 when there is none. A NaN value makes the score NaN.
        It counts each per-column score as much as a whole-table one and includes the
        closeness score of the privacy results, so a copy of the real data scores
        highest: rank and gate on ``quality_score()`` and ``release_verdict()``."""
        from velmora.tabular.evaluator.evaluator import TabularEvaluator

        return float(TabularEvaluator._overall_score(self.metrics))

    def quality_score(self) -> float:
        """The grouped quality score in [0, 1] (see ``velmora.tabular.evaluator.verdict``):
        the mean over marginal, pairwise, joint and utility results of each group's
        mean; privacy results never enter it. NaN without a fidelity result."""
        return quality_score(self.aggregate_metrics)

    def release_verdict(self, limits: Optional[VerdictLimits] = None) -> ReleaseVerdict:
        """Whether the synthetic table may be released, and why: ``releasable``,
        ``privacy_passed`` (None when undecidable without a holdout), ``quality_score``,
        ``exposed_share`` and ``reasons``, decided with ``limits`` (default: the report's
        ``verdict_limits``, else ``VerdictLimits()``)."""
        return release_verdict(self.aggregate_metrics, self.privacy_metrics, limits or self.verdict_limits)

    def utility_targets(self) -> Dict[str, str]:
        """The column each utility result predicts, by result name."""
        targets = {}
        for name, result in self.aggregate_metrics.items():
            details = result.details if isinstance(result.details, dict) else {}
            if result.category == "utility" and "target" in details:
                targets[name] = str(details["target"])
        return targets

    def to_frame(self) -> pd.DataFrame:
        """One row per result (columns name, scope, category, value, higher_is_better,
        description): the aggregate results, then the privacy results, each in filing
        order, as the report page lists them."""
        rows = [
            [result.name, scope, result.category, result.value, bool(result.higher_is_better), result.description]
            for scope, results in (("aggregate", self.aggregate_metrics), ("privacy", self.privacy_metrics))
            for result in results.values()
        ]
        frame = pd.DataFrame(rows, columns=list(FRAME_COLUMNS))
        try:
            frame["value"] = frame["value"].astype(float)
        except (TypeError, ValueError):
            pass  # a value that is not a number stays as it is, in an object column
        frame["higher_is_better"] = frame["higher_is_better"].astype(bool)
        return frame

    @classmethod
    def from_dict(cls, data: Dict[str, Any]) -> "EvaluationReport":
        """The report whose ``to_dict()`` is ``data``: every result is filed back under
        its key, in order, so the rebuilt report writes the same JSON. Values written as
        null (NaN and infinities) come back as NaN.

        Raises ``TypeError`` when ``data`` or one of its fields has the wrong type and
        ``ValueError`` when a field is missing or unknown.
        """
        required = tuple(name for name in REPORT_FIELDS if name not in OPTIONAL_REPORT_FIELDS)
        _check_fields(data, REPORT_FIELDS, required, "a report")
        for name in ("real_data_n_rows", "synthetic_data_n_rows", "n_columns"):
            if isinstance(data[name], bool) or not isinstance(data[name], int):
                raise TypeError(f"{name} must be an integer, got {type(data[name]).__name__}")
        seconds = data["evaluation_time_seconds"]
        if seconds is not None and (isinstance(seconds, bool) or not isinstance(seconds, (int, float))):
            raise TypeError(f"evaluation_time_seconds must be a number, got {type(seconds).__name__}")
        report = cls(
            real_data_n_rows=data["real_data_n_rows"],
            synthetic_data_n_rows=data["synthetic_data_n_rows"],
            n_columns=data["n_columns"],
            generator_name=data["generator_name"],
            dataset_name=data["dataset_name"],
            timestamp="",
            evaluation_time_seconds=math.nan if seconds is None else seconds,
        )
        # Set after construction: a null timestamp stays null instead of becoming now.
        report.timestamp = data["timestamp"]
        if "verdict" in data:
            report.verdict_limits = _verdict_limits(data["verdict"])
        for scope in SCOPES:
            field_name = f"{scope}_metrics"
            results = data[field_name]
            if not isinstance(results, dict):
                raise TypeError(f"{field_name} must be a mapping, got {type(results).__name__}")
            filed = getattr(report, field_name)
            for key, result in results.items():
                try:
                    filed[key] = MetricResult.from_dict(result)
                except (TypeError, ValueError) as error:
                    raise type(error)(f"{field_name}[{key!r}]: {error}") from None
        return report

    @classmethod
    def from_json(cls, text: str) -> "EvaluationReport":
        """The report whose ``to_json()`` is ``text`` (see ``from_dict``); text that is
        not JSON raises ``ValueError``."""
        return cls.from_dict(json.loads(text))

    def summary(self) -> str:
        """The release verdict with its reasons, then a text table of every metric with
        its value and direction."""
        lines = [
            self.release_verdict().summary(),
            "",
            f"Evaluation report: {self.generator_name or '(no generator)'} on {self.dataset_name}",
            f"Created {self.timestamp}; real {self.real_data_n_rows:,} rows, synthetic "
            f"{self.synthetic_data_n_rows:,} rows, {self.n_columns} columns; "
            f"evaluated in {float(self.evaluation_time_seconds):.2f} s",
        ]
        targets = self.utility_targets()
        if targets:
            by_target: Dict[str, List[str]] = {}
            for name, target in targets.items():
                by_target.setdefault(target, []).append(name)
            lines.append(
                "Utility target: "
                + "; ".join(f"{target!r} ({', '.join(names)})" for target, names in by_target.items())
            )
        for title, results in (("Metrics", self.aggregate_metrics), ("Privacy metrics", self.privacy_metrics)):
            lines.append("")
            lines.append(f"{title} ({len(results)})")
            if not results:
                lines.append("  (none)")
                continue
            rows = [
                [name, result.category, _format_value(result.value), "higher" if result.higher_is_better else "lower"]
                for name, result in results.items()
            ]
            table = _text_table(["metric", "category", "value", "better"], rows)
            lines.extend("  " + line for line in table.splitlines())
        return "\n".join(lines)

    def to_dict(self) -> Dict[str, Any]:
        """The report as plain JSON-ready data."""
        return {
            "dataset_name": to_jsonable(self.dataset_name),
            "generator_name": to_jsonable(self.generator_name),
            "timestamp": to_jsonable(self.timestamp),
            "real_data_n_rows": to_jsonable(self.real_data_n_rows),
            "synthetic_data_n_rows": to_jsonable(self.synthetic_data_n_rows),
            "n_columns": to_jsonable(self.n_columns),
            "evaluation_time_seconds": to_jsonable(self.evaluation_time_seconds),
            "verdict": self.release_verdict().to_dict(),
            "aggregate_metrics": {name: result.to_dict() for name, result in self.aggregate_metrics.items()},
            "privacy_metrics": {name: result.to_dict() for name, result in self.privacy_metrics.items()},
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        """The report as JSON text; NaN and infinite values are written as null."""
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False)


# The comparison lives in its own module; it is part of this module's interface.
from velmora.tabular.evaluator.comparison import ComparisonResult, compare  # noqa: E402
