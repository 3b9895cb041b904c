"""_generate_plot_html: histogram cards, the heatmap pair and the best-effort rules."""

import base64
import importlib.abc
import inspect
import io
import re
import sys
import warnings

import matplotlib
import matplotlib.axes
import matplotlib.figure
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from PIL import Image

from velmora.tabular.evaluator.evaluator import TabularEvaluator

from .stand_ins import Report, Result, expected_page

CARD = re.compile(
    r"<div class='plot-card'><img src='data:image/png;base64,([A-Za-z0-9+/]+={0,2})' alt='([^']*)'></div>"
)
DIST_OPEN = "<h2>Distribution Comparison</h2><div class='plots-grid'>"
CORR = re.compile(
    r"^<h2>Correlation Comparison</h2><div class='plot-card' style='max-width:800px'>"
    r"<img src='data:image/png;base64,([A-Za-z0-9+/]+={0,2})' alt='Correlation'></div>$"
)

plot_html = TabularEvaluator._generate_plot_html


def cards(dist_html):
    """(png bytes, alt text) of every card, checking the section's frame on the way."""
    assert dist_html.startswith(DIST_OPEN) and dist_html.endswith("</div>")
    body = dist_html[len(DIST_OPEN) : -len("</div>")]
    found = CARD.findall(body)
    assert "".join(CARD.sub("", body)) == "", "unexpected text between the cards"
    return [(base64.b64decode(encoded, validate=True), alt) for encoded, alt in found]


def png_size(data):
    assert data.startswith(b"\x89PNG\r\n\x1a\n")
    with Image.open(io.BytesIO(data)) as image:
        return image.size


def frame(columns, rows=200, seed=0):
    rng = np.random.RandomState(seed)
    return pd.DataFrame({c: rng.normal(size=rows) for c in columns})


@pytest.fixture
def recorded(monkeypatch):
    """Records the matplotlib calls the plots make (the native code looks them up on
    the axes and figures, so class attributes can be wrapped)."""
    calls = []

    def wrap(cls, name, record):
        original = getattr(cls, name)

        def wrapper(self, *args, **kwargs):
            result = original(self, *args, **kwargs)
            calls.append((name, record(args, kwargs, result)))
            return result

        monkeypatch.setattr(cls, name, wrapper)

    wrap(matplotlib.axes.Axes, "hist", lambda a, k, r: (len(a[0]), k))
    wrap(matplotlib.axes.Axes, "set_title", lambda a, k, r: (a[0], k))
    wrap(matplotlib.axes.Axes, "legend", lambda a, k, r: [t.get_text() for t in r.get_texts()])
    wrap(matplotlib.axes.Axes, "imshow", lambda a, k, r: (np.asarray(a[0]).shape, k))
    wrap(matplotlib.axes.Axes, "set_xticklabels", lambda a, k, r: (list(a[0]), k))
    wrap(matplotlib.axes.Axes, "set_yticklabels", lambda a, k, r: (list(a[0]), k))
    wrap(matplotlib.figure.Figure, "colorbar", lambda a, k, r: k["shrink"])
    return calls


def of(calls, name):
    return [record for called, record in calls if called == name]


def test_signature_and_docstring():
    assert inspect.signature(plot_html).parameters.keys() == {"real_df", "synthetic_df"}
    assert TabularEvaluator._generate_plot_html.__doc__ == (
        "TabularEvaluator._generate_plot_html(real_df: pd.DataFrame, synthetic_df: pd.DataFrame) -> tuple\n\n"
        "Generate base64-encoded distribution and correlation plots.\n\n"
        "Returns (dist_plots_html, corr_plots_html) strings."
    )
    with pytest.raises(TypeError) as info:
        plot_html(frame("a"))
    assert str(info.value) == "_generate_plot_html() takes exactly 2 positional arguments (1 given)"


@pytest.mark.parametrize(
    "real, synthetic",
    [
        (pd.DataFrame({"s": ["a", "b"], "flag": [True, False]}), pd.DataFrame({"s": ["a", "b"]})),
        (frame("ab"), frame("cd")),
        (pd.DataFrame(), pd.DataFrame()),
    ],
)
def test_no_shared_numeric_column_gives_two_empty_sections(real, synthetic):
    assert plot_html(real, synthetic) == ("", "")


def test_one_shared_column_gives_one_card_and_no_heatmaps(recorded):
    real = frame(["age", "note"]).assign(note="x")
    dist_html, corr_html = plot_html(real, frame(["age", "other"], rows=80, seed=1))
    ((png, alt),) = cards(dist_html)
    assert alt == "age"
    assert png_size(png) == (500, 350)
    assert corr_html == ""
    real_hist, synthetic_hist = of(recorded, "hist")
    assert real_hist == (200, {"bins": 10, "alpha": 0.6, "label": "Real", "color": "#0066cc", "density": True})
    assert synthetic_hist == (80, {"bins": 10, "alpha": 0.6, "label": "Synthetic", "color": "#ff6600", "density": True})
    assert of(recorded, "set_title") == [("age", {"fontsize": 11, "fontweight": "bold"})]
    assert of(recorded, "legend") == [["Real", "Synthetic"]]


