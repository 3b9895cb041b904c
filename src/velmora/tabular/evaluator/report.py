"""Report records of the evaluation suite.

``MetricResult`` holds one score; ``EvaluationReport`` files the results of one
evaluation run, by name, in two insertion-ordered mappings (``aggregate_metrics`` and
``privacy_metrics``), computes its overall score, renders the results as text, a table,
a plain dict or JSON, and is rebuilt from that dict or JSON; ``compare`` sets several
reports side by side in a ``ComparisonResult``.
"""

import datetime as _datetime
import json
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional

import numpy as np
import pandas as pd

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
    "aggregate_metrics",
    "privacy_metrics",
)
RESULT_FIELDS = ("name", "value", "category", "higher_is_better", "description", "details")
FRAME_COLUMNS = ("name", "scope", "category", "value", "higher_is_better", "description")


def to_jsonable(value: Any) -> Any:
    """``value`` as plain Python data that ``json.dumps`` accepts with ``allow_nan=False``.

    numpy scalars and arrays become Python numbers and lists, NaN and infinities become
    None, timestamps become ISO-8601 text, mapping keys become strings, and any other
    object its ``str()``.
    """
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        number = float(value)
        return number if math.isfinite(number) else None
    if isinstance(value, dict):
        return {str(key): to_jsonable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        items = sorted(value, key=str) if isinstance(value, (set, frozenset)) else value
        return [to_jsonable(item) for item in items]
    if isinstance(value, np.ndarray):
        return [to_jsonable(item) for item in value.tolist()]
    if isinstance(value, pd.Series):
        return {str(key): to_jsonable(item) for key, item in value.items()}
    if isinstance(value, (_datetime.datetime, _datetime.date, pd.Timestamp)):
        return value.isoformat()
    if value is pd.NaT or value is pd.NA:
        return None
    return str(value)


def _format_value(value: Any) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return str(value)
    return f"{number:.4f}"


def _text_table(header: List[str], rows: List[List[str]]) -> str:
    widths = [len(text) for text in header]
    for row in rows:
        widths = [max(width, len(text)) for width, text in zip(widths, row)]

    def line(cells: List[str]) -> str:
        return "  ".join(text.ljust(width) for text, width in zip(cells, widths)).rstrip()

    rule = "  ".join("-" * width for width in widths)
    return "\n".join([line(header), rule] + [line(row) for row in rows])


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
        """Every result by name: the aggregate ones, then the privacy ones (a privacy
        result replaces an aggregate one of the same name)."""
        return {**self.aggregate_metrics, **self.privacy_metrics}

    def overall_score(self) -> float:
        """The overall quality score, as the report page shows it: the mean value of the
        results where higher is better (aggregate ones first, then privacy ones; a
        privacy result replaces an aggregate one of the same name), NaN when there is
        none. A NaN value makes the score NaN."""
        values = [result.value for result in self.metrics.values() if result.higher_is_better]
        if not values:
            return math.nan
        return float(sum(values) / len(values))

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
        _check_fields(data, REPORT_FIELDS, REPORT_FIELDS, "a report")
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
        """A text table of every metric with its value and direction."""
        lines = [
            f"Evaluation report: {self.generator_name or '(no generator)'} on {self.dataset_name}",
            f"Created {self.timestamp}; real {self.real_data_n_rows:,} rows, synthetic "
            f"{self.synthetic_data_n_rows:,} rows, {self.n_columns} columns; "
            f"evaluated in {float(self.evaluation_time_seconds):.2f} s",
        ]
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
            "aggregate_metrics": {name: result.to_dict() for name, result in self.aggregate_metrics.items()},
            "privacy_metrics": {name: result.to_dict() for name, result in self.privacy_metrics.items()},
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        """The report as JSON text; NaN and infinite values are written as null."""
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False)


