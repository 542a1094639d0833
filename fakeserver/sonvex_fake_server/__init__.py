"""Loopback fake media server for tests and demos of the sonvex_rs client.

The server accepts TCP connections on its control port, records every byte a
client sends and, for each complete command line, answers one line:

    b"CallHold 4 COMMANDTAG=7\\n"  ->  b"CallHold OK COMMANDTAG=7\\r\\n"

or, to play a call flow, what a function of the line returns (each answer
line ends with CRLF, which replaces a line end it has; None answers nothing):

    def flow(line: bytes) -> bytes | list[bytes] | None:
        if line.startswith(b"ResourceCreatePlayer "):
            return b"ResourceCreatePlayer OK ResourceId=12 " + line.split()[-1]
        return reply_for_line(line)

    FakeMediaServer(reply=flow)

Library use::

    with FakeMediaServer() as server:
        ...  # connect a client to (server.host, server.port)
        conn = server.wait_for_connections(1)[0]
        assert conn.wait_for_lines(1)[0].startswith(b"Login")

In pytest, the fixture `fake_media_server` (sonvex_fake_server.pytest_plugin,
registered as a pytest plugin when the package is installed) is a started
FakeMediaServer on a free loopback port, stopped after the test.

Command-line use::

    python -m sonvex_fake_server [--host 127.0.0.1] [--port 0] [--silent] [--quiet]
                                 [--stop-at-eof] [--flow flow.py]

prints "listening on <host> <port>" and runs until SIGTERM or SIGINT (or
also until end of file on standard input, with --stop-at-eof). With
--flow flow.py it answers with the function `reply` that the Python file
flow.py defines (a reply function as above); a flow file that does not
load (it raises, calls sys.exit() or defines no reply) ends it at once with
status 2 and the reason on standard error.

Waits: every wait_* method takes `timeout` in seconds; left out, it is
DEFAULT_TIMEOUT (read at the call); None waits without limit. A wait whose
time runs out raises TimeoutError saying what it waited for.

One thread serves the listener and every connection, waiting on all of
them at once (epoll); it is the only thread that touches their sockets, and
reply functions and on_line callbacks run on it. Other threads (the test
calling send(), close(), stop_reading(), ...) post a request and wake it
through the server's one pipe, so requests take effect promptly. A
connection takes one descriptor: the server uses four more (listener,
poller, pipe).

Hostile clients are bounded: a line longer than max_line (1 MiB) or more
than max_queued (16 MiB) of answers left unread closes that connection,
said so on standard error; when descriptors run out, the server accepts
again as soon as a connection ends.

Python only, standard library only (the server, its command line in
__main__.py, the pytest plugin); runs wherever sonvex_rs runs (Linux: it
waits with epoll).
"""

from __future__ import annotations

import argparse
import collections
import errno
import os
import runpy
import select
import signal
import socket
import struct
import sys
import threading
import time
import traceback
from typing import Any, Callable, Deque, Dict, List, Optional, Set, Tuple, Union

__all__ = ["FakeMediaServer", "ServerConnection", "reply_for_line", "main", "DEFAULT",
           "DEFAULT_TIMEOUT", "DEFAULT_MAX_QUEUED", "DEFAULT_MAX_LINE"]

DEFAULT_TIMEOUT = 5.0
"""Seconds a wait_* method waits when its timeout is left out, read at each
call. Every wait_* method takes timeout in seconds, and None waits without
limit; a wait returns as soon as what it waits for has happened, and one
whose time runs out raises TimeoutError saying what it waited for. So only
a failing wait takes this long; a test suite that runs on slow machines
(sanitizer builds, busy CI hosts) may raise it."""
# Bytes of answers a connection keeps queued for a client that does not read
# them; past that the server closes the connection.
DEFAULT_MAX_QUEUED = 16 << 20
# The longest line (without its line feed) a client may send; a longer one,
# complete or not, closes its connection.
DEFAULT_MAX_LINE = 1 << 20

RECV_SIZE = 65536
# Largest block handed to one send() when several queued chunks are coalesced.
SEND_COALESCE = 262144
# Upper bound of recv() calls spent draining unread input before an orderly
# close (unread input would make the kernel answer with RST instead of FIN).
CLOSE_DRAIN_READS = 64
# Seconds the listener rests after accept() failed (no descriptor or memory
# left), unless a connection ends before.
ACCEPT_BACKOFF = 0.1

