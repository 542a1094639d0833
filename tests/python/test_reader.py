"""Control connection lifecycle and the reader thread's output."""

import errno
import gc
import os
import socket
import time

import pytest

from helpers import ClientProcess, FakeMediaServer, new_client, open_descriptor_count, run_child, wait_until

CLOSED = b"Connection closed.\n"


@pytest.fixture
def quiet_server():
    # Answers nothing and leaves closing to the test.
    with FakeMediaServer(reply=False, close_on_eof=False) as s:
        yield s


# What the server sends (a float is a pause in seconds), then what the client prints
# before "Connection closed." once the server closes.
READER_CASES = {
    "crlf": ([b"text\r\n"], "Received: text\n"),
    "empty line": ([b"\n"], "Received: \n"),
    "white space only": ([b" \t \r\n"], "Received: \n"),
    "unicode white space trimmed": (
        ["\u00a0\u3000\t mid  dle \t\u3000\u00a0\r\n".encode()], "Received: mid  dle\n"),
    "every white space kind": (
        ["\x0b\x0c\x85\u1680\u2000\u200a\u2028\u2029\u202f\u205fx\u205f\u3000\n".encode()],
        "Received: x\n"),
    "zero width space kept": (["\u200bzw\u200b\n".encode()], "Received: \u200bzw\u200b\n"),
    "nul byte kept": ([b"a\x00b\n"], "Received: a\x00b\n"),
    "two lines in one send": ([b"one\r\ntwo\n"], "Received: one\nReceived: two\n"),
    "line split over sends": ([b"par", 0.05, b"tial li", 0.05, b"ne\r", 0.05, b"\n"],
                              "Received: partial line\n"),
    "character split over sends": ([b"caf\xc3", 0.05, b"\xa9\n"], "Received: caf\u00e9\n"),
    "100 KB line": ([b"x" * 100000 + b"\n"], "Received: " + "x" * 100000 + "\n"),
    "line feed at buffer edge": ([b"a" * 8191 + b"\n" + b"b" * 8192 + b"\nc\n"],
                                 "Received: %s\nReceived: %s\nReceived: c\n" % ("a" * 8191, "b" * 8192)),
    "last line without line feed": ([b"one\ntail"], "Received: one\nReceived: tail\n"),
    "invalid utf-8 replaced": ([b"\xff\xfeabc\n", b"next\n"],
                               "Received: \ufffd\ufffdabc\nReceived: next\n"),
    "invalid sequences each replaced": (
        [b"a\xe2\x82b\xf0\x9f\x98\xed\xa0\x80\xc0\xaf z\xe2\x82\n"],
        "Received: a\ufffdb\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd z\ufffd\n"),
    "invalid tail without line feed": ([b"ok\n\xc3"], "Received: ok\nReceived: \ufffd\n"),
}


@pytest.mark.parametrize("case", list(READER_CASES))
def test_reader_prints_lines(quiet_server, case):
    chunks, expected = READER_CASES[case]
    with ClientProcess(quiet_server.port) as child:
        conn = quiet_server.wait_for_connections(1)[0]
        for chunk in chunks:
            if isinstance(chunk, float):
                time.sleep(chunk)
            else:
                conn.send(chunk)
        conn.close()
        assert child.wait_for(CLOSED) == expected.encode() + CLOSED
        assert child.close() == 0


def test_greeting_is_printed():
    with FakeMediaServer(reply=False, close_on_eof=False, greeting=b"Welcome 1.0\r\n") as server:
        with ClientProcess(server.port) as child:
            conn = server.wait_for_connections(1)[0]
            child.wait_for(b"Received: Welcome 1.0\n")
            conn.close()
            assert child.wait_for(CLOSED) == b"Received: Welcome 1.0\n" + CLOSED


def test_answers_to_sent_commands_are_printed(server):
    with ClientProcess(server.port) as child:
        child.command("send GetVersion")
        child.command("send CallHold 4")
        out = child.wait_for(b"COMMANDTAG=1\n")
        assert out == b"Received: GetVersion OK COMMANDTAG=0\nReceived: CallHold OK COMMANDTAG=1\n"
        child.close()


def test_two_connections_print_their_own_lines(quiet_server):
    with ClientProcess(quiet_server.port, clients=2) as child:
        first, second = quiet_server.wait_for_connections(2)
        second.send(b"to second\n")
        child.wait_for(b"Received: to second\n")
        first.send(b"to first\n")
        child.wait_for(b"Received: to first\n")
        first.close()
        child.wait_for(CLOSED)
        second.send(b"second again\n")
        second.close()
        assert child.wait_for(CLOSED, 2) == (b"Received: to second\nReceived: to first\n" + CLOSED
                                             + b"Received: second again\n" + CLOSED)


def test_replaced_connection_keeps_its_reader(quiet_server):
    with ClientProcess(quiet_server.port) as child:
        child.command("connect 0")
        old, new = quiet_server.wait_for_connections(2)
        assert old.wait_for_eof()
        old.send(b"old\n")
        child.wait_for(b"Received: old\n")
        new.send(b"new\n")
        child.wait_for(b"Received: new\n")
        old.close()
        child.wait_for(CLOSED)
        new.close()
        assert child.wait_for(CLOSED, 2) == (b"connect done\nReceived: old\nReceived: new\n"
                                             + CLOSED + CLOSED)


