"""Similarity of a synthetic frame to a real one: per column, between correlation
structures, and between the joint distributions.

Every score lies in [0, 1], 1 meaning "indistinguishable" and higher being better.
Columns are typed as in ``velmora._metric_core.data``: numbers, datetimes
and timedeltas are numeric; booleans, strings and categoricals are categorical.
"""

import math
from typing import Dict, Hashable, List, Literal, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from velmora._metric_core import kernels as _kernels
from velmora._metric_core.columns import correlation_matrix, distinct_sorted, sorted_finite
from velmora._metric_core.data import (
    ColumnScores,
    category_frequencies,
    check_frames,
    column_kind,
    numeric_values,
    resolve_seed,
    sample_positions,
    shared_columns,
    take_rows,
    unit_interval,
)
from velmora._metric_core.features import FeatureSpace

__all__ = ["UnivariateSimilarityMetrics", "CorrelationSimilarityMetrics", "MultivariateSimilarityMetrics"]


def _numeric_frequencies(real: pd.Series, synthetic: pd.Series, n_bins: int) -> Tuple[np.ndarray, np.ndarray]:
    """Frequencies of a numeric column on a binning shared by both frames.

    A column with at most ``n_bins`` distinct values in the two frames together is
    binned by value; otherwise the bins are the real column's quantiles (``n_bins``
    bins of equal real mass, the outer two open-ended so that no synthetic value falls
    outside). Missing values (NaN, infinities) form one more bin. The counts are read
    off each column's sorted values.
    """
    real_sorted = sorted_finite(numeric_values(real))
    synthetic_sorted = sorted_finite(numeric_values(synthetic))
    real_distinct = distinct_sorted(real_sorted)
    synthetic_distinct = distinct_sorted(synthetic_sorted) if len(real_distinct) <= n_bins else real_distinct
    few = len(real_distinct) <= n_bins and len(synthetic_distinct) <= n_bins
    distinct = np.union1d(real_distinct, synthetic_distinct) if few else real_distinct
    side: Literal["left", "right"]
    if few and distinct.size <= n_bins:
        # Bin k holds the values equal to distinct[k].
        edges = distinct
        side = "right"
    else:
        quantiles = np.quantile(real_sorted, np.linspace(0.0, 1.0, n_bins + 1)[1:-1])
        # Bin k holds the values v with edges[k - 1] <= v < edges[k].
        edges = np.unique(quantiles)
        side = "left"

    def counts(sorted_values: np.ndarray) -> np.ndarray:
        below = np.searchsorted(sorted_values, edges, side=side)
        bounds = np.concatenate([[0], below, [len(sorted_values)]])
        tally = np.diff(bounds).astype(np.float64)
        # By value the last bound is the largest value itself: nothing lies beyond it.
        return tally[:-1] if side == "right" else tally

    p = np.append(counts(real_sorted), float(len(real) - len(real_sorted)))
    q = np.append(counts(synthetic_sorted), float(len(synthetic) - len(synthetic_sorted)))
    return p / p.sum(), q / q.sum()


def _label_order(series: pd.Series) -> Optional[List]:
    """The categories of an ordered pandas categorical, else None."""
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype) and dtype.ordered:
        return list(dtype.categories)
    return None


def _label_positions(series: pd.Series, order: List) -> np.ndarray:
    """Positions in ``order`` of the column's labels, as floats; labels outside
    ``order`` and missing values are left out."""
    codes = pd.Categorical(series, categories=order).codes
    return codes[codes >= 0].astype(np.float64)


