"""Validating a frame: the listed behaviours, then a differential test against the
plain pandas transcription on random frames, indexes and rules."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from reference import assert_report_matches, reference_validate

import velmora.tabular.rulewarden as rw
from velmora.tabular.rulewarden import ConstraintViolationReport, Rulewarden


def engine_with(*rules):
    engine = Rulewarden()
    for rule in rules:
        engine.add_rule(rule)
    return engine


def test_no_rules():
    report = Rulewarden().validate(pd.DataFrame({"a": [1, 2]}))
    assert report == ConstraintViolationReport(
        violations={}, total_violations=0, violation_rate=0.0, violating_rows=report.violating_rows
    )
    assert len(report.violating_rows) == 0 and report.violating_rows.dtype == object


def test_missing_value_violates_a_comparison():
    report = engine_with("age > 0").validate(pd.DataFrame({"age": [5, -1, np.nan]}))
    assert report.violations == {"age > 0": 2}
    assert report.violating_rows.tolist() == [1, 2]
    assert report.violation_rate == 2 / 3


def test_rate_and_double_counting():
    df = pd.DataFrame({"age": [30, -1, 40, 50], "income": [1, -5, 3, 4]})
    report = engine_with("age > 0", "income >= 0").validate(df)
    assert report.violations == {"age > 0": 1, "income >= 0": 1}
    assert report.total_violations == 2
    assert report.violating_rows.tolist() == [1]
    assert report.violation_rate == 0.25


def test_conditional_rule():
    df = pd.DataFrame({"age": [12, 30, 12, 30], "income": [100, 5, 0, 0]})
    report = engine_with("if age < 18 then income == 0").validate(df)
    assert report.violations == {"if age < 18 then income == 0": 1}
    assert report.violating_rows.tolist() == [0]


@pytest.mark.parametrize("rule", ["nope > 1", "age >", "1 > 2", "age >>> 3", "if nope > 1 then age > 0", "2"])
def test_rules_that_cannot_count_violations_record_zero(rule):
    report = engine_with(rule, "age > 0").validate(pd.DataFrame({"age": [1, -1]}))
    assert report.violations == {rule: 0, "age > 0": 1}
    assert report.violating_rows.tolist() == [1]


def test_empty_frame():
    report = engine_with("age > 0", "if age > 1 then age < 5").validate(
        pd.DataFrame({"age": pd.Series([], dtype=float)})
    )
    assert report.violations == {"age > 0": 0, "if age > 1 then age < 5": 0}
    assert report.violation_rate == 0.0 and len(report.violating_rows) == 0


def test_keys_are_texts_as_added_in_order_and_duplicates_collapse():
    report = engine_with(" b > 0 ", "a > 0", " b > 0 ").validate(pd.DataFrame({"a": [-1, 1], "b": [-1, -1]}))
    assert list(report.violations.items()) == [(" b > 0 ", 2), ("a > 0", 1)]
    assert report.total_violations == 3


def test_string_index_labels_sorted():
    df = pd.DataFrame({"age": [-1, 5, -2]}, index=["c", "a", "b"])
    report = engine_with("age > 0").validate(df)
    assert report.violating_rows.tolist() == ["b", "c"]


def test_validate_is_repeatable_and_reads_only():
    engine = engine_with("age > 0")
    df = pd.DataFrame({"age": [1, -1]})
    before = df.copy()
    first, second = engine.validate(df), engine.validate(df=df)
    assert first == second and first.violations is not second.violations
    pd.testing.assert_frame_equal(df, before)
    assert engine._rules == ["age > 0"]


def test_mixed_labels_that_cannot_be_sorted_raise():
    df = pd.DataFrame({"a": [-1, 1], "b": [1, -1]}, index=[1, "x"])
    with pytest.raises(TypeError):
        engine_with("a > 0", "b > 0").validate(df)


def test_missing_exceptions_module_fails(monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.exceptions", None)
    with pytest.raises(ImportError):
        engine_with("a > 0").validate(pd.DataFrame({"a": [1]}))


def test_exceptions_module_without_the_name_fails(monkeypatch):
    import types

    monkeypatch.setitem(sys.modules, "velmora.exceptions", types.ModuleType("velmora.exceptions"))
    with pytest.raises(ImportError, match="cannot import name 'VelmoraInputError'"):
        engine_with("a > 0").validate(pd.DataFrame({"a": [1]}))


@pytest.mark.parametrize(
    "parsed, error",
    [({"expr": "a > 0"}, KeyError), ({"type": "conditional", "condition": "a > 0"}, KeyError)],
)
def test_malformed_parsed_rules_propagate(parsed, error):
    engine = Rulewarden()
    engine._rules.append("x")
    engine._parsed_rules.append(parsed)
    with pytest.raises(error):
        engine.validate(pd.DataFrame({"a": [1]}))


def test_base_exceptions_are_not_swallowed(monkeypatch):
    class Interrupting(pd.DataFrame):
        def eval(self, expr, **kwargs):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        engine_with("a > 0").validate(Interrupting({"a": [1]}))


def test_rules_lists_of_unequal_length_stop_at_the_shorter():
    engine = engine_with("a > 0")
    engine._rules.append("a < 0")
    assert engine.validate(pd.DataFrame({"a": [1]})).violations == {"a > 0": 0}


def test_non_boolean_results_use_their_truth_value():
    df = pd.DataFrame({"a": [0.0, 2.0, np.nan], "s": ["", "x", None]})
    report = engine_with("a", "s", "a * 0").validate(df)
    assert_report_matches(report, reference_validate(engine_with("a", "s", "a * 0"), df))
    # A missing text value is None under pandas 2 (false) and NaN under pandas 3 (true).
    missing_text_is_false = not pd.Series(["x", None])[1:].astype(bool).iloc[0]
    assert report.violations == {"a": 1, "s": 2 if missing_text_is_false else 1, "a * 0": 2}


def test_conditional_with_integer_results_follows_pandas():
    # `&` and `~` on integers are bitwise and the result indexes by position.
    df = pd.DataFrame({"a": [1, 0, 1], "b": [0, 0, 1]})
    engine = engine_with("if a then b")
    assert_report_matches(engine.validate(df), reference_validate(engine, df))


# ---- differential test ---------------------------------------------------------------

NUMERIC = ["a", "b", "i", "g", "j"]


def numbers():
    return st.sampled_from(["0", "1", "-1", "2.5", "100", "1e3"])


def comparisons():
    op = st.sampled_from([">", ">=", "<", "<=", "==", "!="])
    numeric = st.tuples(st.sampled_from(NUMERIC), op, numbers()).map(" ".join)
    column_pairs = st.tuples(st.sampled_from(NUMERIC), op, st.sampled_from(NUMERIC)).map(" ".join)
    strings = st.tuples(st.just("s"), st.sampled_from(["==", "!="]), st.sampled_from(["'x'", "'y'"])).map(" ".join)
    arithmetic = st.tuples(
        st.sampled_from(NUMERIC), st.sampled_from(["+", "-", "*", "/"]), st.sampled_from(NUMERIC), op, numbers()
    ).map(" ".join)
    literal_first = st.tuples(numbers(), op, st.sampled_from(NUMERIC)).map(" ".join)
    negative = st.tuples(st.sampled_from(NUMERIC), op, st.sampled_from(["-1", "-0.1", "-2.5"])).map(" ".join)
    tenth = st.tuples(st.sampled_from(["g", "a"]), st.sampled_from(["==", "!=", ">="]), st.just("0.1")).map(" ".join)
    return st.one_of(
        numeric,
        column_pairs,
        strings,
        arithmetic,
        literal_first,
        negative,
        tenth,
        st.sampled_from(
            [
                "f",
                "~f",
                "not f",
                "a",
                "i",
                "g",
                "i - i",
                "a * 0",
                "i * 9999999999999 > 0",
                's == "x"',
                "'y' != s",
                "n > 1",
                "s > 'x'",
                "i / 0 > 1",
                "a / i < 0.5",
                "h",
                "~h",
                "not h",
                "h & f",
                "h | ~f",
                "s == 'x\x0cy'",
                "s != 'y\u2028'",
            ]
        ),
    )


def expressions():
    return st.recursive(
        comparisons(),
        lambda inner: st.one_of(
            st.tuples(inner, st.sampled_from(["and", "or", "&", "|"]), inner).map(
                lambda t: f"({t[0]}) {t[1]} ({t[2]})"
            ),
            inner.map(lambda e: f"not ({e})"),
        ),
        max_leaves=3,
    )


def rules():
    plain = expressions()
    conditional = st.tuples(expressions(), expressions()).map(lambda t: f"if {t[0]} then {t[1]}")
    invalid = st.sampled_from(["a >", "missing > 1", "1 > 2", "a", "s", "i + ", "@x > 1", "a in [1]"])
    return st.one_of(plain, conditional, invalid)


def indexes(n):
    return st.sampled_from(["range", "shifted", "int", "dup", "str", "strdup", "float", "reversed"]).map(
        lambda kind: {
            "range": pd.RangeIndex(n),
            "shifted": pd.RangeIndex(10, 10 + 3 * n, 3),
            "int": pd.Index(np.arange(n, dtype=np.int64)[::-1] * 7 - 5),
            "dup": pd.Index(np.arange(n, dtype=np.int64) // 2),
            "str": pd.Index([f"r{k}" for k in range(n)]),
            "strdup": pd.Index([f"r{k % 3}" for k in range(n)], dtype=object),
            "float": pd.Index(np.arange(n, dtype=float) / 2),
            "reversed": pd.RangeIndex(n, 0, -1) if n else pd.RangeIndex(0),
        }[kind]
    )


# Text columns in object dtype, as pandas makes them (object under pandas 2, str under
# pandas 3) and in pandas' StringDtype of either storage.
TEXT_DTYPES = [object, None, pd.StringDtype("python"), pd.StringDtype("pyarrow")]
TEXT_IDS = ["object", "default", "string-python", "string-pyarrow"]


@st.composite
def frames(draw):
    n = draw(st.integers(0, 30))
    floats = st.one_of(st.just(np.nan), st.floats(-5, 200, allow_nan=False))
    data = {
        "a": draw(st.lists(floats, min_size=n, max_size=n)),
        "b": draw(st.lists(floats, min_size=n, max_size=n)),
        "i": draw(st.lists(st.integers(-3, 150), min_size=n, max_size=n)),
        "s": draw(st.lists(st.sampled_from(["x", "y", None]), min_size=n, max_size=n)),
        "f": draw(st.lists(st.booleans(), min_size=n, max_size=n)),
        "g": draw(st.lists(st.one_of(st.just(np.nan), st.sampled_from([0.1, -0.1, 2.5, 1e3])), min_size=n, max_size=n)),
        "j": draw(st.lists(st.integers(-3, 150), min_size=n, max_size=n)),
        "n": draw(st.lists(st.one_of(st.none(), st.integers(0, 3)), min_size=n, max_size=n)),
        "h": draw(st.lists(st.integers(0, 3), min_size=n, max_size=n)),
    }
    df = pd.DataFrame(data, index=draw(indexes(n)))
    df["i"] = df["i"].astype(np.int64)
    df["f"] = df["f"].astype(bool)
    text_dtype = draw(st.sampled_from(TEXT_DTYPES))
    if text_dtype is not None:
        df["s"] = df["s"].astype(text_dtype)
    df["g"] = df["g"].astype(np.float32)
    df["j"] = df["j"].astype(np.int32)
    df["n"] = df["n"].astype("Int64")
    # A bool view of small integers: bytes other than 0 and 1 that numpy reads as True.
    df["h"] = df["h"].to_numpy(dtype=np.uint8).view(bool)
    return df


def outcome(function):
    try:
        return function(), None
    except Exception as error:  # compared below: both must fail the same way
        return None, type(error)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(df=frames(), rule_list=st.lists(rules(), max_size=5))
def test_validate_matches_plain_pandas(df, rule_list):
    engine = engine_with(*rule_list)
    report, error = outcome(lambda: engine.validate(df))
    expected, expected_error = outcome(lambda: reference_validate(engine, df))
    assert error == expected_error
    if error is None:
        assert_report_matches(report, expected)
    # The same with the native evaluation switched off.
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(rw, "_native_rules", False)
        plain, plain_error = outcome(lambda: engine.validate(df))
    assert plain_error == expected_error
    if plain_error is None:
        assert_report_matches(plain, expected)


@pytest.mark.parametrize("arrow_type", ["string", "large_string"])
def test_text_stored_by_pyarrow_in_chunks_and_slices(arrow_type):
    """Text read in place from pyarrow's buffers: several chunks, missing rows, empty and
    non-ASCII text, and a slice whose buffers start before its first row."""
    import pyarrow as pa

    chunks = [["x", "", None, "é", "xx"], [], ["y", None, "x"], ["é"] * 3]
    text = pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array(chunks, type=getattr(pa, arrow_type)())))
    df = pd.DataFrame({"s": text, "a": np.arange(len(text), dtype=float)})
    engine = engine_with("s == 'x'", "s != ''", "if s == 'é' then a > 9", "s == 'y' or a < 2")
    for frame in (df, df.iloc[3:], df.iloc[2:9]):
        assert_report_matches(engine.validate(frame), reference_validate(engine, frame))


class CountingEval:
    def __init__(self, monkeypatch):
        self.calls = []
        original = pd.DataFrame.eval

        def counting(frame, expr, *args, **kwargs):
            self.calls.append(expr)
            return original(frame, expr, *args, **kwargs)

        monkeypatch.setattr(pd.DataFrame, "eval", counting)


NATIVE_RULES = [
    "a > 1",
    "i <= 3",
    "g != 0.1",
    "j == 2",
    "a + i * 2 > b / 4",
    "(a > 0) & ~f | (s == 'x')",
    "if a > 1 then s != 'y'",
    "not (b < 0) and f",
    "a",
    "if f then i - b > 0",
    "j > i",
]
PLAIN_RULES = [
    "n > 1",
    "s > 'x'",
    "a ** 2 > 1",
    "1 < a < 3",
    "missing > 1",
    "@x > 1",
    "if a > 1 then n > 0",
    "f > 0",
    "i * 2.5 // 1 > 0",
    "abs(a) > 1",
]


def sample_frame(text_dtype=None):
    return pd.DataFrame(
        {
            "a": [1.5, np.nan, -2.0],
            "b": [0.0, 4.0, -1.0],
            "i": [1, 5, 3],
            "j": np.array([2, 0, 7], dtype=np.int32),
            "g": np.array([0.1, 0.5, np.nan], dtype=np.float32),
            "f": [True, False, True],
            "s": pd.Series(["x", None, "y"], dtype=text_dtype),
            "n": pd.array([1, None, 3], dtype="Int64"),
        }
    )


@pytest.mark.parametrize("text_dtype", TEXT_DTYPES, ids=TEXT_IDS)
@pytest.mark.parametrize("rule", NATIVE_RULES)
def test_handled_rules_never_reach_dataframe_eval(rule, text_dtype, monkeypatch):
    counter = CountingEval(monkeypatch)
    df = sample_frame(text_dtype)
    report = engine_with(rule).validate(df)
    assert counter.calls == []
    monkeypatch.setattr(rw, "_native_rules", False)
    assert_report_matches(report, reference_validate(engine_with(rule), df))
    assert counter.calls


@pytest.mark.parametrize("rule", PLAIN_RULES)
def test_other_rules_fall_back_to_dataframe_eval(rule, monkeypatch):
    counter = CountingEval(monkeypatch)
    df = sample_frame()
    report = engine_with(rule).validate(df)
    assert counter.calls
    assert_report_matches(report, reference_validate(engine_with(rule), df))


def test_frame_subclasses_take_the_plain_path(monkeypatch):
    class Frame(pd.DataFrame):
        pass

    counter = CountingEval(monkeypatch)
    df = Frame({"a": [1, -1]})
    assert engine_with("a > 0").validate(df).violations == {"a > 0": 1}
    assert counter.calls == ["a > 0"]


def test_numexpr_present_takes_the_plain_path(monkeypatch):
    import pandas.core.computation.check as check

    monkeypatch.setattr(check, "NUMEXPR_INSTALLED", True)
    counter = CountingEval(monkeypatch)
    monkeypatch.setattr(pd.core.computation.eval, "NUMEXPR_INSTALLED", False, raising=False)
    assert engine_with("a > 0").validate(pd.DataFrame({"a": [1, -1]})).violations == {"a > 0": 1}
    assert counter.calls == ["a > 0"]


def test_repeated_column_labels_take_the_plain_path(monkeypatch):
    df = pd.DataFrame([[1, -1], [2, 3]], columns=["a", "a"])
    engine = engine_with("a > 0")
    assert_report_matches(engine.validate(df), reference_validate(engine, df))


@pytest.mark.parametrize("literal", ["é", "e", "€", "😀", "a😀", "", "ab", "x"])
@pytest.mark.parametrize("op", ["==", "!="])
def test_text_equality_across_string_kinds(literal, op, monkeypatch):
    values = ["é", "e", "€", "😀", "a😀", "", "ab", None, np.nan, "".join(["a", "b"])]
    df = pd.DataFrame({"s": pd.Series(values, dtype=object)})
    engine = engine_with(f"s {op} '{literal}'", f"if s {op} '{literal}' then s == 'e'")
    counter = CountingEval(monkeypatch)
    report = engine.validate(df)
    assert counter.calls == []
    assert_report_matches(report, reference_validate(engine, df))


# ---- inputs where the native evaluation once differed from DataFrame.eval ------------


def assert_native_matches_plain(engine, df):
    report = engine.validate(df)
    assert_report_matches(report, reference_validate(engine, df))


@pytest.mark.parametrize("literal", [2**60 + 2**36 + 1, -(2**60 + 2**36 + 1), 2**53 + 1, 16777217])
@pytest.mark.parametrize("op", ["==", "!=", ">"])
def test_float32_column_meets_a_large_integer_literal_as_pandas_does(literal, op):
    # pandas turns the literal into np.float32(literal): through float64, so it is rounded twice.
    values = np.array([2.0**60, -(2.0**60), 2.0**60 + 2.0**37, 2.0**53, 16777216.0], dtype=np.float32)
    df = pd.DataFrame({"g": values})
    assert_native_matches_plain(engine_with(f"g {op} {literal}", f"{literal} {op} g", f"g {op} ({literal})"), df)


@pytest.mark.parametrize(
    "char",
    [
        "\x00",
        "\x0b",
        "\x0c",
        "\x1c",
        "\x1d",
        "\x1e",
        "\x85",
        "\u2028",
        "\u2029",
        "\t",
        "\x01",
        "\x1f",
        "\xa0",
        "#",
        "`",
        "@",
        "&",
    ],
)
@pytest.mark.parametrize("op", ["==", "!="])
def test_string_literal_with_unusual_characters(char, op):
    # DataFrame.eval cuts its text at every line break str.splitlines() knows and Python
    # source cannot hold NUL: such rules fail there and count zero violations.
    text = f"a{char}b"
    df = pd.DataFrame({"s": pd.Series([text, "ab", None, "x"], dtype=object)})
    assert_native_matches_plain(engine_with(f"s {op} '{text}'", f"if s {op} '{text}' then s == 'x'"), df)


@pytest.mark.parametrize("other", ["a`b", "a`", "x y", "a b", 1.5, np.str_("z"), None])
@pytest.mark.parametrize("first", [True, False])
def test_column_labels_that_eval_cleans_to_a_rule_name(other, first):
    # DataFrame.eval names each column by its cleaned label, the later column winning:
    # "a`b" and "a`" are cleaned to "a".
    labels = ["a", other] if first else [other, "a"]
    values = [[1.0, 0.5], [-2.0, 0.25], [np.nan, 0.75]]
    df = pd.DataFrame([row if first else row[::-1] for row in values], columns=pd.Index(labels, dtype=object))
    assert_native_matches_plain(engine_with("a > 0", "if a == a then a < 1"), df)


@pytest.mark.parametrize("rules", [[], ["a > 0", "if a > 0 then a < 1"]])
@pytest.mark.parametrize("df", [{"a": [1, -1]}, [3, -1, 2], "text"])
def test_objects_that_are_not_frames_count_zero_and_reach_len(rules, df):
    # df's type is not tested: rules it cannot evaluate count zero and the rate uses len(df).
    engine = engine_with(*rules)
    assert_native_matches_plain(engine, df)
    assert engine.validate(df).violation_rate == 0.0


@pytest.mark.parametrize("df", [None, 5])
def test_an_object_without_length_fails_at_len(df):
    with pytest.raises(TypeError, match="has no len"):
        engine_with("a > 0").validate(df)


class Unlookable:
    """An evaluation result whose attribute lookups raise."""

    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error


def test_an_interrupt_while_looking_for_iter_propagates():
    class Frame(pd.DataFrame):
        def eval(self, expr, **kwargs):
            return Unlookable(KeyboardInterrupt())

    with pytest.raises(KeyboardInterrupt):
        engine_with("a > 0").validate(Frame({"a": [1]}))


def test_an_error_while_looking_for_iter_counts_zero():
    class Frame(pd.DataFrame):
        def eval(self, expr, **kwargs):
            return Unlookable(ValueError("no"))

    assert engine_with("a > 0").validate(Frame({"a": [1]})).violations == {"a > 0": 0}


def test_an_error_while_importing_the_name_propagates(monkeypatch):
    import types

    module = types.ModuleType("velmora.exceptions")

    def failing(name):
        raise RuntimeError("lookup failed")

    module.__getattr__ = failing
    monkeypatch.setitem(sys.modules, "velmora.exceptions", module)
    with pytest.raises(RuntimeError, match="lookup failed"):
        engine_with("a > 0").validate(pd.DataFrame({"a": [1]}))


@pytest.mark.parametrize("name", ["inf", "Inf", "__pd_eval_local_x", "Timestamp", "list", "datetime", "index"])
def test_column_names_that_eval_may_read_from_its_own_scope(name):
    # eval reads inf and Inf as numpy's infinity and names with its local prefix as
    # the caller's variables, not as columns; type names and "index" stay columns.
    df = pd.DataFrame({name: [1.0, -1.0, 2.0], "b": [1, 2, 3]})
    assert_native_matches_plain(engine_with(f"{name} > 0", f"if b > 1 then {name} < 3", f"b < {name}"), df)


def test_boolean_columns_holding_bytes_other_than_one_are_true():
    # A bool view of integers holds bytes such as 2; numpy reads every non-zero byte as True.
    df = pd.DataFrame(
        {
            "t": np.array([2, 0, 1, 3], dtype=np.uint8).view(bool),
            "u": np.array([1, 1, 0, 2], dtype=np.uint8).view(bool),
            "a": [1.0, 2.0, 3.0, 4.0],
        }
    )
    engine = engine_with("~t", "not t", "t & u", "t and u", "t | u", "if u then ~t", "(a > 0) & t", "~t | (a > 5)")
    assert_native_matches_plain(engine, df)


@pytest.mark.parametrize("name", ["Timestamp", "datetime", "list", "tuple"])
def test_a_callers_variable_named_like_an_eval_global_is_what_eval_reads(name, monkeypatch):
    # eval looks these names up in the calling frame first; where they are not types
    # there, it reads that variable instead of the column. (This module's globals are
    # the calling frame's globals below: no call in this test uses the shadowed name.)
    monkeypatch.setitem(globals(), name, 0.5)
    df = pd.DataFrame({name: [1.0, -1.0, 3.0], "b": [0.0, 1.0, 2.0]})
    engine = engine_with(f"b < {name}")
    native = engine.validate(df)
    monkeypatch.setattr(rw, "_native_rules", False)
    plain = engine.validate(df)
    assert native.violations == plain.violations == {f"b < {name}": 2}


DEEP_RULES = """[
    "(" * 8000 + "a > 0" + ")" * 8000,
    "not " * 100000 + "a > 0",
    "~" * 100000 + "(a > 0)",
    "a + " * 100000 + "a > 0",
    "(a > 0) & " * 100000 + "(a > 0)",
]"""


def test_rules_too_long_to_parse_are_refused_before_any_parser_sees_them():
    # Run apart: a flat chain of 120,000 operators ended the interpreter in the parser.
    code = (
        "import pandas as pd\n"
        "from velmora.tabular.rulewarden import Rulewarden\n"
        f"rules = {DEEP_RULES} + ['a' + ' + a' * 120000 + ' > 0', 'a' + ' + a' * 100 + ' > 0']\n"
        "df = pd.DataFrame({'a': [1.0, -1.0, 2.0]})\n"
        "engine = Rulewarden()\n"
        "for rule in rules:\n"
        "    try:\n"
        "        engine.add_rule(rule)\n"
        "    except ValueError as error:\n"
        "        print(str(error).split(';')[0])\n"
        "print(len(engine._rules), len(engine._parsed_rules))\n"
        "engine._rules.append(rules[-1])\n"
        "engine._parsed_rules.append(engine._parse_rule(rules[-1]))\n"
        "try:\n"
        "    engine.validate(df)\n"
        "except ValueError as error:\n"
        "    print('validate:', str(error).split(';')[0])\n"
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr[-2000:]
    assert completed.stdout.splitlines() == [
        "Rule refused: the rule is 16005 characters long",
        *[f"Rule refused: the rule is {length} characters long" for length in (400005, 100007, 400005, 1000007)],
        "Rule refused: the rule is 480005 characters long",
        "Rule refused: the rule holds 101 operators",
        "0 0",
        "validate: Rule refused: the rule holds 101 operators",
    ]


@pytest.mark.parametrize("rule", ["not " * 97 + "a > 0", "a + " * 99 + "a > 0", "(" * 90 + "a > 0" + ")" * 90])
def test_rules_at_the_native_depth_limit_match_pandas(rule):
    df = pd.DataFrame({"a": [1.0, -1.0, 0.5, np.nan]})
    engine = engine_with(rule)
    assert_report_matches(engine.validate(df), reference_validate(engine, df))
