"""sonvex_replies: the client's printed answers as Reply values, the rest of
standard output passed on, descriptor 1 put back whatever happens."""

import asyncio
import fcntl
import gc
import logging
import os
import random
import signal
import socket
import subprocess
import sys
import threading
from time import monotonic

import pytest

import helpers
from helpers import DEADLINE, Command, FakeMediaServer, child_env, new_client, run_child, wait_until
from sonvex_fake_server import reply_for_line
from sonvex_replies import Reply, ReplyTap
from sonvex_replies._drain import untracked
from sonvex_replies._reply import replies_of

F_GETPIPE_SZ = getattr(fcntl, "F_GETPIPE_SZ", 1032)
with open("/proc/sys/fs/pipe-max-size") as f:
    PIPE_MAX_SIZE = int(f.read())


def answer(line):
    """The fake server's answer in these tests: the command word, OK, the
    first argument as Id=, and the tag."""
    words = line.split()
    return b"%s OK Id=%s %s" % (words[0], words[1] if len(words) > 2 else b"-", words[-1])


@pytest.fixture
def flow_server():
    with FakeMediaServer(reply=answer) as server:
        yield server


def connected(server):
    client = new_client(server.port)
    client.connect()
    return client


# --- Reply --------------------------------------------------------------------

# text -> word, tag, fields
PARSED = {
    "CallMake OK ResourceId=12 COMMANDTAG=3": ("CallMake", 3,
                                               {"ResourceId": "12", "COMMANDTAG": "3"}),
    "": ("", None, {}),
    "Event": ("Event", None, {}),
    "A COMMANDTAG=1 B=2": ("A", 1, {"COMMANDTAG": "1", "B": "2"}),
    "A COMMANDTAG=1 COMMANDTAG=2 XCOMMANDTAG=3": ("A", 2, {"COMMANDTAG": "2", "XCOMMANDTAG": "3"}),
    "A COMMANDTAG=4 COMMANDTAG=x": ("A", 4, {"COMMANDTAG": "x"}),
    "A COMMANDTAG=\u0661\u0662 COMMANDTAG=": ("A", None, {"COMMANDTAG": ""}),
    "A COMMANDTAG=" + "9" * 21: ("A", None, {"COMMANDTAG": "9" * 21}),
    "A COMMANDTAG=18446744073709551615": ("A", 2**64 - 1, {"COMMANDTAG": "18446744073709551615"}),
    "A\tK=a=b\u3000=v \u00e9=\u00e8": ("A", None, {"K": "a=b", "\u00e9": "\u00e8"}),
}


@pytest.mark.parametrize("text", list(PARSED))
def test_reply_parses_its_text(text):
    reply = Reply(text, 1.5)
    assert (reply.word, reply.tag, reply.fields) == PARSED[text]
    assert (reply.text, reply.time) == (text, 1.5)


def test_reply_is_an_immutable_value():
    reply = Reply("A K=v", 2.0)
    reply.fields["K"] = "changed"
    assert reply.fields == {"K": "v"}
    for name in ("text", "word", "tag", "fields", "time", "other"):
        with pytest.raises(AttributeError):
            setattr(reply, name, None)
    assert reply == Reply("A K=v", 2.0) and hash(reply) == hash(Reply("A K=v", 2.0))
    assert reply != Reply("A K=v", 3.0)


def test_replies_made_in_bulk_are_plain_replies_the_collector_leaves_alone():
    texts = list(PARSED)
    made = replies_of(texts, 1.5)
    assert made == [Reply(text, 1.5) for text in texts]
    for reply, text in zip(made, texts):
        assert type(reply) is Reply and repr(reply) == repr(Reply(text, 1.5))
        assert (reply.word, reply.tag, reply.fields) == PARSED[text]
        with pytest.raises(AttributeError):
            reply.other = None
    if sys.implementation.name == "cpython":   # (PyPy makes them as any other object)
        assert not any(gc.is_tracked(r) for r in made)


