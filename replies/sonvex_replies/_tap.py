"""ReplyTap: descriptor 1 through a pipe, the client's "Received: " lines
turned into Reply values, everything else passed on."""

from __future__ import annotations

import asyncio
import atexit
import errno
import fcntl
import functools
import inspect
import io
import logging
import operator
import os
import sys
import threading
from collections import OrderedDict, deque
from time import monotonic, sleep
from typing import (
    TYPE_CHECKING, Any, AsyncIterator, Callable, Deque, Dict, Iterator, List, MutableSequence,
    Optional, Set, Tuple, TypeVar, cast,
)

from ._call import send_tagged
from ._drain import Drain, Guard, Handing, report_at_exit
from ._reply import Reply

if TYPE_CHECKING:
    from types import TracebackType

__all__ = ["ReplyTap"]

# Largest pipe asked for when the system does not say its limit.
_LARGEST_READ = 1 << 20
_PIPE_MAX_SIZE = "/proc/sys/fs/pipe-max-size"
# Python 3.9's fcntl module lacks these Linux constants; PyPy 3.9's too.
_F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)
_F_GETPIPE_SZ = getattr(fcntl, "F_GETPIPE_SZ", 1032)
_F_DUPFD_CLOEXEC = getattr(fcntl, "F_DUPFD_CLOEXEC", 1030)
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

_K = TypeVar("_K")
_S = TypeVar("_S", bound=MutableSequence[int])
_Waker = Tuple["asyncio.Future[None]", asyncio.AbstractEventLoop]
# The key of an asyncio wait that any reply may satisfy (by predicate, the
# oldest, a count of closed lines); the others wait under their tag (an int)
# or their word (a str).
_ANY = object()

_active_lock = threading.Lock()
_active: Optional[ReplyTap] = None


def _forget_active_in_child() -> None:
    # A forked child has no tap thread; it may start a tap of its own. The
    # locks may have been held by a thread of the parent at the fork, a
    # thread the child does not have: they start anew, so that the child's
    # close at exit never waits for them.
    global _active, _active_lock
    _active_lock = threading.Lock()
    tap = _active
    if tap is not None:
        tap._lock = Guard()   # pyright: ignore[reportPrivateUsage]
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


def _flush_stdout() -> None:
    for stream in (sys.stdout, sys.__stdout__):
        if stream is not None:
            try:
                stream.flush()
            except (OSError, ValueError):
                pass   # closed or broken: nothing of it can reach descriptor 1


