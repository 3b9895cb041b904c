"""Protected releases of a DataFrame: differential privacy with an honest ledger.

``protect(df, epsilon=..., bounds=..., ...)`` returns a perturbed copy of the frame
and a ``PrivacyLedger`` that says, per column, the mechanism, its scale, the epsilon
and delta spent and where the column's domain came from, and per record the composed
total and whether the whole release is differentially private. Numeric columns get
Laplace or Gaussian noise on a grid of public bounds, clipped into them; boolean, text
and categorical columns get k-ary randomized response over public categories. A
budget (``total_epsilon``, ``total_delta``) is enforced before anything is drawn, or
split over the columns.

The noise processor ``velmora.core_generator.noiseforge`` perturbs with noise scaled to
each column's observed range; this package is for releases that must carry a proven
bound. The mechanisms and the accounting are documented in ``release``,
``mechanisms`` and ``accounting``.
"""

from velmora.privacy.ledger import DATA_BOUNDS_NOTE, ColumnCharge, PrivacyLedger
from velmora.privacy.release import METHODS, PRESERVED_NOTE, BudgetExceededError, protect

__all__ = [
    "protect",
    "PrivacyLedger",
    "ColumnCharge",
    "BudgetExceededError",
    "METHODS",
    "DATA_BOUNDS_NOTE",
    "PRESERVED_NOTE",
]
