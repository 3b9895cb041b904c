"""The release decision read off an evaluation report: a quality score that counts each
property once, and a verdict on whether the synthetic table may be released.

**Quality score.** The fidelity and utility results are grouped by what they measure
(the catalogue's groups): "marginal" (each column on its own: KS, Wasserstein, total
variation, Hellinger), "pairwise" (dependence between two columns: Pearson, Spearman,
the correlation matrices), "joint" (whole records: MMD, alpha-precision, beta-recall)
and "utility" (a prediction task: TSTR, prediction agreement). The score is the mean
over the groups of each group's mean, so thirty per-column scores count as one
property, as do two correlation scores. Undefined results (NaN: a target no model can
predict) are left out; privacy results never enter it. It lies in [0, 1].

**Verdict.** A table is releasable when its privacy passed and its quality score
reaches ``min_quality`` (when no fidelity or utility result was filed, quality is not
judged). Privacy fails on evidence of copying: a lower 95% bound of the
share of real records reproduced beyond chance, or of the share of synthetic records
reproducing a real one beyond chance, at or above ``max_exposed_share``, or a
membership attack risk at or above ``max_attack_risk``; or a synthetic table that
repeats the real table's counts of each row far more closely than an independent
sample would (a copy of a table whose rows all repeat, where no single record stands
out; see ``metrics.privacy.row_counts``), with or without a holdout. With a holdout the chance level
is the holdout's own and privacy is always decided. Without one it comes from the real
table itself (each record against the others), and on a table where at least
``max_repeated_share`` of the real rows repeat, reproduced records and a successful
attack could be chance, or a copy of the repeats: privacy is then undecided (None)
unless the row counts show a copy, and the verdict asks for a holdout.
"""

import math
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Mapping, Optional

from velmora.tabular.evaluator.catalogue import QUALITY_GROUPS, metric_of
from velmora.tabular.evaluator.verdict_limits import VerdictLimits

__all__ = ["ReleaseVerdict", "group_scores", "quality_score", "release_verdict"]

MEMBERSHIP = "membership_inference_auc"
CLOSEST_RECORD = "distance_to_closest_record"


@dataclass(frozen=True)
class ReleaseVerdict:
    """Whether a synthetic table may be released, and why.

    ``privacy_passed`` is True, False, or None when it cannot be decided without a
    holdout (``releasable`` is then False and a reason asks for one). ``exposed_share``
    is the share of real records the release exposes (beyond chance with a holdout, all
    reproduced ones without), ``quality_score`` the grouped quality score (NaN when no
    fidelity result was filed); ``reasons`` say, one line each, what decided.
    """

    releasable: bool
    privacy_passed: Optional[bool]
    quality_score: float
    exposed_share: float
    reasons: List[str] = field(default_factory=list)
    attack_risk: Optional[float] = None
    holdout: bool = False
    limits: VerdictLimits = field(default_factory=VerdictLimits)

    @property
    def label(self) -> str:
        """The decision in words, one of ``release``, ``do not release`` and
        ``undecided: needs a holdout``."""
        if self.releasable:
            return "release"
        if self.privacy_passed is None:
            return "undecided: needs a holdout"
        return "do not release"

    def to_dict(self) -> Dict[str, Any]:
        """The verdict as JSON-ready data: the four headline fields first."""
        return {
            "releasable": self.releasable,
            "privacy_passed": self.privacy_passed,
            "quality_score": _finite(self.quality_score),
            "exposed_share": _finite(self.exposed_share),
            "reasons": list(self.reasons),
            "attack_risk": _finite(self.attack_risk),
            "holdout": self.holdout,
            "limits": asdict(self.limits),
        }

    def summary(self) -> str:
        lines = [f"Verdict: {self.label.upper()}"]
        lines += [f"  - {reason}" for reason in self.reasons]
        return "\n".join(lines)


def _finite(value: Optional[float]) -> Optional[float]:
    return None if value is None or not math.isfinite(value) else float(value)


def _number(value: Any) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


def group_scores(results: Mapping[str, Any]) -> Dict[str, float]:
    """Each quality group's mean of its finite results (``results``: name -> MetricResult,
    the aggregate ones of a report); groups without one are left out. Results of no
    metric of the catalogue, and lower-is-better ones, do not count."""
    values: Dict[str, List[float]] = {group: [] for group in QUALITY_GROUPS}
    for name, result in results.items():
        info = metric_of(str(name))
        if info is None or info.group not in values or not info.higher_is_better:
            continue
        value = _number(result.value)
        if math.isfinite(value):
            values[info.group].append(value)
    return {group: sum(found) / len(found) for group, found in values.items() if found}


def quality_score(results: Mapping[str, Any]) -> float:
    """The mean of the group means of ``group_scores``, NaN when no group has a result."""
    groups = group_scores(results)
    if not groups:
        return math.nan
    return min(1.0, max(0.0, sum(groups.values()) / len(groups)))


def _exposure(privacy: Mapping[str, Any]) -> Optional[Dict[str, Any]]:
    for name in (CLOSEST_RECORD, MEMBERSHIP):
        result = privacy.get(name)
        details = getattr(result, "details", None)
        if isinstance(details, dict) and isinstance(details.get("exposure"), dict):
            return details["exposure"]
    return None