class Made:
    """A class for untracked(): its __init__ does what the case says."""

    def __init__(self, text, time):
        self.text, self.time = text, time
        if text == "raise":
            raise KeyboardInterrupt   # as a signal handler may, in __init__
        if text == "shrink":
            del texts_changed[:]
        if text == "walk":
            # As another thread may meanwhile: reads every item of every
            # list the collector knows (the list being made must not be one
            # with slots not yet filled).
            for seen in gc.get_objects():
                if type(seen) is list:
                    for _ in seen:
                        pass


class Other(Made):
    def __new__(cls, text, time):   # makes objects of another class
        return Made(text, time)


texts_changed = []


@pytest.mark.parametrize("cls, texts, raised", [
    (Made, ["a", "raise", "c"], KeyboardInterrupt),
    (Made, texts_changed, RuntimeError),     # filled by the case
    (Made, ("a",), TypeError),               # not a list
    ("Made", ["a"], TypeError),              # not a class
    (Other, ["a", "b"], None),               # made, but not untracked: not of the class
    (Made, [], None),
    (Made, ["a", "b", "walk", "d"], None),
])
def test_untracked_makes_all_or_raises_and_untracks_only_the_class(cls, texts, raised):
    texts_changed[:] = ["a", "shrink", "c"]
    if raised is not None:
        with pytest.raises(raised):
            untracked(cls, texts, 1.0)
        return
    made = untracked(cls, texts, 1.0)
    assert [(m.text, m.time) for m in made] == [(t, 1.0) for t in texts]
    if sys.implementation.name == "cpython":
        assert all(gc.is_tracked(m) for m in made)   # (Made objects have a __dict__)


# --- descriptor 1 -------------------------------------------------------------

def fd1_identity():
    st = os.fstat(1)
    return st.st_dev, st.st_ino, fcntl.fcntl(1, fcntl.F_GETFL), os.get_inheritable(1)


def test_a_body_that_raises_leaves_descriptor_1_as_it_was(flow_server):
    os.set_blocking(1, not os.get_blocking(1))   # a file status flag to keep
    try:
        before = fd1_identity()
        fds, threads = sorted(os.listdir("/proc/self/fd")), threading.active_count()
        with pytest.raises(ZeroDivisionError):
            with ReplyTap() as tap:
                assert fd1_identity()[:2] != before[:2]
                assert fcntl.fcntl(1, F_GETPIPE_SZ) >= min(1 << 20, PIPE_MAX_SIZE)
                client = connected(flow_server)
                client.send_raw_command("GetVersion 1")
                client.disconnect()
                tap.wait_closed()
                1 / 0
        assert fd1_identity() == before
        assert tap.wait_for(0, timeout=0).fields["Id"] == "1"   # kept after close
        # The client's reader and the server's connection end on their own.
        assert wait_until(lambda: (sorted(os.listdir("/proc/self/fd")), threading.active_count())
                          == (fds, threads))
    finally:
        os.set_blocking(1, not os.get_blocking(1))
    with ReplyTap():   # the next tap may start
        with pytest.raises(RuntimeError, match="another ReplyTap is active"):
            ReplyTap().start()
    with pytest.raises(RuntimeError, match="runs once"):
        tap.start()


# A program run as a child, whose standard output (a pipe) the test reads.
ORDER = r"""
import os, subprocess, sys, sonvex_rs
from sonvex_fake_server import FakeMediaServer
from sonvex_replies import ReplyTap
echo, end = sys.argv[1] == "echo", sys.argv[2]
with FakeMediaServer() as server:
    client = sonvex_rs.client.SonvexClient(server.host, server.port, None, None, None)
    print("before")
    tap = ReplyTap(echo=echo).start()
    print("a")
    client.print_details()
    client.connect()
    tap.wait_for(client.send_raw_command("CallHold 4"))
    print("b")
    os.write(1, b"\xff\xfe raw bytes\r\n")
    subprocess.run([sys.executable, "-c", "print('from a child process')"], check=True)
    client.disconnect()
    tap.wait_closed()
    print("c", flush=False)
    os.write(1, b"no line end")
    if end == "exit":
        sys.exit(0)   # the tap closes at interpreter exit
    tap.close()
    print("after")
"""


