"""The client under load and under a misbehaving peer: a peer that stops
reading, a peer that closes in the middle of a line, many connections, a
long stream of commands and a long stream of server lines.

Short by default; pytest --long runs the full sizes (10,000 cycles,
1,000,000 commands, 100,000 server lines of up to 1 MiB)."""

import os
import random
import subprocess
import sys
import socket
import tempfile
import threading
import time

import pytest

import helpers
from helpers import (DEADLINE, UNDER_SANITIZER, ClientProcess, child_env, long_mode, new_client,
                     open_descriptor_count, wait_until)

LONG = long_mode()
CYCLES = 10_000 if LONG else 300
COMMANDS = 1_000_000 if LONG else 20_000
SERVER_LINES = 100_000 if LONG else 2_000
LONGEST_LINE = (1 << 20) if LONG else (64 << 10)


def tasks():
    return len(os.listdir("/proc/self/task"))


SENDER = r"""
import os, sys, sonvex_rs
port, count, size = map(int, sys.argv[1:4])
c = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
c.connect()
for i in range(count):
    c.send_raw_command(str(i) + " " + "x" * size)
    os.write(2, b".")
os.write(1, b"done %d\n" % c.command_tag)
c.disconnect()
"""


def test_send_blocks_while_the_peer_does_not_read_and_completes_after(server):
    """The write waits for buffer space (holding the interpreter lock, so the
    client runs in a child process under a watchdog) and finishes once the
    peer reads again; nothing is lost."""
    count, size = 400, 64 << 10        # 25 MiB: far more than the socket buffers hold
    server.reply = False
    proc = helpers.Child([sys.executable, "-c", SENDER, str(server.port), str(count), str(size)],
                         env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        conn = server.wait_for_connections(1)[0]
        conn.stop_reading()
        # The child makes progress until the buffers are full, then stalls.
        progress = []
        os.set_blocking(proc.stderr.fileno(), False)

        def stalled():
            before = len(progress)
            time.sleep(0.5)
            chunk = proc.stderr.read() or b""
            progress.extend(chunk)
            return len(progress) == before and proc.poll() is None

        assert wait_until(stalled), "the sender never blocked"
        assert len(progress) < count
        conn.resume_reading()
        out, _ = proc.communicate(timeout=DEADLINE)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    # The child's reader may still print the end of the connection before the
    # child exits.
    assert out in (b"done %d\n" % count, b"done %d\nConnection closed.\n" % count)
    lines = conn.wait_for_lines(count)
    assert [line.split(b" ", 1)[0] for line in lines] == [b"%d" % i for i in range(count)]
    assert all(line.endswith(b" COMMANDTAG=%d" % i) for i, line in enumerate(lines))


@pytest.mark.parametrize("end", ["close", "reset"])
def test_peer_closing_mid_line_prints_the_part_then_connection_closed(server, end):
    """Also after a reset: no byte that arrived is dropped."""
    server.reply = False
    with ClientProcess(server.port) as child:
        conn = server.wait_for_connections(1)[0]
        conn.send(b"whole line\nhalf a li")
        child.wait_for(b"Received: whole line\n")
        getattr(conn, end)()
        out = child.wait_for(b"Connection closed.\n")
        assert out == b"Received: whole line\nReceived: half a li\nConnection closed.\n"
        assert child.close() == 0


@pytest.fixture
def server_process():
    """The fake server in a process of its own: a connect holds this
    interpreter's lock until the server has accepted, so a server running on
    one of our threads could fall behind a burst of connects."""
    proc = helpers.Child([sys.executable, "-m", "sonvex_fake_server",
                          "--quiet", "--silent", "--stop-at-eof"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        yield int(proc.stdout.readline().split()[-1])
    finally:
        proc.stdin.close()
        proc.wait(timeout=DEADLINE)
        proc.stdout.close()


def test_connect_disconnect_cycles_return_descriptors_and_threads(server_process):
    client = new_client(server_process)
    fds, threads = open_descriptor_count(), tasks()
    for _ in range(CYCLES):
        client.connect()
        client.disconnect()
    # Each reader thread ends once the server, having seen the end of our
    # stream, closes the connection.
    assert wait_until(lambda: (open_descriptor_count(), tasks()) == (fds, threads)), \
        (open_descriptor_count(), fds, tasks(), threads)


CHECKER = r"""
import socket, sys
# Accepts one connection, reads to its end and checks that the lines carry the
# tags 0, 1, 2, ... in order; prints the count and the first fault.
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
conn, _ = listener.accept()
expected, fault, tail = 0, "", b""
while True:
    data = conn.recv(1 << 20)
    if not data:
        break
    lines = (tail + data).split(b"\n")
    tail = lines.pop()
    for line in lines:
        if not fault and line != b"CallHold %d COMMANDTAG=%d" % (expected % 1000, expected):
            fault = repr(line)
        expected += 1
print(expected, fault or "ok", repr(tail), flush=True)
"""


def test_a_long_stream_of_commands_arrives_whole_and_in_order():
    checker = helpers.Child([sys.executable, "-c", CHECKER], stdout=subprocess.PIPE)
    try:
        port = int(checker.stdout.readline())
        client = new_client(port)
        client.connect()
        call_hold = client.call_hold
        for i in range(COMMANDS):
            call_hold(i % 1000)
        assert client.command_tag == COMMANDS
        client.disconnect()
        summary = checker.stdout.readline().decode().split()
    finally:
        checker.kill()
        checker.wait()
        checker.stdout.close()
    assert summary == [str(COMMANDS), "ok", "b''"]


def server_lines(seed):
    """The lines of the stream test, made again from the seed whenever they
    are needed so that no side holds the whole stream: mostly short, some up
    to the longest size (log-uniform lengths)."""
    rng = random.Random(seed)
    top = LONGEST_LINE.bit_length() - 1
    for i in range(SERVER_LINES):
        n = min(int(2 ** rng.uniform(0, top)), LONGEST_LINE)
        unit = b"%d:" % i + bytes([97 + i % 26]) * 61
        yield (unit * (n // len(unit) + 1))[:n]


def test_a_long_stream_of_server_lines_is_printed_once_each_in_order():
    seed = 20261208
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def serve():
        # Random chunking: slices of the stream of every size around the
        # client's receive buffer.
        rng = random.Random(seed + 1)
        conn, _ = listener.accept()
        with conn:
            pending = b""
            for line in server_lines(seed):
                pending += line + b"\n"
                while len(pending) >= (1 << 20):
                    step = rng.choice([1, 7, 100, 4096, 8191, 8192, 8193, 65536, 1 << 20])
                    conn.sendall(pending[:step])
                    pending = pending[step:]
            while pending:
                step = rng.choice([1, 7, 100, 4096, 8191, 8192, 8193, 65536])
                conn.sendall(pending[:step])
                pending = pending[step:]

    sender = threading.Thread(target=serve)
    sender.start()
    try:
        # The child writes through a file description of its own, so that our
        # reading position never moves its writing position.
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "out")
            with open(path, "ab") as child_out, open(path, "rb") as out:
                with ClientProcess(port, stdout=child_out) as child:
                    sender.join(timeout=3600 if LONG else 2 * DEADLINE)
                    assert not sender.is_alive()

                    def done():
                        size = os.path.getsize(path)
                        if size < 19:
                            return False
                        out.seek(size - 19)
                        return out.read() == b"Connection closed.\n"

                    assert wait_until(done, timeout=600 if LONG else DEADLINE)
                    assert child.close() == 0
                out.seek(0)
                for i, line in enumerate(server_lines(seed)):
                    expected = b"Received: " + line + b"\n"
                    assert out.read(len(expected)) == expected, f"line {i}"
                assert out.read() == b"Connection closed.\n"
    finally:
        listener.close()
        sender.join(timeout=DEADLINE)


def serve_in_process(script):
    """Runs a server script that prints its port and ends at the end of its
    standard input in a process of its own, and yields the port."""
    proc = helpers.Child([sys.executable, "-c", script], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE)
    try:
        yield int(proc.stdout.readline())
    finally:
        proc.stdin.close()
        proc.wait(timeout=DEADLINE)
        proc.stdout.close()


@pytest.fixture
def keeper():
    """A server in a process of its own that accepts connections and keeps
    them open, reading nothing, until the test ends."""
    script = r"""
import socket, sys, threading
listener = socket.create_server(("127.0.0.1", 0), backlog=4096)
print(listener.getsockname()[1], flush=True)
kept = []
def accept():
    while True:
        kept.append(listener.accept()[0])
threading.Thread(target=accept, daemon=True).start()
sys.stdin.read()
"""
    yield from serve_in_process(script)


READERS = 10_000 if LONG else 1_000
MANY_READERS = r"""
import os, sys, sonvex_rs
port, count = int(sys.argv[1]), int(sys.argv[2])
def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))
c = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
c.connect()                       # the first reader and what it brings along
c.disconnect()
before = address_space()
for _ in range(count):
    c.connect()
    c.disconnect()                # the reader keeps its own descriptor, the server the connection
print(address_space() - before, len(os.listdir("/proc/self/task")), flush=True)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer maps memory of its own for each thread")
def test_many_readers_take_little_address_space(keeper):
    """Each connection's reader waits on a small stack of its own: a
    thousand (ten thousand in the long mode) take less than 1 MiB of
    address space each (natively about a tenth of that; an emulator such as
    qemu-user adds mappings of its own for every thread, about 0.75 MiB)."""
    result = helpers.run([sys.executable, "-c", MANY_READERS, str(keeper), str(READERS)],
                         env=child_env(), capture_output=True, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    grown, threads = map(int, result.stdout.split())
    assert threads > READERS                    # all readers still wait
    assert grown / READERS < (1 << 20), grown / READERS


DROPS = 5_000 if LONG else 1_500
DROPPER = r"""
import os, resource, sys, sonvex_rs
port, count, held = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
class Holder:
    def __del__(self):            # makes the cycle finalizable
        pass
for _ in range(count):
    c = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
    c.connect()
    if held == "in a finalizable cycle":
        h = Holder()
        h.me, h.client = h, c
        del h
    del c                         # dropped without disconnect()
os.write(1, b"dropped %d\n" % count)
"""


@pytest.fixture
def closer():
    """A server in a process of its own that keeps each connection open until
    the client ends its stream, and then closes it at once (one thread, so
    that it keeps up with a client that connects as fast as it can)."""
    script = r"""
import selectors, socket, sys
listener = socket.create_server(("127.0.0.1", 0), backlog=4096)
listener.setblocking(False)
print(listener.getsockname()[1], flush=True)
selector = selectors.DefaultSelector()
selector.register(listener, selectors.EVENT_READ)
selector.register(sys.stdin, selectors.EVENT_READ)
while True:
    for key, _ in selector.select():
        if key.fileobj is sys.stdin:
            sys.exit(0)
        if key.fileobj is listener:
            try:
                conn = listener.accept()[0]
            except BlockingIOError:
                continue
            selector.register(conn, selectors.EVENT_READ)
        elif not key.fileobj.recv(65536):
            selector.unregister(key.fileobj)
            key.fileobj.close()
"""
    yield from serve_in_process(script)


@pytest.mark.parametrize("held", ["alone", "in a finalizable cycle"])
def test_clients_dropped_without_disconnect_never_exhaust_descriptors(closer, held):
    """Under a limit of 256 descriptors, thousands of connected clients are
    dropped without disconnect(). PyPy frees them only when its collector
    runs, and those in a cycle with a __del__ only at the collection after
    the one that finalized them: a connect that finds no descriptor left
    collects until nothing more is freed and tries again."""
    result = helpers.run([sys.executable, "-c", DROPPER, str(closer), str(DROPS), held],
                         env=child_env(), capture_output=True, timeout=1800 if LONG else 600)
    assert result.returncode == 0, result.stderr[-2000:]
    assert b"dropped %d\n" % DROPS in result.stdout