def test_twelve_columns_give_ten_cards_and_a_twelve_by_twelve_pair(recorded):
    names = [f"c{i:02d}" for i in range(12)]
    real = frame(names)
    synthetic = frame(list(reversed(names)), seed=3)
    dist_html, corr_html = plot_html(real, synthetic)
    found = cards(dist_html)
    assert [alt for _, alt in found] == names[:10]
    assert {png_size(png) for png, _ in found} == {(500, 350)}
    (encoded,) = CORR.fullmatch(corr_html).groups()
    assert png_size(base64.b64decode(encoded)) == (1000, 450)
    heatmap_kwargs = {"cmap": "RdBu_r", "vmin": -1, "vmax": 1, "aspect": "auto"}
    assert of(recorded, "imshow") == [((12, 12), heatmap_kwargs)] * 2
    assert of(recorded, "set_title")[-2:] == [
        ("Real Correlation", {"fontsize": 11, "fontweight": "bold"}),
        ("Synthetic Correlation", {"fontsize": 11, "fontweight": "bold"}),
    ]
    assert of(recorded, "set_xticklabels") == [(names, {"rotation": 45, "ha": "right", "fontsize": 7})] * 2
    assert of(recorded, "colorbar") == [0.8]


def test_colour_bar_sits_beside_both_heatmaps_and_nothing_warns(monkeypatch):
    layouts = []
    savefig = matplotlib.figure.Figure.savefig

    def recording_savefig(self, *args, **kwargs):
        layouts.append([axes.get_position() for axes in self.axes])
        return savefig(self, *args, **kwargs)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", recording_savefig)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _, corr_html = plot_html(frame(list("abcde")), frame(list("abcde"), seed=1))
    assert CORR.fullmatch(corr_html)
    real, synthetic, bar = layouts[-1]
    assert real.x1 < synthetic.x0 and synthetic.x1 < bar.x0


def test_heatmaps_follow_the_real_frames_column_order():
    real = frame(["a", "b"])
    real["b"] = real["a"] * 2.0
    synthetic = pd.DataFrame({"b": np.linspace(0, 1, 50), "a": np.linspace(1, 0, 50)})
    dist_html, corr_html = plot_html(real, synthetic)
    assert [alt for _, alt in cards(dist_html)] == ["a", "b"]
    assert CORR.fullmatch(corr_html)


@pytest.mark.parametrize("rows, bins", [(219, 10), (220, 11), (999, 49), (1000, 50), (5000, 50), (3, 10)])
def test_bins_come_from_the_real_values_without_missing_ones(recorded, rows, bins):
    values = np.concatenate([np.arange(rows, dtype=float), np.full(40, np.nan)])
    real = pd.DataFrame({"x": values})
    synthetic = pd.DataFrame({"x": np.arange(3000, dtype=float)})
    plot_html(real, synthetic)
    (real_count, real_kwargs), (synthetic_count, synthetic_kwargs) = of(recorded, "hist")
    assert (real_count, synthetic_count) == (rows, 3000)
    assert real_kwargs["bins"] == synthetic_kwargs["bins"] == bins


def test_all_missing_synthetic_column_draws_only_the_real_histogram(recorded):
    real = frame("x")
    synthetic = pd.DataFrame({"x": [np.nan] * 5})
    dist_html, corr_html = plot_html(real, synthetic)
    assert [alt for _, alt in cards(dist_html)] == ["x"]
    assert [kwargs["label"] for _, kwargs in of(recorded, "hist")] == ["Real"]
    assert of(recorded, "legend") == [["Real"]]


def test_integer_labels_give_cards_but_no_heatmaps(recorded):
    real = frame([0, 1, 2])
    dist_html, corr_html = plot_html(real, frame([0, 1, 2], seed=4))
    assert [alt for _, alt in cards(dist_html)] == ["0", "1", "2"]
    assert corr_html == ""
    assert of(recorded, "set_title") == [
        (0, {"fontsize": 11, "fontweight": "bold"}),
        (1, {"fontsize": 11, "fontweight": "bold"}),
        (2, {"fontsize": 11, "fontweight": "bold"}),
        ("Real Correlation", {"fontsize": 11, "fontweight": "bold"}),
    ]


def test_long_labels_are_cut_on_the_heatmap_axes_only(recorded):
    long_name = "a_rather_long_column_label"
    dist_html, corr_html = plot_html(frame([long_name, "short"]), frame([long_name, "short"], seed=2))
    assert [alt for _, alt in cards(dist_html)] == [long_name, "short"]
    assert of(recorded, "set_title")[0][0] == long_name
    assert of(recorded, "set_yticklabels") == [(["a_rather_lon", "short"], {"fontsize": 7})] * 2
    assert CORR.fullmatch(corr_html)


def test_text_in_the_synthetic_frame_is_left_out_silently():
    real = frame(["x", "y"])
    synthetic = pd.DataFrame({"x": ["low", "high"] * 50, "y": np.arange(100.0)})
    dist_html, corr_html = plot_html(real, synthetic)
    assert "alt='y'" in dist_html
    assert corr_html == ""