@pytest.mark.parametrize("echo", ["echo", "quiet"])
@pytest.mark.parametrize("end", ["close", "exit"])
def test_other_output_passes_through_in_order(echo, end):
    result = run_child(ORDER, echo, end)
    assert result.returncode == 0, result.stderr
    details = [line for line in result.stdout.split(b"\n") if line.startswith(b"SonvexClient(")]
    assert len(details) == 1
    expected = (b"before\na\n" + details[0] + b"\n"
                + (b"Received: CallHold OK COMMANDTAG=0\n" if echo == "echo" else b"")
                + b"b\n\xff\xfe raw bytes\r\nfrom a child process\n"
                + (b"Connection closed.\n" if echo == "echo" else b"")
                + b"c\nno line end" + (b"after\n" if end == "close" else b""))
    assert result.stdout == expected


@pytest.mark.parametrize("capture", ["capfd", "capsys"])
def test_works_under_pytest_capture(flow_server, capture, request):
    cap = request.getfixturevalue(capture)
    with ReplyTap() as tap:
        client = connected(flow_server)
        print("printed")
        client.print_details()
        reply = tap.wait_for(client.send_raw_command("CallHold 4 Reason=x"))
        client.disconnect()
        tap.wait_closed()
    assert reply.fields == {"Id": "4", "COMMANDTAG": "0"}
    out = cap.readouterr().out
    assert "printed\n" in out and "Received" not in out and "Connection closed." not in out
    assert ("SonvexClient(server: 127.0.0.1" in out) == (capture == "capfd")


def test_close_does_not_wait_long_for_a_child_that_keeps_the_pipe(capfd):
    out = []
    with ReplyTap():
        child = helpers.Child([sys.executable, "-c", "import sys; print('early', flush=True); "
                                  "sys.stdin.readline(); print('late', flush=True)"],
                              stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: out.append(capfd.readouterr().out) or "early\n" in "".join(out))
    with child:   # the tap is closed although the child still holds its pipe
        child.stdin.write(b"go\n")
        child.stdin.close()
        assert child.wait(timeout=DEADLINE) != 0   # its "late" met a broken pipe
    assert "".join(out) + capfd.readouterr().out == "early\n"


# --- waiting -------------------------------------------------------------------

WAYS = {
    "client methods": lambda client, i: [client.command_tag, client.call_hold(i)][0],
    "send_command": lambda client, i: client.send_command(Command.call_hold(i)),
    "send_raw_command": lambda client, i: client.send_raw_command(f"CallHold {i}"),
}


@pytest.mark.parametrize("way", list(WAYS))
def test_ten_thousand_answers_each_found_by_tag(flow_server, way):
    send = WAYS[way]
    with ReplyTap() as tap:
        client = connected(flow_server)
        ids = {send(client, i * 7): i * 7 for i in range(10_000)}
        order = list(ids)
        random.Random(16).shuffle(order)
        for tag in order:
            reply = tap.wait_for(tag)
            assert (reply.word, reply.tag, reply.fields) == (
                "CallHold", tag, {"Id": str(ids[tag]), "COMMANDTAG": str(tag)})
        assert tap.replies == [] and tap.dropped == 0
        client.disconnect()
        tap.wait_closed()


