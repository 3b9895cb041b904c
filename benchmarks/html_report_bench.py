"""Times TabularEvaluator.to_html with plots on a 100,000 x 20 pair of frames.

The native page is timed against a plain Python transcription of the same page (kept
here), alternating the two in one process, and the share of the native call spent
inside matplotlib is measured by timing every matplotlib entry point the page calls.

    .venv/bin/python benchmarks/html_report_bench.py [--rows 100000] [--cols 20] [--repeats 3]
"""

import argparse
import base64
import functools
import html
import io
import statistics
import time
import types
import warnings

import matplotlib

matplotlib.use("Agg")
import matplotlib.axes  # noqa: E402
import matplotlib.figure  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from velmora.tabular.evaluator.evaluator import TabularEvaluator  # noqa: E402


def plain_plots(real_df, synthetic_df):
    """The plot sections, written the plain way with pandas and matplotlib."""
    dist_html, corr_html = "", ""
    numeric_cols = real_df.select_dtypes(include=[np.number]).columns.tolist()
    shared = [c for c in numeric_cols if c in synthetic_df.columns]
    plot_cols = shared[:10]
    if plot_cols:
        dist_html = "<h2>Distribution Comparison</h2><div class='plots-grid'>"
        for col in plot_cols:
            fig, ax = plt.subplots(figsize=(5, 3.5))
            try:
                real_vals = real_df[col].dropna()
                syn_vals = synthetic_df[col].dropna()
                bins = min(50, max(10, len(real_vals) // 20))
                ax.hist(real_vals, bins=bins, alpha=0.6, label="Real", color="#0066cc", density=True)
                if len(syn_vals) > 0:
                    ax.hist(syn_vals, bins=bins, alpha=0.6, label="Synthetic", color="#ff6600", density=True)
                ax.set_title(col, fontsize=11, fontweight="bold")
                ax.legend(fontsize=9)
                ax.tick_params(labelsize=8)
                fig.tight_layout()
                buf = io.BytesIO()
                fig.savefig(buf, format="png", dpi=100)
            finally:
                plt.close(fig)
            encoded = base64.b64encode(buf.getvalue()).decode()
            dist_html += (
                f"<div class='plot-card'><img src='data:image/png;base64,{encoded}' "
                f"alt='{html.escape(str(col))}'></div>"
            )
        dist_html += "</div>"
    if len(shared) >= 2:
        fig, axes = plt.subplots(1, 2, figsize=(10, 4.5))
        try:
            real_corr = real_df[shared].corr()
            syn_corr = synthetic_df[shared].corr()
            labels = [c[:12] for c in shared]
            im0 = None
            for ax, corr, title in (
                (axes[0], real_corr, "Real Correlation"),
                (axes[1], syn_corr, "Synthetic Correlation"),
            ):
                im = ax.imshow(corr.values, cmap="RdBu_r", vmin=-1, vmax=1, aspect="auto")
                im0 = im0 if im0 is not None else im
                ax.set_title(title, fontsize=11, fontweight="bold")
                ax.set_xticks(range(len(shared)))
                ax.set_yticks(range(len(shared)))
                ax.set_xticklabels(labels, rotation=45, ha="right", fontsize=7)
                ax.set_yticklabels(labels, fontsize=7)
            # Laid out first, then the colour bar takes its room beside both heatmaps.
            fig.tight_layout()
            fig.colorbar(im0, ax=axes, shrink=0.8)
            buf = io.BytesIO()
            fig.savefig(buf, format="png", dpi=100)
        finally:
            plt.close(fig)
        encoded = base64.b64encode(buf.getvalue()).decode()
        corr_html = (
            "<h2>Correlation Comparison</h2><div class='plot-card' style='max-width:800px'>"
            f"<img src='data:image/png;base64,{encoded}' alt='Correlation'></div>"
        )
    return dist_html, corr_html


def plain_page(report, real_df, synthetic_df):
    """The page around the plots: only the pieces that cost time are written out."""
    all_metrics = {**report.aggregate_metrics, **report.privacy_metrics}
    hib = [m.value for m in all_metrics.values() if m.higher_is_better]
    overall = float(sum(hib) / len(hib)) if hib else 0.0
    rows = ""
    for name, m in all_metrics.items():
        threshold = 0.7 if m.higher_is_better else 0.3
        passed = m.value >= threshold if m.higher_is_better else m.value <= threshold
        rows += f"<tr><td>{html.escape(str(name))}</td><td>{m.value:.4f}</td><td>{threshold:.2f}</td>{passed}\n"
    dist_html, corr_html = plain_plots(real_df, synthetic_df)
    return "\n".join([f"{overall:.2f}", rows, dist_html, corr_html])


MISSING = object()


class MatplotlibClock:
    """Accumulates the wall time spent inside the matplotlib calls the page makes;
    nested calls (savefig drawing the figure, say) count once."""

    ENTRY_POINTS = [
        (plt, ["subplots", "close"]),
        (matplotlib, ["use"]),
        (
            matplotlib.axes.Axes,
            [
                "hist",
                "set_title",
                "legend",
                "tick_params",
                "imshow",
                "set_xticks",
                "set_yticks",
                "set_xticklabels",
                "set_yticklabels",
            ],
        ),
        (matplotlib.figure.Figure, ["tight_layout", "savefig", "colorbar"]),
    ]

    def __init__(self):
        self.seconds = 0.0
        self.depth = 0
        self.saved = []

    def wrap(self, function):
        @functools.wraps(function)
        def timed(*args, **kwargs):
            self.depth += 1
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.depth -= 1
                if self.depth == 0:
                    self.seconds += time.perf_counter() - start

        return timed

    def __enter__(self):
        for owner, names in self.ENTRY_POINTS:
            for name in names:
                # A class may inherit the method: remember whether it had its own.
                own = vars(owner).get(name, MISSING)
                self.saved.append((owner, name, own))
                setattr(owner, name, self.wrap(getattr(owner, name)))
        return self

    def __exit__(self, *exc):
        for owner, name, own in reversed(self.saved):
            if own is MISSING:
                delattr(owner, name)
            else:
                setattr(owner, name, own)


def make_inputs(rows, cols):
    rng = np.random.RandomState(0)
    real = pd.DataFrame(rng.normal(size=(rows, cols)), columns=[f"feature_{i:02d}" for i in range(cols)])
    synthetic = real * rng.normal(1.0, 0.05, size=(rows, cols)) + rng.normal(0.0, 0.1, size=(rows, cols))
    metrics = {
        f"ks_complement_{c}": types.SimpleNamespace(value=float(v), higher_is_better=True)
        for c, v in zip(real.columns, rng.uniform(0.6, 1.0, cols))
    }
    privacy = {"membership_inference_auc": types.SimpleNamespace(value=0.51, higher_is_better=False)}
    report = types.SimpleNamespace(
        aggregate_metrics=metrics,
        privacy_metrics=privacy,
        generator_name="Bench",
        timestamp="now",
        dataset_name="random",
        real_data_n_rows=rows,
        synthetic_data_n_rows=rows,
        n_columns=cols,
    )
    return report, real, synthetic


def main():
    # The heatmaps' shared colour bar makes tight_layout warn on every call.
    warnings.filterwarnings("ignore", message="This figure includes Axes that are not compatible with tight_layout")
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--cols", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    report, real, synthetic = make_inputs(args.rows, args.cols)
    evaluator = TabularEvaluator()
    # Same pictures either way: the plain sections must equal the native ones.
    assert plain_plots(real, synthetic) == evaluator._generate_plot_html(real, synthetic)

    native_times, plain_times = [], []
    for _ in range(args.repeats):
        start = time.perf_counter()
        evaluator.to_html(report, None, real, synthetic)
        native_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        plain_page(report, real, synthetic)
        plain_times.append(time.perf_counter() - start)

    with MatplotlibClock() as clock:
        start = time.perf_counter()
        evaluator.to_html(report, None, real, synthetic)
        total = time.perf_counter() - start

    native, plain = statistics.median(native_times), statistics.median(plain_times)
    print(f"frames: {args.rows:,} rows x {args.cols} columns, {args.repeats} alternating repeats")
    print(f"to_html native  median {native:8.3f} s")
    print(f"plain Python    median {plain:8.3f} s")
    print(f"ratio plain / native   {plain / native:8.3f}")
    print(f"share in matplotlib    {clock.seconds / total:8.1%}  ({clock.seconds:.3f} s of {total:.3f} s)")


if __name__ == "__main__":
    main()
