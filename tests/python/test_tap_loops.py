"""Event loops that wait on a ReplyTap and then close: nothing of them stays
registered with the tap, and closing the tap leaves no descriptor open."""

import asyncio
import gc
import os
import sys

import pytest

from helpers import new_client, wait_until
from sonvex_fake_server import FakeMediaServer
from sonvex_replies import ReplyTap


def open_descriptors():
    # Objects of earlier tests are collected first: their descriptors closing
    # during the test would read as a change.
    gc.collect()
    return set(os.listdir("/proc/self/fd"))


async def one_wait(tap, client):
    return await tap.reply(client.send_raw_command("GetVersion"))


def asyncio_run(tap, client):
    # A loop per wait, ended the usual way.
    return asyncio.run(one_wait(tap, client))


LEFT_WAITING = []


def closed_mid_wait(tap, client):
    # A loop closed while a task of it still waits: nothing ends that wait
    # (until the test closes it).
    loop = asyncio.new_event_loop()
    try:
        waiting = loop.create_task(tap.reply(10**9, timeout=None))
        waiting._log_destroy_pending = False   # left pending on purpose
        LEFT_WAITING.append(waiting)
        reply = loop.run_until_complete(one_wait(tap, client))
    finally:
        loop.close()
    return reply


@pytest.mark.parametrize("way", [asyncio_run, closed_mid_wait])
def test_closed_loops_leave_nothing_registered(way):
    with FakeMediaServer() as server:
        client = new_client(server.port)
        client.connect()
        server.wait_for_connections(1)   # its descriptors opened
        before = open_descriptors()
        with ReplyTap() as tap:
            tags = [way(tap, client).tag for _ in range(20)]
            if way is asyncio_run:
                assert tap._loops.watching == {}
            else:   # at most the last one, until the next loop or the close
                assert len(tap._loops.watching) <= 1
            # A thread's wait after them all still works.
            assert tap.wait_for(client.send_raw_command("GetVersion")).tag == 20
        assert tags == list(range(20))
        assert tap._loops.watching == {}
        # None left open (one an earlier test left may close meanwhile).
        assert open_descriptors() <= before
        for task in LEFT_WAITING:   # a closed loop's wait, ended late
            task.get_coro().close()
        LEFT_WAITING.clear()
        client.disconnect()


# Many asyncio waits: each answer wakes the waits it may satisfy, not all.
WAITS = 40
BY_KEY = {
    "tag": (lambda tap, i: tap.reply(i, timeout=None), lambda i: "CallHold 4"),
    "word": (lambda tap, i: tap.reply_word(f"Word{i}", timeout=None), lambda i: f"Word{i} 1"),
}


@pytest.mark.parametrize("key", sorted(BY_KEY))
def test_an_answer_wakes_only_the_waits_it_may_satisfy(key, monkeypatch):
    from sonvex_replies import _loops
    wait, line = BY_KEY[key]
    resumed = []
    wake = _loops._wake
    monkeypatch.setattr(_loops, "_wake", lambda future: (resumed.append(not future.done()),
                                                        wake(future)))

    async def main(tap, client):
        # Every wait is registered before the first command goes out.
        waits = [asyncio.ensure_future(wait(tap, i)) for i in range(WAITS)]
        while len(tap._loops.wakers) < WAITS:
            await asyncio.sleep(0)
        replies = []
        for i in range(WAITS):   # one answer at a time
            assert client.send_raw_command(line(i)) == i
            replies.append(await waits[i])
        return replies

    with FakeMediaServer() as server, ReplyTap() as tap:
        client = new_client(server.port)
        client.connect()
        replies = asyncio.run(main(tap, client))
        client.disconnect()
        tap.wait_closed()
    assert [(r.tag, r.word) for r in replies] == [
        (i, "CallHold" if key == "tag" else f"Word{i}") for i in range(WAITS)]
    # Woken all at once, the waits would resume WAITS * (WAITS + 1) / 2 times.
    assert sum(resumed) < 2 * WAITS, sum(resumed)


# A wait ended while asleep by the close of its awaitable, as the finaliser
# of one dropped does (CPython's collector, which may run at any allocation,
# also inside a call of the tap on the same thread, the tap's lock held).
# PyPy collects a coroutine asleep without closing it: a finaliser of the
# tap's own ends the wait there.
ASLEEP = {
    "reply": lambda tap: tap.reply(10**9, timeout=None),
    "reply_word": lambda tap: tap.reply_word("Never", timeout=None),
    "reply_until": lambda tap: tap.reply_until(lambda reply: False, timeout=None),
    "closed": lambda tap: tap.closed(10**6, timeout=None),
    "async for": lambda tap: tap.__aiter__().__anext__(),
}