class UnivariateSimilarityMetrics:
    """Per-column distances between the real and synthetic marginal distributions,
    each turned into a similarity in [0, 1].

    Each method returns a mapping of "<method>_<column>" to score, whose ``details``
    attribute names the skipped columns (all values missing in the real data, no finite
    values on one side, or a constant real column where the score divides by the range).

    Parameters
    ----------
    real, synthetic : pandas.DataFrame
        The frames; the real frame's columns that the synthetic frame also has are
        compared, in real order.
    n_bins : int, default 20
        Bins of the shared binning of numeric columns (total variation, Hellinger).
    columns : sequence of labels, optional
        Restrict the comparison to these columns.
    """

    def __init__(
        self,
        real: pd.DataFrame,
        synthetic: pd.DataFrame,
        n_bins: int = 20,
        columns: Optional[Sequence[Hashable]] = None,
    ) -> None:
        check_frames(real, synthetic)
        self.real = real
        self.synthetic = synthetic
        self.n_bins = int(n_bins)
        self.columns = shared_columns(real, synthetic, columns)

    def _frequencies(self, column: Hashable) -> Optional[Tuple[np.ndarray, np.ndarray]]:
        real_column, synthetic_column = self.real[column], self.synthetic[column]
        if real_column.isna().all():
            return None
        if column_kind(real_column, synthetic_column) == "numeric":
            return _numeric_frequencies(real_column, synthetic_column, self.n_bins)
        return category_frequencies(real_column, synthetic_column)

    def wasserstein_distance_metric(self) -> ColumnScores:
        """1 - W1 / range per ordered column, keys "wasserstein_<column>".

        W1 is the 1-Wasserstein (earth mover's) distance between the empirical
        distributions of the finite values (Vaserstein 1969; the definition of
        ``scipy.stats.wasserstein_distance``), divided by the range of the real
        column and clipped to [0, 1]; every row is used. An ordered pandas
        categorical column counts as the positions of its labels in the real order
        (range: the number of categories less one; labels outside the real categories
        and missing values are left out).

        Unordered categorical and boolean columns are skipped and named in
        ``details["skipped"]``: between unordered labels the only ground distance is
        "equal or not", under which W1 is the total variation distance, which
        ``total_variation_distance`` and the KS complement already score. When every
        column is skipped, a ValueError names them with the reasons.
        """
        scores = ColumnScores()
        for column in self.columns:
            key = f"wasserstein_{column}"
            real_column, synthetic_column = self.real[column], self.synthetic[column]
            if column_kind(real_column, synthetic_column) != "numeric":
                order = _label_order(real_column)
                if order is None:
                    scores.skipped[str(column)] = "unordered categories (scored by total variation)"
                    continue
                if len(order) < 2:
                    scores.skipped[str(column)] = "constant in the real data (no range to normalise by)"
                    continue
                real_values = _label_positions(real_column, order)
                synthetic_values = _label_positions(synthetic_column, order)
                if real_values.size == 0 or synthetic_values.size == 0:
                    side = "real" if real_values.size == 0 else "synthetic"
                    scores.skipped[str(column)] = f"no value among the real categories in the {side} data"
                    continue
                _, distance = _kernels.ks_wasserstein(real_values, synthetic_values)
                scores[key] = unit_interval(1.0 - distance / (len(order) - 1))
                continue
            real_values = sorted_finite(numeric_values(real_column))
            synthetic_values = sorted_finite(numeric_values(synthetic_column))
            if real_values.size == 0 or synthetic_values.size == 0:
                side = "real" if real_values.size == 0 else "synthetic"
                scores.skipped[str(column)] = f"no finite values in the {side} data"
                continue
            value_range = float(real_values[-1] - real_values[0])
            if not value_range > 0:
                scores.skipped[str(column)] = "constant in the real data (no range to normalise by)"
                continue
            _, distance = _kernels.ks_wasserstein_sorted(real_values, synthetic_values)
            scores[key] = unit_interval(1.0 - distance / value_range)
        return _scored(scores)

    def total_variation_distance(self) -> ColumnScores:
        """1 - TV per column, keys "tv_complement_<column>".

        TV = 1/2 sum_k |p_k - q_k| over the category frequencies, or over the shared
        binning of a numeric column (see ``n_bins``); missing values are a category of
        their own.
        """
        return self._frequency_scores("tv_complement_", lambda p, q: 1.0 - 0.5 * float(np.abs(p - q).sum()))

    def hellinger_distance(self) -> ColumnScores:
        """1 - H per column, keys "hellinger_<column>".

        H = sqrt(1 - sum_k sqrt(p_k q_k)), the Hellinger distance (Hellinger 1909) of the
        frequencies used by ``total_variation_distance``; it lies in [0, 1].
        """
        return self._frequency_scores(
            "hellinger_", lambda p, q: 1.0 - math.sqrt(max(0.0, 1.0 - float(np.sqrt(p * q).sum())))
        )

    def _frequency_scores(self, prefix: str, score) -> ColumnScores:
        """score(p, q) of each column's real and synthetic frequencies, keyed prefix + column."""
        scores = ColumnScores()
        for column in self.columns:
            frequencies = self._frequencies(column)
            if frequencies is None:
                scores.skipped[str(column)] = "all values missing in the real data"
                continue
            scores[f"{prefix}{column}"] = unit_interval(score(*frequencies))
        return _scored(scores)


def _scored(scores: ColumnScores) -> ColumnScores:
    """``scores``, or a ValueError naming why each column was skipped when none was
    scored (an empty mapping would say nothing of why)."""
    if not scores and scores.skipped:
        raise ValueError(
            "every column was skipped: " + "; ".join(f"{column}: {why}" for column, why in scores.skipped.items())
        )
    return scores