def drawing_column_bad(self, args):
    """Whether a patched call is drawing the column labelled "bad" (its values are huge)."""
    if isinstance(self, matplotlib.figure.Figure):
        return self.axes[0].get_title() == "bad"
    if args:
        return float(np.nanmax(np.asarray(args[0], dtype=float))) > 1e6
    return self.get_title() == "bad"


@pytest.mark.parametrize(
    "target, name",
    [
        (matplotlib.axes.Axes, "hist"),
        (matplotlib.axes.Axes, "legend"),
        (matplotlib.figure.Figure, "savefig"),
    ],
)
def test_a_failing_column_is_left_out_and_its_figure_closed(monkeypatch, target, name):
    original = getattr(target, name)

    def failing_for_bad(self, *args, **kwargs):
        if drawing_column_bad(self, args if name == "hist" else ()):
            raise ValueError("cannot draw")
        return original(self, *args, **kwargs)

    monkeypatch.setattr(target, name, failing_for_bad)
    real = frame(["a", "bad", "c"])
    real["bad"] = real["bad"] + 1e7
    dist_html, corr_html = plot_html(real, real)
    assert [alt for _, alt in cards(dist_html)] == ["a", "c"]
    assert CORR.fullmatch(corr_html)


def test_columns_that_all_fail_leave_the_heading_and_an_empty_grid(monkeypatch):
    def failing(self, *args, **kwargs):
        raise RuntimeError("no drawing today")

    monkeypatch.setattr(matplotlib.axes.Axes, "hist", failing)
    dist_html, corr_html = plot_html(frame("ab"), frame("ab"))
    assert dist_html == DIST_OPEN + "</div>"
    assert CORR.fullmatch(corr_html)


@pytest.mark.parametrize("name", ["imshow", "set_xticklabels"])
def test_a_failing_heatmap_leaves_the_correlation_section_empty(monkeypatch, name):
    def failing(self, *args, **kwargs):
        raise ValueError("no heatmap today")

    monkeypatch.setattr(matplotlib.axes.Axes, name, failing)
    dist_html, corr_html = plot_html(frame("ab"), frame("ab"))
    assert [alt for _, alt in cards(dist_html)] == ["a", "b"]
    assert corr_html == ""


@pytest.mark.parametrize("target, name", [(matplotlib.axes.Axes, "hist"), (matplotlib.figure.Figure, "colorbar")])
def test_keyboard_interrupt_propagates_and_closes_the_figure(monkeypatch, target, name):
    def interrupted(self, *args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(target, name, interrupted)
    with pytest.raises(KeyboardInterrupt):
        plot_html(frame("ab"), frame("ab"))
    assert plt.get_fignums() == []


def test_errors_before_drawing_propagate():
    with pytest.raises(AttributeError):
        plot_html([1, 2], frame("a"))
    with pytest.raises(AttributeError):
        plot_html(frame("a"), [1, 2])


def test_agg_backend_is_selected():
    matplotlib.use("pdf")
    try:
        plot_html(frame("a"), frame("a"))
        assert matplotlib.get_backend().lower() == "agg"
    finally:
        matplotlib.use("Agg")


class BlockImports(importlib.abc.MetaPathFinder):
    def __init__(self, blocked):
        self.blocked = blocked

    def find_spec(self, fullname, path, target=None):
        if fullname == self.blocked or fullname.startswith(self.blocked + "."):
            raise ModuleNotFoundError(f"No module named {fullname!r}", name=fullname)
        return None


@pytest.fixture
def hide_module(monkeypatch):
    """Makes `name` and its submodules unimportable until the test ends."""

    def hide(name):
        for loaded in [m for m in sys.modules if m == name or m.startswith(name + ".")]:
            monkeypatch.delitem(sys.modules, loaded)
        monkeypatch.setattr(sys, "meta_path", [BlockImports(name)] + sys.meta_path)

    return hide


@pytest.mark.parametrize("blocked", ["matplotlib", "matplotlib.pyplot"])
def test_without_matplotlib_there_are_no_plots(hide_module, blocked):
    hide_module(blocked)
    with pytest.raises(ImportError):
        __import__(blocked)
    assert plot_html(frame("ab"), frame("ab")) == ("", "")
    report = Report({"m": Result(0.9)})
    page = TabularEvaluator().to_html(report, None, frame("ab"), frame("ab"))
    assert page == expected_page(report)
    assert blocked not in sys.modules


def test_repeated_calls_keep_the_figure_registry_empty():
    real = frame(["a", "b", "c"])
    for _ in range(3):
        plot_html(real, real)
        assert plt.get_fignums() == []


def test_frames_keep_their_reference_counts():
    real, synthetic = frame(["a", "b"], rows=50), frame(["a", "b"], rows=50, seed=1)
    plot_html(real, synthetic)
    before = sys.getrefcount(real), sys.getrefcount(synthetic)
    for _ in range(3):
        plot_html(real, synthetic)
        plot_html(frame([0, 1], rows=50), frame([0, 1], rows=50))
    assert (sys.getrefcount(real), sys.getrefcount(synthetic)) == before
