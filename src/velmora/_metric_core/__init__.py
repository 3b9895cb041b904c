"""What both metric packages (``velmora.tabular.evaluator.metrics`` and
``velmora.evaluation.metrics``) build on, so that neither reaches into the other:

- ``data``: column typing, missing values, category labels, the distance feature space;
- ``columns``: sorted columns, ranks and correlation matrices, each column sorted once;
- ``models``: the supervised tasks of the utility metrics;
- ``stores``: how long the results the metrics share are kept;
- ``kernels``: the numeric kernels (nearest neighbours, kernel sums, KS / Wasserstein,
  argsort and ranks, digests), on the C++ extension ``_metric_kernels``.
"""
