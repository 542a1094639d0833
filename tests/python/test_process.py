"""The client in the process around it: fork, closed standard descriptors,
signals during a connect, a non-blocking standard output and the memory left
after a huge command. Each runs the client in a child under a watchdog.

Short by default; pytest --long runs more forks."""

import contextlib
import json
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import helpers
from helpers import (DEADLINE, IS_PYPY, UNDER_SANITIZER, FakeMediaServer, child_env, long_mode,
                     run_child, wait_until)

# Children under a watchdog, forks: left out of the quick loop.
pytestmark = pytest.mark.slow

LONG = long_mode()
FORKS = 400 if LONG else 40
PREAMBLE = r"""
import gc, os, signal, sys, time
import sonvex_rs
Command = sonvex_rs.commands.Command
# Python leaves SIGINT alone when it starts ignored, as it does in a
# background job of a shell without job control: every child raises
# KeyboardInterrupt on SIGINT whatever the test run inherited.
signal.signal(signal.SIGINT, signal.default_int_handler)
def client(port):
    return sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
def say(text):
    os.write(2, (text + "\n").encode())
# AddressSanitizer's allocator, unlike the C library's (and ThreadSanitizer's
# runtime), takes none of its locks around fork(): a thread that holds one at
# the fork (a reader thread setting itself up allocates) leaves it held for
# ever in the child, whose next malloc or free waits for good. Before such a
# fork, wait until every other thread has been seen in a system call of a
# reader past its start (recv, poll, write), after which it allocates no
# more. Elsewhere (and under an emulator, whose threads report the host's
# calls) the fork goes at once.
QUIET_CALLS = {"x86_64": {0, 1, 7, 45, 271}, "aarch64": {63, 64, 73, 207}}.get(os.uname().machine)
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
def settle_threads():
    if not (UNDER_ASAN and QUIET_CALLS):
        return
    unseen, deadline = None, time.monotonic() + 120
    while unseen is None or unseen:
        tasks = {int(t) for t in os.listdir("/proc/self/task")} - {os.getpid()}
        unseen = tasks if unseen is None else unseen & tasks
        for tid in list(unseen):
            try:
                with open("/proc/self/task/%d/syscall" % tid) as f:
                    call = f.read().split()[0]
            except (OSError, IndexError):
                continue            # ended meanwhile
            if call.isdigit() and int(call) in QUIET_CALLS:
                unseen.discard(tid)
        if time.monotonic() > deadline:
            sys.exit("threads %s never reached a reader's system call" % sorted(unseen))
        time.sleep(0.001)
"""


def spawn(script, *args, **kwargs):
    return helpers.Child([sys.executable, "-c", PREAMBLE + script] + [str(a) for a in args],
                         env=child_env(), **kwargs)


def finish(proc, timeout=DEADLINE):
    """Waits for the child (ending its group if it hangs); its exit status."""
    return proc.wait(timeout)


def end(proc):
    """Kills the child's group if the child was not yet awaited, and closes its pipes."""
    proc.kill()
    proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream is not None:
            stream.close()


