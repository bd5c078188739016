"""Sphinx configuration: the user guide and the reference, built from the installed package.

    ./dev docs          (build/docs/html, every example run)

Nothing is fetched while building or reading: no intersphinx, the theme's
assets are in its package, and formulas are text (MathJax would come from a
network).  The reference pages are written at build time from each public
module's ``__all__`` (docs/_ext/reference_pages.py), and the figures are drawn
from bench/results/ (docs/_ext/figures.py).
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

import tavorin  # noqa: E402

# Imported here, so that autodoc documents (and the doctests call) the compiled
# function itself: for a compiled module not yet imported, autodoc would load
# its .pyi stub in its place, whose proj_csimplex does nothing.
import tavorin.operators  # noqa: E402, F401

project = "tavorin"
author = "the tavorin developers"
copyright = "the tavorin developers"
release = tavorin.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "numpydoc",
    "myst_parser",
    "reference_pages",
    "figures",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["requirements.txt"]
myst_heading_anchors = 3
# The changelog is included from the repository's root, and so are its links.
suppress_warnings = ["myst.xref_missing"]

autosummary_generate = False
autodoc_default_options = {}
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
# Each section of a docstring is checked when the reference is built.
numpydoc_validation_checks = {"PR01", "PR02", "RT01", "EX01"}

# Every example is run by `sphinx-build -b doctest`, docstrings and guide alike.
doctest_global_setup = """
import numpy as np
import tavorin
np.set_printoptions(precision=4, suppress=True, legacy=False)
from reference_pages import HAVE_JAX, HAVE_TORCH
"""
doctest_default_flags = (
    __import__("doctest").ELLIPSIS
    | __import__("doctest").NORMALIZE_WHITESPACE
    | __import__("doctest").DONT_ACCEPT_TRUE_FOR_1
)

html_theme = "pydata_sphinx_theme"
html_title = f"tavorin {release}"
html_theme_options = {
    "navigation_with_keys": False,
    # The guide, the reference and the changelog fit the bar; the search is a button.
    "header_links_before_dropdown": 4,
    "navbar_persistent": ["search-button"],
    "show_toc_level": 2,
    "navbar_align": "left",
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
    "secondary_sidebar_items": ["page-toc"],
}
html_show_sourcelink = False
html_static_path = ["_static"]
html_css_files = ["tavorin.css"]
