"""Report records of the evaluation suite.

``MetricResult`` holds one score; ``EvaluationReport`` files the results of one
evaluation run, by name, in two insertion-ordered mappings (``aggregate_metrics`` and
``privacy_metrics``) and renders them as text, a plain dict or JSON; ``compare`` sets
several reports side by side in a ``ComparisonResult``.
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
        """A text table of every metric's value per report and the best report."""
        if not self.reports:
            return "Comparison of 0 reports"
        rows = []
        for name in self.table.index:
            cells = [_format_value(value) if math.isfinite(value) else "-" for value in self.table.loc[name]]
            direction = "higher" if self.higher_is_better[name] else "lower"
            rows.append([str(name)] + cells + [direction, self.best[name] or "-"])
        header = ["metric"] + self.labels + ["better", "best"]
        wins = ", ".join(f"{label}: {count}" for label, count in self.wins().items())
        return f"Comparison of {len(self.reports)} reports\n{_text_table(header, rows)}\nBest counts: {wins}"

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
            raise TypeError(
                f"compare() expects EvaluationReport items; item {position} is {type(report).__name__}"
            )
    return ComparisonResult(reports)
