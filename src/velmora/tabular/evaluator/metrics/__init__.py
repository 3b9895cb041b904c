"""The metric library of the evaluation suite.

- ``statistical.ks_complement``: ``KSComplementMetric``, per-column distribution fidelity;
- ``fidelity.alpha_precision`` / ``fidelity.beta_recall``: ``AlphaPrecisionMetric`` and
  ``BetaRecallMetric``, sample-level fidelity and coverage;
- ``utility.tstr``: ``TSTRNormalizedMetric``, train on synthetic, test on real;
- ``privacy.membership_inference`` / ``privacy.distance_to_closest_record``:
  ``MembershipInferenceMetric`` and ``DTCRMetric``.

The similarity and prediction-agreement metrics live in ``velmora.evaluation.metrics``.

The metrics of one evaluation share what they compute from the same frames (sorted
columns, embedded rows, searches, prepared tasks). What was computed from whole frames
is released when those frames are garbage-collected; ``clear_shared_results()`` drops
everything kept, at once.
"""

from velmora._metric_core.stores import clear_shared_results

__all__ = ["clear_shared_results"]
