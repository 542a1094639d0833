"""The reference pages of the extension module, made from its type stubs.

The directive

    .. sonvex-stubs:: _client
       :module: sonvex_rs.client

writes the classes and functions of stubs/sonvex_rs/_client.pyi as Python
objects of the module sonvex_rs.client, with the signatures and docstrings
of the stubs (which tools/generate_stubs.py makes from the command
catalogue), so the reference never copies them by hand. The directive

    .. sonvex-command-table::

writes a table of every command of that catalogue (src/core/catalogue.def)
with links to its client method, its factory and its variant class.

Docstrings here, of the stubs and of the pure-Python packages alike, are
plain text: paragraphs, lists whose items start with "- ", and indented
blocks shown as they are. They are turned into reStructuredText with every
other character taken literally, so no docstring can make the build warn.
"""

from __future__ import annotations

import ast
import importlib.util
import inspect
import re
import sys
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "stubs" / "sonvex_rs"
CATALOGUE = ROOT / "src" / "core" / "catalogue.def"
GENERATOR = ROOT / "tools" / "generate_stubs.py"

_INLINE = re.compile(r"([\\`*_|\[\]<>:])")


def _escape(text: str) -> str:
    text = _INLINE.sub(r"\\\1", " ".join(text.split()))
    # Nothing at the start may open a list, a heading or a directive.
    return re.sub(r"\A([^\w\s\\])", r"\\\1", text)


def plain_to_rst(doc: str) -> list[str]:
    """The lines of a plain-text docstring (as inspect.cleandoc leaves it) as
    reStructuredText."""
    out: list[str] = []
    lines = doc.expandtabs().splitlines()
    i = 0
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        if lines[i].startswith(" "):  # shown as it is, blank lines included
            block = []
            while i < len(lines) and (lines[i].startswith(" ") or not lines[i].strip()):
                block.append(lines[i].rstrip())
                i += 1
            while not block[-1]:
                block.pop()
            out += ["::", ""] + ["    " + line if line else "" for line in block] + [""]
            continue
        paragraph = []
        while i < len(lines) and lines[i].strip() and not lines[i].startswith(" " * 4):
            paragraph.append(lines[i].strip())
            i += 1
        if paragraph[-1].endswith("::"):
            paragraph[-1] = paragraph[-1][:-1]
        if paragraph[0].startswith("- "):
            items: list[list[str]] = []
            for line in paragraph:
                if line.startswith("- "):
                    items.append([line[2:]])
                else:
                    items[-1].append(line)
            out += ["- " + _escape(" ".join(item)) for item in items] + [""]
        else:
            out += [_escape(" ".join(paragraph)), ""]
    return out


def _indent(lines: list[str], by: str = "   ") -> list[str]:
    return [by + line if line else "" for line in lines]


def _signature(node: ast.FunctionDef) -> str:
    args = node.args.args
    if args and args[0].arg in ("self", "cls"):
        node = ast.FunctionDef(**{**node.__dict__, "args": ast.arguments(
            **{**node.args.__dict__, "args": args[1:]})})
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"({ast.unparse(node.args)}){returns}"


