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
flow.py defines (a reply function as above).

Waits: every wait_* method takes `timeout` in seconds; left out, it is
DEFAULT_TIMEOUT (read at the call); None waits without limit. A wait whose
time runs out raises TimeoutError saying what it waited for.

Each connection is served by its own thread, which is the only thread that
touches the connection's socket. Other threads (the test calling send(),
close(), stop_reading(), ...) post a request and wake that thread through a
pipe, so requests take effect promptly even while it waits in poll().

Python only, standard library only (the server, its command line in
__main__.py, the pytest plugin); runs wherever sonvex_rs runs.
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
import traceback
from typing import Any, Callable, Deque, List, Optional, Set, Tuple, Union

__all__ = ["FakeMediaServer", "ServerConnection", "reply_for_line", "main", "DEFAULT",
           "DEFAULT_TIMEOUT", "DEFAULT_MAX_QUEUED"]

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

RECV_SIZE = 65536
# Largest block handed to one send() when several queued chunks are coalesced.
SEND_COALESCE = 262144
# Upper bound of recv() calls spent draining unread input before an orderly
# close (unread input would make the kernel answer with RST instead of FIN).
CLOSE_DRAIN_READS = 64

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
    """A reply function or on_line callback failed: its connection ends."""


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
    """One accepted client connection, served by its own thread."""

    def __init__(self, server: "FakeMediaServer", sock: socket.socket,
                 peer: Tuple[Any, ...], index: int) -> None:
        self.server = server
        """The FakeMediaServer that accepted the connection."""
        self.peer = peer
        """The client's address, as accept() gave it."""
        self.index = index
        """The connection's place in the server's accept order, from 0."""
        self._sock = sock
        self._cond = threading.Condition(threading.Lock())
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(self._wake_w, False)
        # Recorded input.
        self._chunks: List[bytes] = []
        self._lines: List[bytes] = []
        self._byte_count = 0
        self._line_count = 0
        # Output queue; _queued and _sent count bytes ever queued and written.
        self._out: Deque[Union[bytes, memoryview]] = collections.deque()
        self._queued = 0
        self._sent = 0
        # State shared with the serving thread.
        self._paused = False
        self._parked = False      # serving thread has seen _paused and stopped reading
        self._eof = False         # client closed or half-closed its sending direction
        self._ending: Optional[str] = None   # "close" or "reset" once requested
        self._finished = False    # socket closed, thread about to end
        self._thread = threading.Thread(
            target=self._run, name="fake-media-conn-%d" % index, daemon=True)

    # ----- recorded input -------------------------------------------------

    @property
    def received(self) -> bytes:
        """Every byte received so far."""
        with self._cond:
            if len(self._chunks) > 1:
                self._chunks[:] = [b"".join(self._chunks)]
            return self._chunks[0] if self._chunks else b""

    def lines(self) -> List[bytes]:
        """Complete received lines, without their line feed."""
        with self._cond:
            return list(self._lines)

    @property
    def byte_count(self) -> int:
        """Bytes received so far (counted also with record=False)."""
        with self._cond:
            return self._byte_count

    @property
    def line_count(self) -> int:
        """Complete lines received so far (counted also with record=False)."""
        with self._cond:
            return self._line_count

    @property
    def eof(self) -> bool:
        """True once the client closed or half-closed its sending direction."""
        with self._cond:
            return self._eof

    @property
    def closed(self) -> bool:
        """True once the server side has closed the socket."""
        with self._cond:
            return self._finished

    def _wait(self, done: Callable[[], bool], timeout: Timeout, what: Callable[[], str]) -> None:
        with self._cond:
            if not self._cond.wait_for(done, _limit(timeout)):
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
        with self._cond:
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
        with self._cond:
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
        with self._cond:
            return self._eof

    def wait_closed(self, timeout: Timeout = DEFAULT) -> bool:
        """Wait until the server side has closed this connection; returns
        True. Raises TimeoutError when the time runs out."""
        self._wait(lambda: self._finished, timeout,
                   lambda: "waited for connection %d to close" % self.index)
        return True

    def _abandon(self) -> None:
        # For a connection whose thread could not be started.
        self._sock.close()
        os.close(self._wake_r)
        os.close(self._wake_w)
        self._finished = True

    # ----- requests to the serving thread ---------------------------------

    def _wake(self) -> None:
        # Called with self._cond held; the pipe is closed only under it too.
        if not self._finished:
            try:
                os.write(self._wake_w, b"!")
            except BlockingIOError:
                pass   # pipe full: the thread is woken anyway

    def _on_own_thread(self) -> bool:
        return threading.current_thread() is self._thread

    def send(self, data: bytes, timeout: Optional[float] = None) -> None:
        """Send the bytes exactly as given, in order with the replies: no
        line end is added (unlike the answers of reply functions), so a
        client sees a line only once its line feed is sent.

        Returns once all bytes are written to the socket. Raises
        ConnectionError if the connection is or gets closed first, and
        TimeoutError if timeout (seconds, None = no limit) expires first;
        the data then stays queued and goes out once the client reads.
        """
        data = bytes(data)
        with self._cond:
            if self._finished or self._ending is not None:
                raise ConnectionError("connection is closed")
            if not data:
                return
            self._out.append(data)
            self._queued += len(data)
            target = self._queued
            if self._on_own_thread():
                return   # flushed by the serving loop
            self._wake()
            self._cond.wait_for(lambda: self._sent >= target or self._finished, timeout)
            if self._sent >= target:
                return
            if self._finished:
                raise ConnectionError("connection closed before all data was sent")
            raise TimeoutError("waited for connection %d's client to take %d bytes, timed out "
                               "after %s s" % (self.index, len(data), timeout))

    def _end(self, how: str) -> None:
        with self._cond:
            if not self._finished:
                if self._ending != "reset":
                    self._ending = how
                self._wake()
        if not self._on_own_thread() and self._thread.ident is not None:
            self._thread.join()

    def close(self) -> None:
        """Orderly close of both directions (the client reads end of file).

        Returns once the connection's thread has ended, also when the
        connection had already ended by itself."""
        self._end("close")

    def reset(self) -> None:
        """Abortive close: the client gets a connection reset."""
        self._end("reset")

    def stop_reading(self) -> None:
        """Stop receiving until resume_reading(); on return no further
        recv() happens, so the client's send buffer eventually fills up."""
        with self._cond:
            self._paused = True
            self._wake()
            if not self._on_own_thread():
                self._cond.wait_for(lambda: self._parked or self._finished)

    def resume_reading(self) -> None:
        with self._cond:
            self._paused = False
            self._wake()

    # ----- serving thread -------------------------------------------------

    def _run(self) -> None:
        sock = self._sock
        fd = sock.fileno()
        poller = select.poll()
        poller.register(self._wake_r, _POLLIN)
        registered = 0          # event mask of sock in poller, 0 = not registered
        tail: List[bytes] = []  # pieces of the current incomplete line
        how = "close"
        try:
            greeting = self.server.greeting
            if greeting:
                with self._cond:
                    self._out.append(greeting)
                    self._queued += len(greeting)
            while True:
                with self._cond:
                    if self._ending is not None:
                        how = self._ending
                        break
                    paused = self._paused
                    if self._parked != paused:
                        self._parked = paused
                        self._cond.notify_all()
                    pending = bool(self._out)
                    if self._eof and not pending and self.server.close_on_eof:
                        break
                mask = (_POLLIN if not paused and not self._eof else 0) | (
                    _POLLOUT if pending else 0)
                if mask != registered:
                    if not mask:
                        poller.unregister(fd)
                    elif registered:
                        poller.modify(fd, mask)
                    else:
                        poller.register(fd, mask)
                    registered = mask
                events = 0
                for efd, ev in poller.poll():
                    if efd == fd:
                        events = ev
                    else:
                        self._drain_wake()
                if not events:
                    continue
                if events & (_POLLOUT | _POLLFAIL) and pending:
                    self._flush()
                if events & (_POLLIN | _POLLFAIL) and mask & _POLLIN:
                    self._read_once(tail, replying=True)
        except _ReplyFailed:
            how = "close"
        except (ConnectionError, OSError) as exc:
            if exc.errno in (errno.ECONNRESET, errno.EPIPE, errno.ETIMEDOUT):
                how = "gone"   # the client vanished; nothing more to say to it
                with self._cond:
                    self._eof = True
            else:
                raise
        finally:
            self._finish(how, tail)

    def _drain_wake(self) -> None:
        try:
            while os.read(self._wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    def _read_once(self, tail: List[bytes], replying: bool) -> bool:
        """One recv(); returns False when there is nothing (more) to read."""
        try:
            data = self._sock.recv(RECV_SIZE)
        except (BlockingIOError, InterruptedError):
            return False
        if not data:
            with self._cond:
                self._eof = True
                self._cond.notify_all()
            return False
        self._take(data, tail, replying)
        return True

    def _take(self, chunk: bytes, tail: List[bytes], replying: bool) -> None:
        """Record a received chunk, split it into lines and queue replies."""
        if chunk.rfind(b"\n") < 0:
            tail.append(chunk)   # joined only once its line is complete
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
            if rest:
                tail.append(rest)
        server = self.server
        with self._cond:
            self._byte_count += len(chunk)
            self._line_count += len(lines)
            if server.record:
                self._chunks.append(chunk)
                self._lines.extend(lines)
            self._cond.notify_all()
        if not lines:
            return
        reply = server.reply if replying else False
        callback = server.on_line
        answers: List[bytes] = []
        try:
            try:
                for line in lines:
                    if reply:
                        answers.append(_answer_lines(reply, line) if callable(reply)
                                       else reply_for_line(line))
                    if callback is not None:
                        callback(self, line)
            finally:
                self._queue(b"".join(answers))
        except _ReplyFailed:
            raise
        except BaseException:
            # The flow's own fault: say where, end this connection only.
            sys.stderr.write("fake media server: connection %d: the reply function or "
                             "on_line callback failed; closing the connection\n%s"
                             % (self.index, traceback.format_exc()))
            raise _ReplyFailed() from None

    def _queue(self, answer: bytes) -> None:
        if not answer:
            return
        with self._cond:
            self._out.append(answer)
            self._queued += len(answer)
            unsent = self._queued - self._sent
        if unsent > self.server.max_queued:
            sys.stderr.write("fake media server: connection %d: the client does not read; "
                             "%d bytes of answers queued; closing the connection\n"
                             % (self.index, unsent))
            with self._cond:
                self._out.clear()   # nothing of it would reach the client in time
            raise _ReplyFailed()
        self._flush()

    def _flush(self) -> None:
        """Write queued output without blocking; raises OSError if the
        client is gone."""
        sock = self._sock
        out = self._out
        with self._cond:
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
                    self._cond.notify_all()

    def _finish(self, how: str, tail: List[bytes]) -> None:
        sock = self._sock
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
                        if self._eof or not self._read_once(tail, replying=False):
                            break
                except (OSError, _ReplyFailed):
                    pass
        finally:
            sock.close()
            with self._cond:
                self._finished = True
                self._out.clear()
                os.close(self._wake_r)
                os.close(self._wake_w)
                self._cond.notify_all()
            self.server._forget(self)


class FakeMediaServer:
    """Loopback TCP server that records command lines and answers them."""

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *,
                 reply: Union[bool, ReplyFunction] = True,
                 close_on_eof: bool = True, greeting: Optional[bytes] = None,
                 record: bool = True, keep_closed: bool = True,
                 on_line: Optional[LineCallback] = None,
                 max_queued: int = DEFAULT_MAX_QUEUED) -> None:
        """A server that is not listening yet; start() or the with statement
        starts it.

        - host, port: the address to listen on (port 0: a free port, which
          start() puts in port).
        - reply: True answers each command line with reply_for_line, False
          answers nothing, a function reply(line) -> bytes | list[bytes] |
          None gives the answer lines (each is sent with CRLF, which replaces
          a line end it has; None: no answer); it runs on the connection's
          thread, in the order of the lines. Can be changed at any time. A
          reply function (or on_line) that raises, or returns anything else,
          ends that connection: the traceback goes to standard error, the
          lines that arrived stay recorded, the answers to the lines before
          go out.
        - close_on_eof: close a connection once its client stops sending.
        - greeting: bytes sent to each client right after accept.
        - record: keep received bytes and lines (counts are kept regardless).
        - keep_closed: keep ended connections in the list connections.
        - on_line: called as on_line(connection, line) on the connection's
          thread for each complete received line.
        - max_queued: bytes of answers kept queued for a client that does not
          read them; past that the connection is closed (and said so on
          standard error), so that a client that never reads cannot make the
          server grow without limit.
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
        self._cond = threading.Condition(threading.Lock())
        self._connections: List[ServerConnection] = []
        self._live: Set[ServerConnection] = set()
        self._accepted = 0
        self._listener: Optional[socket.socket] = None
        self._thread: Optional[threading.Thread] = None
        self._wake_r = self._wake_w = -1
        self._state = "new"   # new -> running -> stopped

    # ----- lifecycle ------------------------------------------------------

    def start(self) -> "FakeMediaServer":
        """Listens on host and port and accepts connections on a thread of
        its own; returns the server. A server starts once: RuntimeError
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
        except BaseException:
            listener.close()
            with self._cond:
                self._state = "stopped"
            raise
        self.host, self.port = listener.getsockname()[:2]
        self._listener = listener
        self._wake_r, self._wake_w = os.pipe()
        os.set_blocking(self._wake_w, False)
        self._thread = threading.Thread(target=self._accept_loop,
                                        name="fake-media-accept", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Close the listener and every connection and join all threads."""
        with self._cond:
            if self._state != "running":
                self._state = "stopped"
                return
            self._state = "stopped"
            try:
                os.write(self._wake_w, b"!")
            except BlockingIOError:
                pass
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join()
        os.close(self._wake_r)
        os.close(self._wake_w)
        with self._cond:
            live = list(self._live)
        for conn in live:          # ask them all first, then wait for each
            with conn._cond:
                if not conn._finished and conn._ending is None:
                    conn._ending = "close"
                    conn._wake()
        for conn in live:
            conn.close()

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
            self._live.discard(conn)
            if not self.keep_closed:
                try:
                    self._connections.remove(conn)
                except ValueError:
                    pass

    def _accept_loop(self) -> None:
        listener = self._listener
        assert listener is not None
        poller = select.poll()
        poller.register(listener.fileno(), _POLLIN)
        poller.register(self._wake_r, _POLLIN)
        try:
            while True:
                events = poller.poll()
                with self._cond:
                    if self._state != "running":
                        return
                if any(fd == self._wake_r for fd, _ in events):
                    continue
                self._accept_pending(listener)
        finally:
            listener.close()

    def _accept_pending(self, listener: socket.socket) -> None:
        while True:
            try:
                sock, peer = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except ConnectionAbortedError:
                continue
            except OSError as exc:
                # Out of descriptors or memory: report and back off briefly
                # (the wait ends early when the server is stopped).
                sys.stderr.write("fake media server: accept failed: %s\n" % exc)
                with self._cond:
                    self._cond.wait_for(lambda: self._state != "running", 0.1)
                return
            try:
                sock.setblocking(False)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                conn = ServerConnection(self, sock, peer, self._accepted)
            except OSError as exc:   # e.g. no descriptor left for its wake pipe
                sock.close()
                sys.stderr.write("fake media server: dropped a connection: %s\n" % exc)
                continue
            with self._cond:
                try:
                    conn._thread.start()
                except RuntimeError as exc:   # no thread left
                    conn._abandon()
                    sys.stderr.write("fake media server: dropped a connection: %s\n" % exc)
                    continue
                self._live.add(conn)
                self._connections.append(conn)
                self._accepted += 1
                self._cond.notify_all()


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

