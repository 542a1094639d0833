"""ReplyTap: descriptor 1 through a pipe, the client's "Received: " lines
turned into Reply values, everything else passed on."""

from __future__ import annotations

import asyncio
import atexit
import errno
import fcntl
import io
import operator
import os
import select
import sys
import threading
from collections import OrderedDict, deque
from time import monotonic
from typing import (
    TYPE_CHECKING, AsyncIterator, Callable, Deque, Dict, Iterator, List, MutableSequence,
    Optional, Tuple, TypeVar,
)

from ._reply import Reply

if TYPE_CHECKING:
    from types import TracebackType

__all__ = ["ReplyTap"]

_PREFIX_TEXT = "Received: "
_PREFIX_LENGTH = len(_PREFIX_TEXT)
_CLOSED_TEXT = "Connection closed."
# Largest read: the whole of a default-sized big pipe in one call.
_LARGEST_READ = 1 << 20
_PIPE_MAX_SIZE = "/proc/sys/fs/pipe-max-size"
# Python 3.9's fcntl module lacks these Linux constants; PyPy 3.9's too.
_F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)
_F_GETPIPE_SZ = getattr(fcntl, "F_GETPIPE_SZ", 1032)
_F_DUPFD_CLOEXEC = getattr(fcntl, "F_DUPFD_CLOEXEC", 1030)
# How long close() waits for the pipe's end once the pipe is empty: writes
# already under way finish at once; only a process that inherited descriptor
# 1 keeps the pipe open.
_CLOSE_GRACE = 2.0

_K = TypeVar("_K")
_S = TypeVar("_S", bound=MutableSequence[int])
_Waker = Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]

_active_lock = threading.Lock()
_active: Optional[ReplyTap] = None


def _forget_active_in_child() -> None:
    # A forked child has no tap thread; it may start a tap of its own.
    global _active
    _active = None


os.register_at_fork(after_in_child=_forget_active_in_child)


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


def _tags_text(replies: List[Reply]) -> str:
    tags = [str(r.tag) for r in replies[:10]]
    return ", ".join(tags) + (", ..." if len(replies) > 10 else "")