def _above_standard(fd: int) -> int:
    """The descriptor moved to 3 or above, so that a closed 0, 1 or 2 is
    never taken by the tap's own pipe."""
    if fd >= 3:
        return fd
    try:
        return fcntl.fcntl(fd, _F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


def _pipe() -> Tuple[int, int]:
    read_end, write_end = os.pipe()   # both close-on-exec
    try:
        read_end = _above_standard(read_end)
    except BaseException:
        os.close(write_end)
        raise
    try:
        return read_end, _above_standard(write_end)
    except BaseException:
        os.close(read_end)
        raise


def _enlarge(fd: int) -> int:
    """Makes the pipe as large as the system allows; returns its size."""
    try:
        with open(_PIPE_MAX_SIZE, encoding="ascii") as f:
            size = int(f.read())
    except (OSError, ValueError):
        size = _LARGEST_READ
    while size >= 65536:
        try:
            return int(fcntl.fcntl(fd, _F_SETPIPE_SZ, size))
        except OSError:
            size //= 2   # EPERM: over the user's quota of pipe memory
    try:
        return int(fcntl.fcntl(fd, _F_GETPIPE_SZ))
    except OSError:
        return 65536


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def _running_loop() -> Optional[asyncio.AbstractEventLoop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


# A reply on its way to the caller of a wait: (its arrival number, the
# Reply), or (the drain's count of takes, time, text) as the drain handed
# it over by tag, before it has a number.
_Handed = Tuple[Any, Any, Any]
# What a take is given: the list that receives the reply it takes.
_Box = List[_Handed]
_Take = Callable[[_Box], bool]


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

    def _next(self, box: _Box) -> None:
        tap = self._tap
        tap._wait(box, tap._take_oldest, None, "")   # pyright: ignore[reportPrivateUsage]
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

    async def _next(self, box: _Box) -> None:
        tap = self._tap
        await tap._await(box, tap._take_oldest, None, "")   # pyright: ignore[reportPrivateUsage]
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
        self._kept: OrderedDict[int, Reply] = OrderedDict()   # by arrival number
        self._count = 0                # replies read so far, the last one's number
        self._by_tag: Dict[int, List[int]] = {}
        self._by_word: Dict[str, Deque[int]] = {}
        self._indexed = 0              # the indexes hold the replies up to this number
        self._reindex = False          # the indexes must be made anew from the kept replies
        self._entries = 0              # numbers in the two indexes, some of them stale
        self._last: Optional[Reply] = None
        self._dropped = 0              # by the tap; the drain counts its own
        self._drain_dropped = 0
        self._closed_lines = 0
        self._wakers: Dict[asyncio.Future[None], asyncio.AbstractEventLoop] = {}   # waits
        # The same waits by what they wait for (see _ANY), so that a reply
        # wakes only the waits it may satisfy; and the number of the last
        # reply whose waits were woken.
        self._wants: Dict[object, Dict[asyncio.Future[None], asyncio.AbstractEventLoop]] = {}
        self._dispatched = 0
        self._looking = False          # a look (_pull) is under way, or was cut short
        # loop: (the pipe and notify descriptors it watches, idle wake-ups)
        self._watching: Dict[asyncio.AbstractEventLoop, Tuple[int, int, int]] = {}
        # loop: (when, the timer that wakes its waits then)
        self._alarms: Dict[asyncio.AbstractEventLoop, Tuple[float, asyncio.TimerHandle]] = {}
        # loop: its waits in progress; loops with a settle() due
        self._pending: Dict[asyncio.AbstractEventLoop, int] = {}
        self._settling: Set[asyncio.AbstractEventLoop] = set()
        self._failure: Optional[BaseException] = None
        self._pid = -1
        self._saved = -1               # the original descriptor 1, or -1 if it was closed
        self._inheritable = True
        self._read_end = -1
        self._drain: Optional[Any] = None   # the Drain while the tap is open
        self._native: Optional[Any] = None  # the Drain, also after close
        self._generation = 0           # the drain's count of takes, at our last take
        # Signal-safe intake (see _pull): what the drain handed over and is
        # not yet absorbed; the absorption under way; replies handed to a
        # wait whose caller never got them (a handler raised), to put back.
        self._inbox: List[Any] = []
        self._absorbing: Optional[Tuple[Any, ...]] = None
        self._absorbed = -1           # the count of takes of the last entry absorbed
        self._orphans: _Box = []
        self._ended = False            # the drain has read the pipe's end
        self._closing = False
        self._output: Dict[int, bytes] = {}   # lines for the logger, by count of takes
        self._logger: Optional[threading.Thread] = None
        self._restore_stdout: Optional[Tuple[Any, bool, bool]] = None   # a TextIOWrapper

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
            _flush_stdout()
            try:
                self._open()
            except BaseException:
                self._finish_drain(0.0)
                self._close_descriptors()
                raise
            _active = self
            with self._lock:
                self._state = "open"
        self._whole_lines_on_stdout()
        atexit.register(self.close)
        return self

    def _open(self) -> None:
        self._pid = os.getpid()
        self._read_end, write_end = _pipe()
        try:
            _enlarge(write_end)
            try:
                self._saved = fcntl.fcntl(1, _F_DUPFD_CLOEXEC, 3)
                self._inheritable = os.get_inheritable(1)
            except OSError as error:
                if error.errno != errno.EBADF:
                    raise
            logging_ = self._log is not None
            self._drain = self._native = Drain(
                self._read_end, -1 if logging_ else self._saved, self._echo, self._max_kept,
                logging_, self._max_queued_output)
            if logging_:
                thread = threading.Thread(target=self._run_logger, name="sonvex-reply-tap-log",
                                          daemon=True)
                thread.start()
                self._logger = thread
            os.dup2(write_end, 1, inheritable=self._inheritable)
        finally:
            # From here on descriptor 1 is the pipe's only write end: the
            # drain sees the end of the pipe once it is put back.
            os.close(write_end)

    def close(self) -> None:
        """Puts back the original descriptor 1 after reading what is left in
        the pipe and writing out what was queued, waiting at most a short
        grace. Closing again does nothing. A signal handler that raises
        meanwhile (KeyboardInterrupt) ends the wait: the tap is closed all
        the same, and its exception is raised at the end."""
        global _active
        interrupted: Optional[BaseException] = None
        with _active_lock:
            if self._state == "open":
                self._closing = True   # descriptor 1 goes back now, as intended
                if os.getpid() == self._pid:
                    _flush_stdout()
                    self._unline_stdout()
                    self._restore_descriptor()
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
                    _flush_stdout()
                    self._drain = None
                self._close_descriptors()
                if _active is self:
                    _active = None
            with self._lock:
                if self._drain is not None:
                    self._pull()
                    self._drain = None
                self._state = "closed"
                wakers, self._wakers = self._wakers, {}
                self._wants = {}
                self._unwatch_all()
        self._wake_async(list(wakers.items()))
        atexit.unregister(self.close)
        if interrupted is not None:
            raise interrupted

    def _finish_drain(self, grace: float) -> None:
        drain = self._drain
        if drain is not None and not drain.finish(grace):
            _report_on_interrupted_exit()   # output is left to the writer
        logger = self._logger
        if logger is not None and os.getpid() == self._pid:
            logger.join()

    def _restore_descriptor(self) -> None:
        if self._saved >= 0:
            os.dup2(self._saved, 1, inheritable=self._inheritable)
        else:
            try:
                os.close(1)   # it was closed before the tap
            except OSError:
                pass

    def _close_descriptors(self) -> None:
        for name in ("_saved", "_read_end"):
            fd = getattr(self, name)
            if fd >= 0:
                setattr(self, name, -1)
                os.close(fd)

    def _whole_lines_on_stdout(self) -> None:
        # Unbuffered (python -u) sys.stdout writes a print's text and its
        # line feed in two writes, and a reply line printed between them
        # would join the text. Buffered up to the line's end, each line goes
        # out whole.
        stream: Any = sys.stdout
        try:
            if (isinstance(cast(object, stream), io.TextIOWrapper) and stream.fileno() == 1
                    and (not stream.line_buffering or stream.write_through)):
                before: Tuple[Any, bool, bool] = (
                    stream, stream.line_buffering, stream.write_through)
                stream.reconfigure(line_buffering=True, write_through=False)
                self._restore_stdout = before
        except (OSError, ValueError):
            pass   # no descriptor behind it, or closed

    def _unline_stdout(self) -> None:
        before, self._restore_stdout = self._restore_stdout, None
        if before is not None:
            stream, line_buffering, write_through = before
            try:
                stream.reconfigure(line_buffering=line_buffering, write_through=write_through)
            except (OSError, ValueError):
                pass

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
        self._dispatch(changed or redo)
        self._looking = False
        if self._watching:
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
        count = self._count
        if not self._wakers:
            self._dispatched = count
            return
        if self._ended or self._failure is not None:
            self._dispatched = count
            self._wake_all()
            return
        wants, kept = self._wants, self._kept
        anything = wants.get(_ANY) if changed else None
        woken: List[_Waker] = list(anything.items()) if anything else []
        for number in range(self._dispatched + 1, count + 1):
            reply = kept.get(number)
            if reply is None:
                continue   # handed to a wait directly, or taken
            for key in (reply.tag, reply.word):
                waiting = wants.get(key)
                if waiting:
                    woken.extend(waiting.items())
        if woken:
            self._wake_async(woken)
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
                    self._put_back(number, first)
                    del orphans[0]
                    continue
                # (count of takes, time, text): handed over by tag before it
                # had a number; it comes after what the drain handed over
                # before it. The count moves first: a handler between the
                # two steps leaves a gap, never one number for two replies.
                if not inbox or inbox[0][4] > number:
                    self._count += 1
                    orphans[0] = (self._count, Reply(second, cast(float, first)), None)
                    continue
            self._prepare(inbox[0])
            del inbox[0]
            self._absorb()

    def _put_back(self, number: int, reply: Reply) -> None:
        """Puts a reply that a wait took but could not return back to its
        place among the kept ones by arrival number, unless it is still
        kept; done again in full when a handler cut it short."""
        kept = self._kept
        self._reindex = True   # the indexes no longer hold what comes back
        self._wake_all()       # (rare) any wait may want what comes back
        if number > self._count:
            self._count = number
            self._last = reply
        if number not in kept:
            kept[number] = reply
        # Those after it go behind it again, in order.
        for later in sorted([n for n in kept if n > number]):
            kept.move_to_end(later)

    def _prepare(self, entry: Tuple[Any, ...]) -> bool:
        """Makes the replies of an entry of the inbox into self._absorbing
        (nothing else changes until that one assignment); whether the entry
        brings anything new."""
        batches, closed, dropped, ended, generation, failure, output = entry
        if generation <= self._absorbed:
            return False   # absorbed before a handler raised
        count = self._count
        # (number of the first, the replies): made by comprehension and
        # numbered by _absorb's zip, with no statement or tuple kept per
        # reply, which made the tap a third slower.
        runs: List[Tuple[int, List[Reply]]] = []
        if batches is not None:
            for time, data in batches:
                replies = [Reply(text, time) for text in _texts(data)]
                runs.append((count + 1, replies))
                count += len(replies)
        lost = None
        if failure is not None and self._failure is None:
            lost = RuntimeError(f"the tap stopped reading replies: {failure}")
        changed = count != self._count or closed != self._closed_lines or lost is not None or (
            ended and not self._ended)
        self._absorbing = (generation, runs, count, closed, dropped, ended, lost, output)
        return changed

    def _absorb(self) -> None:
        """Carries out self._absorbing; each step may be done again."""
        absorbing = self._absorbing
        if absorbing is None:
            return
        generation, runs, count, closed, dropped, ended, lost, output = absorbing
        if output is not None:
            self._output[generation] = output
        if runs:
            self._last = runs[-1][1][-1]
        self._count = max(self._count, count)
        self._closed_lines = closed
        self._drain_dropped = dropped
        if ended:
            self._ended = True
        if lost is not None and self._failure is None:
            self._failure = lost
        kept = self._kept
        for first, replies in runs:   # the same numbers again change nothing
            kept.update(zip(range(first, first + len(replies)), replies))
        self._absorbed = generation
        self._absorbing = None
        self._trim()

    def _trim(self) -> None:
        # At most max_kept replies are kept: the oldest go, counted.
        kept = self._kept
        while len(kept) > self._max_kept:
            kept.popitem(last=False)
            self._dropped += 1

    def _lost_descriptor(self) -> None:
        if self._failure is None:
            self._failure = RuntimeError(
                "descriptor 1 no longer leads to the tap's pipe: something else (such as "
                "pytest's capfd.disabled() or a library that redirects output) put another "
                "file there, and the replies printed since went to that file")

    def _wake_all(self) -> None:
        # Every asyncio wait looks again. A wait leaves the list itself once
        # it ran, so that a wake cut short by a raising handler is done again
        # by the next one.
        self._wake_async(list(self._wakers.items()))

    @staticmethod
    def _wake_async(wakers: List[_Waker]) -> None:
        here = _running_loop()
        for future, loop in wakers:
            if loop is here:
                _wake(future)
                continue
            try:
                loop.call_soon_threadsafe(_wake, future)
            except RuntimeError:
                pass   # that event loop is closed

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

    # --- the kept replies (all with self._lock held) ----------------------------

    def _index(self) -> None:
        """Enters the replies kept since the last call in the indexes by tag
        and by word, which only waits by tag or word use."""
        if self._reindex:
            self._rebuild_indexes()
        kept = self._kept
        if kept:
            by_tag, by_word = self._by_tag, self._by_word
            entries = 0
            first = max(self._indexed, next(iter(kept)) - 1) + 1
            for number in range(first, self._count + 1):
                reply = kept.get(number)
                if reply is None:
                    continue   # taken by iteration meanwhile
                numbers: Optional[Deque[int]] = by_word.get(reply.word)
                if numbers is None:
                    by_word[reply.word] = numbers = deque()
                numbers.append(number)
                tag = reply.tag
                if tag is not None:
                    same = by_tag.get(tag)
                    if same is None:
                        by_tag[tag] = [number]
                    else:
                        same.append(number)
                    entries += 1
                entries += 1
            self._entries += entries
        self._indexed = self._count
        if self._entries > 4 * len(kept) + 4096:
            self._rebuild_indexes()

    def _rebuild_indexes(self) -> None:
        """Once stale numbers (of replies taken or dropped) outnumber the
        live ones, the indexes start anew, so that they stay bounded."""
        by_tag: Dict[int, List[int]] = {}
        by_word: Dict[str, Deque[int]] = {}
        for number, reply in self._kept.items():
            by_word.setdefault(reply.word, deque()).append(number)
            if reply.tag is not None:
                by_tag.setdefault(reply.tag, []).append(number)
        self._by_tag, self._by_word = by_tag, by_word
        self._entries = sum(map(len, by_tag.values())) + sum(map(len, by_word.values()))
        self._indexed = self._count
        self._reindex = False

    def _move(self, number: int, box: _Box) -> bool:
        # The reply goes into the box before it leaves the kept ones: at no
        # moment is it in neither (the box's owner puts back what it could
        # not return; one still kept is not put back twice).
        kept = self._kept
        box.append((number, kept[number], None))
        del kept[number]
        return True

    def _take_indexed(self, index: Dict[_K, _S], key: _K, box: _Box) -> bool:
        """Takes the first kept reply under the key into the box; stale
        numbers before it go."""
        numbers = index.get(key)
        if numbers is None:
            return False
        kept = self._kept
        while numbers:
            number = numbers[0]
            if number in kept:
                # Out of the index only once taken: a stale number left by
                # a raising handler is passed over by the next take.
                self._move(number, box)
                del numbers[0]
                self._entries -= 1
                if not numbers:
                    del index[key]
                return True
            del numbers[0]
            self._entries -= 1
        del index[key]
        return False

    def _take_tag(self, tag: int, box: _Box) -> bool:
        self._index()
        return self._take_indexed(self._by_tag, tag, box)

    def _take_word(self, word: str, box: _Box) -> bool:
        self._index()
        return self._take_indexed(self._by_word, word, box)

    def _take_oldest(self, box: _Box) -> bool:
        if not self._kept:
            return False
        return self._move(next(iter(self._kept)), box)

    def _taker(self, predicate: Callable[[Reply], object]) -> _Take:
        """A take of the first kept reply that satisfies the predicate; each
        reply is shown to the predicate once per wait."""
        if not callable(predicate):
            raise TypeError(f"predicate must be callable, not {type(predicate).__name__}")
        shown = 0   # the number of the last reply shown to it

        def take(box: _Box) -> bool:
            nonlocal shown
            for number, reply in self._kept.items():
                if number > shown:
                    shown = number
                    if predicate(reply):
                        return self._move(number, box)
            return False
        return take

    def _closed_count(self, count: int) -> _Take:
        return lambda box: self._closed_lines >= count

    def _check_failure(self) -> None:
        if self._failure is not None:
            raise RuntimeError(str(self._failure)) from self._failure

    def _missing(self, what: str, timeout: Optional[float]) -> TimeoutError:
        if self._state == "closed" or self._ended:
            head = f"no {what}: the tap is closed"
        else:
            head = f"no {what} within {timeout} s"
        arrived = self._count + self._drain_dropped
        if arrived == 0:
            seen = "no reply arrived"
        else:
            last = self._last.text if self._last is not None else ""
            replies = "reply" if arrived == 1 else "replies"
            seen = f"{arrived} {replies} arrived, the last {last!r}"
            if self._kept:
                kept = list(self._kept.values())
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
        if self._pid != os.getpid() and self._state == "open":
            raise RuntimeError(
                f"this ReplyTap belongs to process {self._pid}, which this process (a fork "
                f"of it, pid {os.getpid()}) cannot wait on; start a tap of its own after "
                f"the fork")

    def _attempt(self, take: _Take, box: _Box, deadline: Optional[float], what: str,
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

    def _wait(self, box: _Box, take: _Take, timeout: Optional[float], what: str,
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
            chunk = _LOOK_AGAIN if left is None else min(left, _LOOK_AGAIN)
            if tag is None:
                state = drain.wait(seen, chunk)
            else:
                state = drain.wait(seen, chunk, True, tag, box)
            if box:
                run(self._direct, box)
                return
            if state < 0 and not self._closing:
                run(self._lost_descriptor)

    def _direct(self, box: _Box) -> None:
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
        self._index()
        reply = Reply(text, time)
        self._count += 1
        box[-1] = (self._count, reply, None)
        self._last = reply
        self._indexed = self._count

    def _wait_for(self, box: _Box, tag: int, timeout: Optional[float] = 5.0) -> None:
        tag = operator.index(tag)
        self._wait(box, lambda b: self._take_tag(tag, b), timeout,
                   f"reply with COMMANDTAG={tag}", tag)

    @_handed_by(_wait_for)
    def wait_for(self, tag: int, timeout: Optional[float] = 5.0) -> Reply:
        """Takes the first reply with that tag, waiting up to timeout seconds
        (None: no limit). TimeoutError names the tag and says what did
        arrive; it is raised at once when the tap is closed and no such
        reply is kept."""
        raise AssertionError("run by _wait_for")

    def _wait_for_word(self, box: _Box, word: str, timeout: Optional[float] = 5.0) -> None:
        if not isinstance(word, str):   # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        self._wait(box, lambda b: self._take_word(word, b), timeout, f"reply {word!r}")

    @_handed_by(_wait_for_word)
    def wait_for_word(self, word: str, timeout: Optional[float] = 5.0) -> Reply:
        """Takes the first reply not yet taken with that first word."""
        raise AssertionError("run by _wait_for_word")

    def _wait_until(self, box: _Box, predicate: Callable[[Reply], object],
                    timeout: Optional[float] = 5.0) -> None:
        self._wait(box, self._taker(predicate), timeout, "reply that satisfies the predicate")

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

    def _call(self, box: _Box, send: Callable[..., Any], /, *args: Any,
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
        return list(self._kept.values())

    @property
    def dropped(self) -> int:
        """Replies dropped, unread, to keep at most max_kept."""
        self._check_owner()
        return self._lock.run(self._dropped_now)

    def _dropped_now(self) -> int:
        self._pull()
        return self._dropped + self._drain_dropped

    def __iter__(self) -> Iterator[Reply]:
        """Takes the replies as they arrive, oldest first, until the tap is
        closed and none is left."""
        return _Arrivals(self)

    # --- asyncio ----------------------------------------------------------------

    def _pumped(self, loop: asyncio.AbstractEventLoop) -> None:
        # The pipe is readable: the loop reads it itself, so that an answer
        # needs no hop through another thread.
        self._lock.run(self._pump, loop)

    def _pump(self, loop: asyncio.AbstractEventLoop) -> None:
        waiting = self._waits_in(loop)
        drain = self._drain
        if drain is not None:
            if len(self._wakers) <= 1:
                # One wait (a program that awaits each answer in turn):
                # woken before the read, it takes in what the read brings
                # itself, and a wait by tag takes its reply directly. (A
                # handler that raises before the read leaves the pipe
                # readable: this runs again.)
                self._wake_all()
                drain.pump()
            else:
                # Many: the read is taken in here, and each reply wakes
                # only the waits it may satisfy (see _dispatch).
                try:
                    drain.pump(True)   # what it keeps is notified: a look cut short is redone
                    self._pull()
                except BaseException:
                    self._wake_all()   # cut short: every wait looks again
                    raise
        self._looked(loop, waiting)

    def _notified(self, loop: asyncio.AbstractEventLoop) -> None:
        # The drain's notify descriptor is readable: another thread kept
        # something.
        self._lock.run(self._take_notified, loop)

    def _take_notified(self, loop: asyncio.AbstractEventLoop) -> None:
        waiting = self._waits_in(loop)
        self._pull()
        self._looked(loop, waiting)

    def _waits_in(self, loop: asyncio.AbstractEventLoop) -> bool:
        return loop in self._pending

    def _looked(self, loop: asyncio.AbstractEventLoop, waiting: bool) -> None:
        # A loop keeps watching while its waits follow each other; once it
        # has been woken twice with none of its waits pending, it stops.
        watched = self._watching.get(loop)
        if watched is not None and watched[2] >= 0:
            idle = 0 if waiting else watched[2] + 1
            if idle >= 2 or self._drain is None:
                self._unwatch(loop)
            else:
                self._watching[loop] = (watched[0], watched[1], idle)

    def _watch(self, loop: asyncio.AbstractEventLoop) -> None:
        drain = self._drain
        if drain is None:
            return
        watched = self._watching.get(loop)
        if watched is None:
            for closed in [other for other in self._watching if other.is_closed()]:
                self._unwatch(closed)   # closed without its waits ending
            # Counted as a watcher first: a close that finishes the drain
            # meanwhile then keeps the descriptors open until this loop
            # stops watching; one that finished it before has closed them.
            drain.watch(1)
            pipe, notify = drain.watch_fd(), drain.notify_fd()
            if pipe < 0 or notify < 0:
                drain.watch(-1)
                return
            # (-1: its readers are not all added yet)
            watched = self._watching[loop] = (pipe, notify, -1)
        elif watched[2] >= 0:
            return
        # Added again by the next wait when a signal handler cut this short
        # (adding a descriptor's reader again replaces it), so that no wait
        # sleeps in a loop that does not watch the drain.
        try:
            loop.add_reader(watched[0], self._pumped, loop)
            loop.add_reader(watched[1], self._notified, loop)
        except BaseException:
            self._unwatch(loop)
            raise
        self._watching[loop] = (watched[0], watched[1], 0)

    def _alarm(self, loop: asyncio.AbstractEventLoop, when: float) -> None:
        # One timer per loop, at the earliest deadline of its waits (not one
        # per wait, set and cancelled each time): a wait it wakes before its
        # own deadline looks again and sets the timer anew.
        armed = self._alarms.get(loop)
        if armed is not None:
            if armed[0] <= when:
                return
            armed[1].cancel()
        self._alarms[loop] = (when, loop.call_at(when, self._rang, loop))

    def _rang(self, loop: asyncio.AbstractEventLoop) -> None:
        self._lock.run(self._ring, loop)

    def _ring(self, loop: asyncio.AbstractEventLoop) -> None:
        self._alarms.pop(loop, None)
        for future, waiter in list(self._wakers.items()):
            if waiter is loop:
                _wake(future)

    def _unwatch(self, loop: asyncio.AbstractEventLoop) -> None:
        armed = self._alarms.pop(loop, None)
        if armed is not None:
            armed[1].cancel()
        watched = self._watching.pop(loop, None)
        if watched is not None:
            for fd in watched[:2]:
                try:
                    loop.remove_reader(fd)
                except RuntimeError:
                    pass   # a closed loop has no readers left
            assert self._native is not None
            self._native.watch(-1)

    def _left(self, loop: asyncio.AbstractEventLoop) -> None:
        # A wait in the loop ended. The last one lets the loop stop watching
        # once the callbacks queued now have run, unless a new wait came
        # meanwhile (a program that waits for each answer in turn is back
        # before that), so that a loop closed after its waits (asyncio.run
        # once per wait) leaves nothing registered with the drain.
        pending = self._pending
        count = pending.get(loop, 1) - 1
        if count > 0:
            pending[loop] = count
            return
        pending.pop(loop, None)
        if loop in self._watching and loop not in self._settling and not loop.is_closed():
            # (A closed loop, whose wait a finaliser ends, stays until the
            # next loop starts watching or the tap closes.)
            self._settling.add(loop)
            try:
                loop.call_soon(self._settle, loop)
            except RuntimeError:
                self._settling.discard(loop)

    def _settle(self, loop: asyncio.AbstractEventLoop) -> None:
        self._lock.run(self._settle_now, loop)

    def _settle_now(self, loop: asyncio.AbstractEventLoop) -> None:
        self._settling.discard(loop)
        if loop not in self._pending:
            self._unwatch(loop)

    def _unwatch_all(self) -> None:
        # With self._lock held, on close: loops that no longer run stop
        # watching now; a running one does once its waits, woken by the
        # close, have ended (from its own thread).
        here = _running_loop()
        for loop in list(self._watching):
            if loop is here or loop.is_closed() or not loop.is_running():
                self._unwatch(loop)
            elif loop not in self._settling:
                self._settling.add(loop)
                try:
                    loop.call_soon_threadsafe(self._settle, loop)
                except RuntimeError:
                    self._unwatch(loop)   # closed meanwhile

    async def _await(self, box: _Box, take: _Take, timeout: Optional[float], what: str,
                     tag: Optional[int] = None, key: object = _ANY) -> None:
        loop = asyncio.get_running_loop()
        pending = self._pending
        pending[loop] = pending.get(loop, 0) + 1
        try:
            await self._await_in(loop, box, take, timeout, what, tag, key)
        finally:
            self._left(loop)

    async def _await_in(self, loop: asyncio.AbstractEventLoop, box: _Box, take: _Take,
                        timeout: Optional[float], what: str, tag: Optional[int],
                        key: object) -> None:
        deadline = None if timeout is None else monotonic() + timeout
        seen = -1
        run = self._lock.run
        while True:
            waker, seen = run(self._look_async, loop, box, take, deadline, what, timeout, tag,
                              seen, key)
            if waker is None:
                return
            try:
                await waker
            finally:
                if not waker.done() and not loop.is_closed():
                    waker.cancel()   # (a closed loop takes no callbacks)
                if waker in self._wakers:
                    run(self._forget_waker, waker, key)

    def _look_async(self, loop: asyncio.AbstractEventLoop, box: _Box, take: _Take,
                    deadline: Optional[float], what: str, timeout: Optional[float],
                    tag: Optional[int], seen: int, key: object
                    ) -> Tuple[Optional[asyncio.Future[None]], int]:
        """One look of an asyncio wait, with self._lock held: (None, 0) when
        the wait is over, else (the future that wakes it, the drain's count
        of takes so far), registered."""
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
                self._unwatch(loop)
            raise
        if over:
            if self._drain is None:
                self._unwatch(loop)
            return None, 0
        waker: asyncio.Future[None] = loop.create_future()
        self._wakers[waker] = loop
        wanting = self._wants.get(key)
        if wanting is None:
            self._wants[key] = wanting = {}
        wanting[waker] = loop
        self._watch(loop)
        if left is not None:
            self._alarm(loop, loop.time() + left)
        return waker, seen

    def _forget_waker(self, waker: asyncio.Future[None], key: object) -> None:
        self._wakers.pop(waker, None)
        wanting = self._wants.get(key)
        if wanting is not None:
            wanting.pop(waker, None)
            if not wanting:
                del self._wants[key]

    async def _reply(self, box: _Box, tag: int, timeout: Optional[float] = 5.0) -> None:
        tag = operator.index(tag)
        await self._await(box, lambda b: self._take_tag(tag, b), timeout,
                          f"reply with COMMANDTAG={tag}", tag, tag)

    @_handed_by(_reply)
    async def reply(self, tag: int, timeout: Optional[float] = 5.0) -> Reply:
        """wait_for for asyncio: safe from any event loop."""
        raise AssertionError("run by _reply")

    async def _acall(self, box: _Box, send: Callable[..., Any], /, *args: Any,
                     timeout: Optional[float] = 5.0, **kwargs: Any) -> None:
        await self._reply(box, send_tagged(send, args, kwargs), timeout)

    @_handed_by(_acall)
    async def acall(self, send: Callable[..., Any], /, *args: Any,
                    timeout: Optional[float] = 5.0, **kwargs: Any) -> Reply:
        """call for asyncio: sends at once, then awaits the answer (as reply)."""
        raise AssertionError("run by _acall")

    async def _reply_word(self, box: _Box, word: str, timeout: Optional[float] = 5.0) -> None:
        if not isinstance(word, str):   # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        await self._await(box, lambda b: self._take_word(word, b), timeout, f"reply {word!r}",
                          None, word)

    @_handed_by(_reply_word)
    async def reply_word(self, word: str, timeout: Optional[float] = 5.0) -> Reply:
        """wait_for_word for asyncio."""
        raise AssertionError("run by _reply_word")

    async def _reply_until(self, box: _Box, predicate: Callable[[Reply], object],
                           timeout: Optional[float] = 5.0) -> None:
        await self._await(box, self._taker(predicate), timeout,
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
