"""The docstrings of the type stubs, which editors show on hover and the API
reference is built from, say what the module does: the line each command
sends (its elements filled in from a docstring's own words give what the
module renders), the range of each integer and what None writes."""

import ast
import re
from pathlib import Path

import pytest

import sonvex_rs
from oracle import INT_RANGES, ORACLE, sample_forms, wire_value

STUBS = Path(__file__).resolve().parents[2] / "stubs" / "sonvex_rs"
Command = sonvex_rs.commands.Command


def _docstrings(path):
    """Qualified name -> docstring (None where there is none) of every class
    and function of a stub file."""
    found = {}

    def walk(prefix, body):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                found[prefix + node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    walk(f"{prefix}{node.name}.", node.body)

    walk("", ast.parse(path.read_text(encoding="utf-8")).body)
    return found


CLIENT = _docstrings(STUBS / "_client.pyi")
COMMANDS = _docstrings(STUBS / "_commands.pyi")


def _line(doc):
    (line,) = [text[4:] for text in doc.splitlines() if text.startswith("    ")]
    return line


def _bullets(doc):
    """Parameter name -> its item in the docstring's list, on one line."""
    items = re.findall(r"^- (\w+): (.*?)(?=^- |^$|\Z)", doc + "\n", re.M | re.S)
    return {name: " ".join(text.split()) for name, text in items}


def fill(template, values):
    """The line of a template for these wire texts (None: not given): a
    [bracketed] element goes when its value is not given."""
    def element(m):
        (name,) = re.findall(r"\{(\w+)\}", m.group(1))
        return "" if values[name] is None else " " + m.group(1)
    line = re.sub(r" \[([^]]*)\]", element, template)
    return re.sub(r"\{(\w+)\}", lambda m: values[m.group(1)], line)


def test_every_client_method_factory_and_variant_class_has_a_docstring():
    wanted = ([name for name in CLIENT if name.count(".") <= 1] + ["Command"]
              + [f"Command.{r.factory}" for r in ORACLE] + [f"Command.{r.variant}" for r in ORACLE])
    assert [name for name in wanted if {**CLIENT, **COMMANDS}.get(name) is None] == []


@pytest.mark.parametrize("row", ORACLE, ids=[r.factory for r in ORACLE])
def test_factory_docstring_says_what_the_module_renders(row):
    doc = COMMANDS[f"Command.{row.factory}"]
    bullets = _bullets(doc)
    assert list(bullets) == list(row.params)
    for f in row.fields:
        text = bullets[f.name]
        if f.kind in INT_RANGES:
            low, high = INT_RANGES[f.kind]
            assert text.startswith(f"int from {low} to {high}"), text
        # Only optional parameters and those with a default take None.
        assert ("None" in text) == (f.key is not None or f.default is not None), text
    for args, _ in sample_forms(row.factory):
        values = {}
        for f, value in zip(row.fields, args):
            if value is None:
                written = re.search(r"None, which writes (\S+?)[.;]", bullets[f.name]).group(1)
                # What None writes, as the element the template shows.
                value = None if written == "nothing" else written.rpartition("=")[2]
            values[f.name] = None if value is None else wire_value(value)
        assert fill(_line(doc), values) == str(getattr(Command, row.factory)(*args))


@pytest.mark.parametrize("row", ORACLE, ids=[r.variant for r in ORACLE])
def test_method_and_variant_show_the_factory_line(row):
    line = _line(COMMANDS[f"Command.{row.factory}"])
    assert _line(COMMANDS[f"Command.{row.variant}"]) == line
    sent = _line(CLIENT[f"SonvexClient.{row.method}"])
    if row.method == "login":  # the stored credentials and the default versions
        assert sent == "Login {username} {password} 2 3 COMMANDTAG={tag}"
    else:
        assert sent == line + " COMMANDTAG={tag}"
