"""Several evaluation reports side by side, and which one to release.

``compare(reports)`` (also ``velmora.tabular.evaluator.report.compare``) gives a
``ComparisonResult``: every metric's value per report, the best report per metric (none
on a tie), each report's release verdict and quality score, and the recommended report:
the releasable one with the highest quality score, ties broken by the smaller exposed
share, then the smaller attack risk; none when no report is releasable or when two are
tied on all three.
"""

import math
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import pandas as pd

from velmora.tabular.evaluator._text import _format_value, _text_table, to_jsonable
from velmora.tabular.evaluator.verdict import ReleaseVerdict

if TYPE_CHECKING:
    from velmora.tabular.evaluator.report import EvaluationReport

__all__ = ["ComparisonResult", "compare"]


class ComparisonResult:
    """Several evaluation reports side by side.

    Attributes
    ----------
    reports : list of EvaluationReport
        The compared reports, in the order given.
    labels : list of str
        One label per report: its generator name (or "report"), made unique by a "#2",
        "#3", ... suffix on repeats.
    table : pandas.DataFrame
        Metric values, one row per metric name (first-seen order), one column per
        report; NaN where a report lacks the metric.
    higher_is_better : dict
        The direction of each metric, taken from the first report that has it.
    best : dict
        For each metric, the label of the best report (highest value when higher is
        better, else lowest), or None when no report has a finite value for it or when
        several share the best value (``ties`` names them).
    ties : dict
        For each metric whose best value several reports share, their labels.
    verdicts : dict
        Each report's ``release_verdict()``, by label.
    recommended : str or None
        The label of the report to release (see the module docstring), or None.
    recommendation : str
        Why, in one line.
    """

    def __init__(self, reports: List["EvaluationReport"]) -> None:
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
        self.ties: Dict[str, List[str]] = {}
        for name, row in values.items():
            finite = [value for value in row if math.isfinite(value)]
            if not finite:
                self.best[name] = None
                continue
            top = max(finite) if self.higher_is_better[name] else min(finite)
            leaders = [self.labels[position] for position, value in enumerate(row) if value == top]
            self.best[name] = leaders[0] if len(leaders) == 1 else None
            if len(leaders) > 1:
                self.ties[name] = leaders
        self.verdicts: Dict[str, ReleaseVerdict] = {
            label: report.release_verdict() for label, report in zip(self.labels, self.reports)
        }
        self.recommended, self.recommendation = self._recommend()

    def __repr__(self) -> str:
        return (
            f"ComparisonResult(labels={self.labels!r}, metrics={len(self.table.index)}, "
            f"recommended={self.recommended!r})"
        )

    def _recommend(self) -> Tuple[Optional[str], str]:
        def key(label: str) -> Tuple[float, float, float]:
            verdict = self.verdicts[label]
            risk = verdict.attack_risk if verdict.attack_risk is not None else 0.0
            return (-verdict.quality_score, verdict.exposed_share, risk)

        releasable = sorted((label for label in self.labels if self.verdicts[label].releasable), key=key)
        if not releasable:
            return None, "no version is releasable"
        if len(releasable) > 1 and key(releasable[0]) == key(releasable[1]):
            tied = [label for label in releasable if key(label) == key(releasable[0])]
            return None, f"no single best: {', '.join(tied)} tie on quality, exposure and attack risk"
        best = self.verdicts[releasable[0]]
        return releasable[0], (
            f"{releasable[0]}: the releasable version of highest quality ({best.quality_score:.4f}, "
            f"{len(releasable)} of {len(self.labels)} releasable)"
        )

    def overall_scores(self) -> Dict[str, float]:
        """Each report's overall score (``EvaluationReport.overall_score``, the page's mean),
        by label."""
        return {label: report.overall_score() for label, report in zip(self.labels, self.reports)}

    def quality_scores(self) -> Dict[str, float]:
        """Each report's grouped quality score, by label."""
        return {label: verdict.quality_score for label, verdict in self.verdicts.items()}

    @staticmethod
    def _number(value: Any) -> float:
        try:
            return float(value)
        except (TypeError, ValueError):
            return math.nan

    @staticmethod
    def _unique_labels(reports: List["EvaluationReport"]) -> List[str]:
        labels: List[str] = []
        seen: Dict[str, int] = {}
        for report in reports:
            base = str(report.generator_name) or "report"
            seen[base] = seen.get(base, 0) + 1
            labels.append(base if seen[base] == 1 else f"{base}#{seen[base]}")
        return labels

    def wins(self) -> Dict[str, int]:
        """How many metrics each report is alone best at, by label (ties count for none)."""
        counts = {label: 0 for label in self.labels}
        for label in self.best.values():
            if label is not None:
                counts[label] += 1
        return counts

    def summary(self) -> str:
        """The recommendation and each report's verdict first, then a text table of every
        metric's value per report with the best report, each report's quality and
        overall scores and how many metrics it is alone best at."""
        if not self.reports:
            return "Comparison of 0 reports"
        verdict_rows = [
            [
                label,
                verdict.label,
                _format_value(verdict.quality_score) if math.isfinite(verdict.quality_score) else "-",
                f"{100.0 * verdict.exposed_share:.1f}%",
                _format_value(verdict.attack_risk) if verdict.attack_risk is not None else "-",
            ]
            for label, verdict in self.verdicts.items()
        ]
        rows = []
        for name in self.table.index:
            cells = [_format_value(value) if math.isfinite(value) else "-" for value in self.table.loc[name]]
            direction = "higher" if self.higher_is_better[name] else "lower"
            best = self.best[name] or ("tie: " + ", ".join(self.ties[name]) if name in self.ties else "-")
            rows.append([str(name)] + cells + [direction, best])
        header = ["metric"] + self.labels + ["better", "best"]
        scores = ", ".join(
            f"{label}: {_format_value(score) if math.isfinite(score) else '-'}"
            for label, score in self.overall_scores().items()
        )
        wins = ", ".join(f"{label}: {count}" for label, count in self.wins().items())
        return (
            f"Comparison of {len(self.reports)} reports\n"
            f"Recommended: {self.recommended or 'none'} ({self.recommendation})\n"
            f"{_text_table(['version', 'verdict', 'quality', 'exposed', 'attack risk'], verdict_rows)}\n\n"
            f"{_text_table(header, rows)}\n"
            f"Overall scores (the page's mean): {scores}\nAlone best at: {wins}"
        )

    def to_dict(self) -> Dict[str, Any]:
        """The comparison as plain JSON-ready data: the recommendation, each report's
        verdict and scores, then the metric table."""
        return {
            "recommended": self.recommended,
            "recommendation": self.recommendation,
            "labels": list(self.labels),
            "versions": {
                label: {
                    "verdict": verdict.to_dict(),
                    "quality_score": to_jsonable(verdict.quality_score),
                    "overall_score": to_jsonable(report.overall_score()),
                }
                for (label, verdict), report in zip(self.verdicts.items(), self.reports)
            },
            "metrics": {
                str(name): {
                    "values": {label: to_jsonable(value) for label, value in self.table.loc[name].items()},
                    "higher_is_better": self.higher_is_better[name],
                    "best": self.best[name],
                    "ties": list(self.ties.get(name, [])),
                }
                for name in self.table.index
            },
            "overall_scores": to_jsonable(self.overall_scores()),
            "wins": self.wins(),
        }


def compare(reports: List["EvaluationReport"]) -> ComparisonResult:
    """Set evaluation reports side by side.

    ``reports`` is a list (or tuple) of ``EvaluationReport``; an empty list gives an
    empty comparison. Raises ``TypeError`` for anything else.
    """
    from velmora.tabular.evaluator.report import EvaluationReport

    if not isinstance(reports, (list, tuple)):
        raise TypeError(f"compare() expects a list of EvaluationReport, got {type(reports).__name__}")
    for position, report in enumerate(reports):
        if not isinstance(report, EvaluationReport):
            raise TypeError(f"compare() expects EvaluationReport items; item {position} is {type(report).__name__}")
    return ComparisonResult(reports)
