"""ReplyTap: descriptor 1 through a pipe, the client's "Received: " lines
turned into Reply values, everything else passed on."""

from __future__ import annotations

import asyncio
import atexit
import functools
import inspect
import logging
import operator
import os
import sys
import threading
from threading import get_ident
from time import monotonic, sleep
from typing import (
    TYPE_CHECKING, Any, AsyncIterator, Callable, Coroutine, Dict, Iterator, List, Optional, Tuple, TypeVar,
    cast,
)

from ._call import send_tagged
from ._drain import Drain, Guard, Handing, report_at_exit
from ._kept import Box, KeptReplies, Take
from ._loops import ABANDONED, ANY, Abandoned, Loops, Waker, running_loop, wake_futures
from ._reply import Reply, replies_of
from ._stdout import StdoutPipe, flush_stdout

if TYPE_CHECKING:
    from types import TracebackType

__all__ = ["ReplyTap"]

# How long close() waits for the pipe's end once the pipe is empty (writes
# already under way finish at once; only a process that inherited descriptor
# 1 keeps the pipe open) and for the queued output to be written (only a
# blocked standard output keeps it).
_CLOSE_GRACE = 2.0
# Bytes of output passed on that may wait for a blocked standard output
# before the tap stops reading its pipe.
_MAX_QUEUED_OUTPUT = 16 << 20
# A wait blocks in the drain at most this long at a time, then looks again
# whether descriptor 1 still leads to the tap's pipe.
_LOOK_AGAIN = 1.0
# A wait in the main thread, where signal handlers run (between bytecodes,
# never while the drain blocks), blocks at most this long at a time, so
# that Ctrl-C ends it at once.
_NOTICE_SIGNALS = 0.05

_active_lock = Guard()   # over _active, and each tap's start and close
_active: Optional[ReplyTap] = None
_main_thread = threading.main_thread().ident
# This process's id, made anew in a forked child (rather than asked of the
# system at each look of a wait).
_this_pid = os.getpid()
_UNASKED = object()   # (_dispatch: the running loop not asked yet)


def _forget_active_in_child() -> None:
    # A forked child has no tap thread; it may start a tap of its own. The
    # locks may have been held by a thread of the parent at the fork, a
    # thread the child does not have: they start anew, so that the child's
    # close at exit never waits for them.
    global _active, _active_lock, _main_thread, _this_pid
    _this_pid = os.getpid()
    _active_lock = Guard()
    _main_thread = threading.main_thread().ident   # the thread that forked
    tap = _active
    if tap is not None:
        tap._lock = tap._loops.lock = Guard()   # pyright: ignore[reportPrivateUsage]
    _active = None


os.register_at_fork(after_in_child=_forget_active_in_child)
# Registered before any tap's close, so it runs after them all: output they
# left queued for a blocked standard output is written or counted.
atexit.register(report_at_exit)
_hooked = False


def _report_on_interrupted_exit() -> None:
    # A close left output queued. PyPy ends a process that an uncaught
    # KeyboardInterrupt ends by a signal, without running the exit hooks;
    # sys.excepthook still runs there, and the count runs from it (once:
    # the exit hook then finds it done).
    global _hooked
    if _hooked:
        return
    _hooked = True
    previous = sys.excepthook

    def hook(kind: Any, value: Any, traceback: Any) -> None:
        try:
            previous(kind, value, traceback)
        finally:
            # (An interactive session calls the hook and goes on.)
            if issubclass(kind, KeyboardInterrupt) and not hasattr(sys, "ps1"):
                report_at_exit()

    sys.excepthook = hook


_F = TypeVar("_F", bound=Callable[..., Any])


class _HandingMethod(Handing):
    """A ReplyTap method that returns the reply its body took into a box,
    with no Python frame between the take and the caller (see Handing in
    native/drain.cpp); it shows the signature and docstring of the method
    it stands for."""


def _handed_by(body: Callable[..., object]) -> Callable[[_F], _F]:
    """Makes the decorated method, which only declares the signature and
    the docstring, run `body(self, box, *args, **kwargs)` natively; a body
    that is a coroutine function makes an asyncio method, whose await
    returns the reply as natively."""
    def make(declared: _F) -> _F:
        method = _HandingMethod(body, inspect.iscoroutinefunction(body))
        functools.update_wrapper(method, declared)
        return cast(_F, method)
    return make


class _Arrivals:
    """Iteration over a tap: each step takes the oldest reply, and __next__
    is handed natively (see _HandingMethod), so that no frame of the tap's
    holds a reply taken but not yet returned (a generator would, between
    its take and its yield)."""

    def __init__(self, tap: ReplyTap) -> None:
        self._tap = tap
        self._orphans = tap._orphans   # pyright: ignore[reportPrivateUsage]

    def __iter__(self) -> _Arrivals:
        return self

    def _next(self, box: Box) -> None:
        tap = self._tap
        tap._wait(box, tap._kept.take_oldest, None, "")   # pyright: ignore[reportPrivateUsage]
        if not box:
            raise StopIteration

    @_handed_by(_next)
    def __next__(self) -> Reply:
        raise AssertionError("run by _next")


