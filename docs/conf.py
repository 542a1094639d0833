"""Sphinx settings of the API reference; scripts/docs.sh builds it into
build/docs/html, with every warning an error."""

import re
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
# The fake server from the source tree; sonvex_replies, which has a native
# part, from the copy that scripts/setup.sh built into the environment.
sys.path[:0] = [str(DOCS / "_ext"), str(ROOT / "fakeserver")]

project = "sonvex_rs"
author = "the sonvex_rs developers"
copyright = "the sonvex_rs developers"
# The version is the package's, as pyproject.toml gives it (the only place it
# is written); every page shows it under the title in the sidebar.
release = version = re.search(r'^version = "(.+)"$',
                              (ROOT / "pyproject.toml").read_text(encoding="utf-8"),
                              re.M).group(1)

extensions = ["myst_parser", "sphinx.ext.autodoc", "sonvex_reference"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"

# Headings up to ### get anchors, so pages can link to sections by slug.
myst_heading_anchors = 3
# README sections included in the pages link to the reference's pages as
# docs/<page>.md; the includes turn those into links between pages.

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}

html_theme = "alabaster"
html_title = f"sonvex_rs {release} reference"
html_theme_options = {
    "description": f"version {release}",
    # Wide enough for a code line of 88 characters beside the sidebar, so
    # that no sample hides its end behind a scroll bar on a 1280-pixel
    # screen (tests/python/test_docs.py keeps the samples that short).
    "page_width": "1180px",
    "body_max_width": "none",
}
html_static_path = ["_static"]
html_css_files = ["sonvex.css"]
html_show_sourcelink = False
html_copy_source = False