def closing(held):
    held[1].close()
    held.clear()


def dropping(held):
    held.clear()
    for _ in range(3):   # (PyPy frees what the native awaitable held in a later pass)
        gc.collect()


@pytest.mark.parametrize("form", sorted(ASLEEP))
@pytest.mark.parametrize("end", [closing, dropping])
@pytest.mark.parametrize("inside", [False, True], ids=["outside", "inside"])
def test_a_wait_ended_asleep_leaves_nothing_registered(form, end, inside, monkeypatch):
    if end is dropping and form == "async for" and sys.implementation.name == "pypy":
        pytest.skip("PyPy may keep the async iterator's wait past the collections (known, open)")
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    async def main(tap, client):
        awaitable = ASLEEP[form](tap)
        steps = awaitable.__await__()
        waker = steps.send(None)   # driven by hand: nothing else refers to it
        assert tap._loops.wakers == {waker: asyncio.get_running_loop()}
        held = [awaitable, steps]
        del awaitable, steps
        if inside:
            tap._lock.run(end, held)
        else:
            end(held)
        # The next answer wakes no dead wait.
        reply = await tap.reply(client.send_raw_command("GetVersion"))
        return reply, waker

    with FakeMediaServer() as server, ReplyTap() as tap:
        client = new_client(server.port)
        client.connect()
        reply, waker = asyncio.run(main(tap, client))
        assert (reply.tag, tap._loops.wakers, tap._loops.wants) == (0, {}, {})
        assert waker.cancelled()
        assert tap.replies == []
        client.disconnect()
        tap.wait_closed()
    assert [(u.exc_type, str(u.exc_value)) for u in unraisable] == []


