"""A distance-threshold membership-inference attack."""

import math
from typing import Dict, Optional, Tuple

import numpy as np
import pandas as pd

from velmora._metric_core.data import resolve_seed

from .._neighbours import (
    DEFAULT_MAX_PAIRS,
    HOLDOUT,
    REAL,
    SYNTHETIC,
    WeightedSample,
    checked_holdout,
    embedded_rows,
    found_in,
    nearest_distances,
    query_cap,
    query_interval,
    sample_queries,
    sampling_details,
)
from .exposure import DEFAULT_K_ANONYMITY, exposure_of, profiles_of

__all__ = ["MembershipInferenceMetric", "ThresholdAttack"]

# Mean of the supremum of a Brownian bridge, sqrt(pi / 8): the largest gap between the
# distribution functions of two samples of n and m values from one population is, on
# average, this times sqrt(1/n + 1/m) (the one-sided Kolmogorov-Smirnov limit).
_CHANCE_GAP = math.sqrt(math.pi / 8.0)


class ThresholdAttack:
    """The best attack "exact copy, or distance at most t" between two groups of rows.

    Each group is a share of exact copies (found by hashing) plus a sample of the
    distances of its other rows: the suspected group (``close_share``, ``close``) and
    the baseline group (``baseline_share``, ``baseline``). F(t) is a group's share of
    rows that are exact copies or within t; the attack flagging exact copies only has
    the gap close_share - baseline_share, read off every row. The raw gap is the largest
    F_close - F_baseline over both kinds of threshold, at least 0 (a threshold beyond
    every distance flags everyone in both groups).

    The largest gap over the distance thresholds is optimistic: even two samples of one
    population show a gap of sqrt(pi/8) sqrt((1 - close_share)^2 / n +
    (1 - baseline_share)^2 / m) on average, for samples of n and m distances (the chance
    gap). The advantage is the larger of the exact-copy gap and the distance gap less
    the chance gap, at least 0.
    """

    def __init__(self, close_share: float, close: np.ndarray, baseline_share: float, baseline: np.ndarray) -> None:
        self.close_share = close_share
        self.baseline_share = baseline_share
        self.close = WeightedSample(close)
        self.baseline = WeightedSample(baseline)
        self.points = np.unique(np.concatenate([close, baseline]))
        noise = 0.0
        if len(close):
            noise += (1.0 - close_share) ** 2 / len(close)
        if len(baseline):
            noise += (1.0 - baseline_share) ** 2 / len(baseline)
        self.chance_gap = _CHANCE_GAP * math.sqrt(noise)

    def evaluate(
        self, close_weights: Optional[np.ndarray] = None, baseline_weights: Optional[np.ndarray] = None
    ) -> Tuple[float, float, Optional[float]]:
        """(advantage, raw gap, threshold), the threshold None when the exact-copy
        attack wins; the weights (one per distance) default to 1."""
        exact_gap = self.close_share - self.baseline_share
        if len(self.points) == 0:
            return max(0.0, exact_gap), max(0.0, exact_gap), None
        close_weights = np.ones(len(self.close)) if close_weights is None else close_weights
        baseline_weights = np.ones(len(self.baseline)) if baseline_weights is None else baseline_weights
        f_close = self.close_share + (1.0 - self.close_share) * self.close.cdf(self.points, close_weights)
        f_baseline = self.baseline_share + (1.0 - self.baseline_share) * self.baseline.cdf(
            self.points, baseline_weights
        )
        differences = f_close - f_baseline
        best = int(np.argmax(differences))
        distance_gap = float(differences[best])
        raw = max(0.0, exact_gap, distance_gap)
        if distance_gap - self.chance_gap > exact_gap:
            return max(0.0, distance_gap - self.chance_gap), raw, float(self.points[best])
        return max(0.0, exact_gap), raw, None


