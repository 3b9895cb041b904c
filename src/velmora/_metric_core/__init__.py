"""What both metric packages (``velmora.tabular.evaluator.metrics`` and
``velmora.evaluation.metrics``) build on, so that neither reaches into the other:

- ``data``: column typing, missing values, category labels, the distance feature space;
- ``models``: the supervised tasks of the utility metrics;
- ``kernels``: the numeric kernels (nearest neighbours, kernel sums, KS / Wasserstein),
  on the C++ extension ``_metric_kernels``.
"""
