"""The reference's pages (docs/*.md) work as written, as the README does:
every Python block runs against the Quickstart's fake server and prints
what the page says (the README's runner and markers), and every link leads
to a page and a heading that exist. scripts/docs.sh builds the pages."""

from pathlib import Path

import pytest

from test_readme import _LINK, link_problem, read_blocks, run_block

# Child processes: left out of the quick loop.
pytestmark = pytest.mark.slow

PAGES = sorted((Path(__file__).resolve().parents[2] / "docs").glob("*.md"))
PYTHON = [(page, block) for page in PAGES
          for block in read_blocks(page.read_text(encoding="utf-8"))
          if block["language"] == "python"]


def test_pages_and_their_links():
    assert {p.stem for p in PAGES} >= {"index", "getting-started", "answers", "fake-server",
                                       "commands", "errors", "process", "differences"}
    problems = [(page.name, link_problem(page, target)) for page in PAGES
                for target in _LINK.findall(page.read_text(encoding="utf-8"))]
    assert [p for p in problems if p[1] is not None] == []
    # Samples that print show what they print.
    assert all(block["output"] is not None for _, block in PYTHON)


@pytest.mark.parametrize("page, block", PYTHON,
                         ids=[f"{page.stem}-line-{block['line']}" for page, block in PYTHON])
def test_python_block_runs(page, block, tmp_path):
    run_block(block, tmp_path)