def test_words_iteration_memory_bound_and_timeouts(flow_server):
    with ReplyTap(max_kept=5) as tap:
        client = connected(flow_server)
        for i in range(20):
            client.send_raw_command(f"Event{i % 2} {i}")
        assert tap.wait_for(19).word == "Event1"
        assert tap.dropped == 15
        assert tap.wait_for_word("Event1").tag == 15
        assert [r.tag for r in tap.replies] == [16, 17, 18]
        seen = []
        iterating = threading.Thread(target=lambda: seen.extend(r.tag for r in tap))
        iterating.start()
        for i in range(20, 23):
            client.send_raw_command(f"Late {i}")
        client.disconnect()
        tap.wait_closed()
        for wait, what in [(lambda: tap.wait_for(3, timeout=0.2), "COMMANDTAG=3"),
                           (lambda: tap.wait_for_word("Nothing", timeout=0.2), "'Nothing'"),
                           (lambda: tap.wait_closed(2, timeout=0.2), "2 \"Connection closed.\"")]:
            start = monotonic()
            with pytest.raises(TimeoutError, match=what) as info:
                wait()
            # The deadline is kept, not cut short (how late a loaded machine
            # wakes the waiter is not the tap's to promise).
            assert monotonic() - start >= 0.2
            assert "23 replies arrived, the last 'Late OK Id=22 COMMANDTAG=22'" in str(info.value)
    iterating.join(timeout=DEADLINE)
    assert not iterating.is_alive() and seen == [16, 17, 18, 20, 21, 22]
    with pytest.raises(TimeoutError, match="the tap is closed"):
        tap.wait_for(99, timeout=DEADLINE)   # at once: nothing can arrive any more


def test_asyncio(flow_server):
    async def main(tap, client):
        tags = [client.send_raw_command(f"CallHold {i}") for i in range(50)]
        replies = await asyncio.gather(*(tap.reply(tag) for tag in reversed(tags)))
        assert [r.fields["Id"] for r in replies] == [str(i) for i in reversed(range(50))]
        waiting = asyncio.ensure_future(tap.reply_word("Later"))
        client.send_raw_command("Later 1")
        assert (await waiting).tag == 50
        client.send_raw_command("Next 2")
        async for reply in tap:
            assert reply.word == "Next"
            break
        with pytest.raises(TimeoutError, match="COMMANDTAG=99"):
            await tap.reply(99, timeout=0.2)
        # A wait with a far deadline, then one with a near one: the near one
        # still ends at its own.
        await tap.reply(client.send_raw_command("Far 4"), timeout=1e6)
        with pytest.raises(TimeoutError, match="COMMANDTAG=98"):
            await asyncio.wait_for(tap.reply(98, timeout=0.1), DEADLINE)

    def in_a_thread_of_its_own(tap, client):
        # The event loop of another thread, then the same tap from this one.
        outcome = []
        thread = threading.Thread(target=lambda: outcome.append(asyncio.run(main(tap, client))))
        thread.start()
        thread.join(timeout=DEADLINE)
        assert outcome == [None]

    with ReplyTap() as tap:
        client = connected(flow_server)
        in_a_thread_of_its_own(tap, client)
        client.send_raw_command("Last 3")
        client.disconnect()
        tap.wait_closed()

        async def collect():
            words, closing = [], threading.Thread(target=tap.close)
            async for reply in tap:   # ends once the tap is closed
                words.append(reply.word)
                closing.start()
            closing.join()
            return words

        assert asyncio.run(collect()) == ["Last"]


# lines printed one at a time while a thread or a loop waits for tag 5:
# the texts that waits for 5 take, in order, and the ones left kept
BY_TAG = [
    (["A COMMANDTAG=5", "B COMMANDTAG=5"], ["A COMMANDTAG=5", "B COMMANDTAG=5"], []),
    (["A xCOMMANDTAG=5", "B COMMANDTAG=15", "C COMMANDTAG=5"], ["C COMMANDTAG=5"],
     ["A xCOMMANDTAG=5", "B COMMANDTAG=15"]),
    (["A COMMANDTAG=05", "B\tCOMMANDTAG=5", "COMMANDTAG=5"],
     ["A COMMANDTAG=05", "B\tCOMMANDTAG=5", "COMMANDTAG=5"], []),
    (["A COMMANDTAG=5 X=1", "B COMMANDTAG=5\r", "C COMMANDTAG=6"],
     ["A COMMANDTAG=5 X=1", "B COMMANDTAG=5\r"], ["C COMMANDTAG=6"]),
]


