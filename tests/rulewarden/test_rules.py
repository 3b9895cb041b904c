"""Storing and classifying rules."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora.tabular.rulewarden import Rulewarden


def comparison(text):
    return {"type": "comparison", "expr": text, "raw": text}


@pytest.mark.parametrize(
    "rule, parsed",
    [
        ("  age > 0  ", comparison("age > 0")),
        ("age > 0 and income >= 0", comparison("age > 0 and income >= 0")),
        (
            "IF age > 18 THEN income > 0",
            {
                "type": "conditional",
                "condition": "age > 18",
                "consequence": "income > 0",
                "raw": "IF age > 18 THEN income > 0",
            },
        ),
        (
            "if a > 1 then b > 2 then c > 3",
            {
                "type": "conditional",
                "condition": "a > 1",
                "consequence": "b > 2 then c > 3",
                "raw": "if a > 1 then b > 2 then c > 3",
            },
        ),
        (
            "if a > 1 then b > 2\nmore text",
            {
                "type": "conditional",
                "condition": "a > 1",
                "consequence": "b > 2",
                "raw": "if a > 1 then b > 2\nmore text",
            },
        ),
        (
            "if\ta  >  1\n then\t b",
            {"type": "conditional", "condition": "a  >  1", "consequence": "b", "raw": "if\ta  >  1\n then\t b"},
        ),
        ("if x > 1 then", comparison("if x > 1 then")),
        ("if(x > 1) then y > 2", comparison("if(x > 1) then y > 2")),
        ("ifx > 1 then y > 2", comparison("ifx > 1 then y > 2")),
        ("if a >\n1 then b", comparison("if a >\n1 then b")),
        ("", comparison("")),
        ("1 + 1", comparison("1 + 1")),
    ],
)
def test_parse(rule, parsed):
    engine = Rulewarden()
    assert engine._parse_rule(rule) == parsed
    assert list(engine._parse_rule(rule)) == list(parsed)
    assert engine._parse_rule(rule=rule) == parsed


def test_add_rule_stores_text_as_passed_and_chains():
    engine = Rulewarden()
    assert engine.add_rule("  age > 0  ") is engine
    assert engine.add_rule(rule="income >= 0").add_rule("  age > 0  ") is engine
    assert engine._rules == ["  age > 0  ", "income >= 0", "  age > 0  "]
    assert engine._parsed_rules == [comparison("age > 0"), comparison("income >= 0"), comparison("age > 0")]
    assert engine._parsed_rules[0] is not engine._parsed_rules[2]


def re_parse(rule):
    """The classification by Python's re, which the parser must reproduce."""
    rule = rule.strip()
    match = re.match(r"if\s+(.+?)\s+then\s+(.+)", rule, re.IGNORECASE)
    if match is None:
        return comparison(rule)
    return {
        "type": "conditional",
        "condition": match.group(1).strip(),
        "consequence": match.group(2).strip(),
        "raw": rule,
    }


# Letters of "if"/"then" in every case re folds (U+0130, U+0131 included), whitespace of
# every kind (line breaks, U+0085, U+3000), and characters that are neither.
ALPHABET = "iIfFtThHeEnN\u0130\u0131 \t\n\r\x0b\x1c\x85\u2028\u3000ax>1(\udcff"


@settings(max_examples=2000)
@given(
    st.text(alphabet=ALPHABET, max_size=40)
    | st.builds(
        "".join,
        st.lists(
            st.sampled_from(["if", "IF", "then", "THEN", " ", "\n", "  ", "a > 1", "x", "\t", "\u0130f", "then\n"]),
            max_size=12,
        ),
    )
)
def test_conditional_split_matches_python_re(rule):
    assert Rulewarden()._parse_rule(rule) == re_parse(rule)


@pytest.mark.parametrize(
    "rule",
    [
        "if " + "a then" * 3000,
        "if " + "then " * 5000 + "x",
        "if" + "\n" * 5000 + "then" + " " * 5000,
        "if" + " " * 3000 + "then x",
    ],
    ids=["no-space-after-then", "many-thens", "line-feeds", "condition-of-spaces"],
)
def test_long_texts_split_like_re(rule):
    assert Rulewarden()._parse_rule(rule) == re_parse(rule)


def test_no_then_takes_linear_time():
    # Python's re backtracks cubically here (hours for this text); the split is linear.
    rule = "if" + " " * 20000 + "a"
    assert Rulewarden()._parse_rule(rule) == comparison(rule)


@pytest.mark.parametrize("error", [ValueError("bad rule"), KeyboardInterrupt()])
def test_failed_parse_leaves_both_lists_in_step(error):
    class Failing(Rulewarden):
        def _parse_rule(self, rule):
            if rule == "bad":
                raise error
            return super()._parse_rule(rule)

    engine = Failing().add_rule("a > 0")
    with pytest.raises(type(error)):
        engine.add_rule("bad")
    assert engine._rules == ["a > 0"]
    assert len(engine._parsed_rules) == 1
    engine.add_rule("b > 0")
    assert engine._rules == ["a > 0", "b > 0"]
    assert [p["expr"] for p in engine._parsed_rules] == ["a > 0", "b > 0"]
