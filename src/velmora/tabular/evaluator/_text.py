"""Plain-data and text forms shared by the report records and the comparison."""

import datetime as _datetime
import math
from typing import Any, List

import numpy as np
import pandas as pd

__all__ = ["to_jsonable"]


def to_jsonable(value: Any) -> Any:
    """``value`` as plain Python data that ``json.dumps`` accepts with ``allow_nan=False``.

    numpy scalars and arrays become Python numbers and lists, NaN and infinities become
    None, timestamps become ISO-8601 text, mapping keys become strings, and any other
    object its ``str()``.
    """
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        number = float(value)
        return number if math.isfinite(number) else None
    if isinstance(value, dict):
        return {str(key): to_jsonable(item) for key, item in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        items = sorted(value, key=str) if isinstance(value, (set, frozenset)) else value
        return [to_jsonable(item) for item in items]
    if isinstance(value, np.ndarray):
        return [to_jsonable(item) for item in value.tolist()]
    if isinstance(value, pd.Series):
        return {str(key): to_jsonable(item) for key, item in value.items()}
    if isinstance(value, (_datetime.datetime, _datetime.date, pd.Timestamp)):
        return value.isoformat()
    if value is pd.NaT or value is pd.NA:
        return None
    return str(value)


def _format_value(value: Any) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return str(value)
    return f"{number:.4f}"


def _text_table(header: List[str], rows: List[List[str]]) -> str:
    widths = [len(text) for text in header]
    for row in rows:
        widths = [max(width, len(text)) for width, text in zip(widths, row)]

    def line(cells: List[str]) -> str:
        return "  ".join(text.ljust(width) for text, width in zip(cells, widths)).rstrip()

    rule = "  ".join("-" * width for width in widths)
    return "\n".join([line(header), rule] + [line(row) for row in rows])
