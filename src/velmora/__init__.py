"""velmora: evaluate, perturb and validate synthetic tabular data.

The three core modules are C++ extensions:

- ``velmora.tabular.evaluator.evaluator``: ``TabularEvaluator`` scores synthetic data
  against real data and renders an HTML report.
- ``velmora.core_generator.noiseforge``: ``NoiseforgeProcessor`` and
  ``apply_noiseforge`` perturb a DataFrame under a privacy budget.
- ``velmora.tabular.rulewarden``: ``Rulewarden`` validates text rules on a DataFrame
  and repairs violations.
"""

__version__ = "0.1.0"
