"""The rule language the command line accepts from rule files and ``--rule``.

The rule engine hands rule text to pandas' ``DataFrame.eval``, which is Python code:
``@name`` reaches the caller's variables and ``column.method(...)`` calls pandas
methods, so a rules file could run commands or write files. Rule files travel between
people and pipelines, so the command line takes only the rule language:

- column names, backticked column names (`` `body mass` ``), ``index`` and ``inf``;
- number, text, ``True``/``False``/``None`` literals;
- comparisons (``< <= > >= == !=``, chained too), arithmetic (``+ - * / // % **``),
  ``and or not & | ^ ~``, parentheses;
- ``in`` / ``not in`` with a list or tuple of literals (or a column);
- ``if CONDITION then CONSEQUENCE`` around two such expressions.

Function calls, attribute access, indexing, ``@`` variables, comprehensions and every
other form are refused. So is arithmetic that could take unbounded time or memory: a
power whose base holds no column, arithmetic on text literals, on the table's text
columns (pandas keeps every intermediate string) or on lists. (Texts too long for a
parser are refused before, by ``Rulewarden.add_rule``.)

``check_language(expression, text_columns)`` raises ``RuleRefused`` with the reason when an
expression is outside the language; ``check_evaluates(rule, frame)`` when a rule cannot
be evaluated on the table; ``rule_parts(rule)`` gives the expressions of a rule.
"""

import ast
from typing import AbstractSet, Hashable, Iterator, List, Optional, Tuple

import pandas as pd

__all__ = ["RuleRefused", "check_language", "check_evaluates", "rule_parts", "text_columns"]

_ALLOWED = (
    ast.Expression,
    ast.BoolOp,
    ast.And,
    ast.Or,
    ast.BinOp,
    ast.Add,
    ast.Sub,
    ast.Mult,
    ast.Div,
    ast.FloorDiv,
    ast.Mod,
    ast.Pow,
    ast.BitAnd,
    ast.BitOr,
    ast.BitXor,
    ast.UnaryOp,
    ast.Not,
    ast.Invert,
    ast.USub,
    ast.UAdd,
    ast.Compare,
    ast.Eq,
    ast.NotEq,
    ast.Lt,
    ast.LtE,
    ast.Gt,
    ast.GtE,
    ast.In,
    ast.NotIn,
    ast.Name,
    ast.Load,
    ast.Constant,
    ast.List,
    ast.Tuple,
)
_LITERALS = (int, float, complex, str, bool, type(None))

# Rows the evaluation check reads: enough to meet the columns' real values, few enough
# to stay instant on any table.
_CHECK_ROWS = 1000


class RuleRefused(ValueError):
    """A rule outside the rule language, or one that cannot be evaluated on the table."""


