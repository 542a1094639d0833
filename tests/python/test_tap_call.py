"""ReplyTap.call and acall: a command sent and its own answer returned, also
when threads share the client; a send that fails raises as it would alone."""

import asyncio
import re
import sys
import threading

import pytest

from helpers import Command, FakeMediaServer, new_client
from sonvex_replies import ReplyTap


def echo(line):
    """The command word, OK, its first argument as Id=, the tag; nothing for
    a command "Silent"."""
    words = line.split()
    if words[0] == b"Silent":
        return None
    return b"%s OK Id=%s %s" % (words[0], words[1] if len(words) > 2 else b"-", words[-1])


@pytest.fixture
def client(fake_media_server):
    client = new_client(fake_media_server.port)
    client.connect()
    yield client
    client.disconnect()


# The fake server answers with echo; the tap is active while the test runs.
ECHOING = pytest.mark.parametrize("fake_media_server", [{"reply": echo}], indirect=True)


def run(way, tap, send, *args, **kwargs):
    if way == "thread":
        return tap.call(send, *args, **kwargs)
    return asyncio.run(tap.acall(send, *args, **kwargs))


# how to send resource 41 on a client -> (send, arguments)
SENDS = {
    "command method": lambda c: (c.call_hold, (41,)),
    # (call_make's own timeout by position: the keyword is the wait's)
    "method by keyword": lambda c: (c.call_make, (41, "200", None), dict(
        caller_number=None, caller_name=None, privacy=None, screen=None)),
    "send_command": lambda c: (c.send_command, (Command.call_hold(41),)),
    "send_raw_command": lambda c: (c.send_raw_command, ("CallHold 41",)),
}


@ECHOING
@pytest.mark.parametrize("way", ["thread", "asyncio"])
@pytest.mark.parametrize("how", list(SENDS))
def test_a_call_returns_the_answer_to_its_own_line(reply_tap, client, way, how):
    tap = reply_tap
    for first in range(3):   # kept answers of other tags do not confuse it
        client.send_raw_command(f"Other {first}")
    send, args, *kwargs = SENDS[how](client)
    reply = run(way, tap, send, *args, **(kwargs[0] if kwargs else {}))
    assert (reply.tag, reply.fields["Id"]) == (3, "41")
    assert reply.word == ("CallMake" if how == "method by keyword" else "CallHold")
    assert sorted(r.tag for r in tap.replies) == [0, 1, 2]
    assert run(way, tap, client.send_raw_command, "Then 5").tag == 4


@ECHOING
@pytest.mark.parametrize("way", ["thread", "asyncio"])
def test_threads_sharing_a_client_each_get_their_own_answers(reply_tap, client, way):
    tap = reply_tap
    count, failures = 300, []

    def flow(n):
        # Odd flows send with a command method, even ones raw lines.
        async def calls():
            for i in range(count):
                resource = n * 100_000 + i
                if n % 2:
                    reply = await tap.acall(client.call_hold, resource)
                else:
                    reply = await tap.acall(client.send_raw_command, f"Raw {resource}")
                if reply.fields["Id"] != str(resource):
                    failures.append((n, resource, reply.text))
        try:
            if way == "asyncio":
                asyncio.run(calls())
            else:
                for i in range(count):
                    resource = n * 100_000 + i
                    send = (client.call_hold, resource) if n % 2 else (
                        client.send_raw_command, f"Raw {resource}")
                    reply = tap.call(*send)
                    if reply.fields["Id"] != str(resource):
                        failures.append((n, resource, reply.text))
        except BaseException as error:
            failures.append((n, error))

    threads = [threading.Thread(target=flow, args=(n,)) for n in range(4)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)   # threads taking turns between any two bytecodes
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert tap.replies == []   # every answer went to its caller
    assert client.command_tag == 4 * count


class FakeClient:
    """Sends nothing; its method advances the tag by two, as if another
    thread had sent in between."""
    command_tag = 0

    def hold(self, resource):
        self.command_tag += 2


# how to fail -> (send and its arguments on a client, the exception expected)
FAILING = {
    "argument out of range": (lambda c: (c.call_hold, -1), OverflowError),
    "argument of a wrong type": (lambda c: (c.call_hold, "x"), TypeError),
    "missing argument": (lambda c: (c.call_make, 1), TypeError),
    "not a command": (lambda c: (c.send_command, "CallHold 1"), TypeError),
    "closed client": (lambda c: (c.disconnect() or c.send_raw_command, "CallHold 1"), RuntimeError),
    "not a client method": (lambda c: (print, "x"), TypeError),
}


@pytest.mark.parametrize("way", ["thread", "asyncio"])
@pytest.mark.parametrize("how", list(FAILING))
def test_a_send_that_raises_raises_unchanged_and_leaves_nothing_waiting(way, how):
    with FakeMediaServer(reply=echo) as server, ReplyTap() as tap:
        make, expected = FAILING[how]
        alone, through_tap = new_client(server.port), new_client(server.port)
        for client in (alone, through_tap):
            client.connect()
        send, *args = make(through_tap)
        with pytest.raises(expected) as called:
            run(way, tap, send, *args)
        if how != "not a client method":   # the same as alone
            send, *args = make(alone)
            with pytest.raises(expected, match=f"^{re.escape(str(called.value))}$"):
                send(*args)
        assert (through_tap.command_tag, tap._loops.wakers, tap.replies) == (0, {}, [])


@ECHOING
@pytest.mark.parametrize("way", ["thread", "asyncio"])
def test_a_tag_made_unknown_by_another_sender_and_a_timeout_are_errors(reply_tap, client, way):
    tap = reply_tap
    with pytest.raises(RuntimeError, match="went from 0 to 2 meanwhile"):
        run(way, tap, FakeClient().hold, 1)
    with pytest.raises(TimeoutError, match="COMMANDTAG=0"):
        run(way, tap, client.send_raw_command, "Silent", timeout=0.1)
    assert run(way, tap, client.call_hold, 5).tag == 1