class MembershipInferenceMetric:
    """AUC of a one-sided distance-threshold membership-inference attack (0.5 = chance,
    1 = every record can be singled out); never below 0.5.

    The attacker holds the synthetic data and a candidate record and calls the record a
    member of the data the generator learned from when the record is closer than a
    threshold t to its nearest synthetic record, or is copied verbatim. This is the
    distance attack of GAN-Leaks (Chen, Yu, Zhang and Fritz, "GAN-Leaks: A taxonomy of
    membership inference attacks against generative models", CCS 2020) with the best
    threshold; its membership advantage, true-positive rate minus false-positive rate
    (Yeom, Giacomelli, Fredrikson and Jha, "Privacy risk in machine learning: analyzing
    the connection to overfitting", CSF 2018), maximised over t, is the privacy risk,
    and the AUC reported is the area under the attack's ROC curve at that threshold,
    0.5 + advantage / 2, so that |AUC - 0.5| * 2 gives the advantage back. Distances
    are Euclidean in the real-fitted standardised feature space of ``FeatureSpace``
    (numbers in real standard deviations, a differing category counting as one).

    With a ``holdout`` (real records from the same population that the generator never
    saw) the attack is scored exactly: members are the real records, non-members the
    holdout records, each at its distance to the nearest synthetic record.

    Without a holdout no non-member is at hand, so the attack is measured against the
    real data's own spacing: the suspected group is the synthetic records, each at its
    distance to the nearest real record, and the baseline is the real records, each at
    its distinct spacing, the distance to the nearest real record of another profile (a
    profile is a whole row; repeats of a record are not its neighbours, so they never
    hide a copy of it). A generator that samples the
    population without copying puts its records as far from the real records as the
    real records are from one another, and the advantage is 0; records copied or
    perturbed less than the natural spacing lie closer, and a share f of copies gives
    about f. The value is then a lower bound on the risk: an attacker with more
    knowledge (a holdout, a better distance, shadow models) may do better.

    The attack is one-sided: synthetic data farther from the real data than the real
    data is from itself is a loss of fidelity, not a privacy risk, and reads as
    chance (AUC 0.5), whatever its distance.

    Details of the estimate:

    - exact copies are found by hashing whole rows, over every row, and rank closest
      of all; a copy of a profile that more than ``k_anonymity`` real records share is
      k-anonymous: it is not counted as a copy, and such real records have spacing 0
      (their repeats), so copies of common profiles give the attacker nothing;
    - the distances of the other rows are computed against every row of the
      reference; a group is queried from a seeded sample of its rows when its search
      would exceed ``max_pairs`` query-reference pairs (or ``max_queries`` rows), and
      ``details`` then holds the sample sizes and a 95% interval of the risk;
    - the largest gap of two finite samples is positive even between two samples of
      one population (about sqrt(pi/8) sqrt(1/n + 1/m), 0.03 for 1,000 rows each);
      that expected chance gap is subtracted (see ``ThresholdAttack``), so a fresh
      sample reads about 0 and not about 0.03.

    Assumptions: the real frame holds the records the generator learned from; the
    synthetic rows are meant to be draws from the same population. Without a holdout,
    a fresh sample of a discrete population whose records often repeat reproduces real
    records by chance and reads as risk too: only a holdout tells the two apart (the
    release verdict then asks for one). ``details["exposure"]`` holds the exposure of
    the pair (see ``exposure``).

    Parameters
    ----------
    holdout : pandas.DataFrame, optional
        Real records of the same columns that the generator never saw.
    max_queries : int, optional
        At most this many rows queried per group (None or 0: no cap but ``max_pairs``).
    random_seed : int, optional
        Seed of the query samples and of the interval (None means 0).
    max_pairs : int, default 400_000_000
        Query-reference pairs per search: max_pairs // n rows of a group are queried
        against n rows (at least 1,000); None or 0 for no budget.
    k_anonymity : int, default 5
        A profile shared by more real records than this is k-anonymous.
    """

    def __init__(
        self,
        holdout: Optional[pd.DataFrame] = None,
        max_queries: Optional[int] = None,
        random_seed: Optional[int] = None,
        max_pairs: Optional[int] = DEFAULT_MAX_PAIRS,
        k_anonymity: int = DEFAULT_K_ANONYMITY,
    ) -> None:
        self.holdout = checked_holdout(holdout)
        self.max_queries = max_queries
        self.max_pairs = max_pairs
        self.random_seed = resolve_seed(random_seed)
        self.k_anonymity = int(k_anonymity)
        self.details: Dict[str, object] = {}

    def _baseline_queries(
        self, close_rows: np.ndarray, baseline_exact: np.ndarray, cap: Optional[int], frame: int
    ) -> np.ndarray:
        """The baseline rows to query. When every suspected row is an exact copy, no
        distance threshold can beat the exact-copy attack (F_close is 1 everywhere), so
        the baseline distances are not needed."""
        if len(close_rows) == 0:
            return close_rows
        return sample_queries(np.flatnonzero(~baseline_exact), len(baseline_exact), cap, self.random_seed, frame)

    def compute(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> float:
        """The attack's AUC in [0.5, 1]; ``details`` explains it."""
        others = () if self.holdout is None else (self.holdout,)
        rows = embedded_rows(real, synthetic, others)
        profiles = profiles_of(rows, self.k_anonymity)
        rng = np.random.RandomState(self.random_seed)
        if self.holdout is None:
            close_exact = found_in(rows.synthetic_hash, profiles.eligible_hashes)
            # Real records are measured at their distinct spacing: repeats are not each
            # other's neighbours, so they cannot hide copies of them.
            baseline_exact = np.zeros(len(rows.real), dtype=bool)
            # Both groups are searched against the real rows.
            cap = query_cap(len(rows.real), self.max_pairs, self.max_queries)
            close_rows = sample_queries(
                np.flatnonzero(~close_exact), len(close_exact), cap, self.random_seed, SYNTHETIC
            )
            baseline_rows = self._baseline_queries(close_rows, baseline_exact, cap, REAL)
            close = nearest_distances(rows, "synthetic", close_rows, "real")
            baseline = profiles.spacing(baseline_rows)
            groups = {
                "synthetic": (len(close_rows), int((~close_exact).sum())),
                "real_spacing": (len(baseline_rows), int((~baseline_exact).sum())),
            }
            source = "real distinct spacing"
            shares = {
                "share_exact_copies": float(close_exact.mean()),
                "share_real_repeated": float((profiles.counts >= 2).mean()),
            }
        else:
            holdout = rows.others[0]
            close_exact = profiles.eligible & found_in(rows.real_hash, rows.synthetic_hash)
            holdout_hash = rows.other_hashes[0]
            baseline_exact = (profiles.count_of(holdout_hash) + 1 <= self.k_anonymity) & found_in(
                holdout_hash, rows.synthetic_hash
            )
            # Both groups are searched against the synthetic rows.
            cap = query_cap(len(rows.synthetic), self.max_pairs, self.max_queries)
            close_rows = sample_queries(np.flatnonzero(~close_exact), len(close_exact), cap, self.random_seed, REAL)
            baseline_rows = self._baseline_queries(close_rows, baseline_exact, cap, HOLDOUT)
            close = nearest_distances(rows, "real", close_rows, "synthetic")
            baseline = nearest_distances(rows, "holdout", baseline_rows, "synthetic")
            groups = {
                "members": (len(close_rows), int((~close_exact).sum())),
                "holdout": (len(baseline_rows), int((~baseline_exact).sum())),
            }
            source = "holdout"
            shares = {
                "share_real_copied": float(close_exact.mean()),
                "share_holdout_copied": float(baseline_exact.mean()),
            }
        attack = ThresholdAttack(float(close_exact.mean()), close, float(baseline_exact.mean()), baseline)
        risk, gap, threshold = attack.evaluate()
        low, high = query_interval(
            lambda *weights: attack.evaluate(*weights)[0],
            [len(close), len(baseline)],
            [size for _, size in groups.values()],
            rng,
        )
        auc = 0.5 + risk / 2.0
        details = rows.details()
        if self.holdout is not None:
            details["n_holdout"] = len(holdout)
        details["non_members"] = source
        details.update(shares)
        details.update(
            threshold=threshold,
            raw_gap=gap,
            chance_gap=attack.chance_gap,
            privacy_risk=risk,
            risk_interval_95=[low, high],
            auc=auc,
            auc_interval_95=[0.5 + low / 2.0, 0.5 + high / 2.0],
            k_anonymity=self.k_anonymity,
        )
        details.update(sampling_details(groups, self.max_queries, self.max_pairs, self.random_seed))
        exposure = exposure_of(
            rows, self.holdout is not None, self.random_seed, self.max_pairs, self.max_queries, self.k_anonymity
        )
        details["exposure"] = exposure.to_details()
        self.details = details
        return auc