@pytest.mark.parametrize("way", ["thread", "loop"])
@pytest.mark.parametrize("lines, taken, left", BY_TAG)
def test_a_wait_by_tag_takes_the_first_reply_with_it(way, lines, taken, left):
    async def takes(tap):
        return [(await tap.reply(5)).text for _ in taken]

    with ReplyTap() as tap:
        got = []
        waiter = threading.Thread(target=lambda: got.extend(
            [tap.wait_for(5).text for _ in taken] if way == "thread" else asyncio.run(takes(tap))))
        waiter.start()
        for line in lines + ["End"]:
            os.write(1, f"Received: {line}\n".encode())
        waiter.join(timeout=DEADLINE)
        assert got == taken
        tap.wait_for_word("End")   # every line before it has been read too
        assert [r.text for r in tap.replies] == left


def test_a_thread_and_an_event_loop_wait_side_by_side(flow_server):
    # The waiting thread and the loop each read the pipe themselves when it
    # is theirs to read; neither may miss what the other read for it.
    count = 400
    with ReplyTap() as tap:
        client = connected(flow_server)

        async def odd_ones():
            return [(await tap.reply(tag)).tag for tag in range(1, count, 2)]

        got = []
        loop_thread = threading.Thread(target=lambda: got.append(asyncio.run(odd_ones())))
        loop_thread.start()
        even = []
        for tag in range(0, count, 2):
            client.send_raw_command(f"CallHold {tag}")
            client.send_raw_command(f"CallHold {tag + 1}")
            even.append(tap.wait_for(tag).tag)
        loop_thread.join()
        client.disconnect()
    assert even == list(range(0, count, 2)) and got == [list(range(1, count, 2))]



class CountedDrain:
    """The tap's drain with its waits counted: entered, and returned (a
    waiting thread woken, or at its entry told to look again)."""

    def __init__(self, drain):
        self.drain, self.entered, self.returned = drain, 0, 0

    def __getattr__(self, name):
        return getattr(self.drain, name)

    def wait(self, *args):
        self.entered += 1
        try:
            return self.drain.wait(*args)
        finally:
            self.returned += 1


THREADS = 48
# How the answers reach the pipe: a write each, or several per write (one
# read of the pipe keeps them together); the odd line carries its tag
# before another element, as a wait by tag also takes it.
ARRIVALS = {"one per write": 1, "five per write": 5, "tag not last": 1}


@pytest.mark.parametrize("arrival", list(ARRIVALS))
@pytest.mark.parametrize("end", ["answered", "closed"])
def test_threads_waiting_by_tag_are_each_woken_by_their_own_answer(arrival, end, monkeypatch):
    # Each thread waits for its own tag; the answers come in shuffled order.
    # Each gets exactly its own, and an answer wakes its waiter, not every
    # waiting thread (which would make THREADS * THREADS / 2 returns).
    from sonvex_replies import _tap
    monkeypatch.setattr(_tap, "_LOOK_AGAIN", 3600.0)   # no wake by the clock
    texts = {tag: f"Answer {tag} COMMANDTAG={tag}" for tag in range(THREADS)}
    texts[7] = "Answer 7 COMMANDTAG=7 Late=1" if arrival == "tag not last" else texts[7]
    got, failed = {}, {}

    def wait(tap, tag):
        try:
            got[tag] = tap.wait_for(tag, timeout=None).text
        except TimeoutError as error:
            failed[tag] = str(error)

    with ReplyTap() as tap:
        counted = tap._drain = CountedDrain(tap._drain)
        threads = [threading.Thread(target=wait, args=(tap, tag)) for tag in range(THREADS)]
        for thread in threads:
            thread.start()
        # Nothing arrives until all wait: each enters the drain's wait once.
        assert wait_until(lambda: counted.entered == THREADS)
        if end == "answered":
            order = random.Random(arrival).sample(range(THREADS), THREADS)
            step = ARRIVALS[arrival]
            for at in range(0, THREADS, step):
                # Each write once the waiters of the one before have their
                # answers: every answer finds the others still waiting.
                tags = order[at:at + step]
                os.write(1, "".join(f"Received: {texts[tag]}\n" for tag in tags).encode())
                assert wait_until(lambda: all(tag in got for tag in tags))
            for thread in threads:
                thread.join(timeout=DEADLINE)
            assert tap.replies == []
    for thread in threads:   # (a close wakes every wait)
        thread.join(timeout=DEADLINE)
        assert not thread.is_alive()
    if end == "answered":
        assert got == texts and not failed
        assert counted.returned < 3 * THREADS, counted.returned
    else:
        assert not got and sorted(failed) == list(range(THREADS))
        assert all("the tap is closed" in why for why in failed.values())


