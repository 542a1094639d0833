"""The send of ReplyTap.call and ReplyTap.acall: a command sent with a
client method, and the tag its line carried."""

from __future__ import annotations

import os
from typing import Any, Callable, Dict, Tuple

from ._drain import Guard

__all__ = ["send_tagged"]

# The client methods that return the tag of the line they sent.
_RETURN_THE_TAG = frozenset({"send_command", "send_raw_command"})

# Held from reading a client's command_tag until its command method (which
# returns None) has sent: the sends of calls through any tap in the process
# take turns, so the tag read is the one the line carried. A send holds the
# interpreter lock anyway, so taking turns costs no parallelism. Taken and
# released natively around the send (see Guard in native/drain.cpp), so
# that no signal handler leaves it held; reentrant: a signal handler that
# calls while its thread is inside a call's send (which runs handlers) must
# not wait for that thread.
_turn = Guard(reentrant=True)


def _new_turn_in_child() -> None:
    # A thread of the parent may have held it at the fork.
    global _turn
    _turn = Guard(reentrant=True)


os.register_at_fork(after_in_child=_new_turn_in_child)


def _not_a_client_method(send: Callable[..., Any]) -> TypeError:
    return TypeError("send must be a method of a SonvexClient, such as client.call_make or "
                     f"client.send_command, not {send!r}")


def send_tagged(send: Callable[..., Any], args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> int:
    """Sends with `send` (a method of a client) and returns the tag the line
    carried. What the send raises comes out unchanged, and then nothing was
    sent that an answer could follow."""
    bound: Any = send
    try:
        client, name = bound.__self__, bound.__name__
    except AttributeError:
        raise _not_a_client_method(send) from None
    # Every send through a call takes its turn, also the ones that return
    # their tag, which would otherwise come between another call's read of
    # command_tag and its send.
    if name in _RETURN_THE_TAG:
        tag: int = _turn.run(send, *args, **kwargs)
        return tag
    before, after = _turn.run(_send_counted, send, client, args, kwargs)
    if after != before + 1:
        # A send that went around the calls (another thread's client method
        # or send) came between the two reads.
        raise RuntimeError(
            f"{name} sent its line, but the client's command_tag went from {before} "
            f"to {after} meanwhile: another thread sent on this client without tap.call, "
            "so the tag of this line is unknown")
    return before


def _send_counted(send: Callable[..., Any], client: Any, args: Tuple[Any, ...],
                  kwargs: Dict[str, Any]) -> Tuple[int, int]:
    """The client's command_tag before and after the send."""
    try:
        before: int = client.command_tag
    except AttributeError:
        raise _not_a_client_method(send) from None
    send(*args, **kwargs)
    after: int = client.command_tag
    return before, after
