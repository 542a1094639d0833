"""What the installed distribution says about itself agrees with the sources:
one version (pyproject.toml, read through importlib.metadata, and the
changelog), the licence, the interpreters that the wheels are built for, and
the files and plugin that users get."""

import importlib.metadata
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DIST = importlib.metadata.distribution("sonvex_rs")


def _pyproject_value(key):
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    return re.search(rf'^{key} = "(.*)"$', text, re.M).group(1)


def _wheel_interpreters():
    """(implementation, version) pairs of the WHEELS table of scripts/wheels.sh,
    whose rows are "platform implementation-version[-abi] from tests", over
    all platforms."""
    text = (ROOT / "scripts" / "wheels.sh").read_text(encoding="utf-8")
    rows = re.findall(r'^\s+"(.*)"$', re.search(r"^WHEELS=\($(.*?)^\)$", text, re.M | re.S).group(1),
                      re.M)
    assert rows
    return {tuple(row.split()[1].split("-")[:2]) for row in rows}


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


def test_interpreters_agree_with_the_wheels_built():
    built = _wheel_interpreters()
    classifiers = DIST.metadata.get_all("Classifier")
    versions = {c.rsplit(" :: ", 1)[1] for c in classifiers
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    assert versions == {version for _, version in built}
    implementations = {c.rsplit(" :: ", 1)[1].lower() for c in classifiers
                       if c.startswith("Programming Language :: Python :: Implementation :: ")}
    assert implementations == {kind for kind, _ in built}
    lowest = min(versions, key=lambda v: tuple(map(int, v.split("."))))
    assert DIST.metadata["Requires-Python"] == f">={lowest}"
    assert "Typing :: Typed" in classifiers
    assert "Operating System :: POSIX :: Linux" in classifiers


def test_installed_files_and_plugin():
    names = {str(f) for f in DIST.files}
    assert {"sonvex_rs-stubs/__init__.pyi", "sonvex_rs-stubs/py.typed",
            "sonvex_fake_server/__init__.py", "sonvex_fake_server/__main__.py",
            "sonvex_fake_server/pytest_plugin.py", "sonvex_fake_server/py.typed",
            "sonvex_replies/__init__.py", "sonvex_replies/_reply.py", "sonvex_replies/_tap.py",
            "sonvex_replies/py.typed", "sonvex_rs-stubs/_classes.pyi",
            "sonvex_rs-stubs/_client.pyi", "sonvex_rs-stubs/_commands.pyi"} <= names
    (plugin,) = [e for e in DIST.entry_points if e.group == "pytest11"]
    assert plugin.load().fake_media_server is not None