def _correlation_columns(real: pd.DataFrame, synthetic: pd.DataFrame) -> List[Hashable]:
    columns = []
    for column in shared_columns(real, synthetic):
        if column_kind(real[column], synthetic[column]) == "numeric" or (
            pd.api.types.is_bool_dtype(real[column].dtype) and pd.api.types.is_bool_dtype(synthetic[column].dtype)
        ):
            columns.append(column)
    return columns


def _numeric_columns(frame: pd.DataFrame, columns: List[Hashable]) -> List[np.ndarray]:
    """The columns as float64 arrays (booleans as 0/1), NaN where a value is missing or
    infinite."""
    data = []
    for column in columns:
        # Booleans as 0.0 and 1.0, infinities as missing; a column without infinities is
        # the shared array itself, so that its digest is taken once per evaluation.
        values = numeric_values(frame[column])
        data.append(np.where(np.isinf(values), np.nan, values) if np.isinf(values).any() else values)
    return data


class CorrelationSimilarityMetrics:
    """Agreement of the pairwise correlations of the real and synthetic frames:
    1 - mean over column pairs of |r_real - r_synthetic|, clipped to [0, 1].

    The columns are the numeric ones (numbers, datetimes, timedeltas) and booleans (as
    0/1); each correlation uses the rows where both values are present. A pair is left
    out when its correlation is undefined in either frame (a constant column); the
    pairs used and left out are in ``details``.

    Parameters
    ----------
    real, synthetic : pandas.DataFrame
    """

    def __init__(self, real: pd.DataFrame, synthetic: pd.DataFrame) -> None:
        check_frames(real, synthetic)
        self.real = real
        self.synthetic = synthetic
        self.columns = _correlation_columns(real, synthetic)
        self.details: Dict[str, Dict[str, object]] = {}

    def _matrices(self, method: Literal["pearson", "spearman"]) -> Tuple[np.ndarray, np.ndarray]:
        if len(self.columns) < 2:
            raise ValueError("Correlations need at least two numeric or boolean columns.")
        real = correlation_matrix(_numeric_columns(self.real, self.columns), method)
        synthetic = correlation_matrix(_numeric_columns(self.synthetic, self.columns), method)
        return real, synthetic

    def _difference_score(self, method: Literal["pearson", "spearman"]) -> float:
        real, synthetic = self._matrices(method)
        upper = np.triu_indices(len(self.columns), k=1)
        real_pairs, synthetic_pairs = real[upper], synthetic[upper]
        usable = np.isfinite(real_pairs) & np.isfinite(synthetic_pairs)
        skipped = [
            (str(self.columns[i]), str(self.columns[j])) for i, j, ok in zip(upper[0], upper[1], usable) if not ok
        ]
        self.details[method] = {"n_pairs": int(usable.sum()), "skipped_pairs": skipped}
        if not usable.any():
            raise ValueError("No pair of columns has a defined correlation in both frames.")
        mean_gap = float(np.abs(real_pairs[usable] - synthetic_pairs[usable]).mean())
        self.details[method]["mean_abs_difference"] = mean_gap
        return unit_interval(1.0 - mean_gap)

    def pearson_correlation_difference(self) -> float:
        """1 - mean over column pairs of |r_real - r_synthetic|, with Pearson's r,
        clipped at 0.

        The absolute difference of two correlations lies in [0, 2], so the score falls
        to 0 once the correlations differ by 1 on average: a table whose columns are
        shuffled independently (every correlation near 0) scores 1 minus the mean
        |r_real|, and one with every correlation reversed scores 0. Pairs whose
        correlation is undefined in either frame are left out and named in
        ``details["pearson"]["skipped_pairs"]``.
        """
        return self._difference_score("pearson")

    def spearman_correlation_difference(self) -> float:
        """As ``pearson_correlation_difference`` with Spearman's rank correlation
        (Spearman 1904): Pearson's r of the ranks, ties sharing their mean rank."""
        return self._difference_score("spearman")


