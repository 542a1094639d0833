"""The developer scripts' command lines: help, refused arguments, and setup
on a machine where Debian packages are missing and the user is not root."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPTS = ["setup.sh", "test.sh", "demo.sh", "wheels.sh", "tsan.sh", "fuzz.sh"]


def _script(name, *args):
    return subprocess.run(["bash", str(ROOT / "scripts" / name), *args], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, timeout=60)


@pytest.mark.parametrize("name", SCRIPTS)
@pytest.mark.parametrize("args, status", [
    (["-h"], 0), (["--help"], 0),
    (["--frobnicate"], 2), (["-x"], 2), (["--help-me"], 2),
])
def test_arguments(name, args, status):
    result = _script(name, *args)
    assert result.returncode == status, result.stdout + result.stderr
    usage = result.stdout if status == 0 else result.stderr
    assert usage.startswith(f"Usage: bash scripts/{name}") or \
        f"unknown argument: {args[0]}\n\nUsage: bash scripts/{name}" in usage
    assert "-h, --help" in usage
    if status:
        assert result.stdout == ""


def test_a_known_word_does_not_pass_for_another_script():
    # setup.sh knows "debug"; wheels.sh must still refuse it, before any work.
    assert _script("wheels.sh", "debug").returncode == 2
    assert _script("setup.sh", "--test").returncode == 2


@pytest.fixture
def as_unprivileged():
    """A command prefix that runs as a user other than root."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("setpriv is needed to leave root")
    return [setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--reset-env"]


def test_setup_without_root_names_the_missing_packages(as_unprivileged):
    work = Path(tempfile.mkdtemp(prefix="sonvex-setup-"))
    try:
        # A copy of the scripts, readable by anyone, and a dpkg-query that
        # reports every package as missing.
        shutil.copytree(ROOT / "scripts", work / "repo" / "scripts")
        (work / "bin").mkdir()
        (work / "bin" / "dpkg-query").write_text("#!/bin/sh\nexit 1\n")
        for path in [work, *work.rglob("*")]:
            path.chmod(0o755)
        result = subprocess.run(
            as_unprivileged + ["env", f"PATH={work / 'bin'}:/usr/bin:/bin",
                               "bash", str(work / "repo" / "scripts" / "setup.sh")],
            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
        assert result.returncode == 1, result.stdout + result.stderr
        assert "apt-get install -y pypy3 pypy3-dev pypy3-venv" in result.stderr
        assert "valgrind" in result.stderr
        assert "Could not open lock file" not in result.stderr
        # It stopped before creating anything.
        assert sorted(p.name for p in (work / "repo").iterdir()) == ["scripts"]
    finally:
        shutil.rmtree(work)
