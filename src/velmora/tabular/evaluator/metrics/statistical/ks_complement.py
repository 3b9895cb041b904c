"""Kolmogorov-Smirnov complement, per column."""

from typing import Hashable, Optional, Sequence

import pandas as pd

from velmora._metric_core import kernels as _kernels
from velmora._metric_core.columns import column_key, prefetch_orders, sorted_finite
from velmora._metric_core.data import (
    ColumnScores,
    category_frequencies,
    column_kind,
    numeric_values,
    shared_columns,
    unit_interval,
)

__all__ = ["KSComplementMetric"]


class KSComplementMetric:
    """One minus the two-sample Kolmogorov-Smirnov statistic, per column.

    For a numeric column (numbers, datetimes, timedeltas) the score is
    1 - sup_x |F_real(x) - F_synthetic(x)|, the complement of the two-sample KS
    statistic of the finite values (Kolmogorov 1933, Smirnov 1948; the statistic of
    ``scipy.stats.ks_2samp``). For a categorical or boolean column it is 1 minus the
    total variation distance of the category frequencies, 1 - 1/2 sum_k |p_k - q_k|,
    with missing values as a category of their own (the "TVComplement" of SDMetrics).
    Both lie in [0, 1]; 1 means identical distributions. Every row is used (the cost is
    one sort per column).

    A numeric column with no finite value in either frame, and a categorical column
    entirely missing in the real frame, are skipped; the result's ``details["skipped"]``
    names them with the reason.
    """

    name = "ks_complement"

    def compute(
        self, real: pd.DataFrame, synthetic: pd.DataFrame, columns: Optional[Sequence[Hashable]] = None
    ) -> ColumnScores:
        """Scores by column label, in the order of ``columns`` (default: the real frame's
        columns that the synthetic frame has)."""
        scores = ColumnScores()
        chosen = shared_columns(real, synthetic, columns)
        numeric = [column for column in chosen if column_kind(real[column], synthetic[column]) == "numeric"]
        # Each numeric column digested once here, sorted once and shared with the other
        # per-column metrics.
        values = {
            (column, side): numeric_values(frame[column])
            for column in numeric
            for side, frame in enumerate((real, synthetic))
        }
        keys = {at: column_key(column_values) for at, column_values in values.items()}
        prefetch_orders(list(values.values()), list(keys.values()))
        for column in chosen:
            real_column, synthetic_column = real[column], synthetic[column]
            if (column, 0) in values:
                real_values = sorted_finite(values[column, 0], keys[column, 0])
                synthetic_values = sorted_finite(values[column, 1], keys[column, 1])
                if real_values.size == 0 or synthetic_values.size == 0:
                    side = "real" if real_values.size == 0 else "synthetic"
                    scores.skipped[str(column)] = f"no finite values in the {side} data"
                    continue
                statistic, _ = _kernels.ks_wasserstein_sorted(real_values, synthetic_values)
                scores[column] = 1.0 - statistic
            else:
                if real_column.isna().all():
                    scores.skipped[str(column)] = "all values missing in the real data"
                    continue
                p, q = category_frequencies(real_column, synthetic_column)
                scores[column] = unit_interval(1.0 - 0.5 * float(abs(p - q).sum()))
        return scores