# --- the reader never stalls for long -----------------------------------------------

SENDER = r"""
import sys, sonvex_rs
from sonvex_replies import ReplyTap
port, count, deadline = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
client = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
with ReplyTap(max_kept=count) as tap:
    client.connect()
    for i in range(count):
        client.call_make(i, "200", None, "100", None, None, None)
    last = tap.wait_for(count - 1, timeout=deadline)
    tags = [r.tag for r in tap.replies] + [last.tag]
    client.disconnect()
    tap.wait_closed(timeout=deadline)
sys.stderr.write("ok" if tags == list(range(count)) else "tags %r" % tags[:20])
"""


@pytest.mark.parametrize("count, padding", [(100_000, 0), (10_000, 1500), (10_000, 4000)])
def test_commands_back_to_back_against_a_one_thread_server(count, padding):
    """The server reads and writes on one thread and blocks in its writes, so
    it stops reading while the client's reader cannot get rid of its lines;
    the client sends without pause, holding the interpreter lock while a
    send blocks. The tap must keep the client's reader going, also when the
    answers are long. A child runs the client under a watchdog."""
    pad = b" Text=" + b"x" * padding if padding else b""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn, _ = listener.accept()
        with conn:
            pending = b""
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                lines = (pending + data).split(b"\n")
                pending = lines.pop()
                conn.sendall(b"".join(b"CallMake OK Reason=normal" + pad + b" "
                                      + line.rsplit(b" ", 1)[1] + b"\r\n" for line in lines))

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    try:
        result = helpers.run([sys.executable, "-c", SENDER, str(listener.getsockname()[1]),
                                 str(count), str(DEADLINE)], env=child_env(), stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, timeout=DEADLINE)
    finally:
        listener.close()
    assert result.stderr == b"ok"
    server.join(timeout=DEADLINE)


# --- descriptor 1 shared with the program's own printing ---------------------------

PRINTER = r"""
import sys, sonvex_rs
from sonvex_fake_server import FakeMediaServer
from sonvex_replies import ReplyTap
count = int(sys.argv[1])
with FakeMediaServer() as server, ReplyTap() as tap:
    client = sonvex_rs.client.SonvexClient(server.host, server.port, None, None, None)
    client.connect()
    for i in range(count):
        client.send_raw_command("Ev")
        print("progress line", i)
    found = [tap.wait_for(i).tag for i in range(count)]
    client.disconnect()
    tap.wait_closed()
sys.stderr.write("ok" if found == list(range(count)) else "lost")
"""


@pytest.mark.slow
@pytest.mark.parametrize("unbuffered", [["-u"], ["-X", "utf8"]])
def test_unbuffered_prints_never_swallow_a_reply(unbuffered):
    # PYTHONUNBUFFERED=1 (and -u) make print() write its text and its line
    # feed apart; a reply line landing between them would be lost as text.
    count = 20_000
    env = dict(child_env(), PYTHONUNBUFFERED="1")
    result = helpers.run([sys.executable] + unbuffered + ["-c", PRINTER, str(count)], env=env,
                         capture_output=True, timeout=4 * DEADLINE)
    assert result.stderr == b"ok"
    assert result.stdout == b"".join(b"progress line %d\n" % i for i in range(count))


def test_descriptor_1_taken_back_during_a_tap_is_a_clear_error(flow_server, capfd):
    with ReplyTap() as tap:
        client = connected(flow_server)
        assert tap.wait_for(client.send_raw_command("CallHold 1")).tag == 0
        with capfd.disabled():
            pass   # puts pytest's own file back on descriptor 1
        client.send_raw_command("CallHold 2")
        with pytest.raises(RuntimeError, match="descriptor 1 no longer leads to the tap"):
            tap.wait_for(1, timeout=DEADLINE)
        client.disconnect()


