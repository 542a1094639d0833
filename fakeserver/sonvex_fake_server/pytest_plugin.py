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
"""

from __future__ import annotations

from typing import Any, Iterator

import pytest

from sonvex_fake_server import FakeMediaServer

__all__ = ["fake_media_server"]


@pytest.fixture
def fake_media_server(request: Any) -> Iterator[FakeMediaServer]:
    """A FakeMediaServer started on a free loopback port, stopped afterwards."""
    options = getattr(request, "param", None) or {}
    with FakeMediaServer(**options) as server:
        yield server
