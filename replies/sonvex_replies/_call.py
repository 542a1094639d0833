"""ReplyTap.call and ReplyTap.acall: a command sent and its answer
returned, in one call."""

from __future__ import annotations

import os
import threading
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple

from ._reply import Reply

__all__ = ["Calls"]

# The client methods that return the tag of the line they sent.
_RETURN_THE_TAG = frozenset({"send_command", "send_raw_command"})

# Held from reading a client's command_tag until its command method (which
# returns None) has sent: the sends of calls through any tap in the process
# take turns, so the tag read is the one the line carried. A send holds the
# interpreter lock anyway, so taking turns costs no parallelism. Reentrant:
# a signal handler that calls while its thread is inside a call's send
# (which runs handlers) must not wait for that thread.
_turn = threading.RLock()


def _new_turn_in_child() -> None:
    # A thread of the parent may have held it at the fork.
    global _turn
    _turn = threading.RLock()


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
    with _turn:
        if name in _RETURN_THE_TAG:
            tag: int = send(*args, **kwargs)
            return tag
        try:
            before: int = client.command_tag
        except AttributeError:
            raise _not_a_client_method(send) from None
        send(*args, **kwargs)
        after: int = client.command_tag
    if after != before + 1:
        # A send that went around the calls (another thread's client method
        # or send) came between the two reads.
        raise RuntimeError(
            f"{name} sent its line, but the client's command_tag went from {before} "
            f"to {after} meanwhile: another thread sent on this client without tap.call, "
            "so the tag of this line is unknown")
    return before


class Calls:
    """The part of ReplyTap that sends a command and returns its answer."""

    if TYPE_CHECKING:   # ReplyTap's waits
        def wait_for(self, tag: int, timeout: Optional[float] = 5.0) -> Reply: ...

        async def reply(self, tag: int, timeout: Optional[float] = 5.0) -> Reply: ...

    def call(self, send: Callable[..., Any], /, *args: Any,
             timeout: Optional[float] = 5.0, **kwargs: Any) -> Reply:
        """Sends a command with `send` and returns its answer, the Reply
        whose tag is the one the line carried:

            answer = tap.call(client.call_make, 7, "200", None, None, None, None, None)
            answer = tap.call(client.send_command, Command.call_hold(7))
            answer = tap.call(client.send_raw_command, "GetVersion")

        `send` is a method of a SonvexClient: one of its 54 command methods,
        send_command or send_raw_command; the other arguments go to it as
        given. `timeout` is the wait's, as in wait_for (call_make's own
        timeout goes by position). What the send raises comes out unchanged
        and nothing waits; a wait that runs out raises TimeoutError, and the
        answer, when it comes, is kept for later waits.

        Threads that share a client through call each get their own answer.
        A command method returns no tag, so call reads command_tag before it
        sends and the calls of all threads take turns there; a thread that
        sends on the same client without call meanwhile makes the tag
        unknown, and call raises RuntimeError after the send. send_command
        and send_raw_command return the tag they sent, which is always
        exact."""
        return self.wait_for(send_tagged(send, args, kwargs), timeout)

    async def acall(self, send: Callable[..., Any], /, *args: Any,
                    timeout: Optional[float] = 5.0, **kwargs: Any) -> Reply:
        """call for asyncio: sends at once, then awaits the answer (tap.reply)."""
        return await self.reply(send_tagged(send, args, kwargs), timeout)