# --- waiting by content, logging, the fixture -----------------------------------------

def play_events(line):
    # Each PlayFile on player N is answered, then reported done by an event
    # that names the player by position only.
    words = line.split()
    return [reply_for_line(line), b"PlayEvent " + words[1] + b" Done"]


@pytest.mark.parametrize("fake_media_server", [{"reply": play_events}], indirect=True)
def test_wait_until_takes_the_first_match_and_leaves_the_rest(fake_media_server, reply_tap):
    client = connected(fake_media_server)
    for player in (12, 13, 12):
        reply_tap.wait_for(client.send_raw_command(f"PlayFile {player} a.wav"))

    def for_player(n):
        return lambda reply: reply.word == "PlayEvent" and reply.text.split()[1] == str(n)

    assert reply_tap.wait_until(for_player(13)).text == "PlayEvent 13 Done"
    assert [r.text for r in reply_tap.replies] == ["PlayEvent 12 Done"] * 2   # only looked
    assert asyncio.run(reply_tap.reply_until(for_player(12))).text == "PlayEvent 12 Done"
    assert reply_tap.wait_for_word("PlayEvent").text == "PlayEvent 12 Done"
    with pytest.raises(TimeoutError, match="predicate"):
        reply_tap.wait_until(for_player(13), timeout=0.1)
    with pytest.raises(ZeroDivisionError):
        client.send_raw_command("Other")
        reply_tap.wait_until(lambda reply: 1 / 0)
    assert reply_tap.wait_for_word("Other").tag == 3   # a failed predicate took nothing
    client.disconnect()

    async def closing():
        with pytest.raises(TimeoutError, match="2 \"Connection closed.\""):
            await reply_tap.closed(2, timeout=0.1)
        await reply_tap.closed()

    asyncio.run(closing())


class Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines = []

    def emit(self, record):
        self.lines.append((record.levelno, record.getMessage()))


def test_log_takes_every_line_instead_of_standard_output(flow_server, capfd):
    log = logging.getLogger("sonvex-test-tap")
    log.setLevel(logging.INFO)
    records = Records()
    log.addHandler(records)
    try:
        with ReplyTap(log=log) as tap:
            client = connected(flow_server)
            os.write(1, b"before\n")   # under capfd, print() bypasses descriptor 1
            assert tap.wait_for(client.send_raw_command("CallHold 7")).fields["Id"] == "7"
            os.write(1, b"after\n")
            client.disconnect()
            tap.wait_closed()
    finally:
        log.removeHandler(records)
    assert records.lines == [(logging.INFO, line) for line in (
        "before", "Received: CallHold OK Id=7 COMMANDTAG=0", "after", "Connection closed.")]
    assert capfd.readouterr().out == ""
    with pytest.raises(TypeError, match="logging.Logger"):
        ReplyTap(log=print)


class Boom(Exception):
    pass


def boom():
    raise Boom


# What runs inside a guard's run(), whether the guard is reentrant, and what
# run() then gives (a value, or the exception it raises): the guard is never
# left held, and a thread that asks again for a guard it holds gets it again
# only when the guard is reentrant (no wait for itself).
GUARDED = [
    ("returns", False, lambda guard: 7, 7),
    ("raises", False, lambda guard: boom(), Boom),
    ("raises KeyboardInterrupt", False,
     lambda guard: (_ for _ in ()).throw(KeyboardInterrupt), KeyboardInterrupt),
    ("asks again", False, lambda guard: guard.run(lambda: 9), RuntimeError),
    ("asks again, reentrant", True, lambda guard: guard.run(lambda: guard.mine()), True),
    ("asks again and raises, reentrant", True, lambda guard: guard.run(boom), Boom),
]


@pytest.mark.parametrize("name, reentrant, inside, outcome", GUARDED,
                         ids=[row[0] for row in GUARDED])
def test_a_guard_is_left_however_its_call_ends(name, reentrant, inside, outcome):
    from sonvex_replies._drain import Guard
    guard = Guard(reentrant=reentrant)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            guard.run(inside, guard)
    else:
        assert guard.run(inside, guard) == outcome
    assert not guard.locked() and not guard.mine()
    assert guard.run(dict, a=1) == {"a": 1}   # taken again at once; keywords pass