def _replace_backticks(text: str) -> Tuple[str, List[str]]:
    """The text with every backticked name replaced by a plain identifier, and the names.

    String literals are skipped as Python reads them (prefixes, triple quotes,
    backslash escapes), and so are comments, so that a backtick inside a literal stays
    part of the literal, as it does for pandas."""
    out: List[str] = []
    names: List[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c in "'\"":
            quote = text[i : i + 3] if text[i : i + 3] in ("'''", '"""') else c
            j = i + len(quote)
            while j < n and not text.startswith(quote, j):
                j += 2 if text[j] == "\\" else 1
            j = min(n, j + len(quote))
            out.append(text[i:j])
            i = j
        elif c == "#":
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(text[i:j])
            i = j
        elif c == "`":
            j = text.find("`", i + 1)
            if j < 0:
                raise RuleRefused("a backtick opens a column name that is never closed")
            names.append(text[i + 1 : j])
            out.append(f" _velmora_column_{len(names) - 1} ")
            i = j + 1
        else:
            if c == "@":
                raise RuleRefused("'@' refers to Python variables, which rules cannot use")
            out.append(c)
            i += 1
    return "".join(out), names


def _holds_column(node: ast.AST) -> bool:
    return any(isinstance(inner, ast.Name) for inner in ast.walk(node))


def _is_literal(node: ast.AST) -> bool:
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        node = node.operand
    return isinstance(node, ast.Constant) and isinstance(node.value, _LITERALS)


def check_language(expression: str, text_columns: AbstractSet[Hashable] = frozenset()) -> None:
    """Raise RuleRefused unless ``expression`` is an expression of the rule language;
    ``text_columns`` names the table's columns of text, on which no arithmetic is done."""
    replaced, names = _replace_backticks(expression)

    def text_column(node: ast.AST) -> Optional[Hashable]:
        if not isinstance(node, ast.Name):
            return None
        name: Hashable = node.id
        if node.id.startswith("_velmora_column_") and node.id[len("_velmora_column_") :].isdigit():
            name = names[int(node.id[len("_velmora_column_") :])]
        return name if name in text_columns else None

    try:
        tree = ast.parse(replaced.strip(), mode="eval")
    except (SyntaxError, ValueError, MemoryError, RecursionError) as error:
        raise RuleRefused(f"it is not an expression ({_reason(error)})") from None
    # ast.walk keeps its own queue, so a deep expression cannot exhaust the stack here.
    list_positions = set()
    for node in ast.walk(tree):
        if not isinstance(node, _ALLOWED):
            raise RuleRefused(f"it holds {_describe(node)}")
        if isinstance(node, ast.Constant) and not isinstance(node.value, _LITERALS):
            raise RuleRefused(f"it holds the literal {node.value!r}")
        if isinstance(node, ast.Compare):
            for op, comparator in zip(node.ops, node.comparators):
                if isinstance(comparator, (ast.List, ast.Tuple)) and isinstance(op, (ast.In, ast.NotIn)):
                    list_positions.add(id(comparator))
        if isinstance(node, (ast.List, ast.Tuple)):
            if id(node) not in list_positions:
                raise RuleRefused("a list may only follow 'in' or 'not in'")
            if not all(_is_literal(item) for item in node.elts):
                raise RuleRefused("the list after 'in' may hold literals only")
        if isinstance(node, ast.BinOp):
            for side in (node.left, node.right):
                if isinstance(side, ast.Constant) and isinstance(side.value, str):
                    raise RuleRefused("it does arithmetic on text")
                column = text_column(side)
                if column is not None:
                    raise RuleRefused(f"it does arithmetic on the text column {str(column)!r}")
            if isinstance(node.op, ast.Pow) and not _holds_column(node.left):
                raise RuleRefused("it raises numbers alone to a power")


def rule_parts(rule: str) -> Iterator[str]:
    """The expressions a rule consists of, as the rule engine reads them: the condition
    and the consequence of an ``if ... then ...`` rule, or the whole expression."""
    from velmora.tabular.rulewarden import Rulewarden

    parsed = Rulewarden()._parse_rule(rule)
    if parsed["type"] == "conditional":
        yield parsed["condition"]
        yield parsed["consequence"]
    else:
        yield parsed["expr"]


def text_columns(frame: pd.DataFrame) -> AbstractSet[Hashable]:
    """The columns of ``frame`` that hold text (object or string dtype)."""
    return {
        column
        for column, dtype in frame.dtypes.items()
        if pd.api.types.is_object_dtype(dtype) or isinstance(dtype, pd.StringDtype)
    }


def check_evaluates(rule: str, frame: pd.DataFrame) -> None:
    """Raise RuleRefused unless the rule gives one truth value per row on the first rows
    of ``frame``, as validation evaluates it (a rule that fails there would count no
    violation and pass as clean)."""
    head = frame.iloc[:_CHECK_ROWS]
    results = []
    for expression in rule_parts(rule):
        try:
            result = head.eval(expression)
        except Exception as error:  # pandas' own errors name the problem
            raise RuleRefused(f"cannot be evaluated on the table ({_reason(error)})") from None
        if not hasattr(result, "__iter__") or isinstance(result, str):
            raise RuleRefused("names no column, so it checks no row")
        results.append(result)
    try:
        if len(results) == 2:
            results[0] & ~results[1]
        else:
            ~results[0].astype(bool)
    except Exception as error:
        raise RuleRefused(f"does not give a truth value per row ({_reason(error)})") from None


def _reason(error: BaseException) -> str:
    """The error's type and the first line of its message."""
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__


def _describe(node: ast.AST) -> str:
    kinds = {
        ast.Call: "a function call",
        ast.Attribute: "attribute access",
        ast.Subscript: "indexing",
        ast.Lambda: "a lambda",
        ast.IfExp: "a conditional expression",
        ast.Dict: "a dict",
        ast.Set: "a set",
        ast.ListComp: "a comprehension",
        ast.SetComp: "a comprehension",
        ast.DictComp: "a comprehension",
        ast.GeneratorExp: "a comprehension",
        ast.JoinedStr: "an f-string",
        ast.Starred: "unpacking",
        ast.MatMult: "'@'",
        ast.Is: "'is'",
        ast.IsNot: "'is not'",
        ast.LShift: "'<<'",
        ast.RShift: "'>>'",
    }
    for kind, text in kinds.items():
        if isinstance(node, kind):
            return text
    return f"'{type(node).__name__}'"