_TAG_KEY = b"COMMANDTAG="
_POLLIN = select.POLLIN
_POLLOUT = select.POLLOUT
_POLLFAIL = select.POLLERR | select.POLLHUP | select.POLLNVAL

LineCallback = Callable[["ServerConnection", bytes], None]
# A command line (without its line end) -> the answer lines (without theirs).
ReplyFunction = Callable[[bytes], Union[bytes, List[bytes], None]]


class _Default:
    """The type of DEFAULT: a timeout left out."""

    def __repr__(self) -> str:
        return "DEFAULT"


DEFAULT = _Default()
"""A wait's timeout when none is given: DEFAULT_TIMEOUT as it is at the
call."""
Timeout = Union[float, None, _Default]


def _limit(timeout: Timeout) -> Optional[float]:
    return DEFAULT_TIMEOUT if isinstance(timeout, _Default) else timeout


def _timeout_text(timeout: Timeout) -> str:
    return "timed out after %s s" % _limit(timeout)


class _ReplyFailed(Exception):
    """A reply function or on_line callback failed, or the client broke a
    bound: its connection ends (the reason is already on standard error)."""


def _say(text: str) -> None:
    """One report of the server on standard error."""
    try:
        sys.stderr.write("fake media server: %s\n" % text)
        sys.stderr.flush()
    except (OSError, ValueError):
        pass   # standard error gone; keep serving


def _tag_of(token: bytes) -> Optional[bytes]:
    if token.startswith(_TAG_KEY):
        value = token[len(_TAG_KEY):]
        if value.isdigit():
            return value
    return None


def reply_for_line(line: bytes) -> bytes:
    """Answer to one command line (given without its line feed).

    The answer is the line's first word, " OK", the line's last
    "COMMANDTAG=<digits>" element if it has one, and CRLF.
    """
    words = line.split(None, 1)
    word = words[0] if words else b""
    tag = None
    if _TAG_KEY in line:
        # The client appends the tag as the last element; look there first.
        tag = _tag_of(line.rsplit(None, 1)[-1])
        if tag is None:
            for token in reversed(line.split()):
                tag = _tag_of(token)
                if tag is not None:
                    break
    if tag is None:
        return word + b" OK\r\n"
    return word + b" OK COMMANDTAG=" + tag + b"\r\n"


def _answer_lines(reply: ReplyFunction, line: bytes) -> bytes:
    answer = reply(line)
    if answer is None:
        return b""
    if isinstance(answer, (bytes, bytearray)):
        return bytes(answer).rstrip(b"\r\n") + b"\r\n"
    if isinstance(answer, list) and all(isinstance(a, (bytes, bytearray)) for a in answer):
        return b"".join([bytes(a).rstrip(b"\r\n") + b"\r\n" for a in answer])
    raise TypeError("a reply function returns bytes, a list of bytes or None, not %s"
                    % type(answer).__name__)


