"""The reference's pages (docs/*.md) work as written, as the README does:
every Python block runs against the Quickstart's fake server and prints
what the page says (the README's runner and markers), every link and every
"see ..." leads to a page and a heading that exist, each heading is once in
the contents, no code line is wider than the page shows, what the
examples use is documented, and the version shown is the package's.
scripts/docs.sh builds the pages."""

import ast
import importlib
import importlib.metadata
import inspect
import re
import runpy
import sys
from pathlib import Path

import pytest

from test_readme import _FENCE, _LINK, read_blocks, run_block, slug

# Child processes: left out of the quick loop.
pytestmark = pytest.mark.slow

DOCS = Path(__file__).resolve().parents[2] / "docs"
STUBS = DOCS.parent / "stubs" / "sonvex_rs"
PAGES = sorted(DOCS.glob("*.md"))
PYTHON = [(page, block) for page in PAGES
          for block in read_blocks(page.read_text(encoding="utf-8"))
          if block["language"] == "python"]
# The longest code line that the pages show whole beside the sidebar at
# 1280 pixels (the page width of docs/conf.py).
WIDEST_CODE_LINE = 88

_INCLUDE = re.compile(r"^```\{include\} (\S+)\n((?::[\w-]+:.*\n)*)```\n", re.M)


def expanded(page):
    """The Markdown of a page as Sphinx reads it: each {include} replaced by
    the part of the file it takes, its links to docs/ made relative."""
    def include(m):
        options = {k: v.strip().strip('"') for k, v in re.findall(r"^:([\w-]+):(.*)$",
                                                                  m.group(2), re.M)}
        text = (page.parent / m.group(1)).read_text(encoding="utf-8")
        for option, keep in (("start-after", 1), ("end-before", 0)):
            if option in options:
                assert options[option] in text, (page.name, option, options[option])
                text = text.split(options[option], 1)[keep]
        if "relative-docs" in options:
            text = text.replace("](" + options["relative-docs"], "](")
        return text
    return _INCLUDE.sub(include, page.read_text(encoding="utf-8"))


TEXTS = {page.stem: expanded(page) for page in PAGES}


def headings(text):
    """(level, title) of every heading outside the code blocks."""
    prose = _FENCE.sub("", text)
    return [(len(m.group(1)), m.group(2).strip()) for m in re.finditer(r"^(#+) (.*)$", prose, re.M)]


def contents():
    """The pages in the order of the index's contents."""
    (toctree,) = re.findall(r"^```\{toctree\}\n(.*?)^```", TEXTS["index"], re.M | re.S)
    return [line for line in toctree.splitlines() if line and not line.startswith(":")]


def link_problem(stem, target):
    """Why a link of a page (its includes resolved) leads nowhere, or None."""
    if target.startswith("https://"):
        return None
    path, _, anchor = target.partition("#")
    if path:
        if not path.endswith(".md") or path[:-3] not in TEXTS:
            return f"{stem}: {target}: no such page"
        stem = path[:-3]
    anchors = [slug(title) for level, title in headings(TEXTS[stem]) if level <= 3]
    if anchor and anchor not in anchors:
        return f"{stem}: {target}: no such heading"
    return None


def test_pages_and_their_links():
    assert {p.stem for p in PAGES} >= {"index", "getting-started", "answers", "fake-server",
                                       "commands", "errors", "process", "differences",
                                       "benchmarks", "changelog"}
    problems = [link_problem(stem, target) for stem, text in TEXTS.items()
                for target in _LINK.findall(_FENCE.sub("", text))]
    assert [p for p in problems if p is not None] == []
    # Samples that print show what they print.
    assert all(block["output"] is not None for _, block in PYTHON)


def test_the_version_is_the_packages_and_the_changelog_a_page(monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))  # conf.py adds to it
    conf = runpy.run_path(str(DOCS / "conf.py"))
    assert conf["release"] == importlib.metadata.version("sonvex_rs")
    assert conf["release"] in conf["html_theme_options"]["description"]
    assert TEXTS["changelog"] == (DOCS.parent / "CHANGELOG.md").read_text(encoding="utf-8")


def test_every_item_is_once_in_the_contents():
    pages = contents()
    assert sorted(pages) == sorted(stem for stem in TEXTS if stem != "index")
    titles = [[title for level, title in headings(TEXTS[stem]) if level == 1] for stem in pages]
    assert all(len(page_titles) == 1 for page_titles in titles), titles
    # The index lists the pages and their sections; the sidebar every
    # heading of the page shown.
    listed = [title for stem in pages for level, title in headings(TEXTS[stem]) if level <= 2]
    assert sorted({t for t in listed if listed.count(t) > 1}) == []
    for stem in pages:
        own = [title for _, title in headings(TEXTS[stem])]
        assert sorted({t for t in own if own.count(t) > 1}) == [], stem


def test_no_code_line_is_wider_than_the_page():
    wide = [(stem, block["line"], line) for stem, text in TEXTS.items()
            for block in read_blocks(text) if not block["language"].startswith("{")
            for line in block["code"].splitlines() if len(line) > WIDEST_CODE_LINE]
    assert wide == []


# A reference in running text: "see" and what follows, or "the ... note on".
_SEE = re.compile(r"\b[Ss]ee\s+(?:the\s+)?(\S.{0,79})", re.S)
_NOTE = re.compile(r"\bnote on\b")


