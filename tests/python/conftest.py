"""Shared fixtures: the fake media server and a connected client."""

import sys

import pytest

from helpers import FakeMediaServer, Session


@pytest.fixture
def server():
    with FakeMediaServer() as s:
        yield s


@pytest.fixture
def session(server):
    s = Session(server)
    yield s
    try:
        s.client.disconnect()
    except RuntimeError:
        pass


def pytest_terminal_summary(terminalreporter):
    fuzz = sys.modules.get("test_fuzz")
    if fuzz is not None and fuzz.CASES[0]:
        terminalreporter.write_line(f"fuzz cases run: {fuzz.CASES[0]}")
