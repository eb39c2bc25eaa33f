"""Sphinx configuration of qalvo's documentation (built by `make docs`).

The API pages document the installed package (the estimators and the panel
are compiled modules), so the build runs in the environment that `make setup`
makes. QALVO_DOCS_QUICK=1 (`make docs QUICK=1`) runs only the quick gallery
examples; the others are rendered without their output.
"""

import os
import re
from pathlib import Path

import matplotlib
import torch

import qalvo
import qalvo.experiment.local

matplotlib.use("Agg")

# The compiled modules' own function objects carry the docstrings and
# signatures; their type stubs (.pyi), which autodoc would read instead, only
# types.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

# The examples' networks are small: a second intra-op thread only adds
# synchronisation, which costs dearly on a loaded machine (as the test suite
# finds too).
torch.set_num_threads(1)

# Experiment.local_explain shows its figure with plt.show() and then closes it,
# as a notebook wants. On these pages a figure shown stays open instead, so
# that the plot directive and the gallery take it, as a notebook's output
# keeps it.
qalvo.experiment.local._show = lambda figure: None

ROOT = Path(__file__).resolve().parents[1]

project = "qalvo"
author = "the qalvo developers"
copyright = "the qalvo developers"
# The one version of the package, defined in src/qalvo/__init__.py.
release = qalvo.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "myst_parser",
    # Formulas drawn by matplotlib's mathtext at build time: the pages need
    # no MathJax from a CDN, so they read the same offline.
    "matplotlib.sphinxext.mathmpl",
    "matplotlib.sphinxext.plot_directive",
]

source_suffix = {".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build", "**/*.txt", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.json", "auto_examples/*.md5"]
html_static_path = ["_static"]
html_css_files = ["qalvo.css"]

# References to qalvo's own names must resolve; names of other libraries are
# shown as text (the build has no network for their inventories).
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(?!qalvo\b|RampNet|FastTensorDataLoader|Experiment|InsightBoard|Dataset"
               r"|EngineStatus|ScoreDrops|QalvoWidget|PlotHBar).*"),
]

# The estimators' and the panel's classes have no docstring of their own:
# their constructors' docstrings describe them. Their methods are compiled
# function objects, which autodoc's :members: takes for attributes: the API
# pages name each with automethod.
autoclass_content = "both"
autodoc_member_order = "bysource"
autodoc_default_options = {"show-inheritance": False}
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
numpydoc_attributes_as_param_list = True

html_theme = "pydata_sphinx_theme"
html_title = f"qalvo {release}"
html_theme_options = {
    "navbar_start": ["navbar-logo", "qalvo-version"],
    "navbar_end": ["theme-switcher"],
    "navbar_persistent": ["search-button"],
    "footer_start": ["copyright"],
    "footer_end": ["qalvo-version"],
    "secondary_sidebar_items": ["page-toc"],
    "show_prev_next": True,
    "navigation_with_keys": False,
}
templates_path = ["_templates"]
html_sidebars = {"changelog": [], "contributing": []}
html_context = {"default_mode": "light"}
html_show_sourcelink = False
html_copy_source = False

# ---------------------------------------------------------------- gallery
QUICK = os.environ.get("QALVO_DOCS_QUICK") == "1"
# Examples that take longest; quick builds show them without running them.
LONG_EXAMPLES = ["plot_grid_search.py", "plot_compare_models.py"]


def _run_pattern():
    if not QUICK:
        return r"/plot_"
    long = "|".join(re.escape(name) for name in LONG_EXAMPLES)
    return r"/(?!%s)plot_[^/]*$" % long


sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples" / "gallery"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": _run_pattern(),
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
    "show_memory": False,
    "plot_gallery": "True",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    # Only what an example prints is shown, not the value of its last line.
    "capture_repr": (),
    "first_notebook_cell": None,
}

# ------------------------------------------------------ figures in the guide
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.figsize": (7, 4.2), "figure.dpi": 100}
mathmpl_fontsize = 12.0

