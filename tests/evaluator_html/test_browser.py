"""The report page in a real browser: headless Chromium decodes every plot.

The test command installs Debian's chromium when it is missing (tools/dev.sh).
"""

import html
import json
import re
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest
from PIL import Image

from velmora.tabular.evaluator.evaluator import TabularEvaluator

from .stand_ins import Report, Result

CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
]

# Appended to a copy of the page. The load event comes after every image has loaded;
# its handler then draws each image on a canvas, counts the pixels that are not white,
# and writes what the browser saw into the DOM, where --dump-dom shows it.
PROBE_SCRIPT = """<script>
window.addEventListener('load', function () {
  var images = Array.prototype.slice.call(document.images);
  var out = document.createElement('pre');
  out.id = 'velmora-probe';
  out.textContent = JSON.stringify({
    widths: images.map(function (img) { return img.complete ? img.naturalWidth : 0; }),
    heights: images.map(function (img) { return img.complete ? img.naturalHeight : 0; }),
    inked: images.map(function (img) {
      var canvas = document.createElement('canvas');
      canvas.width = img.naturalWidth;
      canvas.height = img.naturalHeight;
      if (!canvas.width || !canvas.height) return 0;
      var context = canvas.getContext('2d');
      context.drawImage(img, 0, 0);
      var pixels = context.getImageData(0, 0, canvas.width, canvas.height).data;
      var count = 0;
      for (var i = 0; i < pixels.length; i += 4) {
        if (pixels[i] < 250 || pixels[i + 1] < 250 || pixels[i + 2] < 250) count++;
      }
      return count;
    }),
    alts: images.map(function (img) { return img.alt; }),
    title: document.title,
    score: document.querySelector('.score-value').textContent,
    rows: document.querySelectorAll('table tr').length,
    scripts: document.scripts.length
  });
  document.body.appendChild(out);
});
</script>"""


def chromium():
    path = shutil.which("chromium")
    if path is None:
        pytest.fail("chromium is not installed; `bash tools/dev.sh test` installs Debian's chromium")
    return path


def run_chromium(args, profile):
    command = [chromium(), *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *args]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


@pytest.fixture
def rendered_page(tmp_path):
    rng = np.random.RandomState(7)
    real = pd.DataFrame(
        {
            "age": rng.normal(40, 12, 600).round(),
            "income": rng.lognormal(10, 0.5, 600),
            "hours_per_week_worked": rng.normal(38, 6, 600),
            "city": rng.choice(["north", "south"], 600),
        }
    )
    synthetic = real.copy()
    synthetic[["age", "income", "hours_per_week_worked"]] *= rng.normal(1, 0.05, (600, 3))
    report = Report(
        {"ks_complement_age": Result(0.93), "ks_complement_income": Result(0.71), "mmd_rbf": Result(0.55)},
        {"membership_inference_auc": Result(0.52, False), "distance_to_closest_record": Result(0.9)},
        generator_name="GaussianCopula <v2>",
        dataset_name="census & co",
        real_data_n_rows=600,
        synthetic_data_n_rows=600,
        n_columns=4,
    )
    path = tmp_path / "report.html"
    page = TabularEvaluator().to_html(report, str(path), real, synthetic)
    assert path.read_text(encoding="utf-8") == page
    return path


def test_chromium_decodes_every_plot_and_shows_the_page(rendered_page, tmp_path):
    probe = tmp_path / "probe.html"
    probe.write_text(
        rendered_page.read_text(encoding="utf-8").replace("</body>", PROBE_SCRIPT + "\n</body>"), encoding="utf-8"
    )
    dom = run_chromium(["--dump-dom", probe.as_uri()], tmp_path / "profile-dom")
    found = re.search(r'<pre id="velmora-probe">(.*?)</pre>', dom, re.S)
    assert found, "the probe did not report; DOM ends with: " + dom[-500:]
    seen = json.loads(html.unescape(found.group(1)))

    assert seen["alts"] == ["age", "income", "hours_per_week_worked", "Correlation"]
    assert seen["widths"] == [500, 500, 500, 1000]
    assert seen["heights"] == [350, 350, 350, 450]
    assert all(count > 1000 for count in seen["inked"]), seen["inked"]
    assert seen["title"] == "Velmora Evaluation Report \u2014 GaussianCopula <v2>"
    assert seen["score"] == "0.77"
    assert seen["rows"] == 6  # the header and five metrics
    assert seen["scripts"] == 1  # only the probe: the page itself runs no script

    screenshot = tmp_path / "report.png"
    run_chromium(
        [f"--screenshot={screenshot}", "--window-size=1280,2400", "--hide-scrollbars", rendered_page.as_uri()],
        tmp_path / "profile-shot",
    )
    with Image.open(screenshot) as image:
        assert image.size == (1280, 2400)
        # Not a blank page: the plots and the coloured cards give many colours.
        assert len(image.convert("RGB").getcolors(maxcolors=1 << 20)) > 50


def test_chromium_shows_a_page_from_a_real_evaluation(tmp_path):
    from palmerpenguins import load_penguins

    from velmora.core_generator.noiseforge import apply_noiseforge

    real = load_penguins().dropna().reset_index(drop=True)
    protected = apply_noiseforge(real, epsilon=1.0, method="laplace", random_state=3)
    evaluator = TabularEvaluator(random_seed=3)
    report = evaluator.evaluate(real, protected)
    page_path = tmp_path / "penguins.html"
    page = evaluator.to_html(report, str(page_path), real, protected)
    metric_count = len({**report.aggregate_metrics, **report.privacy_metrics})
    assert metric_count > 20

    probe = tmp_path / "probe.html"
    probe.write_text(page.replace("</body>", PROBE_SCRIPT + "\n</body>"), encoding="utf-8")
    dom = run_chromium(["--dump-dom", probe.as_uri()], tmp_path / "profile-dom")
    found = re.search(r'<pre id="velmora-probe">(.*?)</pre>', dom, re.S)
    assert found, "the probe did not report; DOM ends with: " + dom[-500:]
    seen = json.loads(html.unescape(found.group(1)))
    numeric = real.select_dtypes(include=[np.number]).columns.tolist()
    assert seen["alts"] == numeric + ["Correlation"]
    assert all(width > 0 for width in seen["widths"]) and all(count > 1000 for count in seen["inked"])
    assert seen["rows"] == metric_count + 1
    assert float(seen["score"]) > 0

    screenshot = tmp_path / "penguins.png"
    run_chromium(
        [f"--screenshot={screenshot}", "--window-size=1280,3000", page_path.as_uri()], tmp_path / "profile-shot"
    )
    with Image.open(screenshot) as image:
        assert image.size == (1280, 3000)
