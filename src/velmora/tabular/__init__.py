"""Tools for tabular data: the evaluator package and the rule engine ``rulewarden``."""