def _share(value: Any) -> float:
    number = _number(value)
    return number if math.isfinite(number) else 0.0


def _percent(value: float) -> str:
    return f"{100.0 * value:.1f}%"


def release_verdict(
    aggregate: Mapping[str, Any], privacy: Mapping[str, Any], limits: Optional[VerdictLimits] = None
) -> ReleaseVerdict:
    """The verdict on a report's results (``aggregate`` and ``privacy``: name -> result)."""
    limits = limits or VerdictLimits()
    quality = quality_score(aggregate)
    reasons: List[str] = []
    exposure = _exposure(privacy)
    attack = privacy.get(MEMBERSHIP)
    attack_risk = _number(attack.value) if attack is not None else None
    if attack_risk is not None and not math.isfinite(attack_risk):
        attack_risk = None
    holdout = bool(exposure and str(exposure.get("chance_source", "")).startswith("holdout"))
    exposed = _share(exposure.get("exposed_share")) if exposure else 0.0

    privacy_passed: Optional[bool]
    if exposure is None and attack_risk is None:
        privacy_passed = None
        reasons.append("no privacy result to decide on: run membership_inference_auc and distance_to_closest_record")
    else:
        privacy_passed = _privacy(exposure, attack_risk, holdout, limits, reasons)

    if not math.isfinite(quality):
        reasons.append("quality not judged: no fidelity or utility result")
        quality_passed = True
    elif quality < limits.min_quality:
        reasons.append(f"quality score {quality:.3f} is below {limits.min_quality:g}")
        quality_passed = False
    else:
        reasons.append(f"quality score {quality:.3f} (at least {limits.min_quality:g})")
        quality_passed = True
    releasable = privacy_passed is True and quality_passed
    return ReleaseVerdict(
        releasable=releasable,
        privacy_passed=privacy_passed,
        quality_score=quality,
        exposed_share=exposed,
        reasons=reasons,
        attack_risk=attack_risk,
        holdout=holdout,
        limits=limits,
    )


def _privacy(
    exposure: Optional[Dict[str, Any]],
    attack_risk: Optional[float],
    holdout: bool,
    limits: VerdictLimits,
    reasons: List[str],
) -> Optional[bool]:
    """Decides privacy, appending the reasons."""
    failed = False
    repeated = _share(exposure.get("repeated_share")) if exposure else 0.0
    repeats = not holdout and repeated >= limits.max_repeated_share
    where = "the holdout's" if holdout else "the real table's own"
    if exposure is not None:
        for which, noun in (
            ("reproduced", "real records reproduced"),
            ("reproducing", "synthetic records reproducing a real one"),
        ):
            beyond = exposure.get(f"{which}_beyond_chance")
            scale = _share(exposure.get("eligible_share")) if which == "reproduced" else 1.0
            raw = _share(exposure.get("reproduced_share" if which == "reproduced" else "synthetic_reproducing_share"))
            if beyond is None:
                if raw >= limits.max_exposed_share:
                    reasons.append(f"{_percent(raw)} of the {noun}: as many as chance gives at {where} level")
                continue
            value = scale * _share(beyond)
            bound = scale * (_share(beyond) - 1.6448536269514722 * _share(exposure.get(f"{which}_error")))
            if bound >= limits.max_exposed_share:
                # Without a holdout, on a table whose rows repeat, the real table's own
                # chance level may fall short of the population's: evidence, not proof.
                failed = failed or not repeats
                chance = _percent(_share(exposure.get(f"chance_{which}_share")))
                reasons.append(
                    f"{_percent(value)} of the {noun} beyond chance ({_percent(raw)} in all, {where} chance level "
                    f"{chance}); limit {_percent(limits.max_exposed_share)}"
                )
            elif which == "reproduced":
                reasons.append(
                    f"{_percent(value)} of the real records reproduced beyond chance ({_percent(raw)} in all); "
                    f"limit {_percent(limits.max_exposed_share)}"
                )
    counts = exposure.get("row_counts") if exposure else None
    if isinstance(counts, Mapping) and counts.get("memorised"):
        failed = True
        reasons.append(
            f"the synthetic rows repeat the real table's counts of each row: distance "
            f"{_share(counts.get('distance')):.3f} between the two, where independent samples of the real rows "
            f"differ by {_share(counts.get('chance_distance')):.3f} (± {_share(counts.get('chance_spread')):.3f})"
        )
    if attack_risk is not None:
        if attack_risk >= limits.max_attack_risk and not repeats:
            failed = True
            reasons.append(f"membership attack risk {attack_risk:.3f} reaches the limit {limits.max_attack_risk:g}")
        else:
            reasons.append(f"membership attack risk {attack_risk:.3f} (limit {limits.max_attack_risk:g})")
    if failed:
        return False
    if repeats and exposure is not None:
        raw = max(_share(exposure.get("reproduced_share")), _share(exposure.get("synthetic_reproducing_share")))
        signal = raw >= limits.max_exposed_share or (attack_risk is not None and attack_risk >= limits.max_attack_risk)
        if signal:
            reasons.insert(
                0,
                f"cannot be decided without a holdout: {_percent(repeated)} of the real rows repeat, so a copy of "
                "them cannot be told from a fresh sample that meets them by chance; pass holdout= (real records "
                "the generator never saw; --holdout on the command line)",
            )
            return None
    return True
