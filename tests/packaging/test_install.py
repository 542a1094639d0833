"""`pip install` from a read-only copy of the source tree, as a user who owns
nothing there, into a fresh virtual environment: the build writes nothing
into the tree, and the installed module, stubs and fake server work."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import helpers

ROOT = Path(__file__).resolve().parents[2]
# Debian's interpreter, whose headers scripts/setup.sh installs: one that any
# user may run (pyenv's live under /root).
SYSTEM_PYTHON = "/usr/bin/python3"
SKIP = shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__", ".pytest_cache",
                              ".hypothesis", "*.so")


def _snapshot(tree):
    return sorted((str(p.relative_to(tree)), p.stat().st_mtime_ns) for p in tree.rglob("*"))


@pytest.fixture
def work():
    path = Path(tempfile.mkdtemp(prefix="sonvex-install-"))
    path.chmod(0o755)
    yield path
    helpers.run(["chmod", "-R", "u+w", str(path)], check=True)
    shutil.rmtree(path)


def test_install_from_a_read_only_tree_as_another_user(work):
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        pytest.skip(f"{SYSTEM_PYTHON} is missing")
    # The build tools as wheels, so the unprivileged pip needs no index.
    wheelhouse = work / "wheelhouse"
    helpers.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                    "-d", str(wheelhouse), "scikit-build-core>=0.11", "cmake", "ninja"],
                check=True, capture_output=True, timeout=600)
    source = work / "source"
    shutil.copytree(ROOT, source, ignore=SKIP)
    user = []
    if os.geteuid() == 0:
        home = work / "home"
        home.mkdir()
        os.chown(home, 65534, 65534)   # nobody
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--reset-env"]
    else:
        home = Path(os.environ.get("HOME", work))
    helpers.run(["chmod", "-R", "a+rX,a-w", str(source), str(wheelhouse)], check=True)
    before = _snapshot(source)

    env = ["env", f"HOME={home}", f"TMPDIR={home}", "PATH=/usr/bin:/bin"]
    venv = home / "venv"

    def as_user(*command):
        return helpers.run(user + env + list(command), capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=900)

    result = as_user(SYSTEM_PYTHON, "-m", "venv", str(venv))
    assert result.returncode == 0, result.stderr
    result = as_user(str(venv / "bin" / "python"), "-m", "pip", "install", "-q",
                     "--disable-pip-version-check", "--no-index", "--find-links", str(wheelhouse),
                     str(source))
    assert result.returncode == 0, result.stdout + result.stderr
    assert _snapshot(source) == before

    check = (
        "import importlib.metadata, pathlib, sonvex_rs, sonvex_fake_server, sonvex_replies\n"
        "assert sonvex_rs.sum_as_string(2, 3) == '5'\n"
        "with sonvex_fake_server.FakeMediaServer() as server, sonvex_replies.ReplyTap() as tap:\n"
        "    client = sonvex_rs.client.SonvexClient(server.host, server.port, None, None, None)\n"
        "    client.connect()\n"
        "    client.call_hold(4)\n"
        "    assert server.wait_for_connections(1)[0].wait_for_lines(1) == [b'CallHold 4 COMMANDTAG=0']\n"
        "    assert tap.wait_for(0).text == 'CallHold OK COMMANDTAG=0'\n"
        "    client.disconnect()\n"
        "files = importlib.metadata.files('sonvex_rs')\n"
        "assert any(str(f) == 'sonvex_rs-stubs/_commands.pyi' for f in files)\n"
        "print(pathlib.Path(sonvex_rs.__file__).parent)\n"
    )
    result = as_user(str(venv / "bin" / "python"), "-c", check)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1].startswith(str(venv))
