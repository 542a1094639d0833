"""Shared fixtures: the fake media server and connected clients."""

import os
import platform
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "fakeserver"))

from sonvex_fake_server import FakeMediaServer  # noqa: E402

import sonvex_rs  # noqa: E402

IS_PYPY = platform.python_implementation() == "PyPy"
SonvexClient = sonvex_rs.client.SonvexClient
Command = sonvex_rs.commands.Command


def new_client(port=None, host="127.0.0.1", username=None, password=None):
    return SonvexClient(host, port, None, username, password)


@pytest.fixture
def server():
    with FakeMediaServer() as s:
        yield s


class Session:
    """A client connected to the fake server, and the server's side of it."""

    def __init__(self, server, username=None, password=None):
        self.server = server
        self.client = new_client(server.port, username=username, password=password)
        before = len(server.connections)
        self.client.connect()
        self.conn = server.wait_for_connections(before + 1)[before]

    def lines(self, n=1):
        """The first n complete lines the server received, as str."""
        return [line.decode("utf-8") for line in self.conn.wait_for_lines(n)]

    def last_line(self):
        return self.lines(self.client.command_tag)[-1]


@pytest.fixture
def session(server):
    s = Session(server)
    yield s
    try:
        s.client.disconnect()
    except RuntimeError:
        pass


def open_descriptor_count():
    return len(os.listdir("/proc/self/fd"))


def pytest_terminal_summary(terminalreporter):
    fuzz = sys.modules.get("test_fuzz")
    if fuzz is not None and fuzz.CASES[0]:
        terminalreporter.write_line(f"fuzz cases run: {fuzz.CASES[0]}")