class ServerConnection:
    """One accepted client connection, served by the server's thread."""

    def __init__(self, server: "FakeMediaServer", sock: socket.socket,
                 peer: Tuple[Any, ...], index: int) -> None:
        self.server = server
        """The FakeMediaServer that accepted the connection."""
        self.peer = peer
        """The client's address, as accept() gave it."""
        self.index = index
        """The connection's place in the server's accept order, from 0."""
        self._sock = sock
        self._fd = sock.fileno()
        # Taken as _lock (quicker than through the condition) where nothing waits.
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._waiters = 0          # threads waiting on _cond: notified only when there are some
        # Recorded input.
        self._chunks: List[bytes] = []
        self._lines: List[bytes] = []
        self._byte_count = 0
        self._line_count = 0
        # Output queue; _queued and _sent count bytes ever queued and written.
        self._out: Deque[Union[bytes, memoryview]] = collections.deque()
        self._queued = 0
        self._sent = 0
        # State shared with the server's thread.
        self._paused = False
        self._parked = False      # the server's thread has seen _paused and stopped reading
        self._eof = False         # client closed or half-closed its sending direction
        self._ending: Optional[str] = None   # "close" or "reset" once requested
        self._finished = False    # socket closed
        # Only the server's thread touches these.
        self._tail: List[bytes] = []   # pieces of the current incomplete line
        self._tail_size = 0
        self._mask = 0                 # events the poller watches; 0 = not registered
        self._discarding = False       # input is read only to be dropped (line too long)

    # ----- recorded input -------------------------------------------------

    @property
    def received(self) -> bytes:
        """Every byte received so far."""
        with self._lock:
            if len(self._chunks) > 1:
                self._chunks[:] = [b"".join(self._chunks)]
            return self._chunks[0] if self._chunks else b""

    def lines(self) -> List[bytes]:
        """Complete received lines, without their line feed."""
        with self._lock:
            return list(self._lines)

    @property
    def byte_count(self) -> int:
        """Bytes received so far (counted also with record=False)."""
        with self._lock:
            return self._byte_count

    @property
    def line_count(self) -> int:
        """Complete lines received so far (counted also with record=False)."""
        with self._lock:
            return self._line_count

    @property
    def eof(self) -> bool:
        """True once the client closed or half-closed its sending direction."""
        with self._lock:
            return self._eof

    @property
    def closed(self) -> bool:
        """True once the server side has closed the socket."""
        with self._lock:
            return self._finished

    def _wait_until(self, done: Callable[[], bool], timeout: Optional[float]) -> bool:
        # Called with self._lock held.
        self._waiters += 1
        try:
            return self._cond.wait_for(done, timeout)
        finally:
            self._waiters -= 1

    def _changed(self) -> None:
        # Called with self._lock held, after a change that a wait may look for.
        if self._waiters:
            self._cond.notify_all()

    def _wait(self, done: Callable[[], bool], timeout: Timeout, what: Callable[[], str]) -> None:
        with self._lock:
            if not self._wait_until(done, _limit(timeout)):
                raise TimeoutError("%s, %s" % (what(), _timeout_text(timeout)))

    def wait_for_lines(self, n: int, timeout: Timeout = DEFAULT) -> List[bytes]:
        """Wait until at least n complete lines arrived; return all lines
        (with record=False none are kept: it waits by count and returns []).

        Raises TimeoutError when the time runs out (see DEFAULT_TIMEOUT), or
        as soon as the connection is closed with fewer lines.
        """
        self._wait(lambda: self._line_count >= n or self._finished, timeout,
                   lambda: "waited for %d lines from connection %d, got %d" % (
                       n, self.index, self._line_count))
        with self._lock:
            if self._line_count < n:
                raise TimeoutError("waited for %d lines from connection %d, got %d before "
                                   "the connection closed" % (n, self.index, self._line_count))
            return list(self._lines)

    def wait_for_bytes(self, n: int, timeout: Timeout = DEFAULT) -> bytes:
        """Wait until at least n bytes arrived; return all received bytes
        (b"" with record=False). Raises TimeoutError like wait_for_lines.
        """
        self._wait(lambda: self._byte_count >= n or self._finished, timeout,
                   lambda: "waited for %d bytes from connection %d, got %d" % (
                       n, self.index, self._byte_count))
        with self._lock:
            if self._byte_count < n:
                raise TimeoutError("waited for %d bytes from connection %d, got %d before "
                                   "the connection closed" % (n, self.index, self._byte_count))
        return self.received

    def wait_for_eof(self, timeout: Timeout = DEFAULT) -> bool:
        """Wait until the client closed or half-closed its sending direction.

        Returns True then, and False at once if the server side closed the
        connection first (the client's end can then no longer be seen).
        Raises TimeoutError when the time runs out.
        """
        self._wait(lambda: self._eof or self._finished, timeout,
                   lambda: "waited for the end of connection %d's input" % self.index)
        with self._lock:
            return self._eof

    def wait_closed(self, timeout: Timeout = DEFAULT) -> bool:
        """Wait until the server side has closed this connection; returns
        True. Raises TimeoutError when the time runs out."""
        self._wait(lambda: self._finished, timeout,
                   lambda: "waited for connection %d to close" % self.index)
        return True

    # ----- requests to the server's thread --------------------------------

    def _on_server_thread(self) -> bool:
        return threading.current_thread() is self.server._thread

    def send(self, data: bytes, timeout: Optional[float] = None) -> None:
        """Send the bytes exactly as given, in order with the replies: no
        line end is added (unlike the answers of reply functions), so a
        client sees a line only once its line feed is sent.

        Returns once all bytes are written to the socket. Raises
        ConnectionError if the connection is or gets closed first, and
        TimeoutError if timeout (seconds, None = no limit) expires first;
        the data then stays queued and goes out once the client reads.
        Called from a reply function or on_line, it returns at once and
        the data goes out after that function's answers are queued.
        """
        data = bytes(data)
        with self._lock:
            if self._finished or self._ending is not None:
                raise ConnectionError("connection is closed")
            if not data:
                return
            self._out.append(data)
            self._queued += len(data)
            target = self._queued
            self.server._request(self)
            if self._on_server_thread():
                return   # flushed once the running reply function returns
            self._wait_until(lambda: self._sent >= target or self._finished, timeout)
            if self._sent >= target:
                return
            if self._finished:
                raise ConnectionError("connection closed before all data was sent")
            raise TimeoutError("waited for connection %d's client to take %d bytes, timed out "
                               "after %s s" % (self.index, len(data), timeout))

    def _end(self, how: str) -> None:
        with self._lock:
            if self._finished:
                return
            if self._ending != "reset":
                self._ending = how
            self.server._request(self)
            if not self._on_server_thread():
                self._wait_until(lambda: self._finished, None)

    def close(self) -> None:
        """Orderly close of both directions (the client reads end of file).

        Returns once the socket is closed, also when the connection had
        already ended by itself (from a reply function: once it returns)."""
        self._end("close")

    def reset(self) -> None:
        """Abortive close: the client gets a connection reset."""
        self._end("reset")

    def stop_reading(self) -> None:
        """Stop receiving until resume_reading(); on return no further
        recv() happens, so the client's send buffer eventually fills up."""
        with self._lock:
            self._paused = True
            self.server._request(self)
            if not self._on_server_thread():
                self._wait_until(lambda: self._parked or self._finished, None)

    def resume_reading(self) -> None:
        with self._lock:
            self._paused = False
            self.server._request(self)

    # ----- on the server's thread -----------------------------------------

    def _serve(self, events: int) -> None:
        """Handle what the poller reported for this connection."""
        try:
            if events & (_POLLOUT | _POLLFAIL) and self._out:
                self._flush()
            if events & (_POLLIN | _POLLFAIL) and self._mask & _POLLIN and not self._paused:
                self._read_once(replying=True)
        except _ReplyFailed:
            self._finish("close")
            return
        except OSError as exc:
            self._gone(exc)
            return
        # What _settle looks at changes here only with output left queued or
        # the end of input; other threads' changes come with a request.
        if self._out or self._eof or self._mask != _POLLIN:
            self._settle()

    def _serve_request(self) -> None:
        """Act on what another thread asked for (data to send, pause, end)."""
        if self._finished:
            return
        try:
            if self._out:
                self._flush()
        except OSError as exc:
            self._gone(exc)
            return
        self._settle()

    def _settle(self) -> None:
        """End the connection if it is to end, else watch the events its
        state needs: input unless paused or ended, output while queued."""
        with self._lock:
            how = self._ending
            paused = self._paused
            if self._parked != paused:
                self._parked = paused
                self._changed()
            pending = bool(self._out)
            eof = self._eof
            if how is None and eof and not pending and self.server.close_on_eof:
                how = "close"
        if how is not None:
            self._finish(how)
            return
        mask = (0 if paused or eof else _POLLIN) | (_POLLOUT if pending else 0)
        if mask != self._mask:
            self.server._watch(self, mask)

    def _gone(self, exc: OSError) -> None:
        if exc.errno not in (errno.ECONNRESET, errno.EPIPE, errno.ETIMEDOUT):
            _say("connection %d: %s; closing the connection" % (self.index, exc))
        with self._lock:
            self._eof = True
            self._changed()
        self._finish("gone")   # the client vanished; nothing more to say to it

    def _read_once(self, replying: bool) -> bool:
        """One recv(); returns False when there is nothing (more) to read."""
        try:
            data = self._sock.recv(RECV_SIZE)
        except (BlockingIOError, InterruptedError):
            return False
        if not data:
            with self._lock:
                self._eof = True
                self._changed()
            return False
        if not self._discarding:
            self._take(data, replying)
        return True

    def _take(self, chunk: bytes, replying: bool) -> None:
        """Record a received chunk, split it into lines and queue replies."""
        tail = self._tail
        max_line = self.server.max_line
        too_long = False
        if chunk.rfind(b"\n") < 0:
            tail.append(chunk)   # joined only once its line is complete
            self._tail_size += len(chunk)
            too_long = self._tail_size > max_line
            lines: List[bytes] = []
        else:
            if tail:
                tail.append(chunk)
                data = b"".join(tail)
                del tail[:]
            else:
                data = chunk
            lines = data.split(b"\n")
            rest = lines.pop()
            self._tail_size = len(rest)
            if rest:
                tail.append(rest)
            too_long = self._tail_size > max_line
            if len(data) > max_line:
                for i, line in enumerate(lines):
                    if len(line) > max_line:
                        del lines[i:]    # the lines before it are answered
                        too_long = True
                        break
        if too_long:
            del tail[:]
            self._tail_size = 0
            self._discarding = True
        server = self.server
        with self._lock:
            self._byte_count += len(chunk)
            self._line_count += len(lines)
            if server.record:
                self._chunks.append(chunk)
                self._lines.extend(lines)
            self._changed()
        if lines:
            self._answer(lines, replying)
        if too_long:
            _say("connection %d: a line longer than %d bytes (max_line); closing the connection"
                 % (self.index, max_line))
            raise _ReplyFailed()

    def _answer(self, lines: List[bytes], replying: bool) -> None:
        server = self.server
        reply = server.reply if replying else False
        callback = server.on_line
        answers: List[bytes] = []
        failed = False
        try:
            if reply is True and callback is None:
                answers = [reply_for_line(line) for line in lines]
            else:
                for line in lines:
                    if reply:
                        answers.append(_answer_lines(reply, line) if callable(reply)
                                       else reply_for_line(line))
                    if callback is not None:
                        callback(self, line)
        except BaseException:
            # The flow's own fault: say where, end this connection only.
            _say("connection %d: the reply function or on_line callback failed; "
                 "closing the connection\n%s" % (self.index, traceback.format_exc().rstrip("\n")))
            failed = True
        # The answers to the lines before go out; a client that is gone
        # raises OSError here, which is no fault of the flow.
        self._queue(b"".join(answers))
        if failed:
            raise _ReplyFailed()

    def _queue(self, answer: bytes) -> None:
        if not answer:
            return
        with self._lock:
            self._out.append(answer)
            self._queued += len(answer)
            unsent = self._queued - self._sent
            if unsent <= self.server.max_queued:
                self._flush_locked()
                return
            self._out.clear()   # nothing of it would reach the client in time
        _say("connection %d: the client does not read; %d bytes of answers queued; "
             "closing the connection" % (self.index, unsent))
        raise _ReplyFailed()

    def _flush(self) -> None:
        """Write queued output without blocking; raises OSError if the
        client is gone."""
        with self._lock:
            self._flush_locked()

    def _flush_locked(self) -> None:
        # _flush with self._lock held.
        sock = self._sock
        out = self._out
        sent_before = self._sent
        try:
            while out:
                if len(out) > 1 and len(out[0]) < SEND_COALESCE:
                    parts = []
                    size = 0
                    while out and size < SEND_COALESCE:
                        part = out.popleft()
                        parts.append(part)
                        size += len(part)
                    out.appendleft(b"".join(parts))
                chunk = out[0]
                try:
                    n = sock.send(chunk)
                except (BlockingIOError, InterruptedError):
                    break
                self._sent += n
                if n < len(chunk):
                    out[0] = memoryview(chunk)[n:]
                    break
                out.popleft()
        finally:
            if self._sent != sent_before:
                self._changed()

    def _finish(self, how: str) -> None:
        sock = self._sock
        self.server._watch(self, 0)
        try:
            if how == "reset":
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            elif how != "gone":
                try:
                    self._flush()
                    sock.shutdown(socket.SHUT_WR)
                    # Take what the client already sent, so the close below
                    # ends with FIN and not with a reset for unread data.
                    for _ in range(CLOSE_DRAIN_READS):
                        if self._eof or not self._read_once(replying=False):
                            break
                except (OSError, _ReplyFailed):
                    pass
        finally:
            sock.close()
            with self._lock:
                self._finished = True
                self._out.clear()
                self._changed()
            self.server._forget(self)