def _rendered():
    """What the pages document: qualified name (Class.member for members)
    -> docstring, for the Python packages (autodoc) and the type stubs
    (sonvex-stubs)."""
    docs = {}
    for text in TEXTS.values():
        for kind, target in re.findall(r"^\.\. auto(class|function|data):: ([\w.]+)", text, re.M):
            module_name, _, name = target.rpartition(".")
            module = importlib.import_module(module_name)
            obj = getattr(module, name)
            if kind == "data":
                docs[name] = attribute_docs(inspect.getsource(module)).get(name)
                continue
            docs[name] = inspect.getdoc(obj)
            if kind == "class":
                members = {member: inspect.getdoc(value) for member, value in vars(obj).items()
                           if not member.startswith("_")}
                members.update(attribute_docs(inspect.getsource(obj)))
                docs.update({f"{name}.{member}": doc for member, doc in members.items()})
        for stem in re.findall(r"^\.\. sonvex-stubs:: (\w+)", text, re.M):
            tree = ast.parse((STUBS / f"{stem}.pyi").read_text(encoding="utf-8"))
            for node in tree.body:
                if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                    docs[node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    docs.update({f"{node.name}.{n.name}": ast.get_docstring(n) for n in node.body
                                 if isinstance(n, (ast.ClassDef, ast.FunctionDef))})
    return docs


def attribute_docs(source):
    """Name -> docstring of the attributes that autodoc documents: those with
    a string right after their assignment (in a module, a class body or, as
    self.name, in __init__)."""
    found = {}
    for node in ast.walk(ast.parse(source)):
        body = getattr(node, "body", None)
        if not isinstance(body, list):
            continue
        for assign, after in zip(body, body[1:]):
            if (isinstance(assign, (ast.Assign, ast.AnnAssign)) and isinstance(after, ast.Expr)
                    and isinstance(after.value, ast.Constant) and isinstance(after.value.value, str)):
                for target in getattr(assign, "targets", [getattr(assign, "target", None)]):
                    name = getattr(target, "id", None) or getattr(target, "attr", None)
                    if name:
                        found[name] = inspect.cleandoc(after.value.value)
    return found


RENDERED = _rendered()


def reference_problems(where, text, names):
    """The references of a text that lead nowhere: a "see" must be followed
    by a link, "below" or "above", or name one of `names` (a heading of the
    page, or a documented object); "the ... note on" names no place."""
    problems = [f"{where}: {m.group(0)!r}" for m in _NOTE.finditer(text)]
    for m in _SEE.finditer(text):
        what = " ".join(m.group(1).split())
        if what.startswith(("[", "below", "above")):
            continue
        if not any(re.match(re.escape(name) + r"(?!\w)", what, re.I) for name in names):
            problems.append(f"{where}: see {what[:40]!r}")
    return problems


def test_every_reference_leads_somewhere():
    problems = []
    for stem, text in TEXTS.items():
        prose = re.sub(r"`[^`]*`", "", _FENCE.sub("", text))
        problems += reference_problems(stem, prose, [title for _, title in headings(text)])
    names = {name for qualified in RENDERED for name in (qualified, qualified.split(".")[-1])}
    names |= {name + "()" for name in names}
    for name, doc in RENDERED.items():
        problems += reference_problems(name, doc or "", names)
    assert problems == []


# The examples' names for instances of the classes they use, and the
# expressions that give one.
_INSTANCES = {
    "FakeMediaServer": ["server", "fake_media_server"],
    "ServerConnection": ["connection", r"wait_for_connections\(\w*\)\[\d+\]"],
    "ReplyTap": ["tap", "reply_tap"],
    "Reply": ["reply", "answer", "event", r"wait_for(?:_word)?\([^()]*(?:\([^()]*\))?[^()]*\)"],
    "SonvexClient": ["client"],
    "Command": ["Command"],
}


def test_what_the_examples_use_is_documented():
    """Every attribute that an example (a code block or inline code of a
    page or of the README's sections they include) reads of the fake server,
    the tap, a reply, the client or Command is documented in the
    reference."""
    prose = "".join(_FENCE.sub("", text) for text in TEXTS.values())
    code = [block["code"] for text in TEXTS.values() for block in read_blocks(text)]
    code += re.findall(r"`([^`]+)`", prose)
    used = set()
    for cls, forms in _INSTANCES.items():
        # A name must not be an attribute itself (sonvex_rs.client is no client).
        pattern = re.compile(r"(?:%s)\.([A-Za-z_]\w*)" % "|".join(
            r"(?<![\w.])" + form if form.isidentifier() else form for form in forms))
        used |= {(cls, attribute) for text in code for attribute in pattern.findall(text)}
    # The Importing example reads the class off the module sonvex_rs.client.
    used.discard(("SonvexClient", "SonvexClient"))
    assert len(used) >= 20 and ("FakeMediaServer", "port") in used
    assert sorted(used_ for used_ in used if not RENDERED.get(".".join(used_))) == []


@pytest.mark.parametrize("page, block", PYTHON,
                         ids=[f"{page.stem}-line-{block['line']}" for page, block in PYTHON])
def test_python_block_runs(page, block, tmp_path):
    run_block(block, tmp_path)