def _decorators(node: ast.ClassDef | ast.FunctionDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def _doc(node: ast.AST) -> list[str]:
    doc = ast.get_docstring(node)  # type: ignore[arg-type]
    return plain_to_rst(doc) if doc else []


def _function(node: ast.FunctionDef, module: str, in_class: bool) -> list[str]:
    decorators = _decorators(node)
    if "property" in decorators:
        head = [f".. py:property:: {node.name}", f"   :type: {ast.unparse(node.returns)}"]
    else:
        kind = ("staticmethod" if "staticmethod" in decorators
                else "method" if in_class else "function")
        head = [f".. py:{kind}:: {node.name}{_signature(node)}"]
    if not in_class:
        head.append(f"   :module: {module}")
    return head + [""] + _indent(_doc(node))


def _class(node: ast.ClassDef, module: str, top: bool) -> list[str]:
    members = [n for n in node.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))]
    new = next((n for n in members if isinstance(n, ast.FunctionDef) and n.name == "__new__"),
               None)
    head = [f".. py:class:: {node.name}{_signature(new).split(' -> ')[0] if new else ''}"]
    if top:
        head.append(f"   :module: {module}")
    if "final" in _decorators(node):
        head.append("   :final:")
    body = _doc(node) + (_doc(new) if new else [])
    if top:  # a variant class lists nothing but itself
        for member in members:
            if isinstance(member, ast.ClassDef):
                body += _class(member, module, False)
            elif not member.name.startswith("_"):
                body += _function(member, module, True)
    return head + [""] + _indent(body)


def stub_reference(stem: str, module: str) -> list[str]:
    """The reStructuredText of the classes and functions of one stub file."""
    tree = ast.parse((STUBS / f"{stem}.pyi").read_text(encoding="utf-8"))
    out: list[str] = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            out += _class(node, module, True)
        elif isinstance(node, ast.FunctionDef):
            out += _function(node, module, False)
    return out


def _generator():  # type: ignore[no-untyped-def]
    """tools/generate_stubs.py as a module: the catalogue is read by its
    reader, the one the stubs are made with."""
    spec = importlib.util.spec_from_file_location("generate_stubs", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up by name
    spec.loader.exec_module(module)
    return module


def command_table() -> list[str]:
    """The reStructuredText of a table of every command, in the catalogue's
    order: its variant class (named as the command word on the wire), the
    client method that sends it and its factory, each a link to its entry."""
    rows = _generator().read_catalogue(CATALOGUE.read_text(encoding="utf-8"))
    out = [".. list-table::", "   :header-rows: 1", "   :class: sonvex-commands", "",
           "   * - Command", "     - Client method", "     - Factory of Command"]
    for row in rows:
        out += [f"   * - :py:class:`{row.variant} <sonvex_rs.commands.Command.{row.variant}>`",
                f"     - :py:meth:`~sonvex_rs.client.SonvexClient.{row.method}`",
                f"     - :py:meth:`~sonvex_rs.commands.Command.{row.factory}`"]
    return out + [""]


class CommandTable(SphinxDirective):
    """``.. sonvex-command-table::``: the table of command_table()."""

    def run(self):  # type: ignore[no-untyped-def]
        self.env.note_dependency(str(CATALOGUE))
        return self.parse_text_to_nodes("\n".join(command_table()))


class StubReference(SphinxDirective):
    required_arguments = 1
    option_spec = {"module": directives.unchanged_required}

    def run(self):  # type: ignore[no-untyped-def]
        path = STUBS / f"{self.arguments[0]}.pyi"
        self.env.note_dependency(str(path))
        text = "\n".join(stub_reference(self.arguments[0], self.options["module"]))
        return self.parse_text_to_nodes(text)


def _plain_docstring(app, what, name, obj, options, lines):  # type: ignore[no-untyped-def]
    lines[:] = plain_to_rst(inspect.cleandoc("\n".join(lines)))


def _placeholders_as_text(app, doctree):  # type: ignore[no-untyped-def]
    """Markdown takes <name> in running text (the README's "argument
    '<name>'") for an HTML tag, which a browser would hide; it is shown as
    written. HTML comments (the test markers) stay hidden."""
    for node in list(doctree.findall(nodes.raw)):
        if re.fullmatch(r"<[\w ]+>", node.astext()):
            node.replace_self(nodes.Text(node.astext()))


def setup(app):  # type: ignore[no-untyped-def]
    app.add_directive("sonvex-stubs", StubReference)
    app.add_directive("sonvex-command-table", CommandTable)
    app.connect("autodoc-process-docstring", _plain_docstring)
    app.connect("doctree-read", _placeholders_as_text)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