def test_reader_outlives_disconnect(quiet_server):
    with ClientProcess(quiet_server.port) as child:
        conn = quiet_server.wait_for_connections(1)[0]
        child.command("disconnect 0")
        assert conn.wait_for_eof()
        conn.send(b"late\n")
        child.wait_for(b"Received: late\n")
        assert CLOSED not in child.read_more(0.3)
        conn.close()
        assert child.wait_for(CLOSED) == b"disconnect done\nReceived: late\n" + CLOSED
        assert child.close() == 0


# ----- connection lifecycle ------------------------------------------------

def client_socket_fds(conn):
    """Descriptors of this process that refer to the client end of conn."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        fd = int(name)
        try:
            if not os.readlink("/proc/self/fd/%d" % fd).startswith("socket:"):
                continue
            s = socket.socket(fileno=os.dup(fd))
        except OSError:
            continue
        with s:
            try:
                if s.getsockname() == conn.peer:
                    found.append((fd, s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)))
            except OSError:
                pass
    return found


def test_connect_opens_two_close_on_exec_handles_with_nodelay(server):
    c = new_client(server.port)
    c.connect()
    conn = server.wait_for_connections(1)[0]
    fds = client_socket_fds(conn)
    assert len(fds) == 2                        # the client's handle and the reader's
    for fd, nodelay in fds:
        assert nodelay != 0
        assert not os.get_inheritable(fd)
    c.disconnect()
    assert conn.wait_for_eof()
    assert wait_until(lambda: client_socket_fds(conn) == [])


def test_connect_twice_half_closes_the_first(server):
    c = new_client(server.port)
    c.connect()
    c.connect()
    first, second = server.wait_for_connections(2)
    assert first.wait_for_eof()
    with pytest.raises(TimeoutError, match="end of connection 1's input"):
        second.wait_for_eof(0.2)
    c.send_raw_command("Hello")
    assert second.wait_for_lines(1) == [b"Hello COMMANDTAG=0"]
    assert first.lines() == []
    c.disconnect()
    assert second.wait_for_eof()


@pytest.mark.parametrize("how", ["disconnect", "destroy"])
def test_server_sees_end_of_stream(server, how):
    c = new_client(server.port)
    c.connect()
    conn = server.wait_for_connections(1)[0]
    if how == "disconnect":
        c.disconnect()
    else:
        del c
        for _ in range(3):
            gc.collect()
    assert conn.wait_for_eof()


def test_connect_refused_leaves_client_disconnected():
    with socket.socket() as idle:               # bound, never listening: refuses
        idle.bind(("127.0.0.1", 0))
        c = new_client(idle.getsockname()[1])
        with pytest.raises(OSError) as info:
            c.connect()
    assert type(info.value) is OSError
    assert str(info.value) == ("Failed to connect: " + os.strerror(errno.ECONNREFUSED)
                               + " (os error 111)")
    assert info.value.errno == errno.ECONNREFUSED
    with pytest.raises(RuntimeError, match="^No active connection to disconnect$"):
        c.disconnect()
    with pytest.raises(RuntimeError, match="^No active connection to send message$"):
        c.send_raw_command("x")


DUP_FAILS = r"""
import os, resource, sys
import sonvex_rs
c = sonvex_rs.client.SonvexClient("127.0.0.1", int(sys.argv[1]), None, None, None)
top = max(int(n) for n in os.listdir("/proc/self/fd"))
resource.setrlimit(resource.RLIMIT_NOFILE, (top + 4, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
fillers = []
while True:                       # occupy every descriptor number below the limit
    try:
        fillers.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        break
os.close(fillers.pop())           # one free number: socket() gets it, the duplicate cannot
try:
    c.connect()
    os.write(1, b"connected\n")
except OSError as e:
    os.write(1, ("%s %s errno %s\n" % (type(e).__name__, e, e.errno)).encode())
try:
    c.disconnect()
except Exception as e:
    os.write(1, ("%s %s\n" % (type(e).__name__, e)).encode())
os.close(fillers.pop())
c.connect()
c.send_raw_command("Works")
c.disconnect()
os.write(1, b"done\n")
"""


def test_failed_duplicate_leaves_client_disconnected(quiet_server):
    server = quiet_server
    result = run_child(DUP_FAILS, server.port)
    assert result.stdout == (b"OSError Too many open files (os error 24) errno 24\n"
                             b"RuntimeError No active connection to disconnect\ndone\n"), result.stderr
    first, second = server.wait_for_connections(2)
    assert first.wait_for_eof() and first.lines() == []
    assert second.wait_for_lines(1) == [b"Works COMMANDTAG=0"]


def test_connect_cycles_release_descriptors_and_threads(server):
    tasks = lambda: len(os.listdir("/proc/self/task"))
    counts = lambda: (open_descriptor_count(), tasks())
    before = counts()
    c = new_client(server.port)
    for _ in range(200):
        c.connect()
        c.disconnect()
    conns = server.wait_for_connections(200)
    assert all(conn.wait_closed() for conn in conns)
    # The readers end once the server has closed; the server's threads end too.
    # A thread of an earlier test may end meanwhile: fewer threads is no leak.
    settled = lambda: counts()[0] == before[0] and counts()[1] <= before[1]
    assert wait_until(settled), (counts(), before)