# A reply that exactly one asyncio wait wants by its tag goes straight into
# that wait's hands (the woken wait returns it with no look of its own).
# Many waits on one loop each get their own answer, whatever the order the
# answers arrive in; where two waits want one tag, each gets one of them.
ARRIVALS = {
    "distinct tags": (list(range(60)), None),
    "two waits per tag": ([i // 2 for i in range(60)], None),
    "beside waits by word": (list(range(60)), "Word"),
}


@pytest.mark.parametrize("case", sorted(ARRIVALS))
@pytest.mark.parametrize("seed", [1, 2])
def test_many_waits_each_get_their_own_answer_in_any_arrival_order(case, seed):
    import random
    tags, word = ARRIVALS[case]

    async def main(tap):
        waits = [asyncio.ensure_future(tap.reply(tag, timeout=None)) for tag in tags]
        if word is not None:   # these take any of the answers, oldest first
            by_word = [asyncio.ensure_future(tap.reply_word(word, timeout=None))
                       for _ in range(5)]
        while len(tap._loops.wakers) < len(tags) + (5 if word else 0):
            await asyncio.sleep(0)
        lines = [f"Received: Tagged {i} COMMANDTAG={tag}\n" for i, tag in enumerate(tags)]
        if word is not None:
            lines += [f"Received: Word x{i} COMMANDTAG=-1\n" for i in range(5)]
        random.Random(seed).shuffle(lines)
        for start in range(0, len(lines), 7):   # in batches and one at a time
            os.write(1, "".join(lines[start:start + 7]).encode())
            await asyncio.sleep(0)
        replies = await asyncio.gather(*waits)
        taken = await asyncio.gather(*by_word) if word is not None else []
        return replies, taken

    with ReplyTap() as tap:
        replies, taken = asyncio.run(main(tap))
        left = tap.replies
        assert (tap._loops.wakers, tap._loops.wants, tap._loops.boxes) == ({}, {}, {})
    assert [r.tag for r in replies] == tags
    # Each answer went to exactly one wait.
    answers = [r.text for r in replies + taken + left]
    assert len(answers) == len(set(answers)) == len(tags) + (5 if word else 0)


def handed_then_ended(steps):
    with pytest.raises(asyncio.CancelledError):
        steps.throw(asyncio.CancelledError())


def handed_then_closed(steps):
    steps.close()


@pytest.mark.parametrize("end", [handed_then_ended, handed_then_closed])
def test_a_reply_handed_to_a_wait_that_ends_then_comes_back(end):
    # The answer is handed to a wait asleep; the wait is cancelled (or its
    # await closed) before it runs again: the answer goes to the next wait,
    # also to one that was already asleep for the same tag.
    async def main(tap):
        awaitable = tap.reply(5, timeout=None)
        steps = awaitable.__await__()
        steps.send(None)   # asleep, driven by hand
        # (With one wait, the loop would wake it to read the answer itself.)
        other = tap.reply(6, timeout=None).__await__()
        other.send(None)
        assert len(tap._loops.boxes) == 2
        os.write(1, b"Received: Hold COMMANDTAG=5\n")
        while len(tap._loops.boxes) > 1:   # handed once the tap takes it in
            assert tap.replies == []
            await asyncio.sleep(0)
        later = asyncio.ensure_future(tap.reply(5, timeout=None))
        await asyncio.sleep(0)   # asleep before the first wait ends
        end(steps)
        other.close()
        # Nothing else arrives: the tap looks again of itself, within a few
        # turns of the loop.
        for _ in range(5):
            await asyncio.sleep(0)
        assert later.done()
        return later.result()

    with ReplyTap() as tap:
        reply = asyncio.run(main(tap))
        assert (reply.text, tap.replies, tap._orphans) == ("Hold COMMANDTAG=5", [], [])


# A reply that a wait took goes back to the tap when a signal handler raises
# before the wait returns it (here: right after the look that took it, as a
# handler would there). Another wait that went to sleep meanwhile, in a
# thread or an event loop, with no timeout, is woken by its return as by a
# reply newly arrived, and takes it. (A thread's wait looks again of itself
# only after an hour here.)
class Hit(Exception):
    pass


class Sleeper:
    """The tap's drain, which says when a thread's wait goes to sleep in it."""

    def __init__(self, drain, asleep):
        self._drain, self._asleep = drain, asleep

    def __getattr__(self, name):
        return getattr(self._drain, name)

    def wait(self, *args):
        self._asleep.set()
        return self._drain.wait(*args)


class RaisingAfterTake:
    """The tap's lock, whose run raises Hit once a look has taken a reply
    into its box, after `then()` ran."""

    def __init__(self, lock, look, then):
        self._lock, self._look, self._then = lock, look, then

    def __getattr__(self, name):
        return getattr(self._lock, name)

    def __enter__(self):
        return self._lock.__enter__()

    def __exit__(self, *exc):
        return self._lock.__exit__(*exc)

    def run(self, fn, *args, **kwargs):
        result = self._lock.run(fn, *args, **kwargs)
        if fn == self._look and args[1] and self._then is not None:
            then, self._then = self._then, None
            then()
            raise Hit
        return result


OTHER_WAITS = {
    "thread by tag": lambda tap: tap.wait_for(5, timeout=None),
    "thread by word": lambda tap: tap.wait_for_word("Ev", timeout=None),
    "loop by tag": lambda tap: asyncio.run(tap.reply(5, timeout=None)),
    "loop by word": lambda tap: asyncio.run(tap.reply_word("Ev", timeout=None)),
}


@pytest.mark.parametrize("other", sorted(OTHER_WAITS))
@pytest.mark.parametrize("first", ["wait_for_word", "iteration"])
def test_a_reply_put_back_after_a_raising_handler_wakes_the_other_waits(other, first,
                                                                        monkeypatch):
    import threading
    from helpers import DEADLINE, wait_until
    from sonvex_replies import _tap
    monkeypatch.setattr(_tap, "_LOOK_AGAIN", 3600.0)
    got, asleep = [], threading.Event()

    def waiting(tap):
        try:
            got.append(OTHER_WAITS[other](tap).text)
        except BaseException as error:
            got.append(repr(error))

    with ReplyTap() as tap:
        drain = tap._drain

        def start_the_other():
            tap._drain = Sleeper(drain, asleep)
            threading.Thread(target=waiting, args=(tap,), daemon=True).start()
            if other.startswith("thread"):
                assert asleep.wait(DEADLINE)
            else:
                assert wait_until(lambda: tap._loops.wakers)
        tap._lock = RaisingAfterTake(tap._lock, tap._attempt, start_the_other)
        os.write(1, b"Received: Ev COMMANDTAG=5\n")
        with pytest.raises(Hit):
            if first == "iteration":
                next(iter(tap))
            else:
                tap.wait_for_word("Ev", timeout=DEADLINE)
        assert wait_until(lambda: got)   # (ended by the close if it never wakes)
    assert got == ["Ev COMMANDTAG=5"]


# A forked child closes the tap it inherited (itself, at its exit, or from
# inside the event loop it forked in, which then runs on), forked while
# the parent's loop has a wait asleep: the loop's epoll instance is shared
# with the parent, whose wait must still hear its reply afterwards.
FORK_AND_CLOSE = r"""
import asyncio, os, sys
from sonvex_replies import ReplyTap

how = sys.argv[1]
tap = ReplyTap().start()

def child():
    if how == "close":
        tap.close()
    elif how == "exit":
        print("child prints and exits")
        sys.exit(0)   # the tap's exit hook closes it
    os._exit(0)

async def asleep():
    waiting = asyncio.ensure_future(tap.reply_word("Event", timeout=None))
    while not tap._loops.wakers:   # asleep, its loop watching the drain
        await asyncio.sleep(0.01)
    return waiting

async def heard(waiting, pid):
    assert os.waitpid(pid, 0)[1] == 0
    os.write(1, b"Received: Event COMMANDTAG=1\n")
    return (await waiting).text

async def inside(waiting):
    pid = os.fork()
    if pid == 0:
        try:
            tap.close()
            if sys.version_info >= (3, 15):
                os._exit(0)   # (asyncio there runs no loop inherited across a fork)
            for _ in range(5):   # the child's copy of the wait runs, and ends
                await asyncio.sleep(0)
            os._exit(0 if waiting.done() else 3)
        finally:
            os._exit(4)   # (whatever it raised, the child never goes on)
    return await heard(waiting, pid)

loop = asyncio.new_event_loop()
waiting = loop.run_until_complete(asleep())
if how == "inside the loop":
    text = loop.run_until_complete(inside(waiting))
else:   # forked while the loop does not run
    pid = os.fork()
    if pid == 0:
        child()
    text = loop.run_until_complete(heard(waiting, pid))
tap.close()
loop.close()
os.write(2, ("got " + text + "\n").encode())
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator is not safe across fork")
@pytest.mark.parametrize("how", ["close", "exit", "inside the loop"])
def test_a_forked_child_closing_its_tap_leaves_the_parents_loop_hearing(how):
    from helpers import DEADLINE, run_child
    proc = run_child(FORK_AND_CLOSE, how, timeout=DEADLINE)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert proc.stderr.decode().splitlines()[-1] == "got Event COMMANDTAG=1"


def stopped_with_the_wait_pending(tap):
    # run_until_complete returns with a wait by tag left pending: the loop
    # is not running when its answer arrives, and may never run again.
    loop = asyncio.new_event_loop()
    tasks = []

    async def leave_waits():
        tasks.extend(asyncio.ensure_future(tap.reply(tag, timeout=None)) for tag in (7, 8))
        while len(tap._loops.boxes) < 2:
            await asyncio.sleep(0)

    loop.run_until_complete(leave_waits())
    os.write(1, b"Received: Late COMMANDTAG=7\nReceived: Other COMMANDTAG=9\n")
    assert tap.wait_for(9).text == "Other COMMANDTAG=9"   # takes both in
    return loop, tasks


def closed_before_the_handed_wait_ran(tap):
    # The answer is handed to the wait in its own loop, which then stops
    # before the woken wait runs, and is closed: the task stays pending.
    loop = asyncio.new_event_loop()
    tasks = []

    def handed():
        tap._pumped(loop)   # the loop reads the pipe, as when it is readable
        return len(tap._loops.boxes) == 1

    def hand_and_stop():
        try:
            os.write(1, b"Received: Late COMMANDTAG=7\nReceived: Other COMMANDTAG=9\n")
            # (the drain may be sorting the lines still: looked at until handed)
            assert wait_until(handed)
        finally:
            loop.stop()   # (a failure above ends the test instead of hanging it)

    async def leave_waits():
        tasks.extend(asyncio.ensure_future(tap.reply(tag, timeout=None)) for tag in (7, 8))
        while len(tap._loops.boxes) < 2:
            await asyncio.sleep(0)
        hand_and_stop()

    leaving = loop.create_task(leave_waits())
    loop.run_forever()
    leaving.result()
    assert not tasks[0].done()
    loop.close()
    tasks.clear()   # (the tasks are freed by the collector, pending)
    gc.collect()
    return None, tasks


@pytest.mark.parametrize("leave", [
    stopped_with_the_wait_pending,
    pytest.param(closed_before_the_handed_wait_ran, marks=pytest.mark.skipif(
        sys.implementation.name != "cpython",
        reason="PyPy does not finalise the await in the collected cycle (known, open)")),
])
def test_a_wait_whose_loop_stops_for_good_takes_no_answer_with_it(leave):
    with ReplyTap() as tap:
        loop, tasks = leave(tap)
        texts = [r.text for r in tap.replies]
        assert [t for t in texts if t.startswith("Late")] == ["Late COMMANDTAG=7"]
        if loop is not None:
            loop.close()
        tasks.clear()
        gc.collect()
