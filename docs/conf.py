"""Sphinx settings of velmora's documentation site.

``bash tools/dev.sh docs`` builds the site into build/docs/html and runs every example
of the pages as a doctest; the test command does the same. Warnings are errors there
(``-W --keep-going -n``), so a broken reference, a missing page or a failing docstring
stops the build.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

import velmora  # noqa: E402  (the installed package, built from this tree)

project = "velmora"
author = "the velmora developers"
copyright = "the velmora developers, Apache License 2.0"
release = velmora.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "velmora_docs",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_ext", "_static"]
templates_path: list = []

# ---- Markdown ------------------------------------------------------------------------
myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]
# Headings down to ### get anchors, so pages can link to sections: [text](page.md#anchor).
myst_heading_anchors = 3

# ---- API reference -------------------------------------------------------------------
autodoc_default_options = {"members": True}
autodoc_member_order = "bysource"
# The constructor's parameters are documented in __init__ in some classes (the noise
# processor), in the class docstring in others.
autoclass_content = "both"
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
# The extension modules' docstrings start with a signature line that writes each
# parameter's checked kind ("str rule: str"); the signatures come from
# inspect.signature instead, and velmora_docs drops that line.
autodoc_docstring_signature = False
autodoc_preserve_defaults = True
autosummary_generate = False
napoleon_google_docstring = True
napoleon_numpy_docstring = True
napoleon_use_rtype = False

# Names of other libraries in signatures and docstrings: their sites are not reachable
# from the build (no intersphinx), so they are not cross-referenced.
nitpick_ignore_regex = [
    ("py:class", r"(pd|pandas|np|numpy)\..*"),
    # The plain words of numpydoc types: "sequence of labels, optional", "default 0.3".
    ("py:class", r"[a-z][a-z ]*|default .*"),
    ("py:class", r"(Ellipsis|TextIO|Hashable|NoneType|DataFrame|SeedSequence|BitGenerator)"),
    # numpydoc's sets of allowed values: {"laplace", "gaussian"}.
    ("py:class", r'\{?"[a-z]+"\}?'),
    # The generator family the evaluator's docstring names, which lives outside velmora.
    ("py:class", r"BaseTabularAPI"),
    # Private helpers that public signatures return (ColumnScores: a dict of scores by
    # column with the skipped columns in .skipped).
    ("py:class", r"velmora\._metric_core\..*"),
    # The embedded rows the nearest-neighbour metrics share.
    ("py:class", r"velmora\.tabular\.evaluator\.metrics\._neighbours\..*"),
]

# ---- doctest -------------------------------------------------------------------------
# Only the pages' doctest, testcode and session blocks run; the examples inside
# docstrings are illustrations that name frames they do not build (real_df).
doctest_test_doctest_blocks = ""
# Every page runs in a scratch folder of its own, so the files its examples write
# (pages, tables, reports) land there.
doctest_global_setup = """
import logging as _logging
import os as _os
# The noise processor's progress lines (INFO on stderr) would only clutter the build.
_logging.getLogger("velmora").setLevel(_logging.WARNING)
import tempfile as _tempfile
from velmora_docs import run_command
_docs_folder = _os.getcwd()
_scratch = _tempfile.mkdtemp(prefix="velmora-docs-")
_os.chdir(_scratch)
"""
doctest_global_cleanup = """
import shutil as _shutil
_os.chdir(_docs_folder)
_shutil.rmtree(_scratch, ignore_errors=True)
"""

# ---- HTML ----------------------------------------------------------------------------
html_theme = "alabaster"
html_title = f"velmora {release}"
html_static_path = ["_static"]
html_css_files = ["velmora.css"]
html_theme_options = {
    "description": "Evaluate, perturb and validate synthetic tabular data",
    "fixed_sidebar": True,
    "page_width": "1160px",
}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
