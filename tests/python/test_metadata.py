"""What the installed distribution says about itself agrees with the sources:
one version (pyproject.toml, read through importlib.metadata, and the
changelog), the licence, and the files and plugin that users get (the
interpreters: test_interpreter_matrix.py)."""

import importlib.metadata
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DIST = importlib.metadata.distribution("sonvex_rs")


def _pyproject_value(key):
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    return re.search(rf'^{key} = "(.*)"$', text, re.M).group(1)


def test_one_version():
    version = DIST.version
    assert version == _pyproject_value("version")
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert re.search(r"^## (\S+)", changelog, re.M).group(1) == version


def test_licence():
    assert DIST.metadata["License-Expression"] == "MIT"
    files = [f for f in DIST.files if f.name == "LICENSE"]
    assert len(files) == 1
    text = files[0].read_text(encoding="utf-8")
    assert text == (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert text.startswith("MIT License\n")


def test_installed_files_and_plugin():
    names = {str(f) for f in DIST.files}
    assert {"sonvex_rs-stubs/__init__.pyi", "sonvex_rs-stubs/py.typed",
            "sonvex_fake_server/__init__.py", "sonvex_fake_server/__main__.py",
            "sonvex_fake_server/pytest_plugin.py", "sonvex_fake_server/py.typed",
            "sonvex_replies/__init__.py", "sonvex_replies/_reply.py", "sonvex_replies/_tap.py",
            "sonvex_replies/_kept.py", "sonvex_replies/_loops.py", "sonvex_replies/_stdout.py",
            "sonvex_replies/py.typed", "sonvex_rs-stubs/_classes.pyi",
            "sonvex_rs-stubs/_client.pyi", "sonvex_rs-stubs/_commands.pyi"} <= names
    (plugin,) = [e for e in DIST.entry_points if e.group == "pytest11"]
    assert plugin.load().fake_media_server is not None
