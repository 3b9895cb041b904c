"""The metrics of the evaluation suite, as the evaluator's catalogue lists them.

The catalogue is written once, beside the evaluator's dispatch, and read here from
``TabularEvaluator.METRIC_CATALOGUE``: each metric's class and call, how its results are
named, its direction, range, group and texts. The report records (quality score and
release verdict), the command line and the documentation take everything they say
about a metric from here.
"""

from dataclasses import dataclass
from typing import Dict, Optional, Tuple

from velmora.tabular.evaluator.evaluator import TabularEvaluator

__all__ = ["GROUPS", "QUALITY_GROUPS", "MetricInfo", "metric_catalogue", "metric_info", "metric_names", "metric_of"]

# What the metrics measure, in the order the quality score lists them; privacy last.
GROUPS = ("marginal", "pairwise", "joint", "utility", "privacy")
QUALITY_GROUPS = GROUPS[:-1]


@dataclass(frozen=True)
class MetricInfo:
    """One metric of the catalogue (the fields of ``TabularEvaluator.METRIC_CATALOGUE``)."""

    name: str
    module: str
    class_name: str
    call: str
    filing: str  # "per_column", "per_key", "single", "returned" or "privacy"
    result_name: str  # the result's name, or the prefix of its per-column names
    stage: str
    guarded: bool
    category: str
    higher_is_better: bool
    group: str
    value_range: str
    description: str
    summary: str
    options: Tuple[str, ...]
    needs_target: bool

    @property
    def per_column(self) -> bool:
        """Whether it files one result per column, named ``result_name`` + the column."""
        return self.filing in ("per_column", "per_key")

    @property
    def better(self) -> str:
        return "higher" if self.higher_is_better else "lower"

    def files(self, result_name: str) -> bool:
        """Whether ``result_name`` is the name of a result of this metric."""
        if self.per_column:
            return result_name.startswith(self.result_name)
        return result_name == self.result_name


def _read() -> Tuple[MetricInfo, ...]:
    fields = TabularEvaluator.METRIC_CATALOGUE_FIELDS
    return tuple(MetricInfo(**dict(zip(fields, row))) for row in TabularEvaluator.METRIC_CATALOGUE)


_CATALOGUE = _read()
_BY_NAME: Dict[str, MetricInfo] = {info.name: info for info in _CATALOGUE}


def metric_catalogue() -> Tuple[MetricInfo, ...]:
    """Every metric of the suite, in the order of ``TabularEvaluator.DEFAULT_METRICS``."""
    return _CATALOGUE


def metric_names() -> Tuple[str, ...]:
    return tuple(info.name for info in _CATALOGUE)


def metric_info(name: str) -> MetricInfo:
    """The metric named ``name``; ``KeyError`` naming the known ones otherwise."""
    try:
        return _BY_NAME[name]
    except KeyError:
        raise KeyError(f"unknown metric {name!r}; known metrics: {', '.join(_BY_NAME)}") from None


def metric_of(result_name: str) -> Optional[MetricInfo]:
    """The metric whose result ``result_name`` is, or None for a result of no metric of
    the catalogue. A fixed name wins over a per-column prefix."""
    for info in _CATALOGUE:
        if not info.per_column and info.files(result_name):
            return info
    for info in _CATALOGUE:
        if info.per_column and info.files(result_name):
            return info
    return None
