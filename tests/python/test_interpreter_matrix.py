"""What the README and the installed distribution's metadata say about the
supported interpreters agrees with the interpreter matrix,
scripts/interpreters.txt, from which the scripts build and test the wheels."""

import importlib.metadata
import re
from collections import defaultdict
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
# PyPy's release series by the ABI tag of its extensions.
PYPY_SERIES = {"pp73": "7.3", "pp80": "8.x"}


def _matrix():
    """The rows as dicts of the header's columns."""
    lines = (ROOT / "scripts" / "interpreters.txt").read_text(encoding="utf-8").splitlines()
    header, *rows = [line.split() for line in lines if line.split("#")[0].strip()]
    assert header == ["platform", "interpreter", "from", "tests"]
    assert rows and all(len(row) == len(header) for row in rows)
    return [dict(zip(header, row)) for row in rows]


def _version_key(version):
    return tuple(int(part) for part in version.split("."))


def _interpreters(platform=None):
    """{"cpython": [versions], "pypy": {version: [series]}} of the matrix's
    rows (of one platform), versions in order."""
    cpython, pypy = set(), defaultdict(set)
    for row in _matrix():
        if platform in (None, row["platform"]):
            kind, version, *abi = row["interpreter"].split("-")
            if kind == "cpython":
                cpython.add(version)
            else:
                assert kind == "pypy" and len(abi) == 1, row
                pypy[version].add(PYPY_SERIES[abi[0]])
    return sorted(cpython, key=_version_key), {
        version: sorted(pypy[version], key=lambda s: _version_key(s.replace("x", "0")))
        for version in sorted(pypy, key=_version_key)}


def _is_run(versions):
    """Whether a sorted list of CPython 3 versions has no gap."""
    minors = [_version_key(v)[1] for v in versions]
    return minors == list(range(minors[0], minors[-1] + 1))


def test_readme_first_paragraph_names_the_interpreters():
    cpython, pypy = _interpreters()
    assert _is_run(cpython)
    expected = (f"CPython {cpython[0]} to {cpython[-1]}, "
                + " and ".join(f"PyPy {version}" for version in pypy) + " on Linux")
    paragraph = " ".join(README.split("\n\n")[1].split())
    assert f"it runs on {expected}." in paragraph


@pytest.mark.parametrize("platform", sorted({row["platform"] for row in _matrix()}))
def test_readme_wheel_table_row(platform):
    cpython, pypy = _interpreters(platform)
    cells = ["CPython " + ", ".join(cpython)] + [
        f"PyPy {version} ({' and '.join(series)})" for version, series in pypy.items()]
    rows = re.findall(rf"^\| {platform}\b[^|]*\| (.*) \|$", README, re.M)
    assert rows == ["; ".join(cells)]


def test_classifiers_and_requires_python():
    metadata = importlib.metadata.distribution("sonvex_rs").metadata
    cpython, pypy = _interpreters()
    versions = sorted(set(cpython) | set(pypy), key=_version_key)
    classifiers = metadata.get_all("Classifier")
    assert [c.rsplit(" :: ", 1)[1] for c in classifiers
            if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)] == versions
    kinds = {row["interpreter"].split("-")[0] for row in _matrix()}
    assert {c.rsplit(" :: ", 1)[1].lower() for c in classifiers
            if c.startswith("Programming Language :: Python :: Implementation :: ")} == kinds
    assert metadata["Requires-Python"] == f">={versions[0]}"
    assert "Typing :: Typed" in classifiers
    assert "Operating System :: POSIX :: Linux" in classifiers
