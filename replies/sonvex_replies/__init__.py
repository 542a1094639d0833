"""The server's answers as data, for programs that use sonvex_rs.

The client's reader thread prints every line the server sends as
"Received: <line>" on descriptor 1, and "Connection closed." when the server
ends the connection. A ReplyTap points descriptor 1 at a pipe while it is
active, turns those lines into Reply values that a program can wait for,
and passes every other line on to the original standard output::

    import sonvex_rs
    from sonvex_replies import ReplyTap

    with ReplyTap() as tap:
        client = sonvex_rs.client.SonvexClient("127.0.0.1", 1234, None, None, None)
        client.connect()
        answer = tap.call(client.resource_create_player)
        player = answer.fields["ResourceId"]   # whatever the server put there
        client.disconnect()
        tap.wait_closed()

Several clients in one process share descriptor 1 and number their commands
from 0 each, so their tags collide: see ReplyTap.

The package holds Reply (_reply.py) and ReplyTap (_tap.py, with its parts:
the swap of descriptor 1 in _stdout.py, the kept replies in _kept.py, the
asyncio waits in _loops.py), in Python, and _drain, an extension module built with sonvex_rs (from native/drain.cpp),
whose thread empties the pipe without the interpreter lock. It needs nothing
beyond the standard library and runs wherever sonvex_rs runs.
"""

from ._reply import Reply
from ._tap import ReplyTap

__all__ = ["Reply", "ReplyTap"]
