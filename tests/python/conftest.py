"""Shared fixtures: the fake media server and a connected client."""

import signal
import sys

import pytest

import helpers
import sonvex_fake_server
from helpers import Session


@pytest.fixture
def server(fake_media_server):
    """The installed package's fixture: a started server on a free port."""
    return fake_media_server


@pytest.fixture
def session(server):
    s = Session(server)
    yield s
    try:
        s.client.disconnect()
    except RuntimeError:
        pass


def pytest_addoption(parser):
    parser.addoption("--long", action="store_true",
                     help="run the long modes of the fuzz, fault and process tests")


def pytest_configure(config):
    helpers.LONG_MODE = config.getoption("--long")
    # A run started in the background by a shell without job control inherits
    # SIGINT ignored, and so would every child: a Python child then never
    # turns Ctrl-C into KeyboardInterrupt, and the tests that interrupt one
    # would fail or wait out their limit. A handler of ours is set back to the
    # default in each child, so the children start as from a terminal.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    # The fake server's waits get the same generous limit as the tests' own.
    sonvex_fake_server.DEFAULT_TIMEOUT = helpers.DEADLINE


def pytest_terminal_summary(terminalreporter):
    fuzz = sys.modules.get("test_fuzz")
    if fuzz is not None and fuzz.CASES[0]:
        terminalreporter.write_line(f"fuzz cases run: {fuzz.CASES[0]}")