class FakeMediaServer:
    """Loopback TCP server that records command lines and answers them."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *,
                 reply: Union[bool, ReplyFunction] = True,
                 close_on_eof: bool = True, greeting: Optional[bytes] = None,
                 record: bool = True, keep_closed: bool = True,
                 on_line: Optional[LineCallback] = None,
                 max_queued: int = DEFAULT_MAX_QUEUED,
                 max_line: int = DEFAULT_MAX_LINE) -> None:
        """A server that is not listening yet; start() or the with statement
        starts it.

        - host, port: the address to listen on (port 0: a free port, which
          start() puts in port).
        - reply: True answers each command line with reply_for_line, False
          answers nothing, a function reply(line) -> bytes | list[bytes] |
          None gives the answer lines (each is sent with CRLF, which replaces
          a line end it has; None: no answer); it runs on the server's
          thread, in the order of the lines. Can be changed at any time. A
          reply function (or on_line) that raises, or returns anything else,
          ends that connection: the traceback goes to standard error, the
          lines that arrived stay recorded, the answers to the lines before
          go out. One thread serves every connection, so a reply function
          that blocks holds up all of them.
        - close_on_eof: close a connection once its client stops sending.
        - greeting: bytes sent to each client right after accept.
        - record: keep received bytes and lines (counts are kept regardless).
        - keep_closed: keep ended connections in the list connections.
        - on_line: called as on_line(connection, line) on the server's
          thread for each complete received line.
        - max_queued: bytes of answers kept queued for a client that does not
          read them; past that the connection is closed (and said so on
          standard error), so that a client that never reads cannot make the
          server grow without limit.
        - max_line: the longest line, in bytes without its line feed, that a
          client may send (1 MiB by default); a longer one, complete or not,
          closes its connection (said so on standard error) after the
          answers to the lines before it, so that a client cannot make the
          server grow by never ending a line.
        """
        self.host = host
        """The address the server listens on, as given; from start() on, as
        the listening socket reports it."""
        self.port = port
        """The port the server listens on, as given; from start() on, the
        port it took (a free one when 0 was given): what a client connects
        to."""
        self.reply = reply
        self.close_on_eof = close_on_eof
        self.greeting = bytes(greeting) if greeting else None
        self.record = record
        self.keep_closed = keep_closed
        self.on_line = on_line
        self.max_queued = max_queued
        self.max_line = max_line
        self._cond = threading.Condition(threading.Lock())
        self._connections: List[ServerConnection] = []
        self._live: Dict[int, ServerConnection] = {}   # by descriptor
        self._accepted = 0
        self._listener: Optional[socket.socket] = None
        self._poller: Any = None
        self._thread: Optional[threading.Thread] = None
        self._state = "new"   # new -> running -> stopped
        # Connections that other threads asked something of, and the pipe
        # that wakes the server's thread for them; under _requests_lock.
        self._requests_lock = threading.Lock()
        self._requests: Set[ServerConnection] = set()
        self._woken = False
        self._wake_r = self._wake_w = -1
        # While descriptors run out, the listener is not watched until a
        # connection ends or this time (time.monotonic()) comes.
        self._accept_again: Optional[float] = None
        self._accept_failing = False   # said so once, until an accept succeeds

    # ----- lifecycle ------------------------------------------------------

    def start(self) -> "FakeMediaServer":
        """Listens on host and port and serves every connection on one
        thread of its own; returns the server. A server starts once: RuntimeError
        the second time. The with statement starts and stops it."""
        with self._cond:
            if self._state != "new":
                raise RuntimeError("server was already started")
            self._state = "running"
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((self.host, self.port))
            listener.listen(socket.SOMAXCONN)
            listener.setblocking(False)
            poller = select.epoll()
        except BaseException:
            listener.close()
            with self._cond:
                self._state = "stopped"
            raise
        self.host, self.port = listener.getsockname()[:2]
        self._listener = listener
        self._poller = poller
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        poller.register(listener.fileno(), _POLLIN)
        poller.register(self._wake_r, _POLLIN)
        self._thread = threading.Thread(target=self._loop, name="fake-media-server", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Close the listener and every connection and join the server's
        thread (called from a reply function, it returns at once and the
        server stops once the function returns)."""
        with self._cond:
            if self._state != "running":
                self._state = "stopped"
                return
            self._state = "stopped"
        self._wake()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()

    def __enter__(self) -> "FakeMediaServer":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    @property
    def address(self) -> Tuple[str, int]:
        """(host, port): what socket.create_connection() takes."""
        return (self.host, self.port)

    # ----- connections ----------------------------------------------------

    @property
    def connections(self) -> List[ServerConnection]:
        """Accepted connections in accept order (a snapshot)."""
        with self._cond:
            return list(self._connections)

    @property
    def accepted_count(self) -> int:
        """Connections accepted so far, also those already ended."""
        with self._cond:
            return self._accepted

    def wait_for_connections(self, n: int, timeout: Timeout = DEFAULT) -> List[ServerConnection]:
        """Wait until n connections have been accepted; return `connections`.

        Raises TimeoutError if fewer than n arrive in time.
        """
        with self._cond:
            if not self._cond.wait_for(lambda: self._accepted >= n, _limit(timeout)):
                raise TimeoutError("waited for %d connections, got %d, %s" % (
                    n, self._accepted, _timeout_text(timeout)))
            return list(self._connections)

    def _forget(self, conn: ServerConnection) -> None:
        with self._cond:
            self._live.pop(conn._fd, None)
            if not self.keep_closed:
                try:
                    self._connections.remove(conn)
                except ValueError:
                    pass
        if self._accept_again is not None:
            self._accept_again = 0.0   # a descriptor is free: accept at once

    # ----- the server's thread --------------------------------------------

    def _wake(self) -> None:
        with self._requests_lock:
            if not self._woken and self._wake_w >= 0:
                self._woken = True
                try:
                    os.write(self._wake_w, b"!")
                except BlockingIOError:
                    pass   # pipe full: the thread is woken anyway

    def _request(self, conn: ServerConnection) -> None:
        """Have the server's thread serve conn's new request soon."""
        with self._requests_lock:
            self._requests.add(conn)
        self._wake()

    def _watch(self, conn: ServerConnection, mask: int) -> None:
        """Watch conn's socket for the events in mask (0: none)."""
        if mask == conn._mask:
            return
        if not mask:
            self._poller.unregister(conn._fd)
        elif conn._mask:
            self._poller.modify(conn._fd, mask)
        else:
            self._poller.register(conn._fd, mask)
        conn._mask = mask

    def _loop(self) -> None:
        poller = self._poller
        listener = self._listener
        assert listener is not None
        listen_fd = listener.fileno()
        wake_fd = self._wake_r
        live = self._live
        try:
            while self._state == "running":
                timeout = -1.0
                if self._accept_again is not None:
                    timeout = max(0.0, self._accept_again - time.monotonic())
                    if timeout == 0.0:
                        self._accept_again = None
                        poller.register(listen_fd, _POLLIN)
                        timeout = -1.0
                for fd, events in poller.poll(timeout):
                    conn = live.get(fd)
                    if conn is not None:
                        self._guarded(conn._serve, conn, events)
                    elif fd == wake_fd:
                        self._take_requests()
                    elif fd == listen_fd:
                        self._accept_pending(listener)
        finally:
            self._close_all()

    def _take_requests(self) -> None:
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass
        with self._requests_lock:
            requests, self._requests = self._requests, set()
            self._woken = False
        for conn in requests:
            self._guarded(conn._serve_request, conn)

    @staticmethod
    def _guarded(step: Callable[..., None], conn: ServerConnection, *args: Any) -> None:
        # A fault of this module while serving one connection ends that
        # connection, not the server.
        try:
            step(*args)
        except Exception:
            _say("connection %d: internal error; closing the connection\n%s"
                 % (conn.index, traceback.format_exc().rstrip("\n")))
            if not conn._finished:
                conn._finish("gone")

    def _close_all(self) -> None:
        self._take_requests()   # a reset asked for before stop() stays a reset
        for conn in list(self._live.values()):
            self._guarded(conn._finish, conn, conn._ending or "close")
        assert self._listener is not None
        self._listener.close()
        self._poller.close()
        with self._requests_lock:
            os.close(self._wake_r)
            os.close(self._wake_w)
            self._wake_r = self._wake_w = -1

    def _accept_pending(self, listener: socket.socket) -> None:
        while True:
            try:
                sock, peer = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionAbortedError:
                continue
            except OSError as exc:
                # Out of descriptors or memory (at the descriptor limit,
                # Linux says so also with no connection waiting): stop
                # watching the listener until a connection ends, or for
                # ACCEPT_BACKOFF seconds.
                if not self._accept_failing:
                    self._accept_failing = True
                    _say("cannot accept connections: %s; accepting again once a "
                         "connection ends" % exc)
                self._poller.unregister(listener.fileno())
                self._accept_again = time.monotonic() + ACCEPT_BACKOFF
                return
            self._accept_failing = False
            try:
                sock.setblocking(False)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                conn = ServerConnection(self, sock, peer, self._accepted)
                self._watch(conn, _POLLIN)
            except OSError as exc:
                sock.close()
                _say("dropped a connection: %s" % exc)
                continue
            with self._cond:
                self._live[conn._fd] = conn
                self._connections.append(conn)
                self._accepted += 1
                self._cond.notify_all()
            if self.greeting:
                with conn._lock:
                    conn._out.append(self.greeting)
                    conn._queued += len(self.greeting)
                self._guarded(conn._serve_request, conn)


