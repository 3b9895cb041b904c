"""The metric library of the evaluation suite.

- ``statistical.ks_complement``: ``KSComplementMetric``, per-column distribution fidelity;
- ``fidelity.alpha_precision`` / ``fidelity.beta_recall``: ``AlphaPrecisionMetric`` and
  ``BetaRecallMetric``, sample-level fidelity and coverage;
- ``utility.tstr``: ``TSTRNormalizedMetric``, train on synthetic, test on real;
- ``privacy.membership_inference`` / ``privacy.distance_to_closest_record``:
  ``MembershipInferenceMetric`` and ``DTCRMetric``.

The similarity and prediction-agreement metrics live in ``velmora.evaluation.metrics``.
"""
