"""Answers as data: a call flow that waits for each answer of the server and
reads the ids it assigns, once in a thread and once with asyncio: tap.call
(and tap.acall) sends a command and returns its answer.

Usage: python examples/answers_example.py

The bundled fake media server plays the server's side of the flow (a reply
function assigns resource ids and reports each call as connected), so the
example needs nothing else. It passes mypy --strict and pyright's strict
mode:

    MYPYPATH=stubs python -m mypy --strict examples/answers_example.py
"""

from __future__ import annotations

import asyncio
import itertools

import sonvex_rs
from sonvex_fake_server import FakeMediaServer, reply_for_line
from sonvex_replies import Reply, ReplyTap

SonvexClient = sonvex_rs.client.SonvexClient
Command = sonvex_rs.commands.Command


class CallFlow:
    """The server's side: a new id for each resource, and an event after
    each call it was asked to make."""

    def __init__(self) -> None:
        self._ids = itertools.count(7)

    def __call__(self, line: bytes) -> bytes | list[bytes] | None:
        words = line.split()
        if words[0].startswith(b"ResourceCreate"):
            return b"%s OK ResourceId=%d %s" % (words[0], next(self._ids), words[-1])
        if words[0] == b"CallMake":
            return [reply_for_line(line), b"CallEvent %s State=Connected" % words[1]]
        return reply_for_line(line)


def call(client: SonvexClient, tap: ReplyTap, number: str) -> Reply:
    """Creates a front-end, calls `number` on it, hangs up; the call's event."""
    created = tap.call(client.resource_create_frontend, None, None, None, True)
    frontend = int(created.fields["ResourceId"])
    tap.call(client.call_make, frontend, number, None, None, None, None, None)
    event = tap.wait_for_word("CallEvent")
    tap.call(client.send_raw_command, f"CallClear {frontend} Reason=normal")
    return event


async def call_async(client: SonvexClient, tap: ReplyTap, number: str) -> Reply:
    """The same with asyncio."""
    created = await tap.acall(client.send_command, Command.resource_create_frontend(
        None, None, None, True))
    frontend = int(created.fields["ResourceId"])
    await tap.acall(client.call_make, frontend, number, None, None, None, None, None)
    event = await tap.reply_word("CallEvent")
    await tap.acall(client.send_raw_command, f"CallClear {frontend} Reason=normal")
    return event


def main() -> None:
    with FakeMediaServer(reply=CallFlow()) as server, ReplyTap() as tap:
        client = SonvexClient(server.host, server.port, None, "alice", "secret")
        client.connect()
        print(f"logged in: {tap.call(client.login).text}")
        for event in (call(client, tap, "200"), asyncio.run(call_async(client, tap, "300"))):
            print(f"event: {event.text} (state {event.fields['State']})")
        client.disconnect()
        tap.wait_closed()
        print(f"replies not taken: {len(tap.replies)}, dropped: {tap.dropped}")


if __name__ == "__main__":
    main()