@contextlib.contextmanager
def connected_child(script, *args, receive_buffer=None):
    """A child running `script` with the port of a listening socket as its
    first argument, and the connection it made there; yields (proc, conn).
    At the end the child's standard input is closed, the connection shut
    down (which ends a send or a receive still waiting on it) and the child
    awaited."""
    listener = socket.socket()
    if receive_buffer:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(60)
    proc = spawn(script, listener.getsockname()[1], *args, stdin=subprocess.PIPE,
                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    conn = None
    try:
        conn, _ = listener.accept()
        conn.settimeout(60)
        yield proc, conn
    finally:
        proc.stdin.close()
        if conn is not None:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
        finish(proc)
        proc.stdout.close()
        proc.stderr.close()
        if conn is not None:
            conn.close()
        listener.close()


class Reader:
    """Reads a child's descriptor, each wait under a watchdog."""

    def __init__(self, fd):
        self.fd, self.pending = fd, bytearray()

    def until(self, end, timeout=DEADLINE):
        """Everything up to and including the next `end`."""
        deadline = time.monotonic() + timeout
        searched = 0
        while (at := self.pending.find(end, searched)) < 0:
            searched = max(0, len(self.pending) - len(end) + 1)
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError("no %r in %r" % (end, bytes(self.pending[-300:])))
            data = os.read(self.fd, 1 << 20)
            if not data:
                raise EOFError(bytes(self.pending[-300:]))
            self.pending += data
        out = bytes(self.pending[:at + len(end)])
        del self.pending[:at + len(end)]
        return out

    def line(self, timeout=DEADLINE):
        return self.until(b"\n", timeout)[:-1]


class Streamer:
    """Accepts connections and sends each a stream of short lines until
    stopped."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.threads = []
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def _accept(self):
        self.listener.settimeout(0.05)      # to see `stopping`
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            t = threading.Thread(target=self._stream, args=(conn,), daemon=True)
            t.start()
            self.threads.append(t)

    def _stream(self, conn):
        block = b"".join(b"line %05d of a steady stream of server lines\n" % i for i in range(2000))
        with conn:
            try:
                while not self.stopping.is_set():
                    conn.sendall(block)
            except OSError:
                pass

    def close(self):
        self.stopping.set()
        self.acceptor.join(timeout=DEADLINE)
        self.listener.close()
        for t in self.threads:
            t.join(timeout=DEADLINE)


# --- fork --------------------------------------------------------------------

FORKER = r"""
port, forks, patience = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
clients = [client(port), client(port)]
for c in clients:
    c.connect()
time.sleep(0.2)
settle_threads()
hung = 0
for i in range(forks):
    pid = os.fork()
    if pid == 0:
        clients[0].print_details()
        own = client(port)
        own.connect()
        own.disconnect()
        os._exit(0)
    deadline = time.monotonic() + patience
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            hung += 1
            break
        time.sleep(0.002)
    if hung:
        break
say("hung %d of %d" % (hung, forks))
"""


def test_forked_children_never_hang_on_the_output_lock():
    """Reader threads print into a pipe that is read slowly, so they hold the
    output lock most of the time; a child forked meanwhile prints and opens a
    connection of its own."""
    streamer = Streamer()
    r, w = os.pipe()
    proc = spawn(FORKER, streamer.port, FORKS, DEADLINE / 4, stdout=w, stderr=subprocess.PIPE)
    os.close(w)

    def consume():
        while os.read(r, 1 << 16):
            time.sleep(0.005)

    consumer = threading.Thread(target=consume, daemon=True)
    consumer.start()
    try:
        _, err = proc.communicate(timeout=FORKS * 6 + DEADLINE)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        streamer.close()
        consumer.join(timeout=DEADLINE)
        os.close(r)
    assert err.splitlines()[-1:] == [b"hung 0 of %d" % FORKS], err[-2000:]


FORK_ENDS_COPY = r"""
port, how = int(sys.argv[1]), sys.argv[2]
c = client(port)
c.connect()
c.send_raw_command("Before")
settle_threads()
pid = os.fork()
if pid == 0:
    if how == "disconnect":
        c.disconnect()
    elif how == "del":
        del c
        gc.collect()
    if how != "exit":
        os._exit(0)
    sys.exit(0)             # the interpreter's own exit, which may destroy the client
os.waitpid(pid, 0)
c.send_raw_command("After")
c.disconnect()
say("ok")
"""


@pytest.mark.parametrize("how", ["disconnect", "del", "exit"])
def test_a_forked_child_ending_its_copy_leaves_the_connection_open(how):
    with FakeMediaServer(reply=False) as server:
        result = run_child(PREAMBLE + FORK_ENDS_COPY, server.port, how)
        assert result.stderr.endswith(b"ok\n"), result.stderr[-2000:]
        conn = server.wait_for_connections(1)[0]
        assert conn.wait_for_eof()              # the opener's disconnect still ends the stream
        assert conn.lines() == [b"Before COMMANDTAG=0", b"After COMMANDTAG=1"]


# --- closed standard descriptors ----------------------------------------------

CLOSED_STD = r"""
port, report, closed = int(sys.argv[1]), int(sys.argv[2]), [int(n) for n in sys.argv[3].split(",")]
for fd in closed:
    os.close(fd)
c = client(port)
c.connect()
sockets = []
for n in os.listdir("/proc/self/fd"):
    try:
        if os.readlink("/proc/self/fd/" + n).startswith("socket:"):
            sockets.append(int(n))
    except OSError:
        pass                # the listing's own descriptor
c.send_raw_command("Hello")
try:
    c.print_details()
    outcome = "printed"
except BaseException as e:
    outcome = type(e).__name__
c.send_raw_command("End")
c.disconnect()
os.write(report, ("%s %s" % (outcome, sorted(sockets))).encode())
"""


@pytest.mark.parametrize("closed", ["0", "1", "2", "0,1,2"])
def test_with_standard_descriptors_closed_output_never_enters_the_connection(closed):
    """The socket and the reader's descriptor stay off 0, 1 and 2, so what is
    meant for standard output never reaches the server."""
    r, w = os.pipe()
    try:
        with FakeMediaServer() as server:       # answers every line
            result = run_child(PREAMBLE + CLOSED_STD, server.port, w, closed,
                               pass_fds=(w,))
            os.close(w)
            w = -1
            conn = server.wait_for_connections(1)[0]
            assert conn.wait_for_eof()
            assert conn.lines() == [b"Hello COMMANDTAG=0", b"End COMMANDTAG=1"]
        outcome, sockets = os.read(r, 1000).decode().split(" ", 1)
    finally:
        os.close(r)
        if w >= 0:
            os.close(w)
    assert outcome == ("PanicException" if "1" in closed else "printed"), result.stderr[-2000:]
    assert min(json.loads(sockets)) >= 3, sockets


# --- signals during a connect -------------------------------------------------

CONNECTER = r"""
port, handler = int(sys.argv[1]), sys.argv[2]
if handler == "noop":
    signal.signal(signal.SIGUSR1, lambda *_: say("handler"))
c = client(port)
c.connect()
say("first")
sys.stdin.readline()
fds = len(os.listdir("/proc/self/fd"))
say("connecting")
try:
    c.connect()
    say("connected")
except BaseException as e:
    say("%s: %s; descriptors %+d" % (type(e).__name__, e, len(os.listdir("/proc/self/fd")) - fds))
c.send_raw_command("Hello")
c.disconnect()
say("done")
"""


def connecting_to(port):
    """Whether a socket on this machine is waiting for its connect to `port`
    to be answered (state SYN_SENT)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = [line.split() for line in f.read().splitlines()[1:]]
        except OSError:
            continue
        if any(row[3] == "02" and int(row[2].rsplit(":", 1)[1], 16) == port for row in rows):
            return True
    return False


@pytest.mark.parametrize("handler", ["noop", "raises"])
def test_a_signal_during_connect_runs_its_handler(handler):
    """A listener with a full backlog keeps the second connect waiting. The
    handler runs while it waits; if it returns, that same attempt goes on
    and finishes once there is room; if it raises (KeyboardInterrupt), the
    connect is abandoned and the first connection stays."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    listener.settimeout(DEADLINE)
    proc = spawn(CONNECTER, listener.getsockname()[1], handler, stdin=subprocess.PIPE,
                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    said = Reader(proc.stderr.fileno())
    fillers, accepted = [], []
    try:
        assert said.line() == b"first"
        accepted.append(listener.accept()[0])
        while True:                                     # fill the backlog
            try:
                fillers.append(socket.create_connection(listener.getsockname(), timeout=0.5))
            except socket.timeout:
                break
        proc.stdin.write(b"go\n")
        proc.stdin.flush()
        assert said.line() == b"connecting"
        assert wait_until(lambda: connecting_to(listener.getsockname()[1]))
        if handler == "noop":
            os.kill(proc.pid, signal.SIGUSR1)
            assert said.line() == b"handler"            # while the connect waits
            for _ in fillers:
                listener.accept()[0].close()
            assert said.line() == b"connected"
            accepted.append(listener.accept()[0])
        else:
            os.kill(proc.pid, signal.SIGINT)
            assert said.line() == b"KeyboardInterrupt: ; descriptors +0"
        receiver = accepted[-1]       # the second connection, or the first kept
        receiver.settimeout(DEADLINE)
        assert receiver.recv(100) == b"Hello COMMANDTAG=0\n"
        assert said.line() == b"done"
        assert finish(proc) == 0
    finally:
        end(proc)
        for sock in fillers + accepted:
            sock.close()
        listener.close()


# --- a non-blocking standard output -------------------------------------------

SLOW_READER = r"""
port = int(sys.argv[1])
c = client(port)
c.connect()
say("connected")
sys.stdin.readline()
c.print_details()
say("printed")
sys.stdin.readline()
"""


def test_a_non_blocking_stdout_that_fills_up_loses_nothing():
    """Standard output is a pipe in non-blocking mode whose reader falls
    behind: the reader thread and print_details wait for room."""
    lines = [b"server line %d %s" % (i, b"z" * (1 + i % 50)) for i in range(20_000)]
    r, w = os.pipe()
    os.set_blocking(w, False)
    with FakeMediaServer(reply=False, close_on_eof=False) as server:
        proc = spawn(SLOW_READER, server.port, stdin=subprocess.PIPE, stdout=w,
                     stderr=subprocess.PIPE)
        os.close(w)
        try:
            said = Reader(proc.stderr.fileno())
            assert said.line() == b"connected"
            conn = server.wait_for_connections(1)[0]
            sender = threading.Thread(target=conn.send, args=(b"\n".join(lines) + b"\n", DEADLINE))
            sender.start()
            time.sleep(0.5)                     # the pipe is full by now
            proc.stdin.write(b"print\n")
            proc.stdin.flush()
            time.sleep(0.2)
            out = os.read(r, 4096)
            sender.join(timeout=DEADLINE)
            conn.close()
            rest = Reader(r)
            out += rest.until(b"Connection closed.\n")
            assert said.line() == b"printed"
            proc.stdin.close()
            assert finish(proc) == 0
            assert said.pending + proc.stderr.read() == b""
            # The output lock is not fair: print_details may get it only after
            # the reader's last line. The child has ended; read to the end.
            out += bytes(rest.pending)
            while chunk := os.read(r, 1 << 20):
                out += chunk
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stderr.close()
            os.close(r)
    printed = out.split(b"\n")
    details = [line for line in printed if line.startswith(b"SonvexClient(")]
    assert len(details) == 1
    printed.remove(details[0])
    assert printed == [b"Received: " + line for line in lines] + [b"Connection closed.", b""]


# --- memory after a huge command ----------------------------------------------

HUGE = 100 << 20
MEMORY = r"""
port = int(sys.argv[1])
def rss():
    for _ in range(3):
        gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
c = client(port)
c.connect()
def run(word, n):
    if word == "str":
        str(Command.play_file(1, "x" * n, None, None, None, None, None))
    elif word == "send":
        c.send_raw_command("x" * n)
for line in sys.stdin:
    word, n = line.split()
    run(word, int(n))
    say("%s %d" % (word, rss()))
"""

@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator keeps freed memory in quarantine")
@pytest.mark.parametrize("what", ["str", "send", "receive"])
def test_memory_returns_after_a_huge_command(what):
    """After one command (or server line) of 100 MB the process's resident
    memory is back within a few MB of what it was."""
    with connected_child(MEMORY) as (proc, conn):
        conn.settimeout(None)                   # a huge command may take a while

        def drain():
            while conn.recv(1 << 20):
                pass

        threading.Thread(target=drain, daemon=True).start()

        out, said = Reader(proc.stdout.fileno()), Reader(proc.stderr.fileno())

        def step(word, n, mark):
            if word == "receive":
                conn.sendall(b"y" * n + b"\n" + mark + b"\n")
                out.until(b"Received: " + mark + b"\n")
            proc.stdin.write(b"%s %d\n" % (word.encode(), n))
            proc.stdin.flush()
            return int(said.line().split()[1])

        for i in range(3):                           # the usual sizes, to settle the heap
            step(what, 1000, b"small%d" % i)
        before = step(what, 1000, b"small")
        step(what, HUGE, b"huge")
        after = step(what, 1000, b"after")
        assert after - before < (8 << 20), (before >> 20, after >> 20)


# --- signals during a send and a print ----------------------------------------

def blocked_in(pid, *syscalls):
    """Whether the process's main thread (or the task "<pid>/task/<tid>")
    waits in one of these system calls (x86_64 numbers: 1 write, 7 poll, 44
    sendto, 202 futex)."""
    try:
        with open("/proc/%s/syscall" % pid) as f:
            return f.read().split(" ", 1)[0] in {str(n) for n in syscalls}
    except OSError:
        return False


needs_syscall_numbers = pytest.mark.skipif(
    os.uname().machine != "x86_64" or not os.path.exists("/proc/self/syscall"),
    reason="reads the x86_64 system call numbers in /proc/<pid>/syscall")

SIGNALLED_SENDER = r"""
import fcntl, socket
port, sig, when = int(sys.argv[1]), sys.argv[2], sys.argv[3]
class Stop(Exception):
    pass
def stop(*_):
    raise Stop("handler raised")
if sig == "SIGTERM":
    signal.signal(signal.SIGTERM, stop)
elif sig == "SIGUSR1":
    signal.signal(signal.SIGUSR1, lambda *_: say("handler"))

def fill(c):
    # Fills the socket up to its last byte, and until nothing sent waits for
    # an acknowledgement that would make room again: the next line then
    # blocks before its first byte. Per-call non-blocking sends leave the
    # descriptor (shared with the reader) as it is.
    fd = next(int(n) for n in os.listdir("/proc/self/fd")
              if os.readlink("/proc/self/fd/" + n).startswith("socket:"))
    with socket.socket(fileno=os.dup(fd)) as s:
        outq = lambda request: int.from_bytes(fcntl.ioctl(s, request, bytes(4)), "little")
        while True:
            for size in (65536, 1):
                try:
                    while True:
                        s.send(b"y" * size, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    pass
            while outq(0x5411) != outq(0x894B):   # SIOCOUTQ, SIOCOUTQNSD: not yet acknowledged
                time.sleep(0.001)
            try:
                s.send(b"y", socket.MSG_DONTWAIT)
            except BlockingIOError:
                return

c = client(port)
c.connect()
c.send_raw_command("First")
if when == "before the line":
    fill(c)
say("sending")
try:
    line = "x" * (64 << 20) if when == "within the line" else "Blocked"
    say("sent %d" % c.send_raw_command(line))
except BaseException as e:
    say("%s: %s" % (type(e).__name__, e))
say("tag %d" % c.command_tag)
try:
    say("then sent %d" % c.send_raw_command("Later"))
except RuntimeError as e:
    say(str(e))
sys.stdin.readline()
"""

BIG = 64 << 20


def receive(conn, end=None):
    """What the peer sends until it ends the stream, or until `end` arrived."""
    data = bytearray()
    while end is None or not data.endswith(end):
        chunk = conn.recv(1 << 20)
        if not chunk:
            break
        data += chunk
    return bytes(data)


@needs_syscall_numbers
@pytest.mark.parametrize("sig, when", [
    ("SIGINT", "within the line"),      # KeyboardInterrupt after part of the line
    ("SIGTERM", "within the line"),     # a handler that raises for a graceful stop
    ("SIGINT", "before the line"),      # not a byte of the line out yet
    ("SIGUSR1", "within the line"),     # a handler that returns: the send goes on
])
def test_a_signal_during_a_blocked_send_runs_its_handler(sig, when):
    """The server stops reading (a 4 KiB receive buffer) while a send blocks.
    A handler that raises ends the send with its exception and leaves the tag
    as it was; if part of the line went out, the connection is ended (the
    server gets that part and then the end of the stream, never a later
    line; the reader prints "Connection closed."), otherwise it stays. A
    handler that returns lets the send go on."""
    with connected_child(SIGNALLED_SENDER, sig, when, receive_buffer=4096) as (proc, conn):
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"sending"
        assert wait_until(lambda: blocked_in(proc.pid, 44)), "the send never blocked"
        os.kill(proc.pid, getattr(signal, sig))
        if sig == "SIGUSR1":
            assert said.line() == b"handler"
            data = receive(conn, b"Later COMMANDTAG=2\n")
            assert data.split(b"\n") == [b"First COMMANDTAG=0", b"x" * BIG + b" COMMANDTAG=1",
                                         b"Later COMMANDTAG=2", b""]
            assert [said.line() for _ in range(3)] == [b"sent 1", b"tag 2", b"then sent 2"]
            return
        raised = b"KeyboardInterrupt: " if sig == "SIGINT" else b"Stop: handler raised"
        assert said.line() == raised
        assert said.line() == b"tag 1"
        if when == "within the line":
            assert said.line() == b"No active connection to send message"
            data = receive(conn)                        # the end comes without our closing
            first, part = data.split(b"\n", 1)
            assert first == b"First COMMANDTAG=0"
            assert 0 < len(part) < BIG and part == b"x" * len(part)
            assert Reader(proc.stdout.fileno()).until(b"\n") == b"Connection closed.\n"
        else:
            data = receive(conn, b"Later COMMANDTAG=1\n")
            assert said.line() == b"then sent 1"
            first, rest = data.split(b"\n", 1)
            assert first == b"First COMMANDTAG=0"
            assert rest.lstrip(b"y") == b"Later COMMANDTAG=1\n"


PRINTER = r"""
os.set_blocking(1, sys.argv[1] == "blocking")
signal.signal(signal.SIGTERM, lambda *_: say("handler"))
c = client(1234)
say("printing")
printed = 0
try:
    while True:
        c.print_details()
        printed += 1
except BaseException as e:
    say("%s after %d" % (type(e).__name__, printed))
"""


@needs_syscall_numbers
@pytest.mark.parametrize("mode", ["blocking", "non-blocking"])
def test_a_signal_ends_a_print_waiting_for_a_full_stdout(mode):
    """print_details waits for room in a full pipe; a handler that returns
    lets it wait on, one that raises ends the wait with its exception, and
    every line in the pipe is whole."""
    r, w = os.pipe()
    proc = spawn(PRINTER, mode, stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    try:
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"printing"
        assert wait_until(lambda: blocked_in(proc.pid, 1, 7)), "the print never blocked"
        os.kill(proc.pid, signal.SIGTERM)
        assert said.line() == b"handler"
        assert wait_until(lambda: blocked_in(proc.pid, 1, 7))
        os.kill(proc.pid, signal.SIGINT)
        word, _, count = said.line().partition(b" after ")
        assert word == b"KeyboardInterrupt"
        assert finish(proc) == 0
        out = Reader(r)
        line = b"SonvexClient(server: 127.0.0.1, control_port: 1234, transport_channel_port: 1235, " \
               b"username: user1, password: pwd)\n"
        assert out.until(line * int(count)) == line * int(count)
        assert os.read(r, 1) == b""
    finally:
        end(proc)
        os.close(r)


NESTED_PRINTER = r"""
os.set_blocking(1, sys.argv[1] == "blocking")
outer = client(1111)
inner = outer if sys.argv[2] == "the same client" else client(2222)
handled = []
def handler(*_):
    inner.print_details()
    handled.append(True)
signal.signal(signal.SIGUSR1, handler)
say("printing")
printed = 0
while not handled:
    outer.print_details()
    printed += 1
say("printed %d" % printed)
"""


def readers_blocked_in_write(pid):
    return any(blocked_in("%d/task/%s" % (pid, tid), 1) for tid in os.listdir("/proc/%d/task" % pid))


def details(port):
    return (b"SonvexClient(server: 127.0.0.1, control_port: %d, transport_channel_port: 1235, "
            b"username: user1, password: pwd)\n" % port)


@needs_syscall_numbers
@pytest.mark.parametrize("mode", ["blocking", "non-blocking"])
@pytest.mark.parametrize("inner", ["the same client", "another client"])
def test_a_handler_prints_while_a_print_waits_for_a_full_stdout(mode, inner):
    """A handler that calls print_details while the main thread's
    print_details waits for a full pipe: both return once the pipe is
    drained, and the handler's line follows the waiting one, both whole."""
    r, w = os.pipe()
    proc = spawn(NESTED_PRINTER, mode, inner, stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    try:
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"printing"
        assert wait_until(lambda: blocked_in(proc.pid, 1, 7)), "the print never blocked"
        os.kill(proc.pid, signal.SIGUSR1)
        out = Reader(r)
        with contextlib.suppress(EOFError):
            out.until(b"no such text")              # everything, until the child ends
        word, count = said.line().split()
        assert word == b"printed"
        assert finish(proc) == 0
        last = details(1111 if inner == "the same client" else 2222)
        assert bytes(out.pending) == details(1111) * int(count) + last
    finally:
        end(proc)
        os.close(r)


LOCK_WAITER = r"""
if sys.argv[2] == "returns":
    signal.signal(signal.SIGUSR1, lambda *_: say("handler"))
c = client(int(sys.argv[1]))
c.connect()
sys.stdin.readline()              # meanwhile the reader fills standard output
say("printing")
try:
    c.print_details()
    say("printed")
except BaseException as e:
    say(type(e).__name__)
sys.stdin.readline()
os._exit(0)
"""


@needs_syscall_numbers
@pytest.mark.parametrize("handler", ["returns", "KeyboardInterrupt"])
def test_a_signal_reaches_a_print_waiting_for_the_output_lock(handler):
    """The reader holds the output lock while it waits for a full standard
    output, and print_details waits for the lock. A handler that returns
    lets it wait on (it prints once the pipe is drained); SIGINT ends the
    wait with KeyboardInterrupt before standard output is drained, and
    nothing of the line goes out."""
    block = b"".join(b"line %05d of a block of server lines\n" % i for i in range(20000))

    def feed(conn):
        with contextlib.suppress(OSError):
            conn.sendall(block)

    with connected_child(LOCK_WAITER, handler) as (proc, conn):
        threading.Thread(target=feed, args=(conn,), daemon=True).start()
        assert wait_until(lambda: readers_blocked_in_write(proc.pid)), "the reader never blocked"
        proc.stdin.write(b"print\n")
        proc.stdin.flush()
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"printing"
        assert wait_until(lambda: blocked_in(proc.pid, 202)), "the print never waited for the lock"
        out = Reader(proc.stdout.fileno())
        port = conn.getsockname()[1]
        if handler == "returns":
            os.kill(proc.pid, signal.SIGUSR1)
            assert said.line() == b"handler"
            received = out.until(details(port))[:-len(details(port))]
            assert said.line() == b"printed"
        else:
            os.kill(proc.pid, signal.SIGINT)
            assert said.line() == b"KeyboardInterrupt"
            proc.stdin.write(b"exit\n")
            proc.stdin.flush()
            assert finish(proc) == 0
            received = bytes(out.pending) + proc.stdout.read()
        lines = received.split(b"\n")
        assert lines.pop() == b""
        whole = len(b"Received: line 00000 of a block of server lines")
        assert all(line.startswith(b"Received: line ") and len(line) == whole for line in lines), \
            lines[-3:]


# --- output at exit and huge lines --------------------------------------------

EXITS = 100 if LONG else 10
EXITER = r"""
clients = [client(int(sys.argv[1])) for _ in range(3)]
for c in clients:
    c.connect()
sys.stdin.readline()
os._exit(0)
"""


@needs_syscall_numbers
def test_a_process_that_exits_while_readers_print_leaves_whole_lines():
    """Readers write whole lines at most 4,096 bytes at a time, which a pipe
    takes whole: a process that ends while three readers wait to print into
    a full pipe leaves no torn line behind."""
    streamer = Streamer()
    try:
        for _ in range(EXITS):
            proc = spawn(EXITER, streamer.port, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            try:
                out = Reader(proc.stdout.fileno())
                out.until(b"\n", timeout=60)
                while len(out.pending) < (256 << 10):
                    out.pending += os.read(out.fd, 1 << 16)
                assert wait_until(lambda: readers_blocked_in_write(proc.pid))
                proc.stdin.write(b"exit\n")
                proc.stdin.flush()
                data = bytes(out.pending) + proc.stdout.read()
                assert finish(proc) == 0
            finally:
                end(proc)
            lines = data.split(b"\n")
            assert lines.pop() == b"", "a torn last line: %r" % lines[-1][-100:]
            torn = [line for line in lines
                    if not (line.startswith(b"Received: line ") and
                            line.endswith(b" of a steady stream of server lines") and len(line) == 55)]
            assert not torn, torn[:3]
    finally:
        streamer.close()


HUGE_LINE = (1 << 30) if LONG else (128 << 20)
PEAK = r"""
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(key))
c = client(int(sys.argv[1]))
c.connect()
say("%d" % status("VmRSS:"))
sys.stdin.readline()
say("%d" % status("VmHWM:"))
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_a_huge_server_line_is_held_about_once():
    """The reader keeps an unfinished line in one buffer that grows in place
    and prints the whole line from there: the process's peak memory grows by
    about the line's size, not twice."""
    with connected_child(PEAK) as (proc, conn):
        said = Reader(proc.stderr.fileno())
        before = int(said.line())
        sender = threading.Thread(target=conn.sendall, args=(b"y" * HUGE_LINE + b"\nmark\n",))
        sender.start()
        out, tail = proc.stdout.fileno(), b""
        while not tail.endswith(b"Received: mark\n"):
            chunk = os.read(out, 1 << 20)
            assert chunk, "the child ended"
            tail = (tail + chunk)[-100:]
        sender.join(timeout=60)
        proc.stdin.write(b"peak\n")
        proc.stdin.flush()
        peak = int(said.line())
        assert peak - before < HUGE_LINE * 1.25, (before >> 20, peak >> 20)


# --- subinterpreters -----------------------------------------------------------
# Importing the module in a subinterpreter is refused with ImportError, and the
# main interpreter's module stays whole, also after the subinterpreter ended.
# Each way of running a subinterpreter that the interpreter offers is tried;
# PyPy has none.

SUBINTERPRETER_ROUNDS = 200 if LONG else 3

SUBINTERPRETER = r"""
import importlib, os, sys
api, first, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
try:
    module = importlib.import_module(api)
except ImportError:
    print("unavailable")
    sys.exit(0)
r, w = os.pipe()
CODE = '''
import os
try:
    import sonvex_rs
    os.write(%d, b"imported\\n")
except ImportError as e:
    os.write(%d, ("ImportError: %%s\\n" %% e).encode())
''' % (w, w)


def in_subinterpreter():
    if api == "_testcapi":
        module.run_in_subinterp(CODE)             # ends the subinterpreter on return
        return
    if api == "_xxsubinterpreters":
        try:
            interp = module.create(isolated=False)   # 3.12: a legacy one, like the others
        except TypeError:
            interp = module.create()
    else:
        interp = module.create("legacy")
    try:
        module.run_string(interp, CODE)
    finally:
        module.destroy(interp)


if first == "main":
    import sonvex_rs
for _ in range(rounds):
    in_subinterpreter()
    print(os.read(r, 1000).decode().strip())
import sonvex_rs
client = sonvex_rs.client.SonvexClient("127.0.0.1", None, None, None, None)
assert client.command_tag == 0
print(sonvex_rs.__all__, str(sonvex_rs.commands.Command.call_hold(4)), sonvex_rs.sum_as_string(2, 3))
"""

REFUSAL = ("ImportError: Module sonvex_rs cannot be imported in a subinterpreter: it supports the "
           "main interpreter only")
MAIN_STILL_WHOLE = "['sum_as_string', 'client', 'commands'] CallHold 4 5"


@pytest.mark.skipif(IS_PYPY, reason="PyPy has no subinterpreters")
@pytest.mark.parametrize("first", ["main", "subinterpreter"])
@pytest.mark.parametrize("api", ["_testcapi", "_xxsubinterpreters", "_interpreters"])
def test_a_subinterpreter_cannot_import_the_module(api, first):
    result = run_child(SUBINTERPRETER, api, first, SUBINTERPRETER_ROUNDS)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.decode().splitlines()
    if lines == ["unavailable"]:
        pytest.skip("no %s in this interpreter" % api)
    assert lines == [REFUSAL] * SUBINTERPRETER_ROUNDS + [MAIN_STILL_WHOLE], result.stderr[-3000:]
