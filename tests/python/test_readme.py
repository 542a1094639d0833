"""The README works as written: every Python block of it runs, against the
fake media server that its Quickstart starts, and prints what it says.

Markers (HTML comments, which an index page does not show) on the line
before a fenced block tell how to use the block:

    <!-- readme-test: server -->      the command that starts the fake server
    <!-- readme-test: output -->      what the Python block above it prints
    <!-- readme-test: pytest -->      a Python block to run with pytest
    <!-- readme-test: skip: REASON --> a Python block deliberately not run

Each block runs in a process of its own, in a network namespace of its own
(where one is to be had), so that the Quickstart's fixed port cannot meet
another program's server.
"""

import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import helpers

# Child processes, a server in a namespace of its own: left out of the quick loop.
pytestmark = pytest.mark.slow

README = Path(__file__).resolve().parents[2] / "README.md"

# A fenced block: ```python, or a directive of the reference's pages ({include} ...).
_FENCE = re.compile(r"^```(\w*|\{[\w-]+\}[^\n]*)\n(.*?)^```\n", re.M | re.S)
_MARKER = re.compile(r"<!-- readme-test: (server|output|pytest|skip: .+?) -->\n\Z")
_LINK = re.compile(r"\]\(([^)]*)\)")


def read_blocks(text):
    """Fenced blocks as dicts: language, code, marker, line, output (of a
    Python block: the text block marked as its output)."""
    blocks = []
    for m in _FENCE.finditer(text):
        before = text[:m.start()]
        marker = _MARKER.search(before)
        if marker is None and "readme-test" in before.rstrip("\n").rpartition("\n")[2]:
            raise ValueError(f"unreadable marker before line {before.count(chr(10)) + 1}")
        blocks.append({"language": m.group(1), "code": m.group(2),
                       "marker": marker.group(1) if marker else None,
                       "line": before.count("\n") + 1, "output": None})
    for previous, block in zip(blocks, blocks[1:]):
        if block["marker"] == "output":
            if previous["language"] != "python":
                raise ValueError(f"line {block['line']}: an output marker after no Python block")
            previous["output"] = block["code"]
    return blocks


BLOCKS = read_blocks(README.read_text(encoding="utf-8"))
PYTHON = [b for b in BLOCKS if b["language"] == "python"]
SERVER = [b for b in BLOCKS if b["marker"] == "server"]


# A child that brings up the loopback interface of its fresh network
# namespace, starts the fake server with the README's command, runs one block
# and reports what the block did as JSON.
_RUNNER = r"""
import fcntl, json, socket, struct, subprocess, sys
server_command, block_command, bring_up = json.loads(sys.argv[1])
if bring_up:
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket() as s:
        flags = struct.unpack_from("16sh", fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sh22x", b"lo", 0)))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sh22x", b"lo", flags | IFF_UP))
# Standard input at its end, as for a server started in the background.
server = subprocess.Popen(server_command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL)
try:
    listening = server.stdout.readline().decode()
    block = subprocess.run(block_command, capture_output=True, timeout=120)
finally:
    server.terminate()
    server.wait(timeout=30)
json.dump({"listening": listening, "returncode": block.returncode,
           "stdout": block.stdout.decode("utf-8", "replace"),
           "stderr": block.stderr.decode("utf-8", "replace")}, sys.stdout)
"""


def _namespace_prefix():
    """The command prefix that runs a child in a network namespace of its
    own, or None where none can be made."""
    unshare = shutil.which("unshare")
    if unshare is None:
        return None
    prefix = [unshare, "--net"] + ([] if os.geteuid() == 0 else ["--map-root-user"])
    if helpers.run(prefix + ["true"], capture_output=True).returncode != 0:
        return None
    return prefix


def _port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def run_with_server(block_command, cwd):
    (server,) = SERVER
    words = shlex.split(server["code"].strip())
    assert words[0] == "python"
    server_command = [sys.executable] + words[1:]
    prefix = _namespace_prefix()
    if prefix is None:
        port = int(words[words.index("--port") + 1])
        if not _port_is_free(port):
            pytest.skip(f"no network namespace here, and port {port} is taken")
        prefix = []
    result = helpers.run(
        prefix + [sys.executable, "-c", _RUNNER,
                  json.dumps([server_command, block_command, bool(prefix)])],
        cwd=cwd, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["listening"].startswith("listening on 127.0.0.1 "), report
    return report


def test_readme_has_what_the_test_needs():
    assert len(SERVER) == 1 and SERVER[0]["language"] == "sh"
    quickstart = README.read_text(encoding="utf-8").split("## Quickstart", 1)[1]
    # The Quickstart opens with the server's command, before any Python.
    assert quickstart.index("readme-test: server") < quickstart.index("```python")
    assert any(b["output"] for b in PYTHON)
    for block in BLOCKS:
        assert block["marker"] != "pytest" or block["language"] == "python", block["line"]


def slug(heading):
    """The anchor of a Markdown heading, as the reference's pages make it."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def link_problem(page, target):
    """Why a link of a Markdown page does not lead anywhere, or None: it
    must be absolute, an anchor of the page, or a page of the reference in
    docs/ (with an anchor of that page)."""
    if target.startswith("https://"):
        return None
    path, _, anchor = target.partition("#")
    if path:
        if not (path.startswith("docs/") or page.parent.name == "docs") or "://" in path:
            return f"{target}: not a page of the reference"
        page = page.parent / path
        if not page.is_file():
            return f"{target}: no such page"
    headings = re.findall(r"^#+ (.*)$", page.read_text(encoding="utf-8"), re.M)
    if anchor and anchor not in map(slug, headings):
        return f"{target}: no such heading"
    return None


def test_readme_links_lead_somewhere():
    """The README links to the web and to the reference's pages (docs/, read
    in the repository), never to a file of the tree that is no page."""
    links = _LINK.findall(README.read_text(encoding="utf-8"))
    assert [link_problem(README, t) for t in links] == [None] * len(links)
    assert any(t.startswith("docs/") for t in links)


def run_block(block, tmp_path):
    """Runs one Python block with the Quickstart's server and checks that it
    passes and prints what its output block says."""
    if block["marker"] and block["marker"].startswith("skip: "):
        assert block["marker"][6:].strip(), "a skipped block says why"
        pytest.skip(block["marker"])
    source = tmp_path / ("test_readme_block.py" if block["marker"] == "pytest" else "block.py")
    source.write_text(block["code"], encoding="utf-8")
    if block["marker"] == "pytest":
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", source.name]
    else:
        command = [sys.executable, source.name]
    report = run_with_server(command, tmp_path)
    assert report["returncode"] == 0, report["stdout"] + report["stderr"]
    if block["marker"] == "pytest":
        tests = len(re.findall(r"^def test_", block["code"], re.M))
        assert f"{tests} passed" in report["stdout"], report["stdout"]
    if block["output"] is not None:
        assert report["stdout"].splitlines() == block["output"].splitlines()


@pytest.mark.parametrize("block", PYTHON, ids=[f"line-{b['line']}" for b in PYTHON])
def test_python_block_runs(block, tmp_path):
    run_block(block, tmp_path)
