"""Values taken from the report and the frames are escaped as HTML text."""

import datetime
import html.parser

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from .stand_ins import Report, Result, expected_page

HOSTILE = "<script>alert('x')</script> & \"quoted\""
HOSTILE_ESCAPED = "&lt;script&gt;alert(&#x27;x&#x27;)&lt;/script&gt; &amp; &quot;quoted&quot;"


class ElementCollector(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags = []
        self.alts = []

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self.alts.extend(value for key, value in attrs if key == "alt")


def parsed(page):
    collector = ElementCollector()
    collector.feed(page)
    collector.close()
    return collector


@pytest.mark.parametrize(
    "field", ["generator_name", "timestamp", "dataset_name", "n_columns", "real_data_n_rows", "synthetic_data_n_rows"]
)
def test_report_values_are_escaped(evaluator, field):
    class Hostile:
        def __format__(self, spec):
            return HOSTILE

    report = Report({"m": Result(0.9)}, **{field: Hostile()})
    page = evaluator.to_html(report)
    assert HOSTILE not in page and HOSTILE_ESCAPED in page
    assert "script" not in parsed(page).tags
    assert page == expected_page(report)


def test_metric_names_are_escaped(evaluator):
    report = Report({HOSTILE: Result(0.9)}, {"</td></tr></table>": Result(0.1, False)})
    page = evaluator.to_html(report)
    lines = page.split("\n")
    assert lines[35].startswith(f"<tr><td>{HOSTILE_ESCAPED}</td><td>0.9000</td>")
    assert lines[36].startswith("<tr><td>&lt;/td&gt;&lt;/tr&gt;&lt;/table&gt;</td><td>0.1000</td>")
    assert parsed(page).tags.count("table") == 1


def test_values_without_markup_characters_are_unchanged(evaluator):
    stamp = datetime.datetime(2024, 5, 1, 12, 30)
    report = Report(
        {"ks_complement_\u00e2ge (years) / 100%": Result(0.9)},
        generator_name="TVAE-v2 $x$",
        timestamp=stamp,
        dataset_name=None,
        n_columns=np.int64(7),
    )
    lines = evaluator.to_html(report).split("\n")
    assert lines[2] == "<head><title>Velmora Evaluation Report \u2014 TVAE-v2 $x$</title>"
    assert lines[25] == "<p>Generated: 2024-05-01 12:30:00 | Dataset: None</p>"
    assert lines[26] == "<p>Real data: 1,000 rows | Synthetic data: 1,000 rows | 7 columns</p>"
    assert lines[35].startswith("<tr><td>ks_complement_\u00e2ge (years) / 100%</td>")


def test_lone_surrogates_survive_into_the_page(evaluator):
    report = Report({"bad\udcff<": Result(0.5)})
    page = evaluator.to_html(report)
    assert "<tr><td>bad\udcff&lt;</td>" in page
    assert page == expected_page(report)


def test_column_labels_are_escaped_in_alt_text(evaluator):
    label = "x' onerror='alert(1)"
    real = pd.DataFrame({label: np.arange(30.0), "<b>": np.arange(30.0)})
    dist_html, _ = evaluator._generate_plot_html(real, real)
    assert "alt='x&#x27; onerror=&#x27;alert(1)'" in dist_html
    assert "alt='&lt;b&gt;'" in dist_html
    assert parsed(dist_html).alts == [label, "<b>"]


names = st.text(alphabet=st.sampled_from(["a", "b", "<", "&", "'", '"', "\u00e9", "\u2014"]), max_size=4)
values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True), st.integers(-(10**6), 10**6), st.floats(-10, 10).map(np.float64)
)
flags = st.one_of(st.booleans(), st.none(), st.integers(0, 2), st.booleans().map(np.bool_))
results = st.builds(Result, values, flags)


@settings(max_examples=75, deadline=None)
@given(
    aggregate=st.dictionaries(names, results, max_size=5),
    privacy=st.dictionaries(names, results, max_size=3),
    generator_name=st.text(),
    timestamp=st.text(),
    dataset_name=st.text(),
    real_rows=st.integers(-(10**9), 10**12),
    synthetic_rows=st.integers(0, 10**9),
    n_columns=st.integers(0, 500),
)
def test_page_matches_the_python_transcription(
    aggregate, privacy, generator_name, timestamp, dataset_name, real_rows, synthetic_rows, n_columns
):
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    report = Report(
        aggregate,
        privacy,
        generator_name=generator_name,
        timestamp=timestamp,
        dataset_name=dataset_name,
        real_data_n_rows=real_rows,
        synthetic_data_n_rows=synthetic_rows,
        n_columns=n_columns,
    )
    assert TabularEvaluator().to_html(report) == expected_page(report)
