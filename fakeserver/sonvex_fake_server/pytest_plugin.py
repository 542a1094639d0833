"""pytest plugin of the fake media server, registered through the
"pytest11" entry point when sonvex_fake_server is installed.

    def test_hold(fake_media_server):
        client = sonvex_rs.client.SonvexClient(
            fake_media_server.host, fake_media_server.port, None, None, None)
        client.connect()
        client.call_hold(4)
        conn = fake_media_server.wait_for_connections(1)[0]
        assert conn.wait_for_lines(1) == [b"CallHold 4 COMMANDTAG=0"]

The server's keyword arguments can be set per test by indirect
parametrisation:

    @pytest.mark.parametrize("fake_media_server", [{"reply": False}], indirect=True)

The fixture `reply_tap` is a sonvex_replies.ReplyTap that is active while
the test function runs (its keyword arguments by indirect parametrisation
too). It starts right before the test function and closes right after it,
inside pytest's capture of that phase: pytest puts its own file on
descriptor 1 at the start of each phase, which would take a tap started
in a fixture's setup off the descriptor.

    def test_version(fake_media_server, reply_tap):
        client = ...   # connected as above
        assert reply_tap.wait_for(client.send_raw_command("GetVersion")).word == "GetVersion"
"""

from __future__ import annotations

from typing import Any, Generator, Iterator

import pytest

from sonvex_fake_server import FakeMediaServer
from sonvex_replies import ReplyTap

__all__ = ["fake_media_server", "reply_tap"]


@pytest.fixture
def fake_media_server(request: Any) -> Iterator[FakeMediaServer]:
    """A FakeMediaServer started on a free loopback port, stopped afterwards."""
    options = getattr(request, "param", None) or {}
    with FakeMediaServer(**options) as server:
        yield server


@pytest.fixture
def reply_tap(request: Any) -> Iterator[ReplyTap]:
    """A ReplyTap, active while the test function runs."""
    options = getattr(request, "param", None) or {}
    tap = ReplyTap(**options)
    try:
        yield tap
    finally:
        tap.close()


@pytest.hookimpl(hookwrapper=True, trylast=True)
def pytest_runtest_call(item: Any) -> Generator[None, None, None]:
    tap = getattr(item, "funcargs", {}).get("reply_tap")
    if not isinstance(tap, ReplyTap):
        yield
        return
    tap.start()
    try:
        yield
    finally:
        tap.close()