class MultivariateSimilarityMetrics:
    """Similarity of the joint distributions.

    Parameters
    ----------
    real, synthetic : pandas.DataFrame
    max_samples : int, default 5000
        MMD is exact over all rows of frames up to this many rows; a larger frame is
        replaced by a seeded sample of this size (recorded in ``details["mmd_rbf"]``).
    bandwidth_samples : int, default 1000
        Rows of the pooled data whose pairwise distances give the median heuristic.
    random_seed : int, optional
        Seed of the samples (None means 0).
    """

    def __init__(
        self,
        real: pd.DataFrame,
        synthetic: pd.DataFrame,
        max_samples: int = 5000,
        bandwidth_samples: int = 1000,
        random_seed: Optional[int] = None,
    ) -> None:
        check_frames(real, synthetic)
        self.real = real
        self.synthetic = synthetic
        self.max_samples = int(max_samples)
        self.bandwidth_samples = int(bandwidth_samples)
        self.random_seed = resolve_seed(random_seed)
        self.details: Dict[str, Dict[str, object]] = {}

    def correlation_matrix_distance(self) -> float:
        """tr(R_real R_synthetic) / (||R_real||_F ||R_synthetic||_F): one minus the
        correlation matrix distance of Herdin et al. ("Correlation matrix distance, a
        meaningful measure for evaluation of non-stationary MIMO channels", IEEE VTC
        2005), i.e. the cosine of the two Pearson correlation matrices in the Frobenius
        inner product. It lies in [0, 1] for correlation matrices, 1 when they are equal
        up to scale.

        Columns as in ``CorrelationSimilarityMetrics``; a column constant in either frame
        is left out (named in ``details``).
        """
        correlations = CorrelationSimilarityMetrics(self.real, self.synthetic)
        real, synthetic = correlations._matrices("pearson")
        # A column constant in either frame has an undefined diagonal entry (and row).
        keep = np.array([np.isfinite(real[i, i]) and np.isfinite(synthetic[i, i]) for i in range(len(real))])
        real, synthetic = real[np.ix_(keep, keep)], synthetic[np.ix_(keep, keep)]
        defined = np.isfinite(real) & np.isfinite(synthetic)
        if real.shape[0] < 2:
            raise ValueError("The correlation matrix distance needs two non-constant numeric columns.")
        real = np.where(defined, real, 0.0)
        synthetic = np.where(defined, synthetic, 0.0)
        self.details["correlation_matrix_distance"] = {
            "columns": [str(column) for column, used in zip(correlations.columns, keep) if used],
            "skipped": [str(column) for column, used in zip(correlations.columns, keep) if not used],
        }
        inner = float((real * synthetic).sum())
        return unit_interval(inner / float(np.linalg.norm(real) * np.linalg.norm(synthetic)))

    def mmd_rbf(self) -> float:
        """1 - sqrt(MMD^2 / 2) with a Gaussian (RBF) kernel.

        MMD^2 = mean k(x, x') + mean k(y, y') - 2 mean k(x, y) is the (biased, V-statistic)
        squared maximum mean discrepancy of Gretton et al. ("A kernel two-sample test",
        JMLR 2012) with k(a, b) = exp(-|a - b|^2 / (2 s^2)) in the standardised feature
        space of ``FeatureSpace``; s^2 is the median of the non-zero pairwise squared
        distances of
        a seeded sample of the pooled rows (the median heuristic). As 0 <= k <= 1,
        MMD^2 lies in [0, 2], and the score in [0, 1].
        """
        rng = np.random.RandomState(self.random_seed)
        space = FeatureSpace(self.real, self.synthetic)
        real_positions = sample_positions(len(self.real), self.max_samples, rng)
        synthetic_positions = sample_positions(len(self.synthetic), self.max_samples, rng)
        x = space.transform(take_rows(self.real, real_positions))
        y = space.transform(take_rows(self.synthetic, synthetic_positions))
        pooled = np.vstack([x, y])
        chosen = sample_positions(len(pooled), self.bandwidth_samples, rng)
        pool = pooled if chosen is None else pooled[chosen]
        squared = _kernels.pairwise_squared_distances(pool)[np.triu_indices(len(pool), k=1)]
        positive = squared[squared > 0]
        median = float(np.median(positive)) if positive.size else 1.0
        gamma = 1.0 / (2.0 * median)
        sum_xx, sum_yy, sum_xy = _kernels.rbf_kernel_sums(x, y, gamma)
        n, m = len(x), len(y)
        mmd2 = (2.0 * sum_xx + n) / (n * n) + (2.0 * sum_yy + m) / (m * m) - 2.0 * sum_xy / (n * m)
        mmd2 = max(0.0, mmd2)
        self.details["mmd_rbf"] = {
            "mmd2": mmd2,
            "bandwidth_squared": median,
            "n_real": n,
            "n_synthetic": m,
            "sampled": real_positions is not None or synthetic_positions is not None,
            "n_features": space.n_features,
            "random_seed": self.random_seed,
        }
        return unit_interval(1.0 - math.sqrt(mmd2 / 2.0))