# ----- command line -------------------------------------------------------

def _stderr_logger(conn: ServerConnection, line: bytes) -> None:
    text = "server got: %s\n" % line.decode("utf-8", "backslashreplace")
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):
        pass   # stderr gone; keep serving


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m sonvex_fake_server",
        description="Loopback fake media server: prints \"listening on HOST PORT\", "
                    "answers each command line with \"<CommandWord> OK COMMANDTAG=<tag>\" "
                    "and runs until SIGINT or SIGTERM.")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on, IPv4 or IPv6 (default: %(default)s)")
    parser.add_argument("--port", type=int, default=0,
                        help="the TCP port to listen on; 0 takes a free port, which the "
                             "first line printed names (default: %(default)s)")
    parser.add_argument("--silent", action="store_true",
                        help="do not answer command lines (default: answer each)")
    parser.add_argument("--quiet", action="store_true",
                        help="do not log received lines (default: log each to standard "
                             "error as \"server got: <line>\")")
    parser.add_argument("--stop-at-eof", action="store_true",
                        help="also stop at end of file on standard input, so that the "
                             "server ends with the program that holds a pipe to it "
                             "(default: standard input is not read)")
    parser.add_argument("--flow", metavar="FLOW.PY",
                        help="answer with the function reply(line) that this Python file "
                             "defines, which returns bytes, a list of bytes or None for each "
                             "command line (default: none; every line is answered with OK)")
    # The old way to ask for what is now the default; accepted and ignored.
    parser.add_argument("--ignore-stdin", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    reply: Union[bool, ReplyFunction] = not args.silent
    if args.flow is not None:
        if args.silent:
            parser.error("--flow and --silent exclude each other")
        try:
            flow = runpy.run_path(args.flow, run_name="sonvex_flow").get("reply")
        except SystemExit as exc:
            # sys.exit() in the flow, whatever its status, is a flow that
            # did not load: the server must not end as if it had run.
            sys.stderr.write("fake media server: cannot load the flow %s: it called "
                             "sys.exit(%r) while loading\n" % (args.flow, exc.code))
            return 2
        except Exception:
            sys.stderr.write("fake media server: cannot load the flow %s\n%s"
                             % (args.flow, traceback.format_exc()))
            return 2
        if not callable(flow):
            sys.stderr.write("fake media server: %s defines no function reply(line)\n"
                             % args.flow)
            return 2
        reply = flow

    # Signals only write to a wakeup pipe; the main thread polls it together
    # with standard input, so no exception is raised inside library code.
    sig_r, sig_w = os.pipe()
    os.set_blocking(sig_w, False)
    signal.set_wakeup_fd(sig_w)
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: None)

    server = FakeMediaServer(args.host, args.port, reply=reply,
                             record=False, keep_closed=False,
                             on_line=None if args.quiet else _stderr_logger)
    try:
        server.start()
    except OSError as exc:
        sys.stderr.write("fake media server: cannot listen on %s port %d: %s\n"
                         % (args.host, args.port, exc))
        return 1
    try:
        print("listening on %s %d" % (server.host, server.port), flush=True)
        poller = select.poll()
        poller.register(sig_r, _POLLIN)
        if args.stop_at_eof:
            poller.register(0, _POLLIN)
        while True:
            events = poller.poll()
            if any(fd == sig_r for fd, _ in events):
                break
            if events:   # standard input: discard data, stop at end of file
                try:
                    if not os.read(0, 65536):
                        break
                except OSError:
                    break
    finally:
        server.stop()
    return 0