class _AsyncArrivals:
    """Asynchronous iteration over a tap, as _Arrivals: each __anext__ is
    handed natively, so that its await returns the reply it took."""

    def __init__(self, tap: ReplyTap) -> None:
        self._tap = tap
        self._orphans = tap._orphans   # pyright: ignore[reportPrivateUsage]

    def __aiter__(self) -> _AsyncArrivals:
        return self

    async def _next(self, box: Box) -> None:
        tap = self._tap
        await tap._await(box, tap._kept.take_oldest, None, "")   # pyright: ignore[reportPrivateUsage]
        if not box:
            raise StopAsyncIteration

    @_handed_by(_next)
    async def __anext__(self) -> Reply:
        raise AssertionError("run by _next")


def _tags_text(replies: List[Reply]) -> str:
    tags = [str(r.tag) for r in replies[:10]]
    return ", ".join(tags) + (", ..." if len(replies) > 10 else "")


class ReplyTap:
    """Turns the lines that sonvex_rs prints into data.

    While the tap is active, descriptor 1 (standard output) is the write end
    of a pipe that a native thread of the tap empties without ever needing
    the interpreter lock. Every "Received: " line that a client's reader
    prints becomes a Reply; "Connection closed." lines are counted; every
    other line (the program's prints, print_details, the output of C code
    and of child processes) goes on to the original standard output
    unchanged and in the order it was written. With echo=True the
    "Received: " and "Connection closed." lines go there too. With
    log=<a logging.Logger> no line goes to the original standard output:
    each line, the replies as "Received: <text>", becomes a record of that
    logger at INFO level, in the order written, from a thread of the tap
    (so the logger's handlers must not write to standard output, which
    would feed the tap its own records).

        with ReplyTap() as tap:
            reply = tap.call(client.send_raw_command, "GetVersion")
            # a Reply: text, word, tag, fields, time (see call)

    On close (the end of the with block, also when it raises, or at
    interpreter exit for a tap still open) the tap reads what is left in the
    pipe and puts back the very open file that descriptor 1 was. sys.stdout
    is flushed on start and on close, and while the tap is active a
    sys.stdout that writes to descriptor 1 is line-buffered and buffers
    each line until its end (also under python -u or PYTHONUNBUFFERED), so
    that a print's text and its line feed reach the pipe in one write and
    prints keep their place among the module's lines. One tap at a time can
    be active in a process; a tap runs once.

    Taking and looking: call and acall (which send the command too),
    wait_for, wait_for_word, wait_until, their asyncio
    forms reply, reply_word and reply_until, and iteration (for and async
    for) take the reply they return: each reply goes to exactly one taker,
    the first that asks for it, and replies not taken stay kept, in the
    order they arrived, for later waits. `replies` and `dropped` only look.
    wait_closed and closed() wait for a count and take nothing.

    Memory: replies not yet taken are kept in two places, at most max_kept
    in each: in the native drain until a wait (or `replies`) takes them in,
    then in the tap. Past max_kept the oldest are dropped and counted in
    `dropped`, never the newest.

    Output passed on is queued and written to the original standard output
    by a thread of its own, so that replies keep arriving while that output
    is blocked (its reader paused, as a pager or a log shipper does). At
    most max_queued_output bytes (16 MiB by default) wait there; past that
    the tap reads no more until the output takes some, so the program's
    writes wait as they would on the blocked output itself (and replies
    wait with them). close() waits at most a short grace (also for the
    queue) and ends on Ctrl-C (KeyboardInterrupt, with the tap closed);
    what standard output has not taken by then is written in the
    background, after which lines printed since the close may come before
    it, and what it has still not taken at the process's exit (given a
    second without progress) is counted on standard error as
    "sonvex_replies: <n> bytes of standard output could not be written".

    If something else puts another file on descriptor 1 while the tap is
    active (pytest's capfd.disabled(), a library that redirects output), the
    lines printed there never reach the tap: the next wait that finds no
    reply kept raises RuntimeError saying so, instead of timing out.

    Several clients in one process print into the same descriptor, each
    numbering its commands from 0, and a printed line does not say which
    client it came from: their tags collide, and wait_for(tag) may return
    another client's reply. Where replies must be matched by tag, run one
    client per process; otherwise wait by word (wait_for_word) or by
    content (wait_until).

    Limits: a child process that inherited descriptor 1 and still writes to
    it after close() has waited a short while for the pipe's end gets a
    broken pipe: start long-lived children before the tap or give them an
    output of their own. A line written without its line feed (os.write of a
    part of a line, or a print of more than 8 KiB of text that sys.stdout
    writes out before its line feed) joins the next line, as on a terminal,
    and a reply line joined that way is passed on as text.
    """

    def __init__(self, echo: bool = False, max_kept: int = 100_000,
                 log: Optional[logging.Logger] = None,
                 max_queued_output: int = _MAX_QUEUED_OUTPUT) -> None:
        max_kept = operator.index(max_kept)
        if max_kept < 0:
            raise ValueError("max_kept must be 0 or more")
        max_queued_output = operator.index(max_queued_output)
        if max_queued_output < 0:
            raise ValueError("max_queued_output must be 0 or more")
        if log is not None and not isinstance(  # pyright: ignore[reportUnnecessaryIsInstance]
                log, logging.Logger):
            raise TypeError(f"log must be a logging.Logger, not {type(log).__name__}")
        self._echo = bool(echo)
        self._log = log
        self._max_kept = max_kept
        self._max_queued_output = max_queued_output
        # The tap's lock, taken and released natively around a call
        # (self._lock.run(method, ...)), so that no signal handler can leave
        # it held or release it twice (see Guard in native/drain.cpp).
        self._lock = Guard()
        self._state = "new"            # new -> open -> closed
        # The replies not yet taken, numbered in arrival order (the drain
        # counts the replies it dropped itself).
        self._kept = KeptReplies(max_kept)
        self._drain_dropped = 0
        self._closed_lines = 0
        # The asyncio waits and their loops; the number of the last reply
        # whose waits were woken.
        self._loops = Loops(self._lock, self._pumped, self._notified)
        self._dispatched = 0
        self._looking = False          # a look (_pull) is under way, or was cut short
        self._failure: Optional[BaseException] = None
        self._pid = -1
        self._stdout = StdoutPipe()    # descriptor 1 and its pipe
        self._drain: Optional[Any] = None   # the Drain while the tap is open
        self._native: Optional[Any] = None  # the Drain, also after close
        self._generation = 0           # the drain's count of takes, at our last take
        # Signal-safe intake (see _pull): what the drain handed over and is
        # not yet absorbed; the absorption under way; replies handed to a
        # wait whose caller never got them (a handler raised), to put back.
        self._inbox: List[Any] = []
        self._absorbing: Optional[Tuple[Any, ...]] = None
        self._absorbed = -1           # the count of takes of the last entry absorbed
        self._orphans: Box = []
        self._ended = False            # the drain has read the pipe's end
        self._closing = False
        self._output: Dict[int, bytes] = {}   # lines for the logger, by count of takes
        self._logger: Optional[threading.Thread] = None

    # --- life ----------------------------------------------------------------

    def __enter__(self) -> ReplyTap:
        return self.start()

    def __exit__(self, exc_type: Optional[type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.close()

    def start(self) -> ReplyTap:
        """Points descriptor 1 at the tap's pipe. RuntimeError if another tap
        is active in the process, or this one was started before."""
        global _active
        with _active_lock:
            if self._state != "new":
                raise RuntimeError("this ReplyTap was started before; a tap runs once")
            if _active is not None:
                raise RuntimeError("another ReplyTap is active in this process")
            flush_stdout()
            try:
                self._pid = self._loops.pid = os.getpid()
                self._stdout.open(self._start_drain)
            except BaseException:
                self._finish_drain(0.0)
                self._stdout.close()
                raise
            _active = self
            with self._lock:
                self._state = "open"
        self._stdout.whole_lines()
        atexit.register(self.close)
        return self

    def _start_drain(self, read_end: int, saved: int) -> None:
        # Between the pipe's making and descriptor 1's swap (see
        # StdoutPipe.open): the drain reads the pipe and passes lines on to
        # the original descriptor 1 (or to the logger's thread).
        logging_ = self._log is not None
        self._drain = self._native = self._loops.native = Drain(
            read_end, -1 if logging_ else saved, self._echo, self._max_kept,
            logging_, self._max_queued_output)
        if logging_:
            thread = threading.Thread(target=self._run_logger, name="sonvex-reply-tap-log",
                                      daemon=True)
            thread.start()
            self._logger = thread

    def close(self) -> None:
        """Puts back the original descriptor 1 after reading what is left in
        the pipe and writing out what was queued, waiting at most a short
        grace. Closing again does nothing. A signal handler that raises
        meanwhile (KeyboardInterrupt) ends the wait: the tap is closed all
        the same, and its exception is raised at the end."""
        # (The locks are taken and let go natively, around a call, so that
        # a handler that raises anywhere leaves neither held: a close cut
        # short is then finished by the next, the exit hook's.)
        mine = self._pid < 0 or os.getpid() == self._pid   # (never started: mine)
        interrupted = _active_lock.run(self._close_now, mine)
        self._loops.wake_ended(mine)
        atexit.unregister(self.close)
        if interrupted is not None:
            raise interrupted

    def _close_now(self, mine: bool) -> Optional[BaseException]:
        # With _active_lock held: what a handler interrupted (after the
        # drain was finished all the same), or None.
        global _active
        interrupted: Optional[BaseException] = None
        if self._state == "open":
            self._closing = True   # descriptor 1 goes back now, as intended
            if mine:
                flush_stdout()
                self._stdout.unline()
                self._stdout.restore()
                try:
                    self._finish_drain(_CLOSE_GRACE)
                except BaseException as error:   # the drain has stopped: close on
                    interrupted = error
                    _report_on_interrupted_exit()
            else:
                # A forked child: no drain thread here, and the drain's
                # lock may be held for good. Descriptor 1 stays the
                # pipe, which the parent's drain still empties, so that
                # what the child prints keeps its order.
                flush_stdout()
                self._drain = None
            self._stdout.close()
            if _active is self:
                _active = None
        self._lock.run(self._end, mine)
        return interrupted

    def _end(self, mine: bool) -> None:
        if self._drain is not None:
            self._pull()
            self._drain = None
        self._state = "closed"
        self._loops.end(mine)

    def _finish_drain(self, grace: float) -> None:
        drain = self._drain
        if drain is not None and not drain.finish(grace):
            _report_on_interrupted_exit()   # output is left to the writer
        logger = self._logger
        if logger is not None and os.getpid() == self._pid:
            logger.join()

    # --- what the drain kept (all with self._lock held) -------------------------

    def _pull(self) -> bool:
        """Takes in what the drain kept since the last look; whether anything
        changed. Waiters are woken when it did.

        A signal handler may raise between any two steps of this (on PyPy
        between any two bytecodes, in the main thread), so every step
        leaves what was taken somewhere the next look finds it, and a look
        first finishes what an interrupted one left (_catch_up): the drain
        appends what it hands over to the inbox before Python runs again;
        an entry leaves the inbox only once its absorption is recorded in
        self._absorbing, whose steps may be done twice; replies that a
        raising handler kept from their caller are put back."""
        # A look that a handler cut short before its end is done again by
        # the next one, which then wakes the waits any change may satisfy
        # too. The loops' notification stays readable until a look has
        # ended (drain.quiet()), so that a loop left with its waits asleep
        # beside what an interrupted look took in looks again by itself.
        redo = self._looking
        self._looking = True
        if self._orphans or self._inbox or self._absorbing is not None:
            self._catch_up()
        drain = self._drain
        if drain is None:
            self._looking = False
            return False
        inbox = self._inbox
        generation = drain.take(inbox)
        if generation > self._generation:
            self._generation = generation
        changed = False
        while inbox:
            changed = self._prepare(inbox[0]) or changed
            del inbox[0]
            self._absorb()
        if self._orphans:
            # Put back by another thread's wait since the look began: the
            # take just made holds its notice (see Drain.put_back), which
            # the waits woken by it may have missed.
            self._catch_up()
        self._dispatch(changed or redo)
        self._looking = False
        if self._loops.watching:
            drain.quiet()
        return changed

    def _dispatch(self, changed: bool) -> None:
        """Wakes the asyncio waits that what was taken in since the last
        dispatch may satisfy: those waiting for the tag or the word of a
        new reply (one dictionary look-up per reply, never a scan of the
        waits), and on any change those that any reply may satisfy. A
        handler that raises before the end leaves the rest to the next
        dispatch. Once the pipe has ended or the tap failed, every wait
        looks again."""
        count = self._kept.count
        loops = self._loops
        if loops.ended:
            loops.sweep()   # (no wait that ended is woken)
        if not loops.wakers:
            self._dispatched = count
            return
        if self._ended or self._failure is not None:
            self._dispatched = count
            loops.wake_all()
            return
        wants, kept = loops.wants, self._kept.replies
        anything = wants.get(ANY) if changed else None
        woken: List[Waker] = list(anything.items()) if anything else []
        # The running loop, asked only once a reply is to be handed (most
        # looks take in nothing new, and asking costs a system call).
        here: object = _UNASKED
        for number in range(self._dispatched + 1, count + 1):
            reply = kept.get(number)
            if reply is None:
                continue   # handed to a wait directly, or taken
            tag = reply.tag
            waiting = wants.get(tag)
            if waiting:
                # One wait by tag alone wants it: it is that wait's.
                if len(waiting) == 1:
                    if here is _UNASKED:
                        here = running_loop() if loops.boxes else None
                    if loops.hand(tag, waiting, number, reply, kept,
                                  cast(Optional[asyncio.AbstractEventLoop], here)):
                        continue
                woken.extend(waiting.items())
            waiting = wants.get(reply.word)
            if waiting:
                woken.extend(waiting.items())
        if woken:
            wake_futures(woken)
        self._dispatched = count

    def _catch_up(self) -> None:
        """Finishes, in the order the replies arrived, what a look or a wait
        that a signal handler interrupted left: the absorption under way
        (its numbers are given), the entries still in the inbox, and the
        replies a wait took but could not hand to its caller. Nothing is
        numbered anew before this is done, so no number is given twice."""
        if self._absorbing is not None:
            self._absorb()
        inbox, orphans = self._inbox, self._orphans
        while inbox or orphans:
            if orphans:
                number, first, second = orphans[0]
                if not isinstance(second, str):
                    # (rare) any wait may want what comes back
                    self._loops.wake_all()
                    self._kept.put_back(number, first)
                    del orphans[0]
                    continue
                # (count of takes, time, text): handed over by tag before it
                # had a number; it comes after what the drain handed over
                # before it. The count moves first: a handler between the
                # two steps leaves a gap, never one number for two replies.
                if not inbox or inbox[0][4] > number:
                    kept = self._kept
                    kept.count += 1
                    orphans[0] = (kept.count, Reply(second, cast(float, first)), None)
                    continue
            self._prepare(inbox[0])
            del inbox[0]
            self._absorb()

    def _prepare(self, entry: Tuple[Any, ...]) -> bool:
        """Makes the replies of an entry of the inbox into self._absorbing
        (nothing else changes until that one assignment); whether the entry
        brings anything new."""
        batches, closed, dropped, ended, generation, failure, output = entry
        if generation <= self._absorbed:
            return False   # absorbed before a handler raised
        count = self._kept.count
        # (number of the first, the replies): made by comprehension and
        # numbered by _absorb's zip, with no statement or tuple kept per
        # reply, which made the tap a third slower.
        runs: List[Tuple[int, List[Reply]]] = []
        if batches is not None:
            for time, data in batches:
                replies = replies_of(_texts(data), time)
                if replies:
                    runs.append((count + 1, replies))
                    count += len(replies)
        lost = None
        if failure is not None and self._failure is None:
            lost = RuntimeError(f"the tap stopped reading replies: {failure}")
        changed = count != self._kept.count or closed != self._closed_lines or lost is not None or (
            ended and not self._ended)
        self._absorbing = (generation, runs, count, closed, dropped, ended, lost, output)
        return changed

    def _absorb(self) -> None:
        """Carries out self._absorbing; each step may be done again."""
        absorbing = self._absorbing
        if absorbing is None:
            return
        generation, runs, count, closed, dropped, ended, lost, output = absorbing
        kept = self._kept
        if output is not None:
            self._output[generation] = output
        if runs:
            kept.last = runs[-1][1][-1]
        kept.count = max(kept.count, count)
        self._closed_lines = closed
        self._drain_dropped = dropped
        if ended:
            self._ended = True
        if lost is not None and self._failure is None:
            self._failure = lost
        replies = kept.replies
        for first, run in runs:   # the same numbers again change nothing
            replies.update(zip(range(first, first + len(run)), run))
        self._absorbed = generation
        self._absorbing = None
        kept.trim()

    def _lost_descriptor(self) -> None:
        if self._failure is None:
            self._failure = RuntimeError(
                "descriptor 1 no longer leads to the tap's pipe: something else (such as "
                "pytest's capfd.disabled() or a library that redirects output) put another "
                "file there, and the replies printed since went to that file")

    # --- the logger ---------------------------------------------------------------

    def _run_logger(self) -> None:
        """With log=...: hands each line the drain kept to the logger, in
        order, until the drain has read the pipe's end."""
        log = self._log
        assert log is not None
        drain = self._drain
        assert drain is not None
        while True:
            with self._lock:
                self._pull()
                output, self._output = self._output, {}
                ended = self._ended
                seen = self._generation
            for data in output.values():
                for line in data.decode("utf-8", "replace").split("\n")[:-1]:
                    log.info("%s", line)
            if ended:
                return
            drain.wait(seen, -1.0, False)

    def _closed_count(self, count: int) -> Take:
        return lambda box: self._closed_lines >= count

    def _check_failure(self) -> None:
        if self._failure is not None:
            raise RuntimeError(str(self._failure)) from self._failure

    def _missing(self, what: str, timeout: Optional[float]) -> TimeoutError:
        if self._state == "closed" or self._ended:
            head = f"no {what}: the tap is closed"
        else:
            head = f"no {what} within {timeout} s"
        arrived = self._kept.count + self._drain_dropped
        if arrived == 0:
            seen = "no reply arrived"
        else:
            last = self._kept.last.text if self._kept.last is not None else ""
            replies = "reply" if arrived == 1 else "replies"
            seen = f"{arrived} {replies} arrived, the last {last!r}"
            if self._kept.replies:
                kept = list(self._kept.replies.values())
                seen += f"; {len(kept)} not taken, tags {_tags_text(kept)}"
        if self._closed_lines:
            seen += f", {self._closed_lines} \"Connection closed.\""
        return TimeoutError(f"{head}; {seen}")

    # --- waiting ----------------------------------------------------------------
    #
    # A wait takes its reply into a box (a list) that the public method
    # owns; the method returns what the box holds or, when anything raises
    # (a signal handler, a cancellation, a timeout), hands the box back to
    # the tap, which puts its reply back on the next look. The native
    # Handing does both, for the waits of threads and for the awaits of
    # asyncio (through a Handed), where no handler can land between the
    # take and the return. The tap's lock is only held during
    # self._lock.run(method, ...), around methods that leave the tap whole
    # or finishable (_catch_up) after every bytecode, and not while a wait
    # blocks in the drain or awaits.

    def _check_owner(self) -> None:
        if self._pid != _this_pid and self._state == "open":
            raise RuntimeError(
                f"this ReplyTap belongs to process {self._pid}, which this process (a fork "
                f"of it, pid {os.getpid()}) cannot wait on; start a tap of its own after "
                f"the fork")

    def _attempt(self, take: Take, box: Box, deadline: Optional[float], what: str,
                 timeout: Optional[float]) -> Tuple[bool, Optional[float], Any, int]:
        """One look, with self._lock held, after taking in what the drain
        kept: (whether the wait is over, seconds left, the drain, its
        count of takes so far); a reply `take` found is in the box. A
        closed tap ends an iteration (what="") with an empty box and any
        other wait with TimeoutError, as does the deadline."""
        self._check_owner()
        self._pull()
        if take(box):
            return True, None, None, 0
        if self._ended and self._state == "open" and not self._closing:
            # The pipe ended with the tap open: descriptor 1, its only
            # writer, was replaced or closed behind the tap's back.
            self._lost_descriptor()
        self._check_failure()
        if self._state == "closed" or self._ended:
            if not what:
                return True, None, None, 0
            raise self._missing(what, timeout)
        left = None if deadline is None else deadline - monotonic()
        if left is not None and left <= 0:
            raise self._missing(what, timeout)
        return False, left, self._drain, self._generation

    def _wait(self, box: Box, take: Take, timeout: Optional[float], what: str,
              tag: Optional[int] = None) -> None:
        """Waits until `take` finds its reply and puts it in the box. With
        the tag it looks for, the drain hands over a reply with that tag
        directly when it is all there is to take (the usual case of a
        program that waits for each answer), with no batch to take in or
        index."""
        deadline = None if timeout is None else monotonic() + timeout
        run = self._lock.run
        while True:
            over, left, drain, seen = run(self._attempt, take, box, deadline, what, timeout)
            if over:
                return
            if drain is None:   # not started yet
                sleep(0.01 if left is None else min(left, 0.01))
                continue
            # Blocks without the interpreter lock until the drain keeps
            # something, or another thread took from it.
            chunk = _NOTICE_SIGNALS if get_ident() == _main_thread else _LOOK_AGAIN
            if left is not None and left < chunk:
                chunk = left
            if tag is None:
                state = drain.wait(seen, chunk)
            else:
                state = drain.wait(seen, chunk, True, tag, box)
            if box:
                run(self._direct, box)
                return
            if state < 0 and not self._closing:
                run(self._lost_descriptor)

    def _direct(self, box: Box) -> None:
        # With self._lock held: the one reply the drain kept since our last
        # take, taken by tag into the box as (count of takes, time, text).
        # It takes its number after the kept ones (and after what an
        # interrupted look left: _catch_up); the box then holds it as any
        # take leaves it. The count moves first (see _catch_up).
        if self._orphans or self._inbox or self._absorbing is not None:
            self._catch_up()
        generation, time, text = box[-1]
        if generation > self._generation:   # another thread may have taken since
            self._generation = generation
        kept = self._kept
        kept.index()
        reply = Reply(text, time)
        kept.count += 1
        box[-1] = (kept.count, reply, None)
        kept.last = reply
        kept.indexed = kept.count

    def _wait_for(self, box: Box, tag: int, timeout: Optional[float] = 5.0) -> None:
        tag = operator.index(tag)
        take_tag = self._kept.take_tag
        self._wait(box, lambda b: take_tag(tag, b), timeout,
                   f"reply with COMMANDTAG={tag}", tag)

    @_handed_by(_wait_for)
    def wait_for(self, tag: int, timeout: Optional[float] = 5.0) -> Reply:
        """Takes the first reply with that tag, waiting up to timeout seconds
        (None: no limit). TimeoutError names the tag and says what did
        arrive; it is raised at once when the tap is closed and no such
        reply is kept."""
        raise AssertionError("run by _wait_for")

    def _wait_for_word(self, box: Box, word: str, timeout: Optional[float] = 5.0) -> None:
        if not isinstance(word, str):   # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        take_word = self._kept.take_word
        self._wait(box, lambda b: take_word(word, b), timeout, f"reply {word!r}")

    @_handed_by(_wait_for_word)
    def wait_for_word(self, word: str, timeout: Optional[float] = 5.0) -> Reply:
        """Takes the first reply not yet taken with that first word."""
        raise AssertionError("run by _wait_for_word")

    def _wait_until(self, box: Box, predicate: Callable[[Reply], object],
                    timeout: Optional[float] = 5.0) -> None:
        self._wait(box, self._kept.taker(predicate), timeout,
                   "reply that satisfies the predicate")

    @_handed_by(_wait_until)
    def wait_until(self, predicate: Callable[[Reply], object],
                   timeout: Optional[float] = 5.0) -> Reply:
        """Takes the first reply not yet taken for which predicate(reply) is
        true, oldest first, waiting like wait_for:

            tap.wait_until(lambda r: r.word == "PlayEvent" and r.text.split()[1] == "12")

        The predicate is called with the tap's lock held, once for each
        reply during one wait; it must not use the tap. What it raises ends
        the wait."""
        raise AssertionError("run by _wait_until")

    def _call(self, box: Box, send: Callable[..., Any], /, *args: Any,
              timeout: Optional[float] = 5.0, **kwargs: Any) -> None:
        self._wait_for(box, send_tagged(send, args, kwargs), timeout)

    @_handed_by(_call)
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
        raise AssertionError("run by _call")

    def wait_closed(self, count: int = 1, timeout: Optional[float] = 5.0) -> None:
        """Waits until `count` "Connection closed." lines have come since the
        tap started."""
        count = operator.index(count)
        self._wait([], self._closed_count(count), timeout,
                   f"{count} \"Connection closed.\" lines")

    @property
    def replies(self) -> List[Reply]:
        """The replies kept (not yet taken), oldest first, as a new list."""
        self._check_owner()
        return self._lock.run(self._kept_now)

    def _kept_now(self) -> List[Reply]:
        self._pull()
        return list(self._kept.replies.values())

    @property
    def dropped(self) -> int:
        """Replies dropped, unread, to keep at most max_kept."""
        self._check_owner()
        return self._lock.run(self._dropped_now)

    def _dropped_now(self) -> int:
        self._pull()
        return self._kept.dropped + self._drain_dropped

    def __iter__(self) -> Iterator[Reply]:
        """Takes the replies as they arrive, oldest first, until the tap is
        closed and none is left."""
        return _Arrivals(self)

    # --- asyncio ----------------------------------------------------------------
    #
    # The waits' futures, the loops that watch the drain and their alarms
    # are self._loops (see _loops.py); reading the pipe or the notification
    # from a loop, and one look of a wait, are here.

    def _pumped(self, loop: asyncio.AbstractEventLoop) -> None:
        # The pipe is readable: the loop reads it itself, so that an answer
        # needs no hop through another thread.
        self._lock.run(self._pump, loop)

    def _pump(self, loop: asyncio.AbstractEventLoop) -> None:
        loops = self._loops
        waiting = loop in loops.pending
        drain = self._drain
        if drain is not None:
            if len(loops.wakers) <= 1:
                # One wait (a program that awaits each answer in turn):
                # woken before the read, it takes in what the read brings
                # itself, and a wait by tag takes its reply directly. (A
                # handler that raises before the read leaves the pipe
                # readable: this runs again.)
                loops.wake_all()
                drain.pump()
            else:
                # Many: the read is taken in here, and each reply wakes
                # only the waits it may satisfy (see _dispatch).
                try:
                    drain.pump(True)   # what it keeps is notified: a look cut short is redone
                    self._pull()
                except BaseException:
                    loops.wake_all()   # cut short: every wait looks again
                    raise
        loops.looked(loop, waiting, self._drain is None)

    def _notified(self, loop: asyncio.AbstractEventLoop) -> None:
        # The drain's notify descriptor is readable: another thread kept
        # something.
        self._lock.run(self._take_notified, loop)

    def _take_notified(self, loop: asyncio.AbstractEventLoop) -> None:
        loops = self._loops
        waiting = loop in loops.pending
        self._pull()
        loops.looked(loop, waiting, self._drain is None)

    async def _await(self, box: Box, take: Take, timeout: Optional[float], what: str,
                     tag: Optional[int] = None, key: object = ANY) -> None:
        loop = asyncio.get_running_loop()
        loops = self._loops
        pending = loops.pending
        pending[loop] = pending.get(loop, 0) + 1
        watch = Abandoned(loops, loop, key) if ABANDONED else None
        try:
            # (One coroutine for the whole wait: each wake resumes every
            # frame of the chain of awaits.)
            deadline = None if timeout is None else monotonic() + timeout
            seen = -1
            lock = self._lock
            run = lock.run
            while True:
                waker, seen = run(self._look_async, loop, box, take, deadline, what, timeout,
                                  tag, seen, key)
                if waker is None:
                    return
                if watch is not None:
                    watch.waker = waker
                try:
                    await waker
                finally:
                    if not waker.done() and not loop.is_closed():
                        waker.cancel()   # (a closed loop takes no callbacks)
                    if waker in loops.wakers:
                        # Forgotten now, or by the next look or wake when
                        # this runs inside a call of the tap on this thread
                        # (the finaliser of a wait dropped asleep, run by
                        # the collector there), which the lock cannot be
                        # taken in.
                        loops.ended.append((waker, key))
                        if not lock.mine():
                            run(loops.sweep)
                if box:
                    return   # the tap handed the reply to this wait (Loops.hand)
        except BaseException:
            if box:
                # Cancelled (or a handler raised) once the tap had handed
                # the reply to this wait: the await's end puts it back (see
                # Handed), and a look after that, in the loop's next turn,
                # lets the other waits find it.
                try:
                    loop.call_soon_threadsafe(self._rescue)
                except RuntimeError:
                    pass   # a closed loop: the next look puts it back
            raise
        finally:
            if watch is not None:
                watch.over = True
            loops.left(loop)

    def _rescue(self) -> None:
        self._lock.run(self._pull)

    def _look_async(self, loop: asyncio.AbstractEventLoop, box: Box, take: Take,
                    deadline: Optional[float], what: str, timeout: Optional[float],
                    tag: Optional[int], seen: int, key: object
                    ) -> Tuple[Optional[asyncio.Future[None]], int]:
        """One look of an asyncio wait, with self._lock held: (None, 0) when
        the wait is over, else (the future that wakes it, the drain's count
        of takes so far), registered."""
        if box:
            return None, 0   # handed a reply before its waker was forgotten
        drain = self._drain
        if tag is not None and drain is not None and seen == self._generation:
            # Nothing taken in since the last look found no such reply: the
            # one the loop just read may be it, alone.
            if drain.take_tag(seen, tag, box):
                self._direct(box)
                return None, 0
        try:
            over, left, _, seen = self._attempt(take, box, deadline, what, timeout)
        except BaseException:
            if self._drain is None:   # closed: nothing more to watch
                self._loops.unwatch(loop)
            raise
        if over:
            if self._drain is None:
                self._loops.unwatch(loop)
            return None, 0
        return self._loops.arm(loop, key, left, self._drain, None if tag is None else box), seen

    def _by_tag(self, box: Box, tag: int, timeout: Optional[float]) -> Coroutine[Any, Any, None]:
        # The await of a wait by tag (awaited by the caller's own
        # coroutine, with no coroutine of its own in between).
        take_tag = self._kept.take_tag
        return self._await(box, lambda b: take_tag(tag, b), timeout,
                           f"reply with COMMANDTAG={tag}", tag, tag)

    async def _reply(self, box: Box, tag: int, timeout: Optional[float] = 5.0) -> None:
        await self._by_tag(box, operator.index(tag), timeout)

    @_handed_by(_reply)
    async def reply(self, tag: int, timeout: Optional[float] = 5.0) -> Reply:
        """wait_for for asyncio: safe from any event loop."""
        raise AssertionError("run by _reply")

    async def _acall(self, box: Box, send: Callable[..., Any], /, *args: Any,
                     timeout: Optional[float] = 5.0, **kwargs: Any) -> None:
        await self._by_tag(box, send_tagged(send, args, kwargs), timeout)

    @_handed_by(_acall)
    async def acall(self, send: Callable[..., Any], /, *args: Any,
                    timeout: Optional[float] = 5.0, **kwargs: Any) -> Reply:
        """call for asyncio: sends at once, then awaits the answer (as reply)."""
        raise AssertionError("run by _acall")

    async def _reply_word(self, box: Box, word: str, timeout: Optional[float] = 5.0) -> None:
        if not isinstance(word, str):   # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        take_word = self._kept.take_word
        await self._await(box, lambda b: take_word(word, b), timeout, f"reply {word!r}",
                          None, word)

    @_handed_by(_reply_word)
    async def reply_word(self, word: str, timeout: Optional[float] = 5.0) -> Reply:
        """wait_for_word for asyncio."""
        raise AssertionError("run by _reply_word")

    async def _reply_until(self, box: Box, predicate: Callable[[Reply], object],
                           timeout: Optional[float] = 5.0) -> None:
        await self._await(box, self._kept.taker(predicate), timeout,
                          "reply that satisfies the predicate")

    @_handed_by(_reply_until)
    async def reply_until(self, predicate: Callable[[Reply], object],
                          timeout: Optional[float] = 5.0) -> Reply:
        """wait_until for asyncio."""
        raise AssertionError("run by _reply_until")

    async def closed(self, count: int = 1, timeout: Optional[float] = 5.0) -> None:
        """wait_closed for asyncio."""
        count = operator.index(count)
        await self._await([], self._closed_count(count), timeout,
                          f"{count} \"Connection closed.\" lines")

    def __aiter__(self) -> AsyncIterator[Reply]:
        """Takes the replies as they arrive, oldest first, until the tap is
        closed and none is left (async for)."""
        return _AsyncArrivals(self)


def _texts(data: bytes) -> List[str]:
    """The reply texts of a batch (each ends with a line feed)."""
    try:
        texts = data.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        texts = [line.decode("utf-8", "replace") for line in data.split(b"\n")]
    texts.pop()   # the empty piece after the last line feed
    return texts
