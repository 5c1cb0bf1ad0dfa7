"""Builds the documentation of ravlin: the guide, the API reference from the docstrings of the
installed package, and the example scripts, run as part of the build."""

import sys
from pathlib import Path

import ravlin

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "ravlin"
release = version = ravlin.__version__
copyright = "the ravlin authors"

extensions = ["sphinx.ext.autodoc", "sphinx.ext.autosummary", "myst_parser", "run_examples"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_generated", "_ext"]
templates_path = ["_templates"]  # a class page is its documentation, without a table of its members

# The docstrings are prose with names in single backticks: those are Python names, linked where
# they resolve and shown as code where they do not.
default_role = "py:obj"
autosummary_generate = True
autodoc_default_options = {"members": True}
autodoc_member_order = "bysource"
autodoc_typehints = "description"
# Signatures keep the aliases written in the code rather than their expansions.
autodoc_type_aliases = {"TimeLike": "ravlin.contract.TimeLike", "CurveTime": "ravlin.market.CurveTime"}

myst_heading_anchors = 3
example_scripts_folder = str(HERE.parent / "examples")

html_theme = "alabaster"
html_title = f"ravlin {release}"
html_theme_options = {"description": "Contracts as timetables, priced in C++", "fixed_sidebar": True}