class ReplyTap:
    """Turns the lines that sonvex_rs prints into data.

    While the tap is active, descriptor 1 (standard output) is the write end
    of a pipe that a thread of the tap reads. Every "Received: " line that a
    client's reader prints becomes a Reply; "Connection closed." lines are
    counted; every other line (the program's prints, print_details, the
    output of C code and of child processes) goes on to the original
    standard output unchanged and in the order it was written. With
    echo=True the "Received: " and "Connection closed." lines go there too.

        with ReplyTap() as tap:
            tag = client.send_raw_command("GetVersion")
            reply = tap.wait_for(tag)     # a Reply: text, word, tag, fields, time

    On close (the end of the with block, also when it raises, or at
    interpreter exit for a tap still open) the tap reads what is left in the
    pipe and puts back the very open file that descriptor 1 was. sys.stdout
    is flushed on start and on close, and while the tap is active a
    sys.stdout that writes to descriptor 1 is line-buffered, so that prints
    keep their place among the module's lines. One tap at a time can be
    active in a process; a tap runs once.

    Waits and iteration take what they return: each reply goes to one taker.
    At most max_kept replies not yet taken are kept; older ones are dropped
    and counted in `dropped`.

    Several clients in one process print into the same descriptor, each
    numbering its commands from 0, and a printed line does not say which
    client it came from: their tags collide, and wait_for(tag) may return
    another client's reply. Where replies must be matched by tag, run one
    client per process; otherwise wait by word (wait_for_word) or by a field
    of the reply.

    Limits: the tap's thread needs the interpreter lock to empty the pipe,
    and a send that blocks holds that lock. A program that sends without
    pause to a server that stops reading while its own writes block relies
    on the pipe (made as large as the system allows) and the socket buffers
    to hold the answers meanwhile; where the answers run to hundreds of
    bytes for each of many thousand commands, wait for answers now and then.
    A child process that inherited descriptor 1 and still writes to it after
    close() has waited a short while for the pipe's end gets a broken pipe:
    start long-lived children before the tap or give them an output of
    their own. A line written without its line feed (os.write of a part of a
    line) joins the next line, as on a terminal, and a reply line joined that
    way is passed on as text.
    """

    def __init__(self, echo: bool = False, max_kept: int = 100_000) -> None:
        max_kept = operator.index(max_kept)
        if max_kept < 0:
            raise ValueError("max_kept must be 0 or more")
        self._echo = bool(echo)
        self._max_kept = max_kept
        self._cond = threading.Condition(threading.Lock())
        self._state = "new"            # new -> open -> closed
        self._kept: OrderedDict[int, Reply] = OrderedDict()   # by arrival number
        self._count = 0                # replies read so far, the last one's number
        self._by_tag: Dict[int, List[int]] = {}
        self._by_word: Dict[str, Deque[int]] = {}
        self._indexed = 0              # the indexes hold the replies up to this number
        self._entries = 0              # numbers in the two indexes, some of them stale
        self._last: Optional[Reply] = None
        self._dropped = 0
        self._closed_lines = 0
        self._wakers: List[_Waker] = []
        self._failure: Optional[BaseException] = None
        self._pid = -1
        self._saved = -1               # the original descriptor 1, or -1 if it was closed
        self._inheritable = True
        self._read_end = -1
        self._wake_read = self._wake_write = -1
        self._chunk = 65536
        self._thread: Optional[threading.Thread] = None
        self._closing = False
        self._close_deadline = 0.0
        self._forwarding = True
        self._relined: Optional[io.TextIOWrapper] = None

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
                if self._thread is not None:
                    self._thread.join()   # its pipe has no write end left
                self._close_descriptors()
                raise
            _active = self
            with self._cond:
                self._state = "open"
        self._line_buffer_stdout()
        atexit.register(self.close)
        return self

    def _open(self) -> None:
        self._pid = os.getpid()
        self._read_end, write_end = _pipe()
        try:
            self._chunk = min(max(_enlarge(write_end), 65536), _LARGEST_READ)
            os.set_blocking(self._read_end, False)
            self._wake_read, self._wake_write = _pipe()
            os.set_blocking(self._wake_read, False)
            try:
                self._saved = fcntl.fcntl(1, _F_DUPFD_CLOEXEC, 3)
                self._inheritable = os.get_inheritable(1)
            except OSError as error:
                if error.errno != errno.EBADF:
                    raise
            thread = threading.Thread(target=self._run, name="sonvex-reply-tap", daemon=True)
            thread.start()
            self._thread = thread
            os.dup2(write_end, 1, inheritable=self._inheritable)
        finally:
            # From here on descriptor 1 is the pipe's only write end: the
            # thread sees the end of the pipe once it is put back.
            os.close(write_end)

    def close(self) -> None:
        """Puts back the original descriptor 1 after reading what is left in
        the pipe. Closing again does nothing."""
        global _active
        with _active_lock:
            if self._state == "open":
                if os.getpid() == self._pid:
                    self._close_in_owner()
                else:
                    self._restore_descriptor()   # a forked child: no thread here
                self._close_descriptors()
                if _active is self:
                    _active = None
            with self._cond:
                self._state = "closed"
                self._cond.notify_all()
                wakers, self._wakers = self._wakers, []
        self._wake_async(wakers)
        atexit.unregister(self.close)

    def _close_in_owner(self) -> None:
        _flush_stdout()
        self._unline_stdout()
        self._restore_descriptor()
        thread = self._thread
        if thread is not None:
            self._close_deadline = monotonic() + _CLOSE_GRACE
            self._closing = True
            os.write(self._wake_write, b"!")
            thread.join()

    def _restore_descriptor(self) -> None:
        if self._saved >= 0:
            os.dup2(self._saved, 1, inheritable=self._inheritable)
        else:
            try:
                os.close(1)   # it was closed before the tap
            except OSError:
                pass

    def _close_descriptors(self) -> None:
        for name in ("_saved", "_read_end", "_wake_read", "_wake_write"):
            fd = getattr(self, name)
            if fd >= 0:
                setattr(self, name, -1)
                os.close(fd)

    def _line_buffer_stdout(self) -> None:
        stream = sys.stdout
        try:
            if (isinstance(stream, io.TextIOWrapper) and not stream.line_buffering
                    and stream.fileno() == 1):
                stream.reconfigure(line_buffering=True)
                self._relined = stream
        except (OSError, ValueError):
            pass   # no descriptor behind it, or closed

    def _unline_stdout(self) -> None:
        stream, self._relined = self._relined, None
        if stream is not None:
            try:
                stream.reconfigure(line_buffering=False)
            except (OSError, ValueError):
                pass

    # --- the reading thread ----------------------------------------------------

    def _run(self) -> None:
        read_end, size = self._read_end, self._chunk
        poller = select.poll()
        poller.register(read_end, select.POLLIN)
        poller.register(self._wake_read, select.POLLIN)
        pending = b""
        raw = False     # after a failure: pass everything on as it is
        while True:
            try:
                data = os.read(read_end, size)
            except BlockingIOError:
                if self._closing:
                    # Descriptor 1 is back, yet the pipe has a writer: a
                    # process that inherited it. Wait for it a while.
                    left = self._close_deadline - monotonic()
                    if left <= 0:
                        break
                    poller.poll(left * 1000)
                else:
                    poller.poll()
                try:
                    os.read(self._wake_read, 64)
                except BlockingIOError:
                    pass
                continue
            if not data:
                break
            if raw:
                self._forward(data)
                continue
            if pending:
                data = pending + data
            end = data.rfind(b"\n")
            if end < 0:
                pending = data
                continue
            pending = data[end + 1:]
            try:
                self._take_lines(data[:end + 1])
            except Exception as error:   # never leave the pipe unread
                raw = True
                with self._cond:
                    self._failure = error
                self._forward(data[:end + 1])
            if self._closing and monotonic() > self._close_deadline:
                break   # a writer that never stops
        if pending:
            self._forward(pending)   # an unfinished last line, as it is
        with self._cond:
            self._cond.notify_all()

    def _take_lines(self, data: bytes) -> None:
        """Takes complete lines (data ends with a line feed)."""
        now = monotonic()
        try:
            text = data.decode("utf-8")
            clean = True
        except UnicodeDecodeError:
            # Decoded losslessly, so that passed-on lines stay as they were.
            text = data.decode("utf-8", "surrogateescape")
            clean = False
        lines = text.split("\n")
        lines.pop()   # the empty piece after the last line feed
        if clean and not self._echo and text.count("\nReceived: ") + (
                text[:_PREFIX_LENGTH] == _PREFIX_TEXT) == len(lines):
            # Replies and nothing else: the common case of a busy client.
            self._store([Reply(line[_PREFIX_LENGTH:], now) for line in lines], 0)
            return
        echo = self._echo
        replies: List[Reply] = []
        passed: List[str] = []
        closed = 0
        for line in lines:
            if line.startswith(_PREFIX_TEXT):
                reply_text = line[_PREFIX_LENGTH:]
                if not clean:
                    reply_text = reply_text.encode("utf-8", "surrogateescape").decode(
                        "utf-8", "replace")
                replies.append(Reply(reply_text, now))
                if echo:
                    passed.append(line)
            elif line == _CLOSED_TEXT:
                closed += 1
                if echo:
                    passed.append(line)
            else:
                passed.append(line)
        if passed:
            passed.append("")
            self._forward("\n".join(passed).encode("utf-8", "surrogateescape"))
        if replies or closed:
            self._store(replies, closed)

    def _store(self, replies: List[Reply], closed: int) -> None:
        with self._cond:
            self._closed_lines += closed
            if replies:
                self._keep(replies)
            self._cond.notify_all()
            wakers, self._wakers = self._wakers, []
        self._wake_async(wakers)

    def _keep(self, replies: List[Reply]) -> None:
        kept = self._kept
        self._last = replies[-1]
        number = self._count         # the number of the reply before replies[0]
        self._count += len(replies)
        excess = len(kept) + len(replies) - self._max_kept
        if excess > 0:
            self._dropped += excess
            old = min(excess, len(kept))
            for _ in range(old):
                kept.popitem(last=False)
            if excess > old:         # some of these go unread too
                replies = replies[excess - old:]
                number += excess - old
        for reply in replies:
            number += 1
            kept[number] = reply

    def _forward(self, data: bytes) -> None:
        """Writes to the original descriptor 1, all of it, waiting for room
        when it is non-blocking and full."""
        fd = self._saved
        if fd < 0 or not self._forwarding:
            return
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(fd, view):]
            except BlockingIOError:
                waiting = select.poll()
                waiting.register(fd, select.POLLOUT)
                waiting.poll()
            except OSError:
                self._forwarding = False   # the original output is gone
                return

    @staticmethod
    def _wake_async(wakers: List[_Waker]) -> None:
        for loop, future in wakers:
            try:
                loop.call_soon_threadsafe(_wake, future)
            except RuntimeError:
                pass   # that event loop is closed

    # --- the kept replies (all with self._cond held) ----------------------------

    def _index(self) -> None:
        """Enters the replies kept since the last call in the indexes by tag
        and by word, which only waits by tag or word use."""
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

    def _take_indexed(self, index: Dict[_K, _S], key: _K) -> Optional[Reply]:
        """The first kept reply under the key, taken; stale numbers before it
        go."""
        numbers = index.get(key)
        if numbers is None:
            return None
        kept = self._kept
        reply = None
        while numbers and reply is None:
            reply = kept.pop(numbers[0], None)
            del numbers[0]
            self._entries -= 1
        if not numbers:
            del index[key]
        return reply

    def _take_tag(self, tag: int) -> Optional[Reply]:
        self._index()
        return self._take_indexed(self._by_tag, tag)

    def _take_word(self, word: str) -> Optional[Reply]:
        self._index()
        return self._take_indexed(self._by_word, word)

    def _take_oldest(self) -> Optional[Reply]:
        if not self._kept:
            return None
        return self._kept.popitem(last=False)[1]

    def _check_failure(self) -> None:
        if self._failure is not None:
            raise RuntimeError("the tap stopped reading replies") from self._failure

    def _missing(self, what: str, timeout: Optional[float]) -> TimeoutError:
        if self._state == "closed":
            head = f"no {what}: the tap is closed"
        else:
            head = f"no {what} within {timeout} s"
        if self._count == 0:
            seen = "no reply arrived"
        else:
            last = self._last.text if self._last is not None else ""
            replies = "reply" if self._count == 1 else "replies"
            seen = f"{self._count} {replies} arrived, the last {last!r}"
            if self._kept:
                kept = list(self._kept.values())
                seen += f"; {len(kept)} not taken, tags {_tags_text(kept)}"
        if self._closed_lines:
            seen += f", {self._closed_lines} \"Connection closed.\""
        return TimeoutError(f"{head}; {seen}")

    # --- waiting ----------------------------------------------------------------

    def _attempt(
        self, take: Callable[[], Optional[Reply]], deadline: Optional[float], what: str,
        timeout: Optional[float],
    ) -> Tuple[Optional[Reply], bool, Optional[float]]:
        """One look, with self._cond held: (the reply `take` found, whether
        the wait is over, seconds left). A closed tap ends an iteration
        (what="") with None and any other wait with TimeoutError, as does
        the deadline."""
        self._check_failure()
        reply = take()
        if reply is not None:
            return reply, True, None
        if self._state == "closed":
            if not what:
                return None, True, None
            raise self._missing(what, timeout)
        left = None if deadline is None else deadline - monotonic()
        if left is not None and left <= 0:
            raise self._missing(what, timeout)
        return None, False, left

    def _wait(self, take: Callable[[], Optional[Reply]], timeout: Optional[float],
              what: str) -> Optional[Reply]:
        deadline = None if timeout is None else monotonic() + timeout
        with self._cond:
            while True:
                reply, over, left = self._attempt(take, deadline, what, timeout)
                if over:
                    return reply
                self._cond.wait(left)

    def wait_for(self, tag: int, timeout: Optional[float] = 5.0) -> Reply:
        """The first reply with that tag, waiting up to timeout seconds (None:
        no limit). TimeoutError names the tag and says what did arrive; it
        is raised at once when the tap is closed and no such reply is kept."""
        tag = operator.index(tag)
        reply = self._wait(lambda: self._take_tag(tag), timeout, f"reply with COMMANDTAG={tag}")
        assert reply is not None
        return reply

    def wait_for_word(self, word: str, timeout: Optional[float] = 5.0) -> Reply:
        """The first reply with that first word not yet taken by a wait."""
        if not isinstance(word, str):   # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        reply = self._wait(lambda: self._take_word(word), timeout, f"reply {word!r}")
        assert reply is not None
        return reply

    def wait_closed(self, count: int = 1, timeout: Optional[float] = 5.0) -> None:
        """Waits until `count` "Connection closed." lines have come since the
        tap started."""
        count = operator.index(count)
        deadline = None if timeout is None else monotonic() + timeout
        with self._cond:
            while self._closed_lines < count:
                self._check_failure()
                left = None if deadline is None else deadline - monotonic()
                if self._state == "closed" or (left is not None and left <= 0):
                    raise self._missing(f"{count} \"Connection closed.\" lines", timeout)
                self._cond.wait(left)

    @property
    def replies(self) -> List[Reply]:
        """The replies kept (not yet taken), oldest first, as a new list."""
        with self._cond:
            return list(self._kept.values())

    @property
    def dropped(self) -> int:
        """Replies dropped, unread, to keep at most max_kept."""
        with self._cond:
            return self._dropped

    def __iter__(self) -> Iterator[Reply]:
        """Takes the replies as they arrive, oldest first, until the tap is
        closed and none is left."""
        while True:
            reply = self._wait(self._take_oldest, None, "")
            if reply is None:
                return
            yield reply

    # --- asyncio ----------------------------------------------------------------

    async def _await(self, take: Callable[[], Optional[Reply]], timeout: Optional[float],
                     what: str) -> Optional[Reply]:
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else monotonic() + timeout
        while True:
            with self._cond:
                reply, over, left = self._attempt(take, deadline, what, timeout)
                if over:
                    return reply
                waker: asyncio.Future[None] = loop.create_future()
                self._wakers.append((loop, waker))
            try:
                await asyncio.wait((waker,), timeout=left)
            finally:
                if not waker.done():
                    waker.cancel()
                    with self._cond:
                        try:
                            self._wakers.remove((loop, waker))
                        except ValueError:
                            pass

    async def reply(self, tag: int, timeout: Optional[float] = 5.0) -> Reply:
        """wait_for for asyncio: safe from any event loop."""
        tag = operator.index(tag)
        reply = await self._await(lambda: self._take_tag(tag), timeout,
                                  f"reply with COMMANDTAG={tag}")
        assert reply is not None
        return reply

    async def reply_word(self, word: str, timeout: Optional[float] = 5.0) -> Reply:
        """wait_for_word for asyncio."""
        if not isinstance(word, str):   # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        reply = await self._await(lambda: self._take_word(word), timeout, f"reply {word!r}")
        assert reply is not None
        return reply

    def __aiter__(self) -> AsyncIterator[Reply]:
        return self._arrivals()

    async def _arrivals(self) -> AsyncIterator[Reply]:
        while True:
            reply = await self._await(self._take_oldest, None, "")
            if reply is None:
                return
            yield reply

