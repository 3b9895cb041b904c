"""What the rule engine module looks like from Python: contents, classes, docstrings,
signatures and argument errors."""

import dataclasses
import inspect
import pydoc
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import velmora.tabular.rulewarden as rw
from velmora.tabular.rulewarden import ConstraintViolationReport, Rulewarden


def test_module_docstring_and_all():
    assert rw.__doc__ == (
        "\nvelmora.tabular.rulewarden\n~~~~~~~~~~~~~~~~~~~~~~~~~~\n\n"
        "Rulewarden: rule-based constraint validation and fixing.\n"
    )
    assert rw.__all__ == ["Rulewarden", "ConstraintViolationReport"]


def test_module_globals_are_the_imports():
    assert rw.re is re and rw.np is np and rw.pd is pd
    assert rw.dataclass is dataclasses.dataclass and rw.field is dataclasses.field
    import typing

    assert (rw.Any, rw.Dict, rw.List, rw.Optional) == (typing.Any, typing.Dict, typing.List, typing.Optional)


def test_rulewarden_is_a_plain_class():
    assert Rulewarden.__bases__ == (object,) and type(Rulewarden) is type
    assert Rulewarden.__doc__ == (
        "Parse and validate rule-based constraints on DataFrames.\n\n    Usage::\n\n"
        "        engine = Rulewarden()\n"
        '        engine.add_rule("age > 0").add_rule("income >= 0")\n'
        "        report = engine.validate(df)\n"
        '        fixed = report.fix(df, strategy="resample")\n    '
    )
    engine = Rulewarden()
    assert engine.__dict__ == {"_rules": [], "_parsed_rules": []}


METHODS = [
    (Rulewarden.__init__, "Rulewarden.__init__", "Rulewarden.__init__(self) -> None", {"return": "None"}),
    (
        Rulewarden.add_rule,
        "Rulewarden.add_rule",
        "Rulewarden.add_rule(self, str rule: str) -> 'Rulewarden'\n\n"
        "Parse and store a constraint rule. Returns self for chaining.",
        {"rule": "str", "return": "'Rulewarden'"},
    ),
    (
        Rulewarden._parse_rule,
        "Rulewarden._parse_rule",
        "Rulewarden._parse_rule(self, str rule: str) -> Dict[str, Any]\n\n"
        "Parse a rule string into a structured representation.",
        {"rule": "str", "return": "Dict[str, Any]"},
    ),
    (
        Rulewarden.validate,
        "Rulewarden.validate",
        "Rulewarden.validate(self, df: pd.DataFrame) -> ConstraintViolationReport\n\n"
        "Validate all rules against the DataFrame.",
        {"df": "pd.DataFrame", "return": "ConstraintViolationReport"},
    ),
    (
        ConstraintViolationReport.summary,
        "ConstraintViolationReport.summary",
        "ConstraintViolationReport.summary(self) -> str",
        {"return": "str"},
    ),
    (
        ConstraintViolationReport.fix,
        "ConstraintViolationReport.fix",
        "ConstraintViolationReport.fix(self, df: pd.DataFrame, str strategy: str = 'resample') -> pd.DataFrame",
        {"df": "pd.DataFrame", "strategy": "str", "return": "pd.DataFrame"},
    ),
]


@pytest.mark.parametrize("method, qualname, doc, annotations", METHODS, ids=[m[1] for m in METHODS])
def test_method_introspection(method, qualname, doc, annotations):
    assert method.__qualname__ == qualname
    assert method.__name__ == qualname.split(".")[1]
    assert method.__module__ == "velmora.tabular.rulewarden"
    assert method.__doc__ == doc
    assert method.__annotations__ == annotations
    assert list(inspect.signature(method).parameters)[0] == "self"


def test_fix_signature_default():
    parameter = inspect.signature(ConstraintViolationReport.fix).parameters["strategy"]
    assert parameter.default == "resample" and parameter.annotation == "str"


def test_help_shows_the_signature_lines():
    text = pydoc.render_doc(Rulewarden, renderer=pydoc.plaintext)
    assert "Rulewarden.add_rule(self, str rule: str) -> 'Rulewarden'" in text
    assert "Rulewarden.validate(self, df: pd.DataFrame) -> ConstraintViolationReport" in text


def test_help_runs_in_a_fresh_interpreter():
    out = subprocess.run(
        [sys.executable, "-c", "import velmora.tabular.rulewarden as r; help(r.Rulewarden)"],
        capture_output=True,
        text=True,
        check=True,
        env={"PAGER": "cat", "TERM": "dumb"},
    ).stdout
    assert "Rulewarden.add_rule(self, str rule: str) -> 'Rulewarden'" in out


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.add_rule(), "add_rule() takes exactly 2 positional arguments (1 given)"),
        (lambda e: e.add_rule("a", "b"), "add_rule() takes exactly 2 positional arguments (3 given)"),
        (lambda e: e.add_rule(text="a"), "add_rule() takes exactly 2 positional arguments (1 given)"),
        (lambda e: e.add_rule("a", bogus=1), "add_rule() got an unexpected keyword argument 'bogus'"),
        (lambda e: e.add_rule("a", rule="a"), "add_rule() got multiple values for keyword argument 'rule'"),
        (lambda e: e.add_rule(None), "Argument 'rule' has incorrect type (expected str, got NoneType)"),
        (lambda e: e.add_rule(5), "Argument 'rule' has incorrect type (expected str, got int)"),
        (lambda e: e._parse_rule(b"x"), "Argument 'rule' has incorrect type (expected str, got bytes)"),
        (lambda e: e.validate(), "validate() takes exactly 2 positional arguments (1 given)"),
        (lambda e: Rulewarden(1), "__init__() takes exactly 1 positional argument (2 given)"),
        (
            lambda e: ConstraintViolationReport(violating_rows=pd.Index([1])).fix(pd.DataFrame(), None),
            "Argument 'strategy' has incorrect type (expected str, got NoneType)",
        ),
        (lambda e: ConstraintViolationReport().fix(), "fix() takes at least 2 positional arguments (1 given)"),
        (
            lambda e: ConstraintViolationReport().fix(pd.DataFrame(), "drop", 3),
            "fix() takes at most 3 positional arguments (4 given)",
        ),
        (lambda e: ConstraintViolationReport().summary(1), "summary() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_errors(call, message):
    engine = Rulewarden()
    with pytest.raises(TypeError) as caught:
        call(engine)
    assert str(caught.value) == message
    assert engine._rules == [] and engine._parsed_rules == []


def test_str_subclass_rule_is_rejected_and_nothing_is_stored():
    class Text(str):
        pass

    engine = Rulewarden()
    with pytest.raises(TypeError, match=r"^Argument 'rule' has incorrect type \(expected str, got Text\)"):
        engine.add_rule(Text("age > 0"))
    assert engine._rules == []


def test_subclass_overrides_are_called():
    calls = []

    class Recording(Rulewarden):
        def _parse_rule(self, rule):
            calls.append(rule)
            return {"type": "comparison", "expr": "a > 100", "raw": rule}

    engine = Recording().add_rule("a > 0")
    assert calls == ["a > 0"]
    report = engine.validate(pd.DataFrame({"a": [1, 200]}))
    assert report.violations == {"a > 0": 1}


def test_validate_uses_the_module_level_report_class(monkeypatch):
    class Marker(ConstraintViolationReport):
        pass

    monkeypatch.setattr(rw, "ConstraintViolationReport", Marker)
    assert type(Rulewarden().validate(pd.DataFrame({"a": [1]}))) is Marker
