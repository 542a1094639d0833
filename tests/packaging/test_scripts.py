"""The developer scripts' command lines: help, refused arguments, setup on a
machine where Debian packages are missing and the user is not root, and the
gate's search for the processes that outlive it."""

import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import helpers

ROOT = Path(__file__).resolve().parents[2]
SCRIPTS = ["setup.sh", "test.sh", "demo.sh", "wheels.sh", "debian-root.sh", "tsan.sh", "fuzz.sh",
           "docs.sh"]


def _script(name, *args):
    return helpers.run(["bash", str(ROOT / "scripts" / name), *args], capture_output=True,
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


@pytest.fixture
def unprivileged_copy(as_unprivileged):
    """Runs a script of a copy of the scripts, readable by anyone, as a user
    other than root, with a dpkg-query that the test writes (a shell script's
    body); returns the result and what the copy's tree then holds."""
    work = Path(tempfile.mkdtemp(prefix="sonvex-scripts-"))
    shutil.copytree(ROOT / "scripts", work / "repo" / "scripts")
    (work / "bin").mkdir()

    def run(script, dpkg_query, *args):
        (work / "bin" / "dpkg-query").write_text(f"#!/bin/sh\n{dpkg_query}\n")
        for path in [work, *work.rglob("*")]:
            path.chmod(0o755)
        result = helpers.run(
            as_unprivileged + ["env", f"PATH={work / 'bin'}:/usr/sbin:/usr/bin:/bin",
                               "bash", str(work / "repo" / "scripts" / script), *args],
            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
        return result, sorted(p.name for p in (work / "repo").iterdir())

    yield run
    shutil.rmtree(work)


MISSING = "exit 1"
INSTALLED = "echo 'install ok installed'"


def test_setup_without_root_names_the_missing_packages(unprivileged_copy):
    result, tree = unprivileged_copy("setup.sh", MISSING)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "apt-get install -y pypy3 pypy3-dev pypy3-venv" in result.stderr
    assert "valgrind" in result.stderr
    assert "Could not open lock file" not in result.stderr
    # It stopped before creating anything.
    assert tree == ["scripts"]


@pytest.mark.parametrize("dpkg_query", [MISSING, INSTALLED])
@pytest.mark.parametrize("args", [["trixie", "arm64"], ["sid", "amd64", "run", "/bin/true"]])
def test_debian_root_without_root_says_so_before_any_work(unprivileged_copy, dpkg_query, args):
    result, tree = unprivileged_copy("debian-root.sh", dpkg_query, *args)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "needs root: run this script as root" in result.stderr
    assert result.stdout == ""
    assert tree == ["scripts"]


@pytest.mark.parametrize("script, args, says", [
    ("wheels.sh", ["--arch"], "--arch needs one of: x86_64 aarch64"),
    ("wheels.sh", ["--arch", "sparc64"], "--arch needs one of: x86_64 aarch64"),
    ("wheels.sh", ["--arch", "aarch64", "--arch"], "--arch needs one of: x86_64 aarch64"),
    ("wheels.sh", ["--jobs"], "--jobs needs a number of wheels to test at a time"),
    ("wheels.sh", ["--jobs", "0"], "--jobs needs a number of wheels to test at a time"),
    ("wheels.sh", ["--jobs", "2x"], "--jobs needs a number of wheels to test at a time"),
    ("wheels.sh", ["--only"], "--only needs an interpreter of the matrix (say cpython-3.15)"),
    ("wheels.sh", ["--only", "cpython-2.7"], "--only needs an interpreter of the matrix (say cpython-3.15)"),
    ("debian-root.sh", ["trixie", "arm64", "run"], "run needs a command"),
    ("debian-root.sh", ["potato", "arm64"],
     "needs a suite (bookworm sid trixie) and an architecture (amd64, arm64)"),
    ("debian-root.sh", ["sid", "i386"],
     "needs a suite (bookworm sid trixie) and an architecture (amd64, arm64)"),
])
def test_refused_option_values(script, args, says):
    result = _script(script, *args)
    assert result.returncode == 2, result.stdout + result.stderr
    assert result.stderr.startswith(f"{script}: {says}\n\nUsage: bash scripts/{script}")
    assert result.stdout == ""


STAYER = "import sys; print('started', flush=True); sys.stdin.read()"


@pytest.mark.parametrize("mark, named", [("this gate's", True), ("another gate's", False),
                                         (None, False)])
def test_the_gate_names_and_ends_the_processes_that_outlive_it(mark, named):
    """A process that carries the gate's mark is found although it runs in a
    session of its own; another gate's and unmarked ones are left alone."""
    gate = {**os.environ, "SONVEX_GATE_ID": f"test-{os.getpid()}"}
    env = {k: v for k, v in os.environ.items() if k != "SONVEX_GATE_ID"}
    if mark:
        env["SONVEX_GATE_ID"] = gate["SONVEX_GATE_ID"] + ("" if named else "-2")
    with helpers.Child([sys.executable, "-c", STAYER], env=env, stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE) as stayer:
        assert stayer.stdout.readline() == b"started\n"
        result = helpers.run(["bash", "-c", 'source scripts/outliving.sh; end_outliving_processes'],
                             cwd=ROOT, env=gate, capture_output=True, text=True, timeout=60)
        if named:
            assert result.returncode == 1, result.stderr
            assert f"\n{stayer.pid} {sys.executable} -c {STAYER}\n" in result.stdout
            assert stayer.wait(timeout=60) == -signal.SIGKILL
        else:
            assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
            assert stayer.poll() is None


def test_one_interpreter_means_one_wheel():
    # --only without --arch: the wheel of this machine's platform alone (--roots
    # stops after finding the interpreters, or saying which one is missing).
    result = _script("wheels.sh", "--roots", "--only", "cpython-3.11")
    platforms = re.findall(r"^\[wheels [^]]*\] (?:FAILED: no )?(\S+) cpython-3\.11\b", result.stdout, re.M)
    assert platforms == [platform.machine()], result.stdout + result.stderr