class ComparisonResult:
    """Several evaluation reports side by side.

    Attributes
    ----------
    reports : list of EvaluationReport
        The compared reports, in the order given.
    labels : list of str
        One column label per report: its generator name (or "report"), made unique by
        a "#2", "#3", ... suffix on repeats.
    table : pandas.DataFrame
        Metric values, one row per metric name (first-seen order), one column per
        report; NaN where a report lacks the metric.
    higher_is_better : dict
        The direction of each metric, taken from the first report that has it.
    best : dict
        For each metric, the label of the best report (highest value when higher is
        better, else lowest; the first report on ties), or None when no report has a
        finite value for it.
    """

    def __init__(self, reports: List[EvaluationReport]) -> None:
        self.reports = list(reports)
        self.labels = self._unique_labels(self.reports)
        values: Dict[str, List[float]] = {}
        self.higher_is_better: Dict[str, bool] = {}
        for position, report in enumerate(self.reports):
            for name, result in report.metrics.items():
                if name not in values:
                    values[name] = [math.nan] * len(self.reports)
                    self.higher_is_better[name] = bool(result.higher_is_better)
                values[name][position] = self._number(result.value)
        self.table = pd.DataFrame.from_dict(values, orient="index", columns=self.labels, dtype=float)
        self.table.index.name = "metric"
        self.best: Dict[str, Optional[str]] = {}
        for name, row in values.items():
            candidates = [(value, position) for position, value in enumerate(row) if math.isfinite(value)]
            if not candidates:
                self.best[name] = None
                continue
            sign = -1.0 if self.higher_is_better[name] else 1.0
            _, position = min(candidates, key=lambda item: (sign * item[0], item[1]))
            self.best[name] = self.labels[position]

    def __repr__(self) -> str:
        return f"ComparisonResult(labels={self.labels!r}, metrics={len(self.table.index)})"

    def overall_scores(self) -> Dict[str, float]:
        """Each report's overall score (``EvaluationReport.overall_score``), by label."""
        return {label: report.overall_score() for label, report in zip(self.labels, self.reports)}

    @staticmethod
    def _number(value: Any) -> float:
        try:
            return float(value)
        except (TypeError, ValueError):
            return math.nan

    @staticmethod
    def _unique_labels(reports: List[EvaluationReport]) -> List[str]:
        labels: List[str] = []
        seen: Dict[str, int] = {}
        for report in reports:
            base = str(report.generator_name) or "report"
            seen[base] = seen.get(base, 0) + 1
            labels.append(base if seen[base] == 1 else f"{base}#{seen[base]}")
        return labels

    def wins(self) -> Dict[str, int]:
        """How many metrics each report is best at, by label."""
        counts = {label: 0 for label in self.labels}
        for label in self.best.values():
            if label is not None:
                counts[label] += 1
        return counts

    def summary(self) -> str:
        """A text table of every metric's value per report and the best report, then
        each report's overall score and how many metrics it is best at."""
        if not self.reports:
            return "Comparison of 0 reports"
        rows = []
        for name in self.table.index:
            cells = [_format_value(value) if math.isfinite(value) else "-" for value in self.table.loc[name]]
            direction = "higher" if self.higher_is_better[name] else "lower"
            rows.append([str(name)] + cells + [direction, self.best[name] or "-"])
        header = ["metric"] + self.labels + ["better", "best"]
        scores = ", ".join(
            f"{label}: {_format_value(score) if math.isfinite(score) else '-'}"
            for label, score in self.overall_scores().items()
        )
        wins = ", ".join(f"{label}: {count}" for label, count in self.wins().items())
        return (
            f"Comparison of {len(self.reports)} reports\n{_text_table(header, rows)}\n"
            f"Overall scores: {scores}\nBest counts: {wins}"
        )

    def to_dict(self) -> Dict[str, Any]:
        """The comparison as plain JSON-ready data."""
        return {
            "labels": list(self.labels),
            "metrics": {
                str(name): {
                    "values": {label: to_jsonable(value) for label, value in self.table.loc[name].items()},
                    "higher_is_better": self.higher_is_better[name],
                    "best": self.best[name],
                }
                for name in self.table.index
            },
            "overall_scores": to_jsonable(self.overall_scores()),
            "wins": self.wins(),
        }


def compare(reports: List[EvaluationReport]) -> ComparisonResult:
    """Set evaluation reports side by side.

    ``reports`` is a list (or tuple) of ``EvaluationReport``; an empty list gives an
    empty comparison. Raises ``TypeError`` for anything else.
    """
    if not isinstance(reports, (list, tuple)):
        raise TypeError(f"compare() expects a list of EvaluationReport, got {type(reports).__name__}")
    for position, report in enumerate(reports):
        if not isinstance(report, EvaluationReport):
            raise TypeError(f"compare() expects EvaluationReport items; item {position} is {type(report).__name__}")
    return ComparisonResult(reports)
