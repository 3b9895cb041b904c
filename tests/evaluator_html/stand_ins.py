"""Stand-in report records and a plain Python transcription of the report page.

The page reads only a handful of attributes from a report and its results; the
stand-ins below have exactly those, so the page is tested on its own. The
transcription (`expected_page`) spells every line of the page out in Python and is the
reference the native page must match character for character.
"""

import html


class Result:
    """What the page reads from a metric result: `value` and `higher_is_better`."""

    def __init__(self, value, higher_is_better=True):
        self.value = value
        self.higher_is_better = higher_is_better

    def __repr__(self):
        return f"Result({self.value!r}, {self.higher_is_better!r})"


class Report:
    """What the page reads from an evaluation report."""

    def __init__(
        self,
        aggregate=None,
        privacy=None,
        *,
        generator_name="GaussianCopula",
        timestamp="2024-05-01T12:00:00",
        dataset_name="adult",
        real_data_n_rows=1000,
        synthetic_data_n_rows=1000,
        n_columns=3,
    ):
        self.aggregate_metrics = {} if aggregate is None else aggregate
        self.privacy_metrics = {} if privacy is None else privacy
        self.generator_name = generator_name
        self.timestamp = timestamp
        self.dataset_name = dataset_name
        self.real_data_n_rows = real_data_n_rows
        self.synthetic_data_n_rows = synthetic_data_n_rows
        self.n_columns = n_columns


STYLE_LINES = [
    "body{font-family:'Segoe UI',Arial,sans-serif;margin:0;padding:0;background:#f5f7fa;color:#333;}",
    ".container{max-width:1100px;margin:0 auto;padding:30px;}",
    "h1{color:#1a1a2e;border-bottom:3px solid #0066cc;padding-bottom:10px;}",
    "h2{color:#1a1a2e;margin-top:30px;}",
    "table{border-collapse:collapse;width:100%;background:#fff;box-shadow:0 1px 3px rgba(0,0,0,0.1);"
    "border-radius:8px;overflow:hidden;}",
    "th,td{border:1px solid #e0e0e0;padding:10px 14px;text-align:left;}",
    "th{background:#0066cc;color:#fff;font-weight:600;}",
    "tr:nth-child(even){background:#f9f9f9;}",
    ".score-card{display:inline-block;background:#fff;border-radius:12px;padding:20px 40px;"
    "box-shadow:0 2px 8px rgba(0,0,0,0.1);text-align:center;margin:20px 0;}",
]
STYLE_LINES_AFTER_SCORE = [
    ".score-label{font-size:14px;color:#666;text-transform:uppercase;letter-spacing:1px;}",
    ".meta{color:#555;font-size:14px;line-height:1.8;}",
    ".plots-grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(400px,1fr));gap:20px;margin-top:20px;}",
    ".plot-card{background:#fff;border-radius:8px;padding:15px;box-shadow:0 1px 3px rgba(0,0,0,0.1);"
    "text-align:center;}",
    ".plot-card img{max-width:100%;height:auto;}",
    ".footer{margin-top:40px;padding-top:20px;border-top:1px solid #ddd;color:#888;font-size:12px;}",
]


def esc(value):
    return html.escape(format(value, ""), quote=True)


def expected_page(report, dist_html="", corr_html=""):
    """The page for `report`, written out line by line."""
    all_metrics = {**report.aggregate_metrics, **report.privacy_metrics}
    hib_vals = [m.value for m in all_metrics.values() if m.higher_is_better]
    overall = float(sum(hib_vals) / len(hib_vals)) if hib_vals else 0.0
    if overall > 0.8:
        score_color = "#28a745"
    elif overall >= 0.6:
        score_color = "#ffc107"
    else:
        score_color = "#dc3545"
    row_lines = []
    for name, m in all_metrics.items():
        threshold = 0.7 if m.higher_is_better else 0.3
        passed = (m.value >= threshold) if m.higher_is_better else (m.value <= threshold)
        pf = "PASS" if passed else "FAIL"
        color = "#28a745" if pf == "PASS" else "#dc3545"
        row_lines.append(
            f"<tr><td>{esc(name)}</td><td>{esc(format(m.value, '.4f'))}</td><td>{threshold:.2f}</td>"
            f"<td style='color:{color};font-weight:bold'>{pf}</td></tr>"
        )
    lines = [
        "<!DOCTYPE html>",
        "<html>",
        f"<head><title>Velmora Evaluation Report \u2014 {esc(report.generator_name)}</title>",
        "<style>",
        *STYLE_LINES,
        f".score-value{{font-size:56px;font-weight:bold;color:{score_color};}}",
        *STYLE_LINES_AFTER_SCORE,
        "</style></head>",
        "<body>",
        '<div class="container">',
        f"<h1>Evaluation Report \u2014 {esc(report.generator_name)}</h1>",
        '<div class="meta">',
        f"<p>Generated: {esc(report.timestamp)} | Dataset: {esc(report.dataset_name)}</p>",
        f"<p>Real data: {esc(format(report.real_data_n_rows, ','))} rows | "
        f"Synthetic data: {esc(format(report.synthetic_data_n_rows, ','))} rows | {esc(report.n_columns)} columns</p>",
        "</div>",
        '<div class="score-card">',
        '<div class="score-label">Overall Quality Score</div>',
        f'<div class="score-value">{overall:.2f}</div>',
        "</div>",
        "<h2>Metrics</h2>",
        "<table>",
        "<tr><th>Metric</th><th>Value</th><th>Threshold</th><th>Pass/Fail</th></tr>",
        *row_lines,
        "",
        "</table>",
        dist_html,
        corr_html,
        '<div class="footer">Generated by Velmora v2.0 Evaluation Suite</div>',
        "</div>",
        "</body>",
        "</html>",
    ]
    return "\n".join(lines)
