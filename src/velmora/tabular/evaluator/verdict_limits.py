"""The limits of a release verdict (``velmora.tabular.evaluator.verdict``), in a module
of their own so that the command line reads their defaults without loading the
evaluator."""

from dataclasses import asdict, dataclass
from typing import Any, Mapping

__all__ = ["VerdictLimits"]


@dataclass(frozen=True)
class VerdictLimits:
    """The limits of a release verdict.

    Parameters
    ----------
    max_exposed_share : float, default 0.02
        Privacy fails when the share of real records reproduced beyond chance (or of
        synthetic records reproducing a real one), at its lower 95% bound, reaches this.
    max_attack_risk : float, default 0.3
        Privacy fails when the membership attack's risk reaches this (the report page's
        own limit for the attack).
    max_repeated_share : float, default 0.1
        Without a holdout, a real table where this share of the rows repeat or more can
        make a copy and a fresh sample look alike: privacy is then undecided unless it
        failed.
    min_quality : float, default 0.5
        A releasable table keeps at least this quality score.
    """

    max_exposed_share: float = 0.02
    max_attack_risk: float = 0.3
    max_repeated_share: float = 0.1
    min_quality: float = 0.5

    def __post_init__(self) -> None:
        for name, value in asdict(self).items():
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0.0 <= value <= 1.0:
                raise ValueError(f"{name} must be a number between 0 and 1, got {value!r}")

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> "VerdictLimits":
        if not isinstance(data, Mapping):
            raise TypeError(f"the verdict's limits must be a mapping, got {type(data).__name__}")
        known = set(cls.__dataclass_fields__)
        unknown = [str(name) for name in data if name not in known]
        if unknown:
            raise ValueError(f"the verdict's limits have the unknown field(s) {', '.join(map(repr, unknown))}")
        return cls(**dict(data))