def test_a_guard_held_by_another_thread_is_waited_for():
    from sonvex_replies._drain import Guard
    guard = Guard()
    inside, leave = threading.Event(), threading.Event()
    holder = threading.Thread(target=guard.run, args=(lambda: (inside.set(), leave.wait()),))
    holder.start()
    inside.wait(DEADLINE)
    assert guard.locked() and not guard.mine()
    threading.Thread(target=leave.set).start()
    assert guard.run(guard.mine) is True   # waits for the holder, then holds it
    holder.join(DEADLINE)
    assert not guard.locked()


def test_an_await_of_the_tap_behaves_as_a_coroutine():
    async def steps(tap):
        closed_early = tap.reply(0)
        closed_early.close()   # never started: takes nothing
        closed_early.close()
        assert [r.text for r in tap.replies] == ["A COMMANDTAG=0"]
        waiting = tap.reply(5, timeout=DEADLINE)
        assert isinstance(waiting.send(None), asyncio.Future)   # no reply 5 yet: it waits
        with pytest.raises(Boom):
            waiting.throw(Boom())
        with pytest.raises(Boom):
            waiting.throw(Boom())   # ended: thrown straight back
        done = tap.reply(0)
        with pytest.raises(StopIteration) as stop:
            done.send(None)
        assert stop.value.value.text == "A COMMANDTAG=0" and tap.replies == []
        with pytest.raises(RuntimeError, match="ended"):
            done.send(None)

    with ReplyTap() as tap:
        os.write(1, b"Received: A COMMANDTAG=0\n")
        assert wait_until(lambda: tap.replies)   # read by the drain
        asyncio.run(steps(tap))


# Ctrl-C during a wait: the KeyboardInterrupt comes from inside the wait
# before the answer it waits for is even sent (the thread that sends it
# waits for the interrupt first), and that answer is kept for the next wait.
# The period at which a wait looks again anyway is made longer than the
# test, so only noticing the signal can end the wait in time.
INTERRUPTED_WAITS = {
    "wait_for": lambda tap, tag: tap.wait_for(tag, timeout=None),
    "wait_for with a timeout": lambda tap, tag: tap.wait_for(tag, timeout=10 * DEADLINE),
    "wait_for_word": lambda tap, tag: tap.wait_for_word("GetVersion", timeout=None),
    "wait_until": lambda tap, tag: tap.wait_until(lambda reply: reply.tag == tag, timeout=None),
    "iteration": lambda tap, tag: next(iter(tap)),
}


@pytest.mark.parametrize("form", sorted(INTERRUPTED_WAITS))
def test_ctrl_c_ends_a_wait_before_its_answer_comes(fake_media_server, reply_tap, form,
                                                     monkeypatch):
    from sonvex_replies import _tap
    monkeypatch.setattr(_tap, "_LOOK_AGAIN", 10 * DEADLINE)
    client = new_client(fake_media_server.port)
    client.connect()
    tag = client.command_tag
    waiting = threading.get_ident()
    interrupted = threading.Event()
    sent = []

    def interrupt():
        # Once the wait has begun (its frame is the innermost of the thread).
        wait_until(lambda: sys._current_frames()[waiting].f_code.co_name == "_wait")
        os.kill(os.getpid(), signal.SIGINT)
        interrupted.wait(DEADLINE)   # (only a wait deaf to it lets this run out)
        sent.append(client.send_raw_command("GetVersion"))

    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    thread = threading.Thread(target=interrupt)
    try:
        thread.start()
        with pytest.raises(KeyboardInterrupt):
            INTERRUPTED_WAITS[form](reply_tap, tag)
        assert sent == []
    finally:
        interrupted.set()
        thread.join()
        signal.signal(signal.SIGINT, before)
    assert sent == [tag]
    assert reply_tap.wait_for(tag, timeout=DEADLINE).text == f"GetVersion OK COMMANDTAG={tag}"
    client.disconnect()
